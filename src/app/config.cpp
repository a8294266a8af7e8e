#include "app/config.h"

#include "app/diagnostics.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

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
    // Found out by writing: on Windows the attributes show only the read-only flag, not the folder's access
    // rights, and a copy unpacked under Program Files looks writable while it takes nothing.
    const QString path = dir + QLatin1Char('/') + fileName;
    const QFileInfo file(path);
    if (file.exists()) {
        QFile existing(path);
        return file.isFile() && existing.open(QIODevice::WriteOnly | QIODevice::Append);
    }
    if (!QFileInfo(dir).isDir())
        return false;
    QTemporaryFile probe(path + QStringLiteral(".XXXXXX"));
    return probe.open();
}

bool seedConfigFile(const QString &from, const QString &to)
{
    if (QFileInfo::exists(to))
        return false;
    QFile source(from);
    if (!source.open(QIODevice::ReadOnly))
        return false;
    const QByteArray content = source.readAll();
    // Not QFile::copy, which would carry the read-only flag and the other owner's permissions along; new only,
    // so that a file another instance made meanwhile stays.
    QFile target(to);
    if (!target.open(QIODevice::WriteOnly | QIODevice::NewOnly) || target.write(content) != content.size()) {
        writeDiagnosticLine("config.ini not copied to the user's folder: " + target.errorString().toUtf8());
        return false;
    }
    return true;
}

QString configFilePath()
{
    const QString appDir = QCoreApplication::applicationDirPath();
    if (configFileUsableIn(appDir))
        return chooseConfigFilePath(appDir, QString(), true);
    const QString userDir = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    if (!userDir.isEmpty())
        QDir().mkpath(userDir);
    const QString path = chooseConfigFilePath(appDir, userDir, false);
    // A config.ini that the program may read but not write (an administrator's) starts the user's own.
    if (!userDir.isEmpty())
        seedConfigFile(appDir + QLatin1Char('/') + fileName, path);
    return path;
}
