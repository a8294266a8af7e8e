#include "app/config.h"
#include "app/singleinstance.h"
#include "hotkey/windowsthread.h"
#include "settings/startup.h"

#include <QApplication>
#include <QSettings>

#include <memory>

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

    auto watcher = std::make_unique<WindowsThread>();
    watcher->start(QThread::InheritPriority);

    int exitCode = 0;
    {
        QSettings startupSettings(configFilePath(), QSettings::IniFormat);
        openFirstWindow(startupSettings, QCoreApplication::arguments());
        exitCode = QApplication::exec();
    }

    // End the watcher's loop and remove its hook before its object goes.
    watcher->stop();
    watcher->wait();
    return exitCode;
}
