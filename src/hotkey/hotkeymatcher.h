#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

// The hotkey decisions, apart from any operating system: the hotkey table, the key-down latch, the modifier
// bookkeeping and the keystrokes of the synthetic copy. The event sources of each system only translate their
// key events into calls of these.
namespace hotkey {

// Windows virtual-key codes, the codes every event source speaks.
namespace vk {
constexpr int shift = 0x10;
constexpr int control = 0x11;
constexpr int menu = 0x12; // ALT
constexpr int c = 0x43;
constexpr int leftWin = 0x5B;
constexpr int rightWin = 0x5C;
constexpr int f1 = 112;
constexpr int f10 = 121;
constexpr int f11 = 122;
constexpr int f12 = 123;
constexpr int leftShift = 0xA0;
constexpr int rightShift = 0xA1;
constexpr int leftControl = 0xA2;
constexpr int rightControl = 0xA3;
constexpr int leftMenu = 0xA4;
constexpr int rightMenu = 0xA5;
// Any key the watcher has no name for; no hotkey uses it, and its release re-arms the latch like any other.
constexpr int other = 0xFF;
} // namespace vk

// One entry of the hotkey list: F1 to F12, alone, with CTRL or with ALT.
struct Hotkey
{
    int virtualKey = 0; // 0: no hotkey, which no key event carries
    bool ctrl = false;
    bool alt = false;
};

constexpr int hotkeyCount = 36;

// The entry at a position of the hotkey list; any index outside 0..35, negative ones included, is F11 alone.
Hotkey hotkeyForIndex(int index);

// The code of the key a side-less modifier code (CONTROL, MENU, SHIFT) stands for, the left one; any other
// code as it is.
int sidedVirtualKey(int virtualKey);

// The modifier keys held down, left and right apart.
class Modifiers
{
public:
    enum Key : unsigned {
        LeftCtrl = 1u << 0,
        RightCtrl = 1u << 1,
        LeftAlt = 1u << 2,
        RightAlt = 1u << 3,
        LeftShift = 1u << 4,
        RightShift = 1u << 5,
        LeftMeta = 1u << 6,
        RightMeta = 1u << 7,
    };

    constexpr Modifiers() = default;
    constexpr explicit Modifiers(unsigned keys) : m_keys(keys) {}

    unsigned keys() const { return m_keys; }
    bool has(Key key) const { return (m_keys & key) != 0; }
    bool ctrl() const { return (m_keys & (LeftCtrl | RightCtrl)) != 0; }
    bool alt() const { return (m_keys & (LeftAlt | RightAlt)) != 0; }
    bool shift() const { return (m_keys & (LeftShift | RightShift)) != 0; }
    bool meta() const { return (m_keys & (LeftMeta | RightMeta)) != 0; }
    bool any() const { return m_keys != 0; }

    // The modifier a virtual-key code stands for, or 0; the side-less codes count as the left key.
    static unsigned keyFor(int virtualKey);

private:
    unsigned m_keys = 0;
};

// Follows the modifiers from a stream of key events, for sources that report no modifier state of their own.
class ModifierTracker
{
public:
    void keyEvent(int virtualKey, bool down);
    Modifiers held() const { return Modifiers(m_keys); }

private:
    unsigned m_keys = 0;
};

// One key event as a source reports it.
struct KeyEvent
{
    int virtualKey = 0;
    bool down = true;
    bool ownKeystroke = false; // one of this program's own copy keystrokes
    Modifiers held;            // the modifiers down when the event happened
};

// Watches one hotkey. The watched hotkey is one word, written whole by the GUI thread and read whole by the
// watcher thread, so a change never shows half made; the latch belongs to the watcher thread alone.
class HotkeyMatcher
{
public:
    // Any thread. The latch is left as it is; the next key event sees the new hotkey.
    void applyHotkeyIndex(int index);
    Hotkey watched() const;

    // The watcher thread, for every key event: true when the event fires the hotkey. A held hotkey fires
    // once: its auto-repeated key-downs are ignored until a key, any key, is released. Our own copy keystrokes
    // neither fire nor touch the latch, so those sent while the user still holds the hotkey do not re-arm it;
    // keys injected by other programs (on-screen keyboards, remapping tools, remote desktops) are the user's.
    bool keyEvent(const KeyEvent &event);

private:
    std::atomic<std::uint32_t> m_watched{0};
    bool m_latch = false;
};

// One synthetic key event.
struct Keystroke
{
    int virtualKey = 0;
    bool down = true;

    bool operator==(const Keystroke &other) const { return virtualKey == other.virtualKey && down == other.down; }
};

// What the copy does with a CTRL that the user still holds.
enum class HeldCtrl {
    // Used as it is: only C is pressed. A synthetic CTRL-up would make the application believe CTRL was
    // released while the user holds it (Windows, where the copy first waits for the modifiers to go up).
    Use,
    // Released, and our own CTRL pressed around C: the user may let CTRL go at any moment, and C alone would
    // then type a "c" over the selection (X11, where the copy starts at once).
    Release,
};

// The keystrokes that copy the selection while the user may still hold modifiers. A held ALT or Windows key
// is released while a CTRL is down (the user's, or a tap of our own), so that its release opens no menu; a
// held SHIFT is released, so the copy is not CTRL+SHIFT+C.
std::vector<Keystroke> copyKeystrokes(Modifiers held, HeldCtrl heldCtrl);

} // namespace hotkey
