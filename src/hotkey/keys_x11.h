#pragma once

#include <X11/X.h>
#include <X11/Xlib.h>

#include <initializer_list>

// X keysyms and the Windows virtual-key codes the watcher speaks, both ways.
namespace hotkey {

// F1..F12 are 112..123; the CTRL, ALT (and Meta), SHIFT and Super keys have their left and right codes;
// every other keysym is vk::other.
int virtualKeyForKeysym(KeySym keysym);

// The keysym of a key we synthesise, or NoSymbol.
KeySym keysymForVirtualKey(int virtualKey);

// Asks the X server for these XInput2 raw events (XI_RawKeyPress, ...) of every master device, desktop-wide;
// false when it refuses.
bool selectRawEvents(Display *display, std::initializer_list<int> eventTypes);

} // namespace hotkey
