#include "hotkey/hotkeymatcher.h"

namespace hotkey {

namespace {

// The virtual-key codes of the hotkey list, F1 to F12 three times: alone, with CTRL, with ALT.
constexpr std::uint8_t hotkeyCodes[hotkeyCount] = {
    112, 113, 114, 115, 116, 117, 118, 119, 120, 121, 122, 123, //
    112, 113, 114, 115, 116, 117, 118, 119, 120, 121, 122, 123, //
    112, 113, 114, 115, 116, 117, 118, 119, 120, 121, 122, 123,
};

constexpr std::uint32_t ctrlBit = 1u << 8;
constexpr std::uint32_t altBit = 1u << 9;

std::uint32_t pack(const Hotkey &hotkey)
{
    return static_cast<std::uint32_t>(hotkey.virtualKey) | (hotkey.ctrl ? ctrlBit : 0) | (hotkey.alt ? altBit : 0);
}

Hotkey unpack(std::uint32_t word)
{
    return Hotkey{static_cast<int>(word & 0xFF), (word & ctrlBit) != 0, (word & altBit) != 0};
}

} // namespace

Hotkey hotkeyForIndex(int index)
{
    // Compared as unsigned, so negative indexes fall outside the table too.
    const auto position = static_cast<unsigned>(index);
    if (position >= static_cast<unsigned>(hotkeyCount))
        return Hotkey{vk::f11, false, false};
    return Hotkey{hotkeyCodes[position], position >= 12 && position < 24, position >= 24};
}

int sidedVirtualKey(int virtualKey)
{
    switch (virtualKey) {
    case vk::control:
        return vk::leftControl;
    case vk::menu:
        return vk::leftMenu;
    case vk::shift:
        return vk::leftShift;
    default:
        return virtualKey;
    }
}

unsigned Modifiers::keyFor(int virtualKey)
{
    static constexpr struct
    {
        int virtualKey;
        Key key;
    } keys[] = {
        {vk::leftControl, LeftCtrl}, {vk::rightControl, RightCtrl}, {vk::leftMenu, LeftAlt}, {vk::rightMenu, RightAlt},
        {vk::leftShift, LeftShift},  {vk::rightShift, RightShift},  {vk::leftWin, LeftMeta}, {vk::rightWin, RightMeta},
    };
    const int sided = sidedVirtualKey(virtualKey);
    for (const auto &each : keys) {
        if (each.virtualKey == sided)
            return each.key;
    }
    return 0;
}

void ModifierTracker::keyEvent(int virtualKey, bool down)
{
    const unsigned key = Modifiers::keyFor(virtualKey);
    if (down)
        m_keys |= key;
    else
        m_keys &= ~key;
}

void HotkeyMatcher::applyHotkeyIndex(int index)
{
    m_watched.store(pack(hotkeyForIndex(index)));
}

Hotkey HotkeyMatcher::watched() const
{
    return unpack(m_watched.load());
}

bool HotkeyMatcher::keyEvent(const KeyEvent &event)
{
    if (event.ownKeystroke)
        return false;
    if (!event.down) {
        m_latch = false;
        return false;
    }
    const Hotkey hotkey = watched();
    if (hotkey.virtualKey == 0 || event.virtualKey != hotkey.virtualKey)
        return false;
    if (m_latch)
        return false;
    m_latch = true;
    // Modifiers the hotkey does not ask for are not looked at: with the hotkey F5, CTRL+F5 fires too.
    return (!hotkey.ctrl || event.held.ctrl()) && (!hotkey.alt || event.held.alt());
}

std::vector<Keystroke> copyKeystrokes(Modifiers held, HeldCtrl heldCtrl)
{
    std::vector<Keystroke> keys;
    const bool userCtrl = held.ctrl();
    if ((held.alt() || held.meta()) && !userCtrl) {
        keys.push_back({vk::control, true});
        keys.push_back({vk::control, false});
    }
    const struct
    {
        Modifiers::Key key;
        int virtualKey;
    } releases[] = {
        {Modifiers::LeftAlt, vk::leftMenu},    {Modifiers::RightAlt, vk::rightMenu},
        {Modifiers::LeftMeta, vk::leftWin},    {Modifiers::RightMeta, vk::rightWin},
        {Modifiers::LeftShift, vk::leftShift}, {Modifiers::RightShift, vk::rightShift},
    };
    for (const auto &release : releases) {
        if (held.has(release.key))
            keys.push_back({release.virtualKey, false});
    }
    const bool ownCtrl = !userCtrl || heldCtrl == HeldCtrl::Release;
    if (userCtrl && ownCtrl) {
        if (held.has(Modifiers::LeftCtrl))
            keys.push_back({vk::leftControl, false});
        if (held.has(Modifiers::RightCtrl))
            keys.push_back({vk::rightControl, false});
    }
    if (ownCtrl)
        keys.push_back({vk::control, true});
    keys.push_back({vk::c, true});
    keys.push_back({vk::c, false});
    if (ownCtrl)
        keys.push_back({vk::control, false});
    return keys;
}

} // namespace hotkey
