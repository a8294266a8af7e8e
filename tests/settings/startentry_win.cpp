#include "settingstest.h"

#include <QSettings>

namespace settingstest {

namespace {
const QString runKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");
const QString valueName = QStringLiteral("tapvela");
} // namespace

QString startEntryCommand()
{
    const QSettings run(runKey, QSettings::NativeFormat);
    return run.contains(valueName) ? run.value(valueName).toString() : QString();
}

void writeStartEntry(const QString &command)
{
    QSettings(runKey, QSettings::NativeFormat).setValue(valueName, command);
}

void removeStartEntry()
{
    QSettings(runKey, QSettings::NativeFormat).remove(valueName);
}

QString startBoxText(bool french)
{
    return french ? QStringLiteral("Démarrer tapvela avec Windows") : QStringLiteral("start tapvela with Windows ");
}

} // namespace settingstest
