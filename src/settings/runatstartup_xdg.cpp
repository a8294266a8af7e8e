#include "settings/runatstartup.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

// $XDG_CONFIG_HOME/autostart, or ~/.config/autostart when the variable is unset, empty or not absolute
// (the base directory rules ignore relative paths).
QString autostartDirectory()
{
    QString base = QFile::decodeName(qgetenv("XDG_CONFIG_HOME"));
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/autostart");
}

QString entryPath()
{
    return autostartDirectory() + QStringLiteral("/tapvela.desktop");
}

// One argument of an Exec line, quoted: inside double quotes '"', '`', '$' and '\' take a backslash, and a
// literal '%' is written "%%" so that it is not read as a field code.
QString quotedArgument(const QString &argument)
{
    QString quoted(QLatin1Char('"'));
    for (const QChar c : argument) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        else if (c == QLatin1Char('%'))
            quoted += QLatin1Char('%');
        quoted += c;
    }
    return quoted + QLatin1Char('"');
}

// The value as a desktop entry file holds a string: backslashes and control characters escaped. Readers undo
// this before they unquote, which is why a literal backslash in a quoted argument ends up as four.
QString escapedValue(const QString &value)
{
    // Each character that is escaped, and the letter its backslash is followed by.
    const QString special = QStringLiteral("\\\n\t\r");
    const QString letters = QStringLiteral("\\ntr");
    QString escaped;
    for (const QChar c : value) {
        const int which = special.indexOf(c);
        if (which >= 0)
            escaped += QLatin1Char('\\');
        escaped += which >= 0 ? letters.at(which) : c;
    }
    return escaped;
}

// Whether the entry's main group switches it off: "Hidden=true" (the entry counts as deleted) or GNOME's
// "X-GNOME-Autostart-enabled=false" (the user turned it off in the session settings).
bool switchedOff(const QByteArray &contents)
{
    bool inMainGroup = false;
    for (const QByteArray &rawLine : contents.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        if (line.startsWith('[')) {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        const int equals = line.indexOf('=');
        if (!inMainGroup || equals < 0)
            continue;
        const QByteArray key = line.left(equals).trimmed();
        const QByteArray value = line.mid(equals + 1).trimmed();
        if ((key == "Hidden" && value == "true") || (key == "X-GNOME-Autostart-enabled" && value == "false"))
            return true;
    }
    return false;
}

} // namespace

QString runAtStartupProgram()
{
    return QDir::toNativeSeparators(QCoreApplication::applicationFilePath());
}

QString runAtStartupCommand(const QString &program)
{
    return escapedValue(quotedArgument(program)) + QStringLiteral(" silent");
}

bool isRunAtStartupEnabled()
{
    QFile entry(entryPath());
    if (!QFileInfo(entry).isFile() || !entry.open(QIODevice::ReadOnly))
        return false;
    return !switchedOff(entry.readAll());
}

bool enableRunAtStartup()
{
    if (!QDir().mkpath(autostartDirectory()))
        return false;
    QSaveFile entry(entryPath());
    if (!entry.open(QIODevice::WriteOnly))
        return false;
    const QString contents = QStringLiteral("[Desktop Entry]\nType=Application\nName=tapvela\nExec=") +
                             runAtStartupCommand(runAtStartupProgram()) +
                             QStringLiteral("\nX-GNOME-Autostart-enabled=true\n");
    const QByteArray bytes = contents.toUtf8();
    if (entry.write(bytes) != bytes.size()) {
        entry.cancelWriting();
        return false;
    }
    return entry.commit();
}

bool disableRunAtStartup()
{
    QFile entry(entryPath());
    if (!entry.exists())
        return true;
    return entry.remove();
}

QString runAtStartupText(bool french)
{
    return french ? QStringLiteral("Lancer tapvela au démarrage") : QStringLiteral("start tapvela at login");
}
