#include "desktop.h"

namespace desktop {

bool keepsClipboard(const QMap<QString, QByteArray> &before, const QMap<QString, QByteArray> &after)
{
    if (before.isEmpty())
        return after.isEmpty();
    for (auto format = before.begin(); format != before.end(); ++format) {
        if (!after.contains(format.key()) || after.value(format.key()) != format.value())
            return false;
    }
    return true;
}

} // namespace desktop
