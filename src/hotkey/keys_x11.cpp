#include "hotkey/keys_x11.h"

#include <X11/extensions/XInput2.h>

#include "hotkey/hotkeymatcher.h"

#include <X11/keysym.h>

namespace hotkey {

namespace {

// The modifier keys' keysyms. ALT and Meta name the same keys: the ALT keysym, listed first, is the one we
// synthesise.
constexpr struct
{
    KeySym keysym;
    int virtualKey;
} modifierKeysyms[] = {
    {XK_Control_L, vk::leftControl}, {XK_Control_R, vk::rightControl}, {XK_Alt_L, vk::leftMenu},
    {XK_Meta_L, vk::leftMenu},       {XK_Alt_R, vk::rightMenu},        {XK_Meta_R, vk::rightMenu},
    {XK_Shift_L, vk::leftShift},     {XK_Shift_R, vk::rightShift},     {XK_Super_L, vk::leftWin},
    {XK_Super_R, vk::rightWin},
};

} // namespace

int virtualKeyForKeysym(KeySym keysym)
{
    if (keysym >= XK_F1 && keysym <= XK_F12)
        return vk::f1 + static_cast<int>(keysym - XK_F1);
    for (const auto &key : modifierKeysyms) {
        if (key.keysym == keysym)
            return key.virtualKey;
    }
    return vk::other;
}

KeySym keysymForVirtualKey(int virtualKey)
{
    if (virtualKey >= vk::f1 && virtualKey <= vk::f12)
        return XK_F1 + static_cast<KeySym>(virtualKey - vk::f1);
    if (virtualKey == vk::c)
        return XK_c;
    const int sided = sidedVirtualKey(virtualKey);
    for (const auto &key : modifierKeysyms) {
        if (key.virtualKey == sided)
            return key.keysym;
    }
    return NoSymbol;
}

bool selectRawEvents(Display *display, std::initializer_list<int> eventTypes)
{
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    for (const int type : eventTypes)
        XISetMask(bits, type);
    XIEventMask mask;
    mask.deviceid = XIAllMasterDevices;
    mask.mask_len = sizeof bits;
    mask.mask = bits;
    return XISelectEvents(display, DefaultRootWindow(display), &mask, 1) == Success;
}

} // namespace hotkey
