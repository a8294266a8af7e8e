#pragma once

#include "hotkey/numbercleaning.h"

#include <QMainWindow>
#include <QModelIndex>
#include <QPointer>
#include <QStringList>
#include <QSystemTrayIcon>

#include <memory>

class QCloseEvent;
class QEvent;
class QJsonArray;
class QNetworkAccessManager;
class QNetworkReply;
class PhonePairingWindow;
class QPoint;
class QSettings;
class QShowEvent;
class QStandardItem;
class QStandardItemModel;
class StoredSession;
class TrayIcon;

namespace Ui {
class SettingsWindow;
}
namespace service {
struct QrCode;
struct Warning;
} // namespace service

// The program's window once an api key is stored: the account's devices, the hotkey choice, start at login
// and disconnect; it owns the tray icon and the network access manager of every signed-in request. While it is
// the current settings window it answers the hotkey watcher: it sends the pushes and shows the indicator.
class SettingsWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit SettingsWindow(QWidget *parent = nullptr);
    ~SettingsWindow() override;

public slots:
    // The watcher's capture found a number: the push goes through this window's network access manager.
    void sendSelection(const QString &apiKey, const QString &deviceId, const QString &number);
    void finishedRequest(QNetworkReply *reply);
    void createSendingWindow();
    // In the indicator's place: why a press pushed nothing.
    void showNumberNotFound(NumberSearch why);
    void forceClose();
    void onClickSystemTray(QSystemTrayIcon::ActivationReason reason);
    void onClickSysTray();
    void onItemChanged(QStandardItem *item);
    void on_devicesList_clicked(const QModelIndex &index);
    void on_devicesList_objectNameChanged(const QString &objectName);
    void on_devicesList_customContextMenuRequested(const QPoint &pos);
    void on_addPhone_clicked();
    void on_disconnect_clicked();
    void on_keyList_currentIndexChanged(int index);
    void on_startCheckBox_stateChanged(int arg1);

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    StoredSession session() const;
    void requestDevices();
    void rebuildDeviceList(const QJsonArray &devices);
    void showDefaultDevice(const QString &name);
    void showWarning(const service::Warning &warning);
    void showOnPhone(const QString &id);
    void showPhonePage(const QString &page, const service::QrCode &code);
    void tellWaylandSession();

    std::unique_ptr<Ui::SettingsWindow> form;
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<QStandardItemModel> deviceModel;
    QStringList deviceIds;
    QNetworkAccessManager *manager = nullptr; // a child, torn down first by the destructor
    TrayIcon *trayIcon = nullptr;             // a child

    // A child while shown, one at a time.
    QPointer<PhonePairingWindow> pairingWindow;
};

// GUI thread. The settings window that answers the hotkey watcher: the most recently built one, until it signs
// out or goes. Making a window current connects it to the watcher's announcements and disconnects the one before.
SettingsWindow *currentSettingsWindow();
void setCurrentSettingsWindow(SettingsWindow *window);

// The entries of the hotkey list, in index order: "F1" .. "F12", "CTRL + F1" .. "CTRL + F12",
// "ALT + F1" .. "ALT + F12".
QStringList hotkeyEntryTexts();
