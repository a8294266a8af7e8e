#pragma once

#include <QMainWindow>
#include <QModelIndex>
#include <QStringList>
#include <QSystemTrayIcon>

#include <atomic>

class QAction;
class QCloseEvent;
class QEvent;
class QJsonArray;
class QMenu;
class QNetworkAccessManager;
class QNetworkReply;
class QSettings;
class QShowEvent;
class QStandardItem;
class QStandardItemModel;

namespace Ui {
class SettingsWindow;
}
namespace service {
struct Warning;
}

// The program's window once an api key is stored: the account's devices, the hotkey choice, start at login
// and disconnect; it owns the tray icon and the network access manager of every signed-in request.
class SettingsWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit SettingsWindow(QWidget *parent = nullptr);
    ~SettingsWindow() override;

    // The capture and send routine run on the hotkey (defined with the capture code in src/hotkey).
    void sendSelection();

public slots:
    void finishedRequest(QNetworkReply *reply);
    void createSendingWindow(); // defined with the sending indicator in src/hotkey
    void forceClose();
    void onClickSystemTray(QSystemTrayIcon::ActivationReason reason);
    void onClickSysTray();
    void onItemChanged(QStandardItem *item);
    void on_devicesList_clicked(const QModelIndex &index);
    void on_devicesList_objectNameChanged(const QString &objectName);
    void on_disconnect_clicked();
    void on_keyList_currentIndexChanged(int index);
    void on_startCheckBox_stateChanged(int arg1);

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void requestDevices();
    void rebuildDeviceList(const QJsonArray &devices);
    void showDefaultDevice(const QString &name);
    void setUpTray();
    void showWarning(const service::Warning &warning);
    void tellWaylandSession();

    QNetworkAccessManager *manager = nullptr;
    QSettings *settings = nullptr;
    QStandardItemModel *deviceModel = nullptr;
    QStringList deviceIds;
    QSystemTrayIcon *trayIcon = nullptr;
    QMenu *trayMenu = nullptr;
    QAction *showAction = nullptr;
    QAction *quitAction = nullptr;
    Ui::SettingsWindow *form = nullptr;
};

// The most recently built settings window: the hotkey watcher reaches the capture through it. Cleared when
// that window signs out or goes.
extern std::atomic<SettingsWindow *> currentSettingsWindow;

// The entries of the hotkey list, in index order: "F1" .. "F12", "CTRL + F1" .. "CTRL + F12",
// "ALT + F1" .. "ALT + F12".
QStringList hotkeyEntryTexts();
