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
// and disconnect; it owns the tray icon and the network access manager of every signed-in request. Whoever shows
// it connects it to the hotkey watcher: it sends the pushes, with the api key and default device it keeps, and
// shows the indicator. It knows no other window: a disconnect is announced (signedOut).
class SettingsWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit SettingsWindow(QWidget *parent = nullptr);
    ~SettingsWindow() override;

    // The entry of the hotkey list now chosen (-1 when the stored one is out of the list).
    int hotkeyIndex() const;

signals:
    // The user disconnected: the api key is "no" on disk, and the window and its tray icon are hidden. The window
    // pushes nothing from here on.
    void signedOut();
    // The hotkey list's entry changed, by the user or while the window is built.
    void hotkeyIndexChanged(int index);

public slots:
    // The watcher's capture found a number: pushed to the default device with this window's api key, through its
    // network access manager; nothing once signed out or without a default device.
    void sendSelection(const QString &number);
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

    // Set by the disconnect: announcements of the watcher queued before it are answered with nothing.
    bool disconnected = false;
};

// The entries of the hotkey list, in index order: "F1" .. "F12", "CTRL + F1" .. "CTRL + F12",
// "ALT + F1" .. "ALT + F12".
QStringList hotkeyEntryTexts();
