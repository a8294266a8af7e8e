#include "settings/settingswindow.h"

#include "app/uilanguage.h"

#include <QAction>
#include <QCoreApplication>
#include <QIcon>
#include <QMenu>

void SettingsWindow::setUpTray()
{
    trayMenu = new QMenu();
    const bool french = isFrenchInterface();
    showAction = new QAction(french ? QStringLiteral("afficher tapvela") : QStringLiteral("show tapvela"), this);
    quitAction = new QAction(french ? QStringLiteral("quitter tapvela") : QStringLiteral("quit tapvela"), this);
    connect(showAction, &QAction::triggered, this, &SettingsWindow::onClickSysTray);
    connect(quitAction, &QAction::triggered, this, &SettingsWindow::forceClose);
    trayMenu->addAction(showAction);
    trayMenu->addSeparator();
    trayMenu->addAction(quitAction);

    trayIcon = new QSystemTrayIcon(this);
    trayIcon->setIcon(QIcon(QStringLiteral(":/icons/tapvela_Tray_Icone_16x16_On.png")));
    trayIcon->setContextMenu(trayMenu);
    trayIcon->setToolTip(QStringLiteral("tapvela"));
    trayIcon->setVisible(true);
    connect(trayIcon, &QSystemTrayIcon::activated, this, &SettingsWindow::onClickSystemTray);
}

void SettingsWindow::onClickSystemTray(QSystemTrayIcon::ActivationReason reason)
{
    // The context menu opens by itself; a double or middle click does nothing.
    if (reason != QSystemTrayIcon::Trigger)
        return;
    showNormal();
    setFocus(Qt::OtherFocusReason);
    requestDevices();
}

void SettingsWindow::onClickSysTray()
{
    onClickSystemTray(QSystemTrayIcon::Trigger);
}

void SettingsWindow::forceClose()
{
    trayIcon->hide();
    QCoreApplication::exit(0);
}
