#include "webpush.h"
#include "webpush_address.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>

using namespace pushserver::webpush;

namespace {

// RFC 8291's example.
constexpr char examplePlaintext[] = "When I grow up, I want to be a watermelon";
constexpr char exampleAsPrivate[] = "yfWPiYE-n46HLnH0KqZOF1fJJU3MYrct3AELtAQ-oRw";
constexpr char exampleAsPublic[] =
    "BP4z9KsN6nGRTbVYI_c7VJSPQTBtkgcy27mlmlMoZIIgDll6e3vCYLocInmYWAmS6TlzAC8wEqKK6PBru3jl7A8";
constexpr char exampleUaPublic[] =
    "BCVxsr7N_eNgVRqvHtD0zTZsEc6-VV-JvLexhqUzORcxaOzi6-AYWXvTBHm4bjyPjs7Vd8pZGH6SRpkNtoIAiw4";
constexpr char exampleAuth[] = "BTBZMqHH6r4Tts7J_aSIgg";
constexpr char exampleSalt[] = "DGv6ra1nlYgDCS1FRnbzlw";
constexpr char exampleBody[] =
    "DGv6ra1nlYgDCS1FRnbzlwAAEABBBP4z9KsN6nGRTbVYI_c7VJSPQTBtkgcy27mlmlMoZIIgDll6e3vCYLocInmYWAmS6TlzAC8wEqKK6PBru3jl"
    "7A_yl95bQpu6cVPTpK4Mqgkf1CXztLVBSt2Ks3oZwbuwXPXLWyouBWLVWGNWQexSgSxsj_Qulcy4a-fN";

std::string decoded(const char *text)
{
    const std::optional<std::string> bytes = base64UrlDecode(text);
    return bytes.value_or("(not base64url)");
}

// The independent implementation; its standard output, or empty with the reason in `failure`.
QByteArray runChecker(const QStringList &arguments, const QByteArray &input, QString &failure)
{
    QProcess checker;
    checker.start(TAPVELA_PYTHON3, QStringList{TAPVELA_WEBPUSH_CHECK} + arguments);
    if (!checker.waitForStarted(30000)) {
        failure = "cannot start " TAPVELA_PYTHON3 ": " + checker.errorString();
        return {};
    }
    checker.write(input);
    checker.closeWriteChannel();
    if (!checker.waitForFinished(60000) || checker.exitStatus() != QProcess::NormalExit || checker.exitCode() != 0) {
        failure = "webpush_check.py " + arguments.join(' ') + ": " + QString::fromUtf8(checker.readAllStandardError());
        return {};
    }
    return checker.readAllStandardOutput();
}

} // namespace

class TestWebPush : public QObject
{
    Q_OBJECT

private slots:
    void rfc8291Example();
    void paddedBodies_data();
    void paddedBodies();
    void independentImplementation_data();
    void independentImplementation();
    void vapidRefusals_data();
    void vapidRefusals();
    void subscription_data();
    void subscription();
    void endpointRules_data();
    void endpointRules();
    void publicAddress_data();
    void publicAddress();
    void resolvePublic_data();
    void resolvePublic();
};

void TestWebPush::rfc8291Example()
{
    const Outcome<std::string> body = encryptPayload(examplePlaintext, decoded(exampleUaPublic), decoded(exampleAuth),
                                                     144, decoded(exampleAsPrivate), decoded(exampleSalt));
    QVERIFY2(body.ok(), body.error.c_str());
    QCOMPARE(QByteArray::fromStdString(base64UrlEncode(body.value)), QByteArray(exampleBody));

    // The stored form of a key is its scalar alone: the public half must come back exactly.
    const Outcome<std::string> asPublic = vapidPublicKey(decoded(exampleAsPrivate));
    QVERIFY2(asPublic.ok(), asPublic.error.c_str());
    QCOMPARE(QByteArray::fromStdString(base64UrlEncode(asPublic.value)), QByteArray(exampleAsPublic));
}

void TestWebPush::paddedBodies_data()
{
    QTest::addColumn<int>("plaintextSize");
    QTest::addColumn<int>("paddedSize");
    QTest::addColumn<bool>("fits");

    QTest::newRow("short message") << 30 << 1024 << true;
    QTest::newRow("message filling the largest body") << 4096 - 103 << 4096 << true;
    QTest::newRow("one byte too many") << 4096 - 102 << 4096 << false;
    QTest::newRow("body beyond 4 KB") << 30 << 4097 << false;
    QTest::newRow("body smaller than its header") << 0 << 102 << false;
}

void TestWebPush::paddedBodies()
{
    QFETCH(int, plaintextSize);
    QFETCH(int, paddedSize);
    QFETCH(bool, fits);

    const std::string plaintext(plaintextSize, 'x');
    const Outcome<std::string> first =
        encryptPayload(plaintext, decoded(exampleUaPublic), decoded(exampleAuth), paddedSize);
    const Outcome<std::string> second =
        encryptPayload(plaintext, decoded(exampleUaPublic), decoded(exampleAuth), paddedSize);
    QCOMPARE(first.ok(), fits);
    if (!fits)
        return;
    QVERIFY2(second.ok(), second.error.c_str());
    QCOMPARE(int(first.value.size()), paddedSize);
    // A salt or sender key used twice would let AES-GCM's nonce repeat.
    QVERIFY(first.value.substr(0, 16) != second.value.substr(0, 16));
    QVERIFY(first.value.substr(21, 65) != second.value.substr(21, 65));
}

void TestWebPush::independentImplementation_data()
{
    QTest::addColumn<QString>("endpoint");
    QTest::addColumn<QString>("aud");

    QTest::newRow("default port") << "https://fcm.googleapis.com/fcm/send/dQw4:APA91b"
                                  << "https://fcm.googleapis.com";
    QTest::newRow("default port written, capitals") << "https://Updates.Push.Services.Mozilla.com:443/wpush/v2/gAA"
                                                    << "https://updates.push.services.mozilla.com";
    QTest::newRow("other port, query") << "https://ntfy.example.net:8443/upABC?up=1"
                                       << "https://ntfy.example.net:8443";
    QTest::newRow("IPv6 literal") << "https://[2001:4860:4860::8888]/push/1"
                                  << "https://[2001:4860:4860::8888]";
}

void TestWebPush::independentImplementation()
{
    QFETCH(QString, endpoint);
    QFETCH(QString, aud);

    QString failure;
    const QJsonObject subscriber = QJsonDocument::fromJson(runChecker({"subscribe"}, {}, failure)).object();
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

    const Outcome<Subscription> subscription =
        validateSubscription(endpoint.toStdString(), subscriber["p256dh"].toString().toStdString(),
                             subscriber["auth"].toString().toStdString());
    QVERIFY2(subscription.ok(), subscription.error.c_str());
    const std::string plaintext =
        QStringLiteral("{\"msg\":\"Numéro : +33612345678\",\"url\":\"tel:+33612345678\"}").toStdString();
    constexpr int size = 2048;
    const Outcome<std::string> body =
        encryptPayload(plaintext, subscription.value.p256dh, subscription.value.auth, size);
    QVERIFY2(body.ok(), body.error.c_str());

    const Outcome<VapidKeys> keys = makeVapidKeys();
    QVERIFY2(keys.ok(), keys.error.c_str());
    constexpr std::time_t now = 1765000000;
    const QString subject = "mailto:push@example.net";
    const Outcome<std::string> authorization =
        vapidAuthorization(subscription.value.endpoint, subject.toStdString(), keys.value.privateKey, now);
    QVERIFY2(authorization.ok(), authorization.error.c_str());

    const QJsonObject given{{"private", subscriber["private"]},
                            {"auth", subscriber["auth"]},
                            {"body", QString::fromStdString(base64UrlEncode(body.value))},
                            {"size", size},
                            {"plaintext", QString::fromStdString(base64UrlEncode(plaintext))},
                            {"authorization", QString::fromStdString(authorization.value)},
                            {"aud", aud},
                            {"sub", subject},
                            {"now", qint64(now)},
                            {"k", QString::fromStdString(base64UrlEncode(keys.value.publicKey))}};
    const QByteArray verdict = runChecker({"check"}, QJsonDocument(given).toJson(), failure);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QCOMPARE(verdict.trimmed(), QByteArray("ok"));
}

void TestWebPush::vapidRefusals_data()
{
    QTest::addColumn<QByteArray>("privateKey");
    QTest::addColumn<QString>("subject");
    QTest::addColumn<QString>("error");

    const QByteArray order = QByteArray::fromHex("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551");
    QTest::newRow("key of 31 bytes") << QByteArray(31, '\x01') << "mailto:push@example.net"
                                     << "32 bytes";
    QTest::newRow("key of zero") << QByteArray(32, '\0') << "mailto:push@example.net"
                                 << "range";
    QTest::newRow("key equal to the group order") << order << "mailto:push@example.net"
                                                  << "range";
    QTest::newRow("subject without a scheme") << QByteArray(32, '\x01') << "push@example.net"
                                              << "subject";
}

void TestWebPush::vapidRefusals()
{
    QFETCH(QByteArray, privateKey);
    QFETCH(QString, subject);
    QFETCH(QString, error);

    const Outcome<std::string> authorization =
        vapidAuthorization("https://push.example.net/x", subject.toStdString(), privateKey.toStdString(), 1765000000);
    QVERIFY(!authorization.ok());
    QVERIFY2(QString::fromStdString(authorization.error).contains(error), authorization.error.c_str());
}

void TestWebPush::subscription_data()
{
    QTest::addColumn<QString>("endpoint");
    QTest::addColumn<QString>("p256dh");
    QTest::addColumn<QString>("auth");
    QTest::addColumn<bool>("loopbackHttp");
    QTest::addColumn<QString>("error"); // a part of the refusal, empty when accepted

    const QString endpoint = "https://fcm.googleapis.com/fcm/send/dQw4:APA91b";
    const QString p256dh = exampleUaPublic, auth = exampleAuth;
    QTest::newRow("browser subscription") << endpoint << p256dh << auth << false << "";
    QTest::newRow("key in standard base64")
        << endpoint << QString(exampleUaPublic).replace('-', '+') << auth << false << "p256dh is not base64url";
    QTest::newRow("key of 64 bytes")
        << endpoint << "JXGyvs3942BVGq8e0PTNNmwRzr5VX4m8t7GGpTM5FzFo7OLr4BhZe9MEebhuPI-OztV3ylkYfpJGmQ22ggCLDg" << auth
        << false << "not an uncompressed P-256";
    QTest::newRow("point off the curve")
        << endpoint << "BCVxsr7N_eNgVRqvHtD0zTZsEc6-VV-JvLexhqUzORcxaOzi6-AYWXvTBHm4bjyPjs7Vd8pZGH6SRpkNtoIAiw8" << auth
        << false << "not an uncompressed P-256";
    // Same point, but its bytes enter the key derivation: the browser could not decrypt.
    QTest::newRow("hybrid encoding of the point")
        << endpoint << "BiVxsr7N_eNgVRqvHtD0zTZsEc6-VV-JvLexhqUzORcxaOzi6-AYWXvTBHm4bjyPjs7Vd8pZGH6SRpkNtoIAiw4" << auth
        << false << "not an uncompressed P-256";
    QTest::newRow("auth of 15 bytes") << endpoint << p256dh << "BTBZMqHH6r4Tts7J_aSI" << false << "not 16 bytes";
    QTest::newRow("http endpoint") << "http://push.example.net/x" << p256dh << auth << false << "not an https URL";
    QTest::newRow("http to loopback in tests") << "http://127.0.0.1:8080/x" << p256dh << auth << true << "";
    QTest::newRow("http elsewhere in tests") << "http://10.0.0.1/x" << p256dh << auth << true << "not an https URL";
    QTest::newRow("localhost in tests") << "http://localhost:8080/x" << p256dh << auth << true << "not an https URL";
    QTest::newRow("endpoint of 1025 bytes")
        << "https://push.example.net/" + QString(1025 - 25, 'a') << p256dh << auth << false << "longer than 1024";
    QTest::newRow("key of 4 KB") << endpoint << QString(4096, 'A') << auth << false << "not an uncompressed P-256";
    QTest::newRow("user information") << "https://user:pw@push.example.net/x" << p256dh << auth << false
                                      << "user information";
    QTest::newRow("no host") << "https:///x" << p256dh << auth << false << "no host";
    QTest::newRow("space in the endpoint") << "https://push.example.net/a b" << p256dh << auth << false << "space";
    QTest::newRow("no endpoint") << QString() << p256dh << auth << false << "not an absolute URL";
}

void TestWebPush::subscription()
{
    QFETCH(QString, endpoint);
    QFETCH(QString, p256dh);
    QFETCH(QString, auth);
    QFETCH(bool, loopbackHttp);
    QFETCH(QString, error);

    SubscriptionRules rules;
    rules.allowLoopbackHttp = loopbackHttp;
    const Outcome<Subscription> subscription =
        validateSubscription(endpoint.toStdString(), p256dh.toStdString(), auth.toStdString(), rules);
    if (error.isEmpty()) {
        QVERIFY2(subscription.ok(), subscription.error.c_str());
        QCOMPARE(subscription.value.p256dh.size(), std::size_t(65));
        QCOMPARE(subscription.value.auth.size(), std::size_t(16));
    } else {
        QVERIFY(!subscription.ok());
        QVERIFY2(QString::fromStdString(subscription.error).contains(error), subscription.error.c_str());
    }
}

void TestWebPush::endpointRules_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("loopbackHttp");
    QTest::addColumn<QString>("refusal"); // empty: sendable

    QTest::newRow("push service") << "https://fcm.googleapis.com/fcm/send/x" << false << "";
    QTest::newRow("a port of its own") << "https://ntfy.example.net:8443/up/x" << false << "";
    QTest::newRow("public literal") << "https://[2a00:1450:4001::1]/x" << false << "";
    QTest::newRow("plain http") << "http://push.example.net/x" << false << "not an https URL";
    QTest::newRow("localhost") << "https://localhost/x" << false << "names this computer";
    QTest::newRow("localhost in tests") << "http://localhost:8080/x" << true << "not an https URL";
    QTest::newRow("under localhost, closing dot") << "https://push.localhost./x" << true << "names this computer";
    QTest::newRow("loopback") << "https://127.0.0.1:8443/x" << false << "not a public one";
    QTest::newRow("loopback in tests") << "http://127.0.0.1:8080/x" << true << "";
    QTest::newRow("IPv6 loopback in tests") << "https://[::1]:8443/x" << true << "";
    QTest::newRow("other loopback in tests") << "https://127.0.0.2/x" << true << "not a public one";
    QTest::newRow("mapped loopback in tests") << "https://[::ffff:127.0.0.1]/x" << true << "not a public one";
    QTest::newRow("private") << "https://192.168.1.1/x" << true << "not a public one";
}

// The one set of rules, asked for a new subscription and before each delivery: the tests' flag lets through the
// loopback literals only, never a name.
void TestWebPush::endpointRules()
{
    QFETCH(QString, url);
    QFETCH(bool, loopbackHttp);
    QFETCH(QString, refusal);

    const Outcome<Endpoint> endpoint = parseEndpoint(url.toStdString());
    QVERIFY2(endpoint.ok(), endpoint.error.c_str());
    const QString given = QString::fromStdString(endpointRefusal(endpoint.value, loopbackHttp));
    if (refusal.isEmpty())
        QVERIFY2(given.isEmpty(), qPrintable(given));
    else
        QVERIFY2(given.contains(refusal), qPrintable(given));
    QCOMPARE(isAllowedLoopback(endpoint.value, loopbackHttp), loopbackHttp && refusal.isEmpty());
}

void TestWebPush::publicAddress_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("isPublic");

    QTest::newRow("public IPv4") << "8.8.8.8" << true;
    QTest::newRow("public IPv6") << "2001:4860:4860::8888" << true;
    QTest::newRow("IPv4-mapped public") << "::ffff:8.8.8.8" << true;
    QTest::newRow("NAT64 of a public address") << "64:ff9b::808:808" << true;
    QTest::newRow("0/8") << "0.1.2.3" << false;
    QTest::newRow("unspecified IPv4") << "0.0.0.0" << false;
    QTest::newRow("10/8") << "10.20.30.40" << false;
    QTest::newRow("CGNAT 100.64/10") << "100.127.255.254" << false;
    QTest::newRow("just past CGNAT") << "100.128.0.1" << true;
    QTest::newRow("loopback 127/8") << "127.255.0.1" << false;
    QTest::newRow("link-local 169.254/16") << "169.254.169.254" << false;
    QTest::newRow("172.16/12 top") << "172.31.255.255" << false;
    QTest::newRow("just past 172.16/12") << "172.32.0.1" << true;
    QTest::newRow("192.168/16") << "192.168.1.1" << false;
    QTest::newRow("documentation 192.0.2/24") << "192.0.2.1" << false;
    QTest::newRow("documentation 198.51.100/24") << "198.51.100.7" << false;
    QTest::newRow("documentation 203.0.113/24") << "203.0.113.9" << false;
    QTest::newRow("benchmarking 198.18/15") << "198.19.0.1" << false;
    QTest::newRow("multicast 224/4") << "239.255.255.250" << false;
    QTest::newRow("reserved 240/4") << "240.0.0.1" << false;
    QTest::newRow("broadcast") << "255.255.255.255" << false;
    QTest::newRow("unspecified IPv6") << "::" << false;
    QTest::newRow("loopback ::1") << "::1" << false;
    QTest::newRow("link-local fe80::/10") << "fe80::1" << false;
    QTest::newRow("unique-local fc00::/7") << "fd12:3456::1" << false;
    QTest::newRow("multicast ff00::/8") << "ff02::1" << false;
    QTest::newRow("documentation 2001:db8::/32") << "2001:db8::1" << false;
    QTest::newRow("IPv4-mapped loopback") << "::ffff:127.0.0.1" << false;
    QTest::newRow("IPv4-mapped private") << "::ffff:192.168.0.1" << false;
    QTest::newRow("IPv4-compatible") << "::10.0.0.1" << false;
    QTest::newRow("NAT64 of loopback") << "64:ff9b::7f00:1" << false;
    QTest::newRow("NAT64 of link-local") << "64:ff9b::a9fe:a9fe" << false;
    QTest::newRow("6to4 of private") << "2002:c0a8:0101::1" << false;
}

void TestWebPush::publicAddress()
{
    QFETCH(QString, address);
    QFETCH(bool, isPublic);

    sockaddr_storage storage{};
    const QByteArray text = address.toLatin1();
    auto &ipv4 = reinterpret_cast<sockaddr_in &>(storage);
    auto &ipv6 = reinterpret_cast<sockaddr_in6 &>(storage);
    if (inet_pton(AF_INET, text.constData(), &ipv4.sin_addr) == 1)
        storage.ss_family = AF_INET;
    else if (inet_pton(AF_INET6, text.constData(), &ipv6.sin6_addr) == 1)
        storage.ss_family = AF_INET6;
    else
        QFAIL("not an address");
    QCOMPARE(isPublicAddress(storage), isPublic);
}

void TestWebPush::resolvePublic_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("error"); // a part of the refusal, empty when accepted

    const QString notPublic = "not a public address";
    const QString accepted;
    QTest::newRow("localhost") << "localhost" << notPublic;
    QTest::newRow("loopback literal") << "127.0.0.1" << notPublic;
    QTest::newRow("loopback as one number") << "2130706433" << notPublic;
    QTest::newRow("IPv6 loopback in brackets") << "[::1]" << notPublic;
    QTest::newRow("public IPv4") << "8.8.8.8" << accepted;
    QTest::newRow("public IPv6 in brackets") << "[2001:4860:4860::8888]" << accepted;
    QTest::newRow("empty") << ""
                           << "no host";
}

void TestWebPush::resolvePublic()
{
    QFETCH(QString, host);
    QFETCH(QString, error);

    const auto addresses = pushserver::webpush::resolvePublic(host.toStdString(), 8443);
    if (!error.isEmpty()) {
        QVERIFY(!addresses.ok());
        QVERIFY2(QString::fromStdString(addresses.error).contains(error), addresses.error.c_str());
        return;
    }
    QVERIFY2(addresses.ok(), addresses.error.c_str());
    QVERIFY(!addresses.value.empty());
    for (const ResolvedAddress &resolved : addresses.value) {
        const in_port_t port = resolved.address.ss_family == AF_INET
                                   ? reinterpret_cast<const sockaddr_in &>(resolved.address).sin_port
                                   : reinterpret_cast<const sockaddr_in6 &>(resolved.address).sin6_port;
        QCOMPARE(ntohs(port), quint16(8443));
        QCOMPARE(QString::fromStdString(addressText(resolved.address)), QString(host).remove('[').remove(']'));
    }
}

QTEST_GUILESS_MAIN(TestWebPush)
#include "tst_webpush.moc"
