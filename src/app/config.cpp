#include "app/config.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
const QString fileName = QStringLiteral("config.ini");
}

QString chooseConfigFilePath(const QString &appDir, const QString &userConfigDir, bool appDirFileUsable)
{
    if (appDirFileUsable || userConfigDir.isEmpty())
        return appDir + QLatin1Char('/') + fileName;
    return userConfigDir + QLatin1Char('/') + fileName;
}

bool configFileUsableIn(const QString &dir)
{
    const QFileInfo file(dir + QLatin1Char('/') + fileName);
    if (file.exists())
        return file.isFile() && file.isWritable();
    const QFileInfo folder(dir);
    return folder.isDir() && folder.isWritable();
}

QString configFilePath()
{
    const QString appDir = QCoreApplication::applicationDirPath();
    if (configFileUsableIn(appDir))
        return chooseConfigFilePath(appDir, QString(), true);
    const QString userDir = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    if (!userDir.isEmpty())
        QDir().mkpath(userDir);
    return chooseConfigFilePath(appDir, userDir, false);
}
