#include "settingstest.h"

#include <QDir>
#include <QFile>

namespace settingstest {

namespace {
QString entryPath()
{
    return QFile::decodeName(qgetenv("XDG_CONFIG_HOME")) + QStringLiteral("/autostart/tapvela.desktop");
}
} // namespace

QString startEntryCommand()
{
    QFile entry(entryPath());
    if (!entry.open(QIODevice::ReadOnly))
        return QString();
    for (const QByteArray &line : entry.readAll().split('\n')) {
        if (line.startsWith("Exec="))
            return QString::fromUtf8(line.mid(5));
    }
    return QString();
}

void writeStartEntry(const QString &command)
{
    QDir().mkpath(QFileInfo(entryPath()).path());
    QFile entry(entryPath());
    if (entry.open(QIODevice::WriteOnly))
        entry.write("[Desktop Entry]\nType=Application\nName=tapvela\nExec=" + command.toUtf8() + "\n");
}

void removeStartEntry()
{
    QFile::remove(entryPath());
}

QString startBoxText(bool french)
{
    return french ? QStringLiteral("Lancer tapvela au démarrage") : QStringLiteral("start tapvela at login");
}

} // namespace settingstest
