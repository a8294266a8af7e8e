#include "hotkey/clipboard.h"

#include "app/diagnostics.h"
#include "hotkey/hotkeymatcher.h"

#include <QClipboard>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMimeData>
#include <QPointer>
#include <QTimer>

#include <map>

#include "hotkey/keys_x11.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace {

constexpr int copyTimeoutMs = 1000;
const QString qtImageFormat = QStringLiteral("application/x-qt-image");

// XTest on a connection of its own, for one capture: the keys reach the window that has the keyboard focus.
class SyntheticKeyboard
{
public:
    SyntheticKeyboard() : m_display(XOpenDisplay(nullptr))
    {
        int event = 0;
        int error = 0;
        int major = 0;
        int minor = 0;
        if (!m_display)
            writeDiagnosticLine("no X display: nothing copied");
        else if (!XTestQueryExtension(m_display, &event, &error, &major, &minor))
            writeDiagnosticLine("no XTEST extension on the X display: nothing copied");
        else
            m_usable = true;
    }

    ~SyntheticKeyboard()
    {
        if (m_display)
            XCloseDisplay(m_display);
    }

    SyntheticKeyboard(const SyntheticKeyboard &) = delete;
    SyntheticKeyboard &operator=(const SyntheticKeyboard &) = delete;

    bool usable() const { return m_usable; }

    // The modifiers down now, and which keycodes hold them.
    hotkey::Modifiers held()
    {
        char keys[32] = {};
        XQueryKeymap(m_display, keys);
        unsigned modifiers = 0;
        for (int keycode = 8; keycode < 256; ++keycode) {
            if (!(keys[keycode / 8] & (1 << (keycode % 8))))
                continue;
            const int virtualKey =
                hotkey::virtualKeyForKeysym(XkbKeycodeToKeysym(m_display, static_cast<KeyCode>(keycode), 0, 0));
            if (const unsigned modifier = hotkey::Modifiers::keyFor(virtualKey)) {
                modifiers |= modifier;
                m_heldKeycodes[virtualKey] = static_cast<KeyCode>(keycode);
            }
        }
        return hotkey::Modifiers(modifiers);
    }

    bool send(const std::vector<hotkey::Keystroke> &keystrokes)
    {
        for (const hotkey::Keystroke &keystroke : keystrokes) {
            // A held modifier is released on the very key the user holds.
            const auto held = m_heldKeycodes.find(keystroke.virtualKey);
            const KeyCode keycode =
                !keystroke.down && held != m_heldKeycodes.end()
                    ? held->second
                    : XKeysymToKeycode(m_display, hotkey::keysymForVirtualKey(keystroke.virtualKey));
            if (keycode == 0) {
                writeDiagnosticLine("no key for the copy on this keyboard: nothing copied");
                return false;
            }
            if (!XTestFakeKeyEvent(m_display, keycode, keystroke.down ? True : False, CurrentTime)) {
                writeDiagnosticLine("copy keystrokes refused by the X display");
                return false;
            }
        }
        XSync(m_display, False);
        return true;
    }

private:
    Display *m_display;
    bool m_usable = false;
    std::map<int, KeyCode> m_heldKeycodes;
};

} // namespace

struct Clipboard::State
{
    bool saved = false;
    bool tookOver = false;
    std::unique_ptr<QMimeData> content; // null: the clipboard was empty
};

Clipboard::Clipboard() : m_state(std::make_unique<State>()) {}

Clipboard::~Clipboard() = default;

bool Clipboard::save()
{
    const QMimeData *data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
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
    m_state->content = std::move(copy);
    m_state->saved = true;
    return true;
}

QString Clipboard::copySelection()
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    // Owning an empty clipboard first makes any copy visible, even of the text the clipboard held already.
    QPointer<QMimeData> placeholder = new QMimeData;
    clipboard->setMimeData(placeholder, QClipboard::Clipboard);
    m_state->tookOver = true;
    const auto replaced = [clipboard, &placeholder] {
        return placeholder.isNull() || clipboard->mimeData(QClipboard::Clipboard) != placeholder.data();
    };

    SyntheticKeyboard keyboard;
    if (!keyboard.usable() || !keyboard.send(hotkey::copyKeystrokes(keyboard.held(), hotkey::HeldCtrl::Release)))
        return QString();

    // The copy may come from a window of this very process: the loop must serve user input too.
    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(clipboard, &QClipboard::dataChanged, &loop, [&loop, &replaced] {
        if (replaced())
            loop.quit();
    });
    if (!replaced()) {
        timeout.start(copyTimeoutMs);
        loop.exec();
    }
    if (!replaced())
        return QString();
    const QMimeData *copied = clipboard->mimeData(QClipboard::Clipboard);
    return copied ? copied->text() : QString();
}

bool Clipboard::restore()
{
    if (!m_state->tookOver)
        return true;
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (!m_state->content) {
        clipboard->clear(QClipboard::Clipboard);
        return true;
    }
    clipboard->setMimeData(m_state->content.release(), QClipboard::Clipboard);
    if (!clipboard->ownsClipboard()) {
        writeDiagnosticLine("clipboard not restored: another program holds it");
        return false;
    }
    return true;
}
