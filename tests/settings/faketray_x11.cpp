#include "faketray.h"

#include <X11/Xlib.h>

#include <string>

bool provideSystemTray()
{
    // The connection stays open for the whole test: the selection lasts as long as its owner.
    static Display *display = XOpenDisplay(nullptr);
    if (!display)
        return false;
    const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(display));
    const Atom selection = XInternAtom(display, name.c_str(), False);
    const Window owner = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
    XSetSelectionOwner(display, selection, owner, CurrentTime);
    XSync(display, False);
    return XGetSelectionOwner(display, selection) == owner;
}
