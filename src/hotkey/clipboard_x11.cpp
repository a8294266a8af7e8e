#include "hotkey/clipboard.h"

#include "app/diagnostics.h"
#include "hotkey/hotkeymatcher.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMimeData>
#include <QSocketNotifier>
#include <QTimer>
#include <QX11Info>

#include <algorithm>
#include <functional>
#include <map>

#include "hotkey/keys_x11.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>
#include <xcb/xcb.h>

// How the copy is told apart from every other clipboard change. X tells the order of events exactly: our own
// connection watches the CLIPBOARD owner (XFixes) and, just before the CTRL+C, changes a property of its own
// window; the server queues the PropertyNotify behind every owner change it made earlier. So an owner change
// that arrives after that mark happened after it, and one that arrives before it is another program's earlier
// copy, however late the toolkit would have told us of it. The copied text is then asked from the new owner
// with the time of its ownership, and the user's clipboard is put back with a time taken from the server:
// a stale time would make the X server ignore the request silently.
namespace {

constexpr int copyTimeoutMs = 1000;
// After a capture that saw no copy, the copy may still come: for this long it is undone.
constexpr int lateCopyWatchMs = 5000;
// A phone number is short; a longer selection is not read at all.
constexpr long maxTextBytes = 64 * 1024;
const QString qtImageFormat = QStringLiteral("application/x-qt-image");

// Our own connection to the X server for one capture: XTest for the keys, XFixes for the clipboard's owner,
// and a window to mark the time and receive the copied text.
class XSession
{
public:
    XSession() : m_display(XOpenDisplay(nullptr))
    {
        int event = 0;
        int error = 0;
        int major = 0;
        int minor = 0;
        if (!m_display) {
            writeDiagnosticLine("no X display: nothing copied");
            return;
        }
        if (!XTestQueryExtension(m_display, &event, &error, &major, &minor)) {
            writeDiagnosticLine("no XTEST extension on the X display: nothing copied");
            return;
        }
        if (!XFixesQueryExtension(m_display, &m_xfixesEvent, &error)) {
            writeDiagnosticLine("no XFIXES extension on the X display: nothing copied");
            return;
        }
        m_clipboard = XInternAtom(m_display, "CLIPBOARD", False);
        m_utf8 = XInternAtom(m_display, "UTF8_STRING", False);
        m_incr = XInternAtom(m_display, "INCR", False);
        m_marker = XInternAtom(m_display, "_TAPVELA_MARK", False);
        m_property = XInternAtom(m_display, "_TAPVELA_COPY", False);
        m_window = XCreateSimpleWindow(m_display, DefaultRootWindow(m_display), -10, -10, 1, 1, 0, 0, 0);
        XSelectInput(m_display, m_window, PropertyChangeMask);
        XFixesSelectSelectionInput(m_display, DefaultRootWindow(m_display), m_clipboard,
                                   XFixesSetSelectionOwnerNotifyMask);
        selectUserInput();
        m_usable = true;
    }

    ~XSession()
    {
        if (!m_display)
            return;
        if (m_window)
            XDestroyWindow(m_display, m_window);
        XCloseDisplay(m_display);
    }

    XSession(const XSession &) = delete;
    XSession &operator=(const XSession &) = delete;

    bool usable() const { return m_usable; }

    // The server's time now. The events queued before the mark happened before now: they go to earlier(), or are
    // dropped.
    Time mark(const std::function<void(const XEvent &)> &earlier = {})
    {
        XChangeProperty(m_display, m_window, m_marker, XA_STRING, 8, PropModeAppend, nullptr, 0);
        XEvent event;
        for (;;) {
            XNextEvent(m_display, &event);
            noteUserInput(event);
            if (event.type == PropertyNotify && event.xproperty.window == m_window && event.xproperty.atom == m_marker)
                return event.xproperty.time;
            if (earlier)
                earlier(event);
        }
    }

    // The owner change of the CLIPBOARD this event reports, if it is one to a new owner.
    const XFixesSelectionNotifyEvent *ownerChange(const XEvent &event) const
    {
        if (event.type != m_xfixesEvent + XFixesSelectionNotify)
            return nullptr;
        const auto *change = reinterpret_cast<const XFixesSelectionNotifyEvent *>(&event);
        if (change->selection != m_clipboard || change->subtype != XFixesSetSelectionOwnerNotify ||
            change->owner == None)
            return nullptr;
        return change;
    }

    // Runs the event loop (the copy may come from a window of this very process) until accept() takes an event of
    // our connection, or the time is up.
    bool waitFor(const std::function<bool(const XEvent &)> &accept, int timeoutMs)
    {
        bool accepted = false;
        QEventLoop loop;
        const auto drain = [&] {
            while (!accepted && XPending(m_display) > 0) {
                XEvent event;
                XNextEvent(m_display, &event);
                noteUserInput(event);
                accepted = accept(event);
            }
            if (accepted)
                loop.quit();
        };
        // Xlib may already hold events in its queue: they would not wake the notifier.
        drain();
        if (accepted)
            return true;
        QSocketNotifier notifier(ConnectionNumber(m_display), QSocketNotifier::Read);
        QObject::connect(&notifier, &QSocketNotifier::activated, &loop, drain);
        QTimer timeout;
        timeout.setSingleShot(true);
        QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
        timeout.start(timeoutMs);
        loop.exec();
        return accepted;
    }

    // The CLIPBOARD's text as its owner of that time gives it, or an empty text.
    QString text(Time ownedSince)
    {
        for (const Atom target : {m_utf8, Atom(XA_STRING)}) {
            XDeleteProperty(m_display, m_window, m_property);
            XConvertSelection(m_display, m_clipboard, target, m_property, m_window, ownedSince);
            Atom answered = None;
            const bool notified = waitFor(
                [this, &answered](const XEvent &event) {
                    if (event.type != SelectionNotify || event.xselection.requestor != m_window)
                        return false;
                    answered = event.xselection.property;
                    return true;
                },
                copyTimeoutMs);
            if (!notified) {
                writeDiagnosticLine("the copied text was not delivered");
                return QString();
            }
            if (answered == None)
                continue;
            Atom type = None;
            int format = 0;
            unsigned long items = 0;
            unsigned long left = 0;
            unsigned char *data = nullptr;
            const int status = XGetWindowProperty(m_display, m_window, m_property, 0, maxTextBytes / 4, True,
                                                  AnyPropertyType, &type, &format, &items, &left, &data);
            QString text;
            bool tooLong = false;
            if (status == Success && (type == m_incr || left > 0))
                tooLong = true;
            else if (status == Success && format == 8 && data)
                text = type == XA_STRING ? QString::fromLatin1(reinterpret_cast<const char *>(data), int(items))
                                         : QString::fromUtf8(reinterpret_cast<const char *>(data), int(items));
            if (data)
                XFree(data);
            if (tooLong) {
                writeDiagnosticLine("the copied text is too long to be a number");
                return QString();
            }
            if (status == Success && format == 8)
                return text;
        }
        return QString();
    }

    // The X client that has the keyboard focus (the one the copy keys go to), as the base of its resource ids;
    // 0 when the focus is on no window.
    unsigned long focusedClient() const
    {
        Window focus = None;
        int revert = 0;
        XGetInputFocus(m_display, &focus, &revert);
        if (focus == None || focus == PointerRoot)
            return 0;
        return clientOf(focus);
    }

    static unsigned long clientOf(Window window)
    {
        const xcb_setup_t *setup = toolkitSetup();
        return setup ? window & ~static_cast<unsigned long>(setup->resource_id_mask) : 0;
    }

    // This process's own client, the toolkit's connection.
    static unsigned long ownClient()
    {
        const xcb_setup_t *setup = toolkitSetup();
        return setup ? setup->resource_id_base : 0;
    }

    Window clipboardOwner() const { return XGetSelectionOwner(m_display, m_clipboard); }

    // From now on, a key or button that the user presses is noted: a copy after it may be the user's own. The
    // first ownKeyPresses key presses are the ones we are about to send: the server may report them later.
    void watchUserInput(int ownKeyPresses)
    {
        m_watchingInput = true;
        m_userInput = false;
        m_ownKeyPresses = ownKeyPresses;
    }
    bool userInput() const { return m_userInput; }
    bool watchingInput() const { return m_watchingInput && m_xinputOpcode >= 0; }

    void noteUserInput(const XEvent &event)
    {
        if (!m_watchingInput || event.xcookie.type != GenericEvent || event.xcookie.extension != m_xinputOpcode)
            return;
        if (event.xcookie.evtype == XI_RawKeyPress && m_ownKeyPresses > 0)
            --m_ownKeyPresses;
        else if (event.xcookie.evtype == XI_RawKeyPress || event.xcookie.evtype == XI_RawButtonPress)
            m_userInput = true;
    }

    Display *display() const { return m_display; }

private:
    void selectUserInput()
    {
        int event = 0;
        int error = 0;
        int major = 2;
        int minor = 0;
        if (!XQueryExtension(m_display, "XInputExtension", &m_xinputOpcode, &event, &error) ||
            XIQueryVersion(m_display, &major, &minor) != Success) {
            m_xinputOpcode = -1;
            return;
        }
        if (!hotkey::selectRawEvents(m_display, {XI_RawKeyPress, XI_RawButtonPress}))
            m_xinputOpcode = -1;
    }

    static const xcb_setup_t *toolkitSetup()
    {
        xcb_connection_t *connection = QX11Info::connection();
        return connection ? xcb_get_setup(connection) : nullptr;
    }

    Display *m_display;
    bool m_usable = false;
    int m_xfixesEvent = 0;
    Window m_window = None;
    Atom m_clipboard = None;
    Atom m_utf8 = None;
    Atom m_incr = None;
    Atom m_marker = None;
    Atom m_property = None;
    int m_xinputOpcode = -1;
    bool m_watchingInput = false;
    bool m_userInput = false;
    int m_ownKeyPresses = 0;
};

// The modifiers down now, and which keycodes hold them.
hotkey::Modifiers heldModifiers(Display *display, std::map<int, KeyCode> *heldKeycodes)
{
    char keys[32] = {};
    XQueryKeymap(display, keys);
    unsigned modifiers = 0;
    for (int keycode = 8; keycode < 256; ++keycode) {
        if (!(keys[keycode / 8] & (1 << (keycode % 8))))
            continue;
        const int virtualKey =
            hotkey::virtualKeyForKeysym(XkbKeycodeToKeysym(display, static_cast<KeyCode>(keycode), 0, 0));
        if (const unsigned modifier = hotkey::Modifiers::keyFor(virtualKey)) {
            modifiers |= modifier;
            (*heldKeycodes)[virtualKey] = static_cast<KeyCode>(keycode);
        }
    }
    return hotkey::Modifiers(modifiers);
}

bool sendKeys(Display *display, const std::vector<hotkey::Keystroke> &keystrokes,
              const std::map<int, KeyCode> &heldKeycodes)
{
    for (const hotkey::Keystroke &keystroke : keystrokes) {
        // A held modifier is released on the very key the user holds.
        const auto held = heldKeycodes.find(keystroke.virtualKey);
        const KeyCode keycode = !keystroke.down && held != heldKeycodes.end()
                                    ? held->second
                                    : XKeysymToKeycode(display, hotkey::keysymForVirtualKey(keystroke.virtualKey));
        if (keycode == 0) {
            writeDiagnosticLine("no key for the copy on this keyboard: nothing copied");
            return false;
        }
        if (!XTestFakeKeyEvent(display, keycode, keystroke.down ? True : False, CurrentTime)) {
            writeDiagnosticLine("copy keystrokes refused by the X display");
            return false;
        }
    }
    XFlush(display);
    return true;
}

// Puts saved content (null: an empty clipboard) on the clipboard through the toolkit, which then serves it.
bool putBack(std::unique_ptr<QMimeData> content, Time now)
{
    // The toolkit claims the selection with the last time it saw, which may be older than the copy's.
    if (now > QX11Info::appTime())
        QX11Info::setAppTime(now);
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (!content) {
        clipboard->clear(QClipboard::Clipboard);
        return true;
    }
    clipboard->setMimeData(content.release(), QClipboard::Clipboard);
    if (!clipboard->ownsClipboard()) {
        writeDiagnosticLine("clipboard not restored: another program holds it");
        return false;
    }
    return true;
}

std::unique_ptr<QMimeData> copyOf(const QMimeData *data)
{
    auto copy = std::make_unique<QMimeData>();
    if (data) {
        for (const QString &format : data->formats()) {
            // Selection machinery such as TARGETS or TIMESTAMP is no content: content types are MIME types.
            if (!format.contains(QLatin1Char('/')))
                continue;
            // Qt's own image type carries a QImage, not bytes.
            if (format == qtImageFormat)
                copy->setImageData(data->imageData());
            else
                copy->setData(format, data->data(format));
        }
    }
    if (copy->formats().isEmpty())
        copy.reset();
    return copy;
}

// After a capture that saw no copy within its time: if the application copies after all, its copy is undone,
// so that the user's clipboard is not left holding the selection. Only the copy that our keys caused counts: an
// owner change to the X client that had the focus, with no key or button pressed by the user since our keys (a
// copy of the user's own needs one). Any other change (another program's, this process's, or one after the user
// pressed something) ends the watch and stays. Without XInput the user's presses cannot be seen, and nothing is
// undone.
class LateCopyGuard final : public QObject
{
public:
    LateCopyGuard(std::unique_ptr<XSession> session, std::unique_ptr<QMimeData> content, unsigned long client)
        : QObject(QCoreApplication::instance()), m_session(std::move(session)), m_content(std::move(content)),
          m_client(client), m_notifier(ConnectionNumber(m_session->display()), QSocketNotifier::Read)
    {
        stopCurrent();
        current = this;
        connect(&m_notifier, &QSocketNotifier::activated, this, &LateCopyGuard::look);
        QTimer::singleShot(lateCopyWatchMs, this, [this] { finish(); });
        look();
    }

    ~LateCopyGuard() override
    {
        if (current == this)
            current = nullptr;
    }

    // A new capture starts: its own clipboard changes must not be taken for the late copy.
    static void stopCurrent()
    {
        if (current)
            current->finish();
    }

private:
    void look()
    {
        Display *display = m_session->display();
        while (!m_done && XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            m_session->noteUserInput(event);
            const XFixesSelectionNotifyEvent *change = m_session->ownerChange(event);
            if (!change)
                continue;
            if (m_client != 0 && m_client != XSession::ownClient() && XSession::clientOf(change->owner) == m_client &&
                m_session->watchingInput() && !m_session->userInput()) {
                writeDiagnosticLine("a late copy was undone");
                putBack(std::move(m_content), m_session->mark());
            }
            finish();
        }
    }

    void finish()
    {
        if (m_done)
            return;
        m_done = true;
        m_notifier.setEnabled(false);
        if (current == this)
            current = nullptr;
        deleteLater();
    }

    // Captures and their guards live on the GUI thread only.
    static inline LateCopyGuard *current = nullptr;

    std::unique_ptr<XSession> m_session;
    std::unique_ptr<QMimeData> m_content;
    unsigned long m_client;
    QSocketNotifier m_notifier;
    bool m_done = false;
};

} // namespace

struct Clipboard::State
{
    std::unique_ptr<XSession> session;
    bool saved = false;
    std::unique_ptr<QMimeData> content; // null: the clipboard was empty
    bool keysSent = false;
    bool copied = false;
    Window copyOwner = None;
    unsigned long focusedClient = 0;
};

Clipboard::Clipboard() : m_state(std::make_unique<State>())
{
    LateCopyGuard::stopCurrent();
    m_state->session = std::make_unique<XSession>();
}

Clipboard::~Clipboard() = default;

bool Clipboard::save()
{
    XSession &session = *m_state->session;
    // Our reading asks the owner with the toolkit's time, which must not be older than the owner's ownership: a
    // careful owner refuses such a request.
    if (session.usable()) {
        const Time now = session.mark();
        if (now > QX11Info::appTime())
            QX11Info::setAppTime(now);
    }
    m_state->content = copyOf(QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard));
    m_state->saved = true;
    return true;
}

std::optional<QString> Clipboard::copySelection()
{
    State &state = *m_state;
    XSession &session = *state.session;
    if (!session.usable())
        return QString();
    std::map<int, KeyCode> heldKeycodes;
    const hotkey::Modifiers held = heldModifiers(session.display(), &heldKeycodes);
    state.focusedClient = session.focusedClient();
    const std::vector<hotkey::Keystroke> keystrokes = hotkey::copyKeystrokes(held, hotkey::HeldCtrl::Release);
    session.mark();
    session.watchUserInput(int(std::count_if(keystrokes.begin(), keystrokes.end(),
                                             [](const hotkey::Keystroke &keystroke) { return keystroke.down; })));
    if (!sendKeys(session.display(), keystrokes, heldKeycodes))
        return QString();
    state.keysSent = true;

    Time ownedSince = CurrentTime;
    const auto takeCopy = [&](const XEvent &event) {
        const XFixesSelectionNotifyEvent *change = session.ownerChange(event);
        if (!change || state.copied)
            return false;
        ownedSince = change->selection_timestamp;
        state.copyOwner = change->owner;
        state.copied = true;
        return true;
    };
    // The copy may already be in by the time the server has handled our keys.
    session.mark(takeCopy);
    if (!state.copied)
        session.waitFor(takeCopy, copyTimeoutMs);
    if (!state.copied)
        return QString();
    return session.text(ownedSince);
}

bool Clipboard::restore()
{
    State &state = *m_state;
    if (!state.saved || !state.keysSent)
        return true;
    if (!state.copied) {
        // Nothing changed; but the application may still copy: that copy is undone when it comes.
        new LateCopyGuard(std::move(state.session), std::move(state.content), state.focusedClient);
        return true;
    }
    // Another program that took the clipboard after the copy holds the newest content: it stays.
    XSession &session = *state.session;
    const Time now = session.mark();
    if (session.clipboardOwner() != state.copyOwner) {
        writeDiagnosticLine("clipboard not restored: another program copied meanwhile");
        return true;
    }
    return putBack(std::move(state.content), now);
}
