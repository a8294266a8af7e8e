#include "settings/settingswindow.h"

#include "app/config.h"
#include "app/diagnostics.h"
#include "app/uilanguage.h"
#include "hotkey/windowsthread.h"
#include "login/mainwindow.h"
#include "settings/runatstartup.h"
#include "ui_settingswindow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QSettings>
#include <QStandardItemModel>

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
    form = new Ui::SettingsWindow;
    form->setupUi(this); // ends by connecting the on_<object>_<signal> slots
    // The form's pixmap is the plain picture; through QIcon the double-resolution one serves scaled screens.
    form->label->setPixmap(QIcon(QStringLiteral(":/images/settings.png")).pixmap(form->label->size()));

    currentSettingsWindow = this;

    setFixedSize(size());
    // A top-level window's default flags include the maximise button: flipping the hint removes it.
    setWindowFlags(windowFlags() ^ Qt::WindowMaximizeButtonHint);

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

    if (isFrenchInterface()) {
        setWindowTitle(QStringLiteral("tapvela - configuration"));
        findChild<QLabel *>(QStringLiteral("defaultDeviceLabel"))->setText(QStringLiteral("Appareil par défaut :"));
        findChild<QLabel *>(QStringLiteral("keyLabel"))->setText(QStringLiteral("Touche :"));
        findChild<QCheckBox *>(QStringLiteral("startCheckBox"))
            ->setText(QStringLiteral("Démarrer tapvela avec Windows"));
        findChild<QPushButton *>(QStringLiteral("disconnect"))->setText(QStringLiteral("déconnexion"));
    }

    // A present entry is rewritten with the program now running, so a moved program mends its own entry.
    auto *startBox = findChild<QCheckBox *>(QStringLiteral("startCheckBox"));
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
    if (event->type() == QEvent::WindowStateChange && isMinimized() && systemTrayAvailable())
        hide();
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
