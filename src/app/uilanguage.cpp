#include "app/uilanguage.h"

bool isFrenchLocaleName(const QString &name)
{
    // "fr", "fr_FR", "fr_FR.UTF-8", "fr_FR@euro", "fr.UTF-8"
    QString base = name.section(QLatin1Char('.'), 0, 0).section(QLatin1Char('@'), 0, 0);
    base.replace(QLatin1Char('-'), QLatin1Char('_'));
    return base == QLatin1String("fr") || base == QLatin1String("fr_FR");
}
