#include "desktop/desktopcontroller.h"

#include "app/config.h"
#include "app/diagnostics.h"
#include "app/session.h"
#include "app/storedsession.h"
#include "hotkey/windowsthread.h"
#include "login/mainwindow.h"
#include "settings/settingswindow.h"

#include <QApplication>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTimer>

#include <algorithm>

namespace {

// Asked where the capture runs (the watcher thread on Windows) before it touches the clipboard. A settings object
// of that thread's own: the windows' objects belong to the GUI thread, and objects on one file share their values
// within the process, so a default device chosen a moment ago counts.
bool pushPossible()
{
    QSettings config(configFilePath(), QSettings::IniFormat);
    return StoredSession(config).canPush();
}

} // namespace

DesktopController::DesktopController() : m_watcher(std::make_unique<WindowsThread>())
{
    m_watcher->setCaptureCondition(pushPossible);
}

DesktopController::~DesktopController()
{
    m_watcher->stop();
    m_watcher->wait();
    for (const QPointer<QMainWindow> &window : m_windows)
        delete window.data();
}

WindowsThread &DesktopController::watcher()
{
    return *m_watcher;
}

void DesktopController::startWatcher()
{
    m_watcher->start(QThread::InheritPriority);
}

QMainWindow *DesktopController::openFirstWindow(QSettings &startupSettings, const QStringList &arguments)
{
    QMainWindow *first = nullptr;
    const QString apiKey = StoredSession(startupSettings).apiKey();
    if (StoredSession::isSignedIn(apiKey)) {
        writeDiagnosticLine("connected " + maskedApiKey(apiKey));
        SettingsWindow *window = makeSettingsWindow();
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
        first = window;
    } else {
        first = makeLoginWindow(); // says "not connected" itself
        first->showNormal();
        first->setFocus(Qt::OtherFocusReason);
    }
    if (isWaylandSession())
        writeDiagnosticLine("Wayland session: the hotkey works only in X11 applications, not in native Wayland ones");
    return first;
}

SettingsWindow *DesktopController::makeSettingsWindow()
{
    // Built before the login window closes: the settings window turns off the toolkit's quit on the last window
    // closed, which that close would otherwise be.
    auto *window = new SettingsWindow();
    letGoOfCurrentWindow();
    adopt(window);
    // Announced where the capture runs: queued when that is the watcher thread, dropped by Qt when the window goes.
    connect(m_watcher.get(), &WindowsThread::selectionCaptured, window, &SettingsWindow::sendSelection);
    connect(m_watcher.get(), &WindowsThread::createSendingWindow, window, &SettingsWindow::createSendingWindow);
    connect(m_watcher.get(), &WindowsThread::numberNotFound, window, &SettingsWindow::showNumberNotFound);
    connect(window, &SettingsWindow::hotkeyIndexChanged, m_watcher.get(), &WindowsThread::applyHotkeyIndex);
    connect(window, &SettingsWindow::signedOut, this, &DesktopController::signedOut);
    // The window chose its entry while it was built, before anyone listened.
    m_watcher->applyHotkeyIndex(window->hotkeyIndex());
    return window;
}

MainWindow *DesktopController::makeLoginWindow()
{
    auto *window = new MainWindow();
    letGoOfCurrentWindow();
    adopt(window);
    connect(window, &MainWindow::signedIn, this, &DesktopController::signedIn);
    return window;
}

QMainWindow *DesktopController::currentWindow() const
{
    return m_current;
}

void DesktopController::signedIn()
{
    makeSettingsWindow()->showNormal();
}

void DesktopController::signedOut()
{
    makeLoginWindow()->show();
    // Signed out, closing the login window ends the program again.
    QApplication::setQuitOnLastWindowClosed(true);
}

void DesktopController::letGoOfCurrentWindow()
{
    QMainWindow *window = m_current;
    if (!window)
        return;
    // From here on the watcher does not reach it, and nothing it announces switches anything.
    m_watcher->disconnect(window);
    window->disconnect(m_watcher.get());
    window->disconnect(this);
    m_current = nullptr;
    if (qobject_cast<SettingsWindow *>(window)) {
        // It may be inside its own slot (the disconnect button's): deleted once the event loop runs again.
        window->hide();
        window->deleteLater();
    } else {
        // Closing takes its grey tray icon away too. The window stays, hidden, until the controller goes: it may
        // be inside its own reply handler.
        window->close();
    }
}

void DesktopController::adopt(QMainWindow *window)
{
    m_windows.erase(std::remove_if(m_windows.begin(), m_windows.end(),
                                   [](const QPointer<QMainWindow> &each) { return each.isNull(); }),
                    m_windows.end());
    m_windows.emplace_back(window);
    m_current = window;
}
