#pragma once

#include "hotkey/hotkeymatcher.h"
#include "hotkey/numbercleaning.h"

#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

// The hotkey watcher: a thread of its own that sees every key event of the desktop (a low-level keyboard
// hook on Windows, XInput2 raw key events on X11) and says when the chosen hotkey is pressed. It never
// swallows a key: the foreground application receives the hotkey too.
class WindowsThread : public QThread
{
    Q_OBJECT

public:
    enum class State { NotStarted, Watching, Unavailable, Finished };

    // Figures for tests and benchmarks.
    struct Statistics
    {
        quint64 keyEvents = 0;     // events handed to the matcher
        quint64 hotkeys = 0;       // of those, the ones that fired
        qint64 longestNs = 0;      // the slowest handling of one event (on Windows, the whole hook procedure)
        qint64 totalNs = 0;        // all handlings together
        qint64 lastHotkeyAtNs = 0; // steady-clock time at which the last hotkey was seen
    };

    WindowsThread();
    ~WindowsThread() override;

    // GUI thread: the hotkey list's entry to watch from the next key event on.
    void applyHotkeyIndex(int index);
    // GUI thread, before start(): asked on each hotkey, where the capture runs, whether a push could go (someone
    // signed in, a default device chosen); when it answers false nothing is captured, and the user's clipboard is
    // not touched. It must be safe on the watcher thread. Without one, every hotkey with a receiver captures.
    void setCaptureCondition(std::function<bool()> condition);
    hotkey::Hotkey watchedHotkey() const;

    // Any thread, any time, even before the thread runs: ends the watcher's loop; the caller then waits.
    void stop();

    State state() const;
    Statistics statistics() const;

    // The steady clock of lastHotkeyAtNs.
    static qint64 steadyNowNs();

signals:
    // The capture on the hotkey found a number to push (the selection, cleaned), and then that the sending
    // indicator is due. Emitted where the capture runs (the watcher thread on Windows, the GUI thread on X11);
    // the settings window of the signed-in user is connected to both, and without a receiver of the first the
    // hotkey does nothing.
    void selectionCaptured(const QString &number);
    void createSendingWindow();
    // The capture found no number in the selection, or several (never Found): the user is told why nothing was
    // pushed. Emitted where the capture runs, like the two above.
    void numberNotFound(NumberSearch why);
    // Emitted on the watcher thread, once the event that fired has been passed on; on Windows it comes from
    // the thread's message loop, after the hook procedure has returned.
    void hotkeyPressed();

protected:
    void run() override;

private:
    // Where key events come from, run on the watcher thread; one implementation per operating system.
    class EventSource
    {
    public:
        virtual ~EventSource() = default;
        virtual void run(WindowsThread &thread) = 0;
        // Any thread: makes run() return soon.
        virtual void wake() = 0;
    };
    class OsEventSource;
    friend class OsEventSource;
    static std::unique_ptr<EventSource> newEventSource();

    // The watcher thread, for every key event: true when it fires the hotkey.
    bool handleKeyEvent(const hotkey::KeyEvent &event);
    void recordHandling(qint64 nanoseconds);
    void setState(State state);
    // How the capture is reached from hotkeyPressed: directly on the watcher thread on Windows (the message
    // loop serves the hook meanwhile), queued into the GUI thread on X11 (the X clipboard needs its loop).
    static Qt::ConnectionType captureConnection();
    void capture();

    std::unique_ptr<EventSource> m_source;
    hotkey::HotkeyMatcher m_matcher;
    std::function<bool()> m_captureCondition;
    std::atomic<int> m_state{static_cast<int>(State::NotStarted)};
    std::atomic<quint64> m_keyEvents{0};
    std::atomic<quint64> m_hotkeys{0};
    std::atomic<qint64> m_longestNs{0};
    std::atomic<qint64> m_totalNs{0};
    std::atomic<qint64> m_lastHotkeyAtNs{0};
};
