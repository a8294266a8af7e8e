#include "settings/settingswindow.h"

#include "app/config.h"
#include "app/diagnostics.h"
#include "app/session.h"
#include "app/uilanguage.h"
#include "app/windowfont.h"
#include "hotkey/windowsthread.h"
#include "login/mainwindow.h"
#include "service/messages.h"
#include "settings/runatstartup.h"
#include "ui_settingswindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QSessionManager>
#include <QSettings>
#include <QStandardItemModel>
#include <QTimer>

std::atomic<SettingsWindow *> currentSettingsWindow{nullptr};

namespace {

const QString keyKey = QStringLiteral("key");
const QString defaultKey = QStringLiteral("10");

// Without a notification area (a bare GNOME session) a hidden window could never be shown again: the window
// then stays in the taskbar. Said once per run on standard output.
bool systemTrayAvailable()
{
    if (QSystemTrayIcon::isSystemTrayAvailable())
        return true;
    static std::atomic<bool> told{false};
    if (!told.exchange(true))
        writeDiagnosticLine("no system tray: the settings window stays in the taskbar instead of hiding");
    return false;
}

// Said once per run, by the first settings window that the user sees.
std::atomic<bool> waylandTold{false};

} // namespace

QStringList hotkeyEntryTexts()
{
    QStringList texts;
    for (const QString &modifier : {QString(), QStringLiteral("CTRL + "), QStringLiteral("ALT + ")}) {
        for (int key = 1; key <= 12; ++key)
            texts.append(modifier + QLatin1Char('F') + QString::number(key));
    }
    return texts;
}

SettingsWindow::SettingsWindow(QWidget *parent) : QMainWindow(parent)
{
    provideWindowFont();
    form = new Ui::SettingsWindow;
    form->setupUi(this); // ends by connecting the on_<object>_<signal> slots
    // The form's pixmap is the plain picture; through QIcon the double-resolution one serves scaled screens.
    form->label->setPixmap(QIcon(QStringLiteral(":/images/settings.png")).pixmap(form->label->size()));

    currentSettingsWindow = this;

    setFixedSize(size());
    // A top-level window's default flags include the maximise button: flipping the hint removes it.
    setWindowFlags(windowFlags() ^ Qt::WindowMaximizeButtonHint);

    // Signed in, the program ends only through the tray menu: without this, closing a warning box while this
    // window is hidden would close the last visible window and end the program.
    QApplication::setQuitOnLastWindowClosed(false);

    // Qt's fallback session management asks every visible window to close when the session ends, and this one
    // only hides: its refusal would cancel the user's log-off or shutdown. Without the fallback, the settings
    // reach the disk when the session asks, and Qt ends the program when the session ends (WM_ENDSESSION on
    // Windows, the session manager's "die" on X11).
    QGuiApplication::setFallbackSessionManagementEnabled(false);
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this] { settings->sync(); });

    manager = new QNetworkAccessManager(this);
    connect(manager, &QNetworkAccessManager::finished, this, &SettingsWindow::finishedRequest);

    settings = new QSettings(configFilePath(), QSettings::IniFormat);

    requestDevices();

    // The first entry becomes current as it is added, and the stored choice is selected next: each change
    // reaches the watcher, and nothing is stored since the window is not active yet.
    form->keyList->addItems(hotkeyEntryTexts());
    form->keyList->setCurrentIndex(settings->value(keyKey, defaultKey).toString().toInt());
    settings->setValue(keyKey, settings->value(keyKey, defaultKey).toString());

    setUpTray();
    systemTrayAvailable(); // a desktop without a tray is told at once, not at the first close

    if (WindowsThread *watcher = hotkeyWatcher.load())
        connect(watcher, &WindowsThread::createSendingWindow, this, &SettingsWindow::createSendingWindow);

    const bool french = isFrenchInterface();
    if (french) {
        setWindowTitle(QStringLiteral("tapvela - configuration"));
        findChild<QLabel *>(QStringLiteral("defaultDeviceLabel"))->setText(QStringLiteral("Appareil par défaut :"));
        findChild<QLabel *>(QStringLiteral("keyLabel"))->setText(QStringLiteral("Touche :"));
        findChild<QPushButton *>(QStringLiteral("disconnect"))->setText(QStringLiteral("déconnexion"));
    }
    // Windows' start with Windows is the start at login elsewhere.
    auto *startBox = findChild<QCheckBox *>(QStringLiteral("startCheckBox"));
    startBox->setText(runAtStartupText(french));

    // A present entry is rewritten with the program now running, so a moved program mends its own entry.
    if (isRunAtStartupEnabled()) {
        startBox->setChecked(true); // the slot writes the entry
        enableRunAtStartup();
    } else {
        startBox->setChecked(false);
    }
}

SettingsWindow::~SettingsWindow()
{
    SettingsWindow *self = this;
    currentSettingsWindow.compare_exchange_strong(self, nullptr);

    delete deviceModel;
    if (manager)
        manager->disconnect(this); // replies torn down with the manager must not reach a half-gone window
    delete manager;
    delete settings;
    delete trayIcon;
    delete trayMenu;
    delete showAction;
    delete quitAction;
    delete form;
}

void SettingsWindow::closeEvent(QCloseEvent *event)
{
    event->ignore();
    if (systemTrayAvailable())
        hide();
    else
        showMinimized();
}

void SettingsWindow::changeEvent(QEvent *event)
{
    if (event->type() != QEvent::WindowStateChange)
        return;
    if (isMinimized()) {
        if (systemTrayAvailable())
            hide();
    } else if (isVisible()) { // restored from the taskbar
        tellWaylandSession();
    }
}

void SettingsWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    // Not at a silent start, which shows the window minimised: the notice waits until the user opens it.
    if (!isMinimized())
        tellWaylandSession();
}

void SettingsWindow::tellWaylandSession()
{
    if (!isWaylandSession() || waylandTold.exchange(true))
        return;
    // Once the window is on the screen, so that the box stands over it.
    QTimer::singleShot(0, this, [this] { showWarning(service::settingsWaylandWarning(isFrenchInterface())); });
}

void SettingsWindow::on_keyList_currentIndexChanged(int index)
{
    // Only the user's own choice is stored: the changes made while the window is built are not.
    const auto *keyList = findChild<QComboBox *>(QStringLiteral("keyList"));
    if (keyList && keyList->isActiveWindow() && settings)
        settings->setValue(keyKey, QString::number(index));
    if (WindowsThread *watcher = hotkeyWatcher.load())
        watcher->applyHotkeyIndex(index);
}

void SettingsWindow::on_startCheckBox_stateChanged(int arg1)
{
    // The box is not tristate: 0 is unchecked, anything else checked.
    if (arg1 != 0)
        enableRunAtStartup();
    else
        disableRunAtStartup();
}

void SettingsWindow::on_disconnect_clicked()
{
    settings->setValue(QStringLiteral("apikey"), QStringLiteral("no"));

    auto *login = new MainWindow();
    login->show();
    // Signed out, closing the login window ends the program again.
    QApplication::setQuitOnLastWindowClosed(true);

    trayIcon->hide();

    // Signed out, the hotkey must send nothing (not a push with the api key "no"), and after the next sign-in
    // only the new window may answer the watcher.
    SettingsWindow *self = this;
    currentSettingsWindow.compare_exchange_strong(self, nullptr);
    if (WindowsThread *watcher = hotkeyWatcher.load())
        disconnect(watcher, &WindowsThread::createSendingWindow, this, &SettingsWindow::createSendingWindow);

    hide();
    deleteLater();
}
