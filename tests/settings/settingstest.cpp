#include "settingstest.h"

#include "app/config.h"
#include "support/testservice.h"

#include <QFile>
#include <QSettings>
#include <QtTest>

namespace settingstest {

std::unique_ptr<testsupport::TestService> startSignedInSession()
{
    setFrenchSession(false);
    resetConfig({{QStringLiteral("apikey"), QStringLiteral("k1")}});
    auto service = std::make_unique<testsupport::TestService>();
    if (!service->isListening())
        return nullptr;
    service->exportServiceUrl();
    service->setDefaultReply(testsupport::ScriptedReply::json(R"({"status":"valid"})"));
    return service;
}

void WindowTest::useOwnConfigHome()
{
    QVERIFY(home.isValid());
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("xdg-config")).toUtf8());
}

void WindowTest::startSession()
{
    boxes = std::make_unique<MessageBoxCatcher>();
    service = startSignedInSession();
    QVERIFY(service);
}

void WindowTest::endSession()
{
    boxes.reset();
    service.reset();
    removeConfig();
}

void removeConfig()
{
    QFile::remove(configFilePath());
}

void resetConfig(const QVariantMap &values)
{
    removeConfig();
    QSettings config(configFilePath(), QSettings::IniFormat);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        config.setValue(it.key(), it.value());
    config.sync();
}

QString configValue(const QString &key)
{
    const QSettings config(configFilePath(), QSettings::IniFormat);
    return config.contains(key) ? config.value(key).toString() : QString();
}

void setFrenchSession(bool french)
{
    for (const char *variable : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"})
        qunsetenv(variable);
    qputenv("LANG", french ? "fr_FR.UTF-8" : "en_US.UTF-8");
}

} // namespace settingstest
