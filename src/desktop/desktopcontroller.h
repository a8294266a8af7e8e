#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>

#include <memory>
#include <vector>

class MainWindow;
class QMainWindow;
class QSettings;
class SettingsWindow;
class WindowsThread;

// The program's one hotkey watcher and its windows, and the switch between them: the login window until a
// sign-in, then the settings window until a disconnect, then a new login window. The current settings window,
// and no other, is connected to the watcher: it answers the hotkey and chooses the key watched. The windows know
// nothing of each other; they announce (MainWindow::signedIn, SettingsWindow::signedOut) and the controller
// switches. GUI thread; main makes one.
class DesktopController final : public QObject
{
    Q_OBJECT

public:
    // Builds the watcher, not yet started.
    DesktopController();
    // Ends the watcher's loop (its hook goes with it) and waits for the thread, then takes the windows down.
    ~DesktopController() override;

    WindowsThread &watcher();
    // At the priority of the calling thread.
    void startWatcher();

    // The first window: the settings window when an api key is stored, else the login window. With the argument
    // "silent" (exact, whole argument) a signed-in program starts minimised and hides itself a second later, so
    // that it starts in the tray (on a desktop without a tray it stays minimised). In a Wayland session it then
    // says on standard output that the hotkey works only in X11 applications.
    QMainWindow *openFirstWindow(QSettings &startupSettings, const QStringList &arguments);

    // The switches, also what the announcements lead to: the new window becomes the current one, built and
    // connected but not shown; the one before is let go (a login window is closed and kept hidden, a settings
    // window is hidden and deleted once the event loop runs again).
    SettingsWindow *makeSettingsWindow();
    MainWindow *makeLoginWindow();

    // The window the controller switched to last; null once it went.
    QMainWindow *currentWindow() const;

private:
    void signedIn();
    void signedOut();
    void letGoOfCurrentWindow();
    void adopt(QMainWindow *window);

    std::unique_ptr<WindowsThread> m_watcher;
    QPointer<QMainWindow> m_current;
    // Every window made and not yet gone: taken down with the controller.
    std::vector<QPointer<QMainWindow>> m_windows;
};
