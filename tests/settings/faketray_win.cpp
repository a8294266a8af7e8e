#include "faketray.h"

#include <QSystemTrayIcon>

bool provideSystemTray()
{
    // Windows always has its notification area (Wine's included): there is nothing to provide.
    return QSystemTrayIcon::isSystemTrayAvailable();
}
