#include "app/windowfont.h"

#include "app/diagnostics.h"

#include <QFont>
#include <QFontDatabase>
#include <QString>

void provideWindowFont()
{
    // Windows are built on the GUI thread only.
    static bool provided = false;
    if (provided)
        return;
    provided = true;

    const QString family = QStringLiteral("Trebuchet MS");
    if (QFontDatabase().hasFamily(family))
        return;
    const int id = QFontDatabase::addApplicationFont(QStringLiteral(":/fonts/PTSans-Regular.ttf"));
    const QStringList substitutes = id < 0 ? QStringList() : QFontDatabase::applicationFontFamilies(id);
    if (substitutes.isEmpty()) {
        writeDiagnosticLine("the substitute for Trebuchet MS could not be loaded: texts may not fit");
        return;
    }
    QFont::insertSubstitution(family, substitutes.constFirst());
}
