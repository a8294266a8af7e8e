#include "app/uilanguage.h"

#include <QByteArray>

bool isFrenchInterface()
{
    const char *const variables[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
    for (const char *variable : variables) {
        const QByteArray value = qgetenv(variable);
        if (value.isEmpty())
            continue;
        // LANGUAGE is a colon-separated list of preferences: the first one counts.
        return isFrenchLocaleName(QString::fromLocal8Bit(value).section(QLatin1Char(':'), 0, 0));
    }
    return false;
}
