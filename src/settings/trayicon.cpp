#include "settings/trayicon.h"

#include "app/uilanguage.h"

#include <QAction>
#include <QIcon>
#include <QMenu>

TrayIcon::TrayIcon(QObject *parent) : QSystemTrayIcon(parent)
{
    setToolTip(QStringLiteral("tapvela"));
    setIcon(QIcon(QStringLiteral(":/icons/tapvela_Tray_Icone_16x16_On.png")));
    m_menu = std::make_unique<QMenu>();
    const bool french = isFrenchInterface();
    QAction *show = m_menu->addAction(french ? QStringLiteral("afficher tapvela") : QStringLiteral("show tapvela"));
    m_menu->addSeparator();
    QAction *quit = m_menu->addAction(french ? QStringLiteral("quitter tapvela") : QStringLiteral("quit tapvela"));
    connect(show, &QAction::triggered, this, &TrayIcon::showRequested);
    connect(quit, &QAction::triggered, this, &TrayIcon::quitRequested);
    setContextMenu(m_menu.get());
}

TrayIcon::~TrayIcon() = default;
