#pragma once

// A Wayland session: the hotkey watcher sees only the keys of X11 windows (XWayland, and Wine's windows), so
// the hotkey does nothing in native Wayland applications. Told from the environment the session sets
// (XDG_SESSION_TYPE, WAYLAND_DISPLAY); Windows sets neither.
bool isWaylandSession();
