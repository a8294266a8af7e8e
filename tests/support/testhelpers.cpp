#include "support/testhelpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace testsupport {

QString programPath()
{
    return QStringLiteral(TAPVELA_PROGRAM);
}

QString stageProgram(const QString &dir)
{
    const QString target = dir + QLatin1Char('/') + QFileInfo(programPath()).fileName();
    QFile::remove(target);
    if (!QFile::copy(programPath(), target))
        return QString();
    QFile::setPermissions(target, QFile::permissions(programPath()));
    return target;
}

QProcessEnvironment isolatedEnvironment(const QString &dir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString runtime = dir + QStringLiteral("/runtime");
    const QString config = dir + QStringLiteral("/xdg-config");
    QDir().mkpath(runtime);
    QDir().mkpath(config);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    return env;
}

} // namespace testsupport
