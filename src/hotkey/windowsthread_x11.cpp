#include "hotkey/windowsthread.h"

#include "app/diagnostics.h"
#include "hotkey/keys_x11.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

QByteArray systemError(const char *what)
{
    return QByteArray(what) + ": " + QByteArray(std::strerror(errno));
}

int virtualKeyForKeycode(Display *display, int keycode)
{
    if (keycode < 8 || keycode > 255)
        return hotkey::vk::other;
    return hotkey::virtualKeyForKeysym(XkbKeycodeToKeysym(display, static_cast<KeyCode>(keycode), 0, 0));
}

} // namespace

// XInput2 raw key events of the whole display, read on the watcher thread through a connection of its own.
// Raw events (XInput 2.2) keep coming while another client grabs the keyboard, as menus and games do.
class WindowsThread::OsEventSource final : public WindowsThread::EventSource
{
public:
    OsEventSource()
    {
        int fds[2] = {-1, -1};
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            writeDiagnosticLine(systemError("hotkey watcher: no wake-up pipe"));
            return;
        }
        m_wakeRead = fds[0];
        m_wakeWrite = fds[1];
    }

    ~OsEventSource() override
    {
        if (m_wakeRead >= 0)
            close(m_wakeRead);
        if (m_wakeWrite >= 0)
            close(m_wakeWrite);
    }

    void wake() override
    {
        m_stopRequested = true;
        // A full pipe already holds a wake-up; nothing more to do then.
        if (m_wakeWrite >= 0 && write(m_wakeWrite, "q", 1) < 0 && errno != EAGAIN)
            writeDiagnosticLine(systemError("hotkey watcher: wake-up failed"));
    }

    void run(WindowsThread &thread) override
    {
        if (m_wakeRead < 0) {
            thread.setState(State::Unavailable);
            return;
        }
        Display *display = XOpenDisplay(nullptr);
        if (!display) {
            writeDiagnosticLine("no X display: the hotkey is not watched");
            thread.setState(State::Unavailable);
            return;
        }
        int opcode = 0;
        if (!selectRawKeys(display, &opcode)) {
            XCloseDisplay(display);
            thread.setState(State::Unavailable);
            return;
        }
        seedModifiers(display);
        thread.setState(State::Watching);
        loop(thread, display, opcode);
        XCloseDisplay(display);
    }

private:
    static bool selectRawKeys(Display *display, int *opcode)
    {
        int event = 0;
        int error = 0;
        if (!XQueryExtension(display, "XInputExtension", opcode, &event, &error)) {
            writeDiagnosticLine("no XInput extension on the X display: the hotkey is not watched");
            return false;
        }
        int major = 2;
        int minor = 2;
        if (XIQueryVersion(display, &major, &minor) != Success || major < 2 || (major == 2 && minor < 2)) {
            writeDiagnosticLine("XInput 2.2 missing on the X display: the hotkey is not watched");
            return false;
        }
        if (!hotkey::selectRawEvents(display, {XI_RawKeyPress, XI_RawKeyRelease})) {
            writeDiagnosticLine("X display refused the raw key events: the hotkey is not watched");
            return false;
        }
        XSync(display, False);
        return true;
    }

    // Modifiers already down when the watcher starts count as held.
    void seedModifiers(Display *display)
    {
        char keys[32] = {};
        XQueryKeymap(display, keys);
        for (int keycode = 8; keycode < 256; ++keycode) {
            if (keys[keycode / 8] & (1 << (keycode % 8)))
                m_modifiers.keyEvent(virtualKeyForKeycode(display, keycode), true);
        }
    }

    void loop(WindowsThread &thread, Display *display, int opcode)
    {
        const int connection = ConnectionNumber(display);
        while (!m_stopRequested) {
            // Xlib may have read events into its queue already: they would not wake poll().
            while (XPending(display) > 0) {
                XEvent event;
                XNextEvent(display, &event);
                handle(thread, display, opcode, event);
            }
            pollfd fds[2] = {{connection, POLLIN, 0}, {m_wakeRead, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                writeDiagnosticLine(systemError("hotkey watcher: poll failed"));
                return;
            }
            if (fds[1].revents != 0)
                return;
            if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                writeDiagnosticLine("hotkey watcher: the X connection was lost");
                return;
            }
        }
    }

    void handle(WindowsThread &thread, Display *display, int opcode, XEvent &event)
    {
        if (event.type == MappingNotify) {
            XRefreshKeyboardMapping(&event.xmapping);
            return;
        }
        XGenericEventCookie *cookie = &event.xcookie;
        if (cookie->type != GenericEvent || cookie->extension != opcode || !XGetEventData(display, cookie))
            return;
        if (cookie->evtype == XI_RawKeyPress || cookie->evtype == XI_RawKeyRelease) {
            const qint64 start = steadyNowNs();
            const auto *raw = static_cast<const XIRawEvent *>(cookie->data);
            hotkey::KeyEvent key;
            key.virtualKey = virtualKeyForKeycode(display, raw->detail);
            key.down = cookie->evtype == XI_RawKeyPress;
            key.held = m_modifiers.held();
            m_modifiers.keyEvent(key.virtualKey, key.down);
            const bool fired = thread.handleKeyEvent(key);
            thread.recordHandling(steadyNowNs() - start);
            if (fired)
                emit thread.hotkeyPressed();
        }
        XFreeEventData(display, cookie);
    }

    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    std::atomic<bool> m_stopRequested{false};
    hotkey::ModifierTracker m_modifiers;
};

std::unique_ptr<WindowsThread::EventSource> WindowsThread::newEventSource()
{
    return std::make_unique<OsEventSource>();
}

Qt::ConnectionType WindowsThread::captureConnection()
{
    return Qt::QueuedConnection;
}
