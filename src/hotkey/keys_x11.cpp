#include "hotkey/keys_x11.h"

#include <X11/extensions/XInput2.h>

#include "hotkey/hotkeymatcher.h"

#include <X11/keysym.h>

namespace hotkey {

int virtualKeyForKeysym(KeySym keysym)
{
    if (keysym >= XK_F1 && keysym <= XK_F12)
        return vk::f1 + static_cast<int>(keysym - XK_F1);
    switch (keysym) {
    case XK_Control_L:
        return vk::leftControl;
    case XK_Control_R:
        return vk::rightControl;
    case XK_Alt_L:
    case XK_Meta_L:
        return vk::leftMenu;
    case XK_Alt_R:
    case XK_Meta_R:
        return vk::rightMenu;
    case XK_Shift_L:
        return vk::leftShift;
    case XK_Shift_R:
        return vk::rightShift;
    case XK_Super_L:
        return vk::leftWin;
    case XK_Super_R:
        return vk::rightWin;
    default:
        return vk::other;
    }
}

KeySym keysymForVirtualKey(int virtualKey)
{
    if (virtualKey >= vk::f1 && virtualKey <= vk::f12)
        return XK_F1 + static_cast<KeySym>(virtualKey - vk::f1);
    switch (virtualKey) {
    case vk::control:
    case vk::leftControl:
        return XK_Control_L;
    case vk::rightControl:
        return XK_Control_R;
    case vk::menu:
    case vk::leftMenu:
        return XK_Alt_L;
    case vk::rightMenu:
        return XK_Alt_R;
    case vk::shift:
    case vk::leftShift:
        return XK_Shift_L;
    case vk::rightShift:
        return XK_Shift_R;
    case vk::leftWin:
        return XK_Super_L;
    case vk::rightWin:
        return XK_Super_R;
    case vk::c:
        return XK_c;
    default:
        return NoSymbol;
    }
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
