#pragma once

#include <QMainWindow>

#include <memory>

class QCloseEvent;
class QNetworkAccessManager;
class QNetworkReply;
class QSettings;
class QSystemTrayIcon;

namespace Ui {
class MainWindow;
}
namespace service {
struct Warning;
}

// The login window: a user name and a password exchanged for the api key, which it stores and announces
// (signedIn); whoever listens opens the settings window and closes this one. While it is open without an api
// key, a grey tray icon says that nobody is signed in.
class MainWindow final : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // How long a login request may go without receiving data before it ends as a network error.
    void setTransferTimeout(int milliseconds);

signals:
    // The service gave an api key, which is on disk in config.ini by now.
    void signedIn();

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void finishedRequest(QNetworkReply *reply);
    void on_connection_clicked();
    void on_connection_pressed();
    void on_password_returnPressed();
    void on_username_returnPressed();
    void on_serviceChange_linkActivated(const QString &link);

private:
    void showWarning(const service::Warning &warning);
    // The line under GO: the service this window signs in to, and the link that changes it.
    void showServiceLine();
    // Asks for a new address, starting from text; refused addresses are explained and asked again.
    void askServiceAddress(const QString &text);
    void applyServiceAddress(const QString &typed);

    QNetworkAccessManager *manager = nullptr;
    std::unique_ptr<QSettings> settings;
    QSystemTrayIcon *trayIcon = nullptr;
    bool requestPending = false;
    std::unique_ptr<Ui::MainWindow> form;
    int transferTimeoutMs;
};
