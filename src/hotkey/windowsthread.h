#pragma once

#include <QThread>

#include <atomic>

// The hotkey watcher: a thread of its own that sees every key event of the desktop.
class WindowsThread : public QThread
{
    Q_OBJECT

public:
    WindowsThread();
    ~WindowsThread() override;

    void applyHotkeyIndex(int index);

    // Ends the watcher's loop; the caller then waits for the thread.
    void stop();

signals:
    void createSendingWindow();

protected:
    void run() override;
};

extern std::atomic<WindowsThread *> hotkeyWatcher;
