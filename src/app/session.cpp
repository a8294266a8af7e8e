#include "app/session.h"

#include <QByteArray>

bool isWaylandSession()
{
    return qgetenv("XDG_SESSION_TYPE").trimmed().toLower() == "wayland" || !qgetenv("WAYLAND_DISPLAY").isEmpty();
}
