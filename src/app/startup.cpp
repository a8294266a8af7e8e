#include "app/startup.h"

#include "app/diagnostics.h"
#include "login/mainwindow.h"
#include "settings/settingswindow.h"

#include <QSettings>
#include <QSystemTrayIcon>
#include <QTimer>

QMainWindow *openFirstWindow(QSettings &startupSettings, const QStringList &arguments)
{
    const QString apiKey = startupSettings.value(QStringLiteral("apikey"), QStringLiteral("no")).toString();
    if (apiKey != QLatin1String("no")) {
        writeDiagnosticLine("connected " + maskedApiKey(apiKey));
        auto *window = new SettingsWindow();
        if (arguments.contains(QStringLiteral("silent"))) {
            window->showMinimized();
            // Without a notification area a hidden window could never be reached again: it stays minimised.
            QTimer::singleShot(1000, window, [window] {
                if (QSystemTrayIcon::isSystemTrayAvailable())
                    window->hide();
            });
        } else {
            window->showNormal();
            window->setFocus(Qt::OtherFocusReason);
        }
        return window;
    }
    writeDiagnosticLine("not connected");
    auto *window = new MainWindow();
    window->showNormal();
    window->setFocus(Qt::OtherFocusReason);
    return window;
}
