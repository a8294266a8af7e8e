#pragma once

#include "service/requests.h"

#include <QList>
#include <QPair>
#include <QStringList>
#include <QtTest>

// The request forms both service tests check: the URL the builders make, and the request line that reaches
// the service. Each row names a request, its values, and the request target expected on the wire.
namespace wireforms {

using QueryItems = QList<QPair<QString, QString>>;

inline void addColumns()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<QByteArray>("target");
}

inline void addRows()
{
    const QByteArray hostileEncoded = "a%26b%3Dc%23d%2Be%3Bf%25g";
    const QString hostile = QStringLiteral("a&b=c#d+e;f%g");
    QTest::newRow("login") << "login" << QStringList{"alice", "secret"}
                           << QByteArray("/all/login_app.php?username=alice"
                                         "&password=e5e9fa1ba31ecd1ae84f75caaa474f3a663f05f4");
    QTest::newRow("login, space and accent, empty password")
        << "login" << QStringList{QStringLiteral("Jean Dupré"), ""}
        << QByteArray("/all/login_app.php?username=Jean%20Dupr%C3%A9&password=da39a3ee5e6b4b0d3255bfef95601890afd80709");
    QTest::newRow("login, not trimmed") << "login" << QStringList{" bob ", "pass "}
                                        << QByteArray("/all/login_app.php?username=%20bob%20"
                                                      "&password=df1760801fb3a038f08956c43a18666f08191ec1");
    QTest::newRow("login, hostile user name")
        << "login" << QStringList{hostile, "p#w"}
        << QByteArray("/all/login_app.php?username=" + hostileEncoded
                      + "&password=986ae18369eb7f39f3a174f41e283b82422d6c70");
    QTest::newRow("devices") << "devices" << QStringList{"4f1c9a"} << QByteArray("/all/devices_app.php?apikey=4f1c9a");
    QTest::newRow("devices, no api key") << "devices" << QStringList{"no"} << QByteArray("/all/devices_app.php?apikey=no");
    QTest::newRow("devices, key with delimiters")
        << "devices" << QStringList{"k+y/=?"} << QByteArray("/all/devices_app.php?apikey=k%2By%2F%3D%3F");
    QTest::newRow("set name") << "setName" << QStringList{"K1", "dev-1", QStringLiteral("Mon téléphone")}
                              << QByteArray("/all/set_name_app.php?apikey=K1&id=dev-1&name=Mon%20t%C3%A9l%C3%A9phone");
    QTest::newRow("set name, hostile id and name")
        << "setName" << QStringList{"K1", "7&name=x", hostile}
        << QByteArray("/all/set_name_app.php?apikey=K1&id=7%26name%3Dx&name=" + hostileEncoded);
    QTest::newRow("add device") << "addDevice" << QStringList{"K1", hostile}
                                << QByteArray("/all/add_device_app.php?apikey=K1&name=" + hostileEncoded);
    QTest::newRow("device page") << "devicePage" << QStringList{"K1", "7&x=y"}
                                 << QByteArray("/all/device_page_app.php?apikey=K1&id=7%26x%3Dy");
    QTest::newRow("push") << "push" << QStringList{"K1", "en", "abc123", "+33612345678"}
                          << QByteArray("/all/api.php?apikey=K1&msg=Phone%20number%20%3A%20%2B33612345678"
                                        "&icon=115&sound=01&devices=abc123&extra=tel:%2B33612345678");
    QTest::newRow("push, French")
        << "push" << QStringList{"K1", "fr", "abc123", "+33612345678"}
        << QByteArray("/all/api.php?apikey=K1&msg=Num%C3%A9ro%20de%20t%C3%A9l%C3%A9phone%20%3A%20%2B33612345678"
                      "&icon=115&sound=01&devices=abc123&extra=tel:%2B33612345678");
    QTest::newRow("push, number without plus")
        << "push" << QStringList{"K1", "en", "abc123", "0612345678"}
        << QByteArray("/all/api.php?apikey=K1&msg=Phone%20number%20%3A%200612345678"
                      "&icon=115&sound=01&devices=abc123&extra=tel:0612345678");
    QTest::newRow("push, hostile device id")
        << "push" << QStringList{"K1", "en", "d#1&extra=x", "+1"}
        << QByteArray("/all/api.php?apikey=K1&msg=Phone%20number%20%3A%20%2B1"
                      "&icon=115&sound=01&devices=d%231%26extra%3Dx&extra=tel:%2B1");
}

inline QUrl build(const QString &request, const QStringList &v)
{
    if (request == QLatin1String("login"))
        return service::loginUrl(v.at(0), v.at(1));
    if (request == QLatin1String("devices"))
        return service::devicesUrl(v.at(0));
    if (request == QLatin1String("setName"))
        return service::setNameUrl(v.at(0), v.at(1), v.at(2));
    if (request == QLatin1String("addDevice"))
        return service::addDeviceUrl(v.at(0), v.at(1));
    if (request == QLatin1String("devicePage"))
        return service::devicePageUrl(v.at(0), v.at(1));
    return service::pushUrl(v.at(0), v.at(1) == QLatin1String("fr"), v.at(2), v.at(3));
}

// What the service reads from the query once decoded: exactly the values given, in order.
inline QueryItems decodedItems(const QString &request, const QStringList &v)
{
    if (request == QLatin1String("login"))
        return {{"username", v.at(0)}, {"password", service::passwordDigest(v.at(1))}};
    if (request == QLatin1String("devices"))
        return {{"apikey", v.at(0)}};
    if (request == QLatin1String("setName"))
        return {{"apikey", v.at(0)}, {"id", v.at(1)}, {"name", v.at(2)}};
    if (request == QLatin1String("addDevice"))
        return {{"apikey", v.at(0)}, {"name", v.at(1)}};
    if (request == QLatin1String("devicePage"))
        return {{"apikey", v.at(0)}, {"id", v.at(1)}};
    return {{"apikey", v.at(0)},
            {"msg", service::pushMessage(v.at(1) == QLatin1String("fr"), v.at(3))},
            {"icon", "115"},
            {"sound", "01"},
            {"devices", v.at(2)},
            {"extra", "tel:" + v.at(3)}};
}

} // namespace wireforms
