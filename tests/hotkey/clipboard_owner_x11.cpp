// Another program of the desktop, for the tests: it takes the CLIPBOARD selection with the text of its argument,
// writes "owned" once the X server has made it the owner, and serves the text, as a plain Xlib client does,
// until another client takes the selection.

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: clipboard_owner TEXT\n");
        return 2;
    }
    const std::string text = argv[1];
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "clipboard_owner: no X display\n");
        return 1;
    }
    const Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
    const Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    const Atom targets = XInternAtom(display, "TARGETS", False);
    const Atom timestampAtom = XInternAtom(display, "TIMESTAMP", False);
    const Atom textAtom = XInternAtom(display, "TEXT", False);

    // The time of the ownership comes from the server, as ICCCM asks, not CurrentTime.
    XSelectInput(display, window, PropertyChangeMask);
    XChangeProperty(display, window, XA_WM_NAME, XA_STRING, 8, PropModeAppend, nullptr, 0);
    XEvent event;
    XWindowEvent(display, window, PropertyChangeMask, &event);
    const Time owned = event.xproperty.time;
    XSetSelectionOwner(display, clipboard, window, owned);
    if (XGetSelectionOwner(display, clipboard) != window) {
        std::fprintf(stderr, "clipboard_owner: the selection was not given\n");
        return 1;
    }
    std::printf("owned\n");
    std::fflush(stdout);

    for (;;) {
        XNextEvent(display, &event);
        if (event.type == SelectionClear)
            break;
        if (event.type != SelectionRequest)
            continue;
        const XSelectionRequestEvent &request = event.xselectionrequest;
        XSelectionEvent answer = {};
        answer.type = SelectionNotify;
        answer.display = display;
        answer.requestor = request.requestor;
        answer.selection = request.selection;
        answer.target = request.target;
        answer.time = request.time;
        answer.property = None;
        const Atom property = request.property != None ? request.property : request.target;
        // A request from before the ownership is refused, as careful owners do.
        const bool current = request.time == CurrentTime || request.time >= owned;
        if (current && request.target == targets) {
            const Atom offered[] = {targets, timestampAtom, utf8, XA_STRING, textAtom};
            XChangeProperty(display, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char *>(offered), 5);
            answer.property = property;
        } else if (current && request.target == timestampAtom) {
            const long time = static_cast<long>(owned);
            XChangeProperty(display, request.requestor, property, XA_INTEGER, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char *>(&time), 1);
            answer.property = property;
        } else if (current && (request.target == utf8 || request.target == XA_STRING || request.target == textAtom)) {
            XChangeProperty(display, request.requestor, property, request.target == XA_STRING ? XA_STRING : utf8, 8,
                            PropModeReplace, reinterpret_cast<const unsigned char *>(text.data()),
                            static_cast<int>(text.size()));
            answer.property = property;
        }
        XSendEvent(display, request.requestor, False, NoEventMask, reinterpret_cast<XEvent *>(&answer));
        XFlush(display);
    }
    XCloseDisplay(display);
    return 0;
}
