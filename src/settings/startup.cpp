#include "settings/startup.h"

#include "app/diagnostics.h"
#include "app/session.h"
#include "app/storedsession.h"
#include "login/mainwindow.h"
#include "settings/settingswindow.h"

#include <QSettings>
#include <QSystemTrayIcon>
#include <QTimer>

namespace {

QMainWindow *openWindow(QSettings &startupSettings, const QStringList &arguments)
{
    const QString apiKey = StoredSession(startupSettings).apiKey();
    if (StoredSession::isSignedIn(apiKey)) {
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
    auto *window = new MainWindow(); // says "not connected" itself
    window->showNormal();
    window->setFocus(Qt::OtherFocusReason);
    return window;
}

} // namespace

QMainWindow *openFirstWindow(QSettings &startupSettings, const QStringList &arguments)
{
    QMainWindow *window = openWindow(startupSettings, arguments);
    if (isWaylandSession())
        writeDiagnosticLine("Wayland session: the hotkey works only in X11 applications, not in native Wayland ones");
    return window;
}
