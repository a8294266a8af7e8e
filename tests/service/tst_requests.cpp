#include "service/messages.h"
#include "service/requests.h"
#include "support/testservice.h"
#include "wireforms.h"

#include <QtTest>

using service::LoginOutcome;
using service::SettingsOutcome;

Q_DECLARE_METATYPE(service::LoginOutcome)
Q_DECLARE_METATYPE(service::SettingsOutcome)

class TestRequests : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanupTestCase();
    void passwordDigest_data();
    void passwordDigest();
    void baseUrl_data();
    void baseUrl();
    void urlOnTopOfBase_data();
    void urlOnTopOfBase();
    void encodedUrl_data();
    void encodedUrl();
    void pushMessage_data();
    void pushMessage();
    void loginReply_data();
    void loginReply();
    void settingsReply_data();
    void settingsReply();
    void serviceMessage_data();
    void serviceMessage();
    void pairingReply_data();
    void pairingReply();
    void warnings_data();
    void warnings();
};

void TestRequests::init()
{
    qputenv("TAPVELA_SERVICE_URL", "http://svc.test:8080");
}

void TestRequests::cleanupTestCase()
{
    qunsetenv("TAPVELA_SERVICE_URL");
}

void TestRequests::passwordDigest_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("digest");
    QTest::newRow("empty") << ""
                           << "da39a3ee5e6b4b0d3255bfef95601890afd80709";
    QTest::newRow("ascii") << "secret"
                           << "e5e9fa1ba31ecd1ae84f75caaa474f3a663f05f4";
    QTest::newRow("non-ASCII, hashed as UTF-8")
        << QStringLiteral("mötdepässe€") << "1629371dd4870d96187c15b3ac54697767b7aff1";
    QTest::newRow("trailing space kept") << "pass "
                                         << "df1760801fb3a038f08956c43a18666f08191ec1";
}

void TestRequests::passwordDigest()
{
    QFETCH(QString, password);
    QFETCH(QString, digest);
    QCOMPARE(service::passwordDigest(password), digest);
}

void TestRequests::baseUrl_data()
{
    QTest::addColumn<bool>("set");
    QTest::addColumn<QByteArray>("environment");
    QTest::addColumn<QString>("expected");
    QString builtIn = QStringLiteral(TAPVELA_DEFAULT_SERVICE_URL);
    while (builtIn.endsWith(QLatin1Char('/')))
        builtIn.chop(1);
    QTest::newRow("built in") << false << QByteArray() << builtIn;
    QTest::newRow("empty variable") << true << QByteArray() << builtIn;
    QTest::newRow("https host") << true << QByteArray("https://push.example.org") << "https://push.example.org";
    QTest::newRow("trailing slashes") << true << QByteArray("https://h.example/base//") << "https://h.example/base";
    QTest::newRow("surrounding blanks") << true << QByteArray(" http://10.0.0.2:81 \n") << "http://10.0.0.2:81";
}

void TestRequests::baseUrl()
{
    QFETCH(bool, set);
    QFETCH(QByteArray, environment);
    QFETCH(QString, expected);
    if (set)
        qputenv("TAPVELA_SERVICE_URL", environment);
    else
        qunsetenv("TAPVELA_SERVICE_URL");
    QCOMPARE(service::baseUrl(), expected);
}

void TestRequests::urlOnTopOfBase_data()
{
    QTest::addColumn<QByteArray>("environment");
    QTest::addColumn<QByteArray>("url");
    QTest::newRow("host and port") << QByteArray("http://127.0.0.1:48080")
                                   << QByteArray("http://127.0.0.1:48080/all/devices_app.php?apikey=a%20b");
    QTest::newRow("https") << QByteArray("https://push.example.org/")
                           << QByteArray("https://push.example.org/all/devices_app.php?apikey=a%20b");
    QTest::newRow("below a path") << QByteArray("https://example.org/push")
                                  << QByteArray("https://example.org/push/all/devices_app.php?apikey=a%20b");
    QTest::newRow("international host") << QByteArray("http://bücher.example")
                                        << QByteArray("http://xn--bcher-kva.example/all/devices_app.php?apikey=a%20b");
}

void TestRequests::urlOnTopOfBase()
{
    QFETCH(QByteArray, environment);
    QFETCH(QByteArray, url);
    // qputenv takes the local 8-bit encoding on Windows.
    qputenv("TAPVELA_SERVICE_URL", QString::fromUtf8(environment).toLocal8Bit());
    const QUrl built = service::devicesUrl(QStringLiteral("a b"));
    QVERIFY2(built.isValid(), qPrintable(built.errorString()));
    QCOMPARE(built.toEncoded(), url);
}

void TestRequests::encodedUrl_data()
{
    wireforms::addColumns();
    wireforms::addRows();
}

void TestRequests::encodedUrl()
{
    QFETCH(QString, request);
    QFETCH(QStringList, values);
    QFETCH(QByteArray, target);
    const QUrl url = wireforms::build(request, values);
    QVERIFY2(url.isValid(), qPrintable(url.errorString()));
    QCOMPARE(url.scheme(), QStringLiteral("http"));
    QCOMPARE(url.host(), QStringLiteral("svc.test"));
    QCOMPARE(url.port(), 8080);
    QVERIFY(!url.hasFragment());
    QCOMPARE(url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority), target);
    testsupport::RecordedRequest asReceived;
    asReceived.target = target;
    QCOMPARE(asReceived.queryItems(), wireforms::decodedItems(request, values));
}

void TestRequests::pushMessage_data()
{
    QTest::addColumn<bool>("french");
    QTest::addColumn<QString>("number");
    QTest::addColumn<QString>("message");
    QTest::newRow("English") << false << "+33612345678"
                             << "Phone number : +33612345678";
    QTest::newRow("French") << true << "+33612345678" << QStringLiteral("Numéro de téléphone : +33612345678");
    QTest::newRow("no plus") << false << "0612345678"
                             << "Phone number : 0612345678";
}

void TestRequests::pushMessage()
{
    QFETCH(bool, french);
    QFETCH(QString, number);
    QFETCH(QString, message);
    QCOMPARE(service::pushMessage(french, number), message);
}

void TestRequests::loginReply_data()
{
    QTest::addColumn<bool>("networkError");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<LoginOutcome>("outcome");
    QTest::addColumn<QString>("text");
    QTest::newRow("error") << false << QByteArray("error") << LoginOutcome::RefusedCredentials << "error";
    QTest::newRow("error and line break") << false << QByteArray("error\n") << LoginOutcome::ApiKey << "error\n";
    QTest::newRow("capital Error") << false << QByteArray("Error") << LoginOutcome::ApiKey << "Error";
    QTest::newRow("blank before error") << false << QByteArray(" error") << LoginOutcome::ApiKey << " error";
    QTest::newRow("empty body") << false << QByteArray() << LoginOutcome::NotService << "";
    QTest::newRow("key kept whole") << false << QByteArray(" 4f1c 9a\r\n") << LoginOutcome::ApiKey << " 4f1c 9a\r\n";
    QTest::newRow("cut at NUL") << false << QByteArray("4f1c\0tail", 9) << LoginOutcome::ApiKey << "4f1c";
    QTest::newRow("error before NUL") << false << QByteArray("error\0x", 7) << LoginOutcome::RefusedCredentials
                                      << "error";
    QTest::newRow("NUL first") << false << QByteArray("\0error", 6) << LoginOutcome::NotService << "";
    QTest::newRow("UTF-8") << false << QByteArray("cl\xC3\xA9") << LoginOutcome::ApiKey << QStringLiteral("clé");
    QTest::newRow("HTML page") << false << QByteArray("<html><body>Oops</body></html>") << LoginOutcome::NotService
                               << "<html><body>Oops</body></html>";
    QTest::newRow("network error") << true << QByteArray("error") << LoginOutcome::ConnectionFailure << "";
    QTest::newRow("network error with a key") << true << QByteArray("4f1c") << LoginOutcome::ConnectionFailure << "";
}

void TestRequests::loginReply()
{
    QFETCH(bool, networkError);
    QFETCH(QByteArray, body);
    QFETCH(LoginOutcome, outcome);
    QFETCH(QString, text);
    const service::LoginReply reply = service::judgeLoginReply(networkError, body);
    QCOMPARE(reply.outcome, outcome);
    QCOMPARE(reply.text, text);
}

void TestRequests::settingsReply_data()
{
    QTest::addColumn<bool>("networkError");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<SettingsOutcome>("outcome");
    QTest::addColumn<int>("devices");
    const QByteArray twoDevices = R"({"status":"valid","devices":[{"id":"a1","name":"Pixel"},{"id":7,"name":"Tab"}]})";
    QTest::newRow("network error") << true << twoDevices << SettingsOutcome::NetworkError << 0;
    QTest::newRow("empty body") << false << QByteArray() << SettingsOutcome::NotJson << 0;
    QTest::newRow("plain text") << false << QByteArray("ok") << SettingsOutcome::NotJson << 0;
    QTest::newRow("HTML page") << false << QByteArray("<html><body>valid</body></html>") << SettingsOutcome::NotJson
                               << 0;
    QTest::newRow("cut JSON") << false << QByteArray(R"({"status":"valid")") << SettingsOutcome::NotJson << 0;
    QTest::newRow("array top level") << false << QByteArray(R"([{"status":"valid","devices":[]}])")
                                     << SettingsOutcome::ApiKeyRefused << 0;
    QTest::newRow("refused") << false << QByteArray(R"({"status":"invalid"})") << SettingsOutcome::ApiKeyRefused << 0;
    QTest::newRow("no status") << false << QByteArray("{}") << SettingsOutcome::ApiKeyRefused << 0;
    QTest::newRow("status in capitals") << false << QByteArray(R"({"status":"Valid","devices":[]})")
                                        << SettingsOutcome::ApiKeyRefused << 0;
    QTest::newRow("status not a string") << false << QByteArray(R"({"status":1})") << SettingsOutcome::ApiKeyRefused
                                         << 0;
    QTest::newRow("refused with devices")
        << false << QByteArray(R"({"status":"no","devices":[{"id":"a1","name":"Pixel"}]})")
        << SettingsOutcome::ApiKeyRefused << 0;
    QTest::newRow("valid, no devices") << false << QByteArray(R"({"status":"valid"})") << SettingsOutcome::Nothing << 0;
    QTest::newRow("valid, devices not an array")
        << false << QByteArray(R"({"status":"valid","devices":{"id":"a"}})") << SettingsOutcome::Nothing << 0;
    QTest::newRow("valid, empty list") << false << QByteArray(R"({"status":"valid","devices":[]})")
                                       << SettingsOutcome::DeviceList << 0;
    QTest::newRow("valid, two devices, numeric id") << false << twoDevices << SettingsOutcome::DeviceList << 2;
}

void TestRequests::settingsReply()
{
    QFETCH(bool, networkError);
    QFETCH(QByteArray, body);
    QFETCH(SettingsOutcome, outcome);
    QFETCH(int, devices);
    const service::SettingsReply reply = service::judgeSettingsReply(networkError, body);
    QCOMPARE(reply.outcome, outcome);
    QCOMPARE(reply.devices.size(), devices);
}

// A refusal with a message of the service's shows that message, as one line of plain text of bounded length;
// without a usable one, the refused api key's message stands.
void TestRequests::serviceMessage_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<SettingsOutcome>("outcome");
    QTest::addColumn<QString>("message");
    const QString tooMany = QStringLiteral("too many pushes, try again in 12 s");
    QTest::newRow("rate limited") << QByteArray(R"({"status":"too many pushes","message":"too many pushes, try )"
                                                R"(again in 12 s"})")
                                  << SettingsOutcome::ServiceMessage << tooMany;
    QTest::newRow("French") << QByteArray(
                                   R"({"status":"too many pushes","message":"trop d'envois, réessayez dans 3 s"})")
                            << SettingsOutcome::ServiceMessage << QStringLiteral("trop d'envois, réessayez dans 3 s");
    QTest::newRow("no message") << QByteArray(R"({"status":"too many pushes"})") << SettingsOutcome::ApiKeyRefused
                                << QString();
    QTest::newRow("message not a string")
        << QByteArray(R"({"status":"invalid","message":{"text":"x"}})") << SettingsOutcome::ApiKeyRefused << QString();
    QTest::newRow("blank message") << QByteArray(R"({"status":"invalid","message":" \n\t\u202e"})")
                                   << SettingsOutcome::ApiKeyRefused << QString();
    QTest::newRow("valid with a message")
        << QByteArray(R"({"status":"valid","message":"hello"})") << SettingsOutcome::Nothing << QString();
    QTest::newRow("own refusals keep their texts")
        << QByteArray(R"({"status":"bad name","message":"hello"})") << SettingsOutcome::BadName << QString();
    QTest::newRow("control characters")
        << QByteArray(R"({"status":"x","message":"line one\r\nline\u0000two\u001b[31m\u202eevil\u200b"})")
        << SettingsOutcome::ServiceMessage << QStringLiteral("line one line two [31mevil");
    QTest::newRow("markup stays text") << QByteArray(R"({"status":"x","message":"<b>bold</b> &amp;"})")
                                       << SettingsOutcome::ServiceMessage << QStringLiteral("<b>bold</b> &amp;");
    QTest::newRow("long message is cut") << QByteArray(R"({"status":"x","message":")") + QByteArray(5000, 'a') + R"("})"
                                         << SettingsOutcome::ServiceMessage
                                         << QString(service::maxServiceMessageLength - 1, QLatin1Char('a')) +
                                                QChar(0x2026);
    // Cut before a character outside the BMP, never between the halves of its surrogate pair.
    QTest::newRow("cut beside a surrogate pair")
        << QByteArray(R"({"status":"x","message":")") + QByteArray(service::maxServiceMessageLength - 2, 'a') +
               R"(\ud83d\ude00)" + QByteArray(10, 'b') + R"("})"
        << SettingsOutcome::ServiceMessage
        << QString(service::maxServiceMessageLength - 2, QLatin1Char('a')) + QChar(0x2026);
}

void TestRequests::serviceMessage()
{
    QFETCH(QByteArray, body);
    QFETCH(SettingsOutcome, outcome);
    QFETCH(QString, message);
    const service::SettingsReply reply = service::judgeSettingsReply(false, body);
    QCOMPARE(reply.outcome, outcome);
    QCOMPARE(reply.message, message);
}

namespace {

// A QR code's rows as the service sends them: size rows of size modules, the first row changed to firstRow.
QByteArray qrRows(int size, const QByteArray &firstRow = {})
{
    QByteArray rows = "[";
    for (int row = 0; row < size; ++row) {
        QByteArray text(size, '0');
        for (int column = row % 3; column < size; column += 3)
            text[column] = '1';
        rows += (row ? ",\"" : "\"") + (row == 0 && !firstRow.isNull() ? firstRow : text) + '"';
    }
    return rows + ']';
}

} // namespace

void TestRequests::pairingReply_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<SettingsOutcome>("outcome");
    QTest::addColumn<int>("devices"); // -1: the reply carries no device list
    QTest::addColumn<QString>("page");
    QTest::addColumn<int>("size");
    const QByteArray page = "https://push.example.org/d/Zk3q9";
    const QByteArray device = R"("device":{"id":"9","name":"Kitchen","page":")" + page + R"("})";
    const QByteArray list = R"("devices":[{"id":"7","name":"Pixel"},{"id":"9","name":"Kitchen"}])";
    auto added = [&](const QByteArray &qr) {
        return "{\"status\":\"valid\"," + device + ",\"qr\":" + qr + ',' + list + '}';
    };
    auto shown = [&](const QByteArray &pageValue, const QByteArray &qr) {
        return "{\"status\":\"valid\",\"page\":" + pageValue + ",\"qr\":" + qr + '}';
    };
    const QByteArray quoted = '"' + page + '"';
    QTest::newRow("added") << added(qrRows(29)) << SettingsOutcome::PhonePage << 2 << QString(page) << 29;
    QTest::newRow("page, smallest code") << shown(quoted, qrRows(21)) << SettingsOutcome::PhonePage << -1
                                         << QString(page) << 21;
    QTest::newRow("page, largest code") << shown(quoted, qrRows(177)) << SettingsOutcome::PhonePage << -1
                                        << QString(page) << 177;
    QTest::newRow("bad name") << QByteArray(R"({"status":"bad name","error":"name must not be empty"})")
                              << SettingsOutcome::BadName << -1 << QString() << 0;
    QTest::newRow("too many devices") << QByteArray(R"({"status":"too many devices","error":"at most 50"})")
                                      << SettingsOutcome::TooManyDevices << -1 << QString() << 0;
    QTest::newRow("unknown device") << QByteArray(R"({"status":"unknown device","error":"no device"})")
                                    << SettingsOutcome::ApiKeyRefused << -1 << QString() << 0;
    QTest::newRow("refused key") << QByteArray(R"({"status":"invalid","qr":[]})") << SettingsOutcome::ApiKeyRefused
                                 << -1 << QString() << 0;
    // Broken answers are refused whole; a device list that comes with one still counts.
    QTest::newRow("added, no qr rows") << added("null") << SettingsOutcome::BrokenPhonePage << 2 << QString() << 0;
    QTest::newRow("not square") << added(qrRows(25, QByteArray(24, '1'))) << SettingsOutcome::BrokenPhonePage << 2
                                << QString() << 0;
    QTest::newRow("other characters") << shown(quoted, qrRows(21, "111111102010101011111"))
                                      << SettingsOutcome::BrokenPhonePage << -1 << QString() << 0;
    QTest::newRow("a row not a string") << shown(quoted, "[" + QByteArray("1,").repeated(20) + "1]")
                                        << SettingsOutcome::BrokenPhonePage << -1 << QString() << 0;
    QTest::newRow("size between versions")
        << shown(quoted, qrRows(23)) << SettingsOutcome::BrokenPhonePage << -1 << QString() << 0;
    QTest::newRow("too large") << shown(quoted, qrRows(181)) << SettingsOutcome::BrokenPhonePage << -1 << QString()
                               << 0;
    QTest::newRow("page not a string") << shown("7", qrRows(21)) << SettingsOutcome::BrokenPhonePage << -1 << QString()
                                       << 0;
    QTest::newRow("page relative") << shown(R"("/d/Zk3q9")", qrRows(21)) << SettingsOutcome::BrokenPhonePage << -1
                                   << QString() << 0;
    QTest::newRow("page javascript") << shown(R"x("javascript:alert(1)")x", qrRows(21))
                                     << SettingsOutcome::BrokenPhonePage << -1 << QString() << 0;
}

void TestRequests::pairingReply()
{
    QFETCH(QByteArray, body);
    QFETCH(SettingsOutcome, outcome);
    QFETCH(int, devices);
    QFETCH(QString, page);
    QFETCH(int, size);
    const service::SettingsReply reply = service::judgeSettingsReply(false, body);
    QCOMPARE(reply.outcome, outcome);
    QCOMPARE(reply.hasDevices, devices >= 0);
    QCOMPARE(reply.devices.size(), std::max(devices, 0));
    QCOMPARE(reply.page, page);
    QCOMPARE(reply.qr.size, size);
    if (size > 0) {
        // Row by row from the top, '1' dark: the pattern qrRows wrote.
        QCOMPARE(reply.qr.modules.size(), size * size);
        for (int row : {0, 1, size - 1})
            for (int column : {0, 1, 2, size - 1})
                QCOMPARE(reply.qr.dark(row, column), column % 3 == row % 3);
    }
}

void TestRequests::warnings_data()
{
    QTest::addColumn<bool>("french");
    QTest::addColumn<QString>("loginTitle");
    QTest::addColumn<QString>("settingsTitle");
    QTest::newRow("English") << false << "tapvela - connection"
                             << "tapvela - settings";
    QTest::newRow("French") << true << "tapvela - connexion"
                            << "tapvela - configuration";
}

void TestRequests::warnings()
{
    QFETCH(bool, french);
    QFETCH(QString, loginTitle);
    QFETCH(QString, settingsTitle);
    // Each window titles both of its warnings alike; the connection text is the same in both windows.
    QCOMPARE(service::loginConnectionWarning(french).title, loginTitle);
    QCOMPARE(service::loginCredentialsWarning(french).title, loginTitle);
    QCOMPARE(service::settingsConnectionWarning(french).title, settingsTitle);
    QCOMPARE(service::settingsApiKeyWarning(french).title, settingsTitle);
    QCOMPARE(service::settingsConnectionWarning(french).text, service::loginConnectionWarning(french).text);
    QVERIFY(service::loginCredentialsWarning(french).text != service::loginConnectionWarning(french).text);
    QVERIFY(service::settingsApiKeyWarning(french).text != service::settingsConnectionWarning(french).text);
    QVERIFY(service::settingsApiKeyWarning(french).text != service::settingsApiKeyWarning(!french).text);
    for (const service::Warning &pairing :
         {service::settingsBadNameWarning(french), service::settingsTooManyDevicesWarning(french),
          service::settingsBrokenPhonePageWarning(french)}) {
        QCOMPARE(pairing.title, settingsTitle);
        QVERIFY(pairing.text != service::settingsApiKeyWarning(french).text);
    }
}

QTEST_GUILESS_MAIN(TestRequests)
#include "tst_requests.moc"
