#include "app/config.h"
#include "app/singleinstance.h"
#include "desktop/desktopcontroller.h"

#include <QApplication>
#include <QSettings>

int main(int argc, char *argv[])
{
    // Sharp pictures and an unchanged layout at 150 % and 200 % display scaling.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    restrictNewFilesToOwner();

    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tapvela"));

    SingleInstanceGuard guard;
    if (!guard.claim())
        return 0;

    // The watcher starts before the configuration is read; on the way out its loop ends and its hook goes before
    // the windows do.
    DesktopController desktop;
    desktop.startWatcher();

    int exitCode = 0;
    {
        QSettings startupSettings(configFilePath(), QSettings::IniFormat);
        desktop.openFirstWindow(startupSettings, QCoreApplication::arguments());
        exitCode = QApplication::exec();
    }
    return exitCode;
}
