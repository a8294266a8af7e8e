#include "app/uilanguage.h"
#include "service/requests.h"
#include "support/testservice.h"
#include "wireforms.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QSslSocket>
#include <QTcpServer>
#include <QtTest>

using service::LoginOutcome;
using service::SettingsOutcome;
using testsupport::ScriptedReply;
using testsupport::TestService;

Q_DECLARE_METATYPE(service::LoginOutcome)
Q_DECLARE_METATYPE(service::SettingsOutcome)
Q_DECLARE_METATYPE(testsupport::ScriptedReply)

namespace {

constexpr int finishWaitMs = 20000;

// Sends url and runs the event loop until the manager reports the reply finished; null on a time-out.
QNetworkReply *sendAndWait(QNetworkAccessManager &manager, const QUrl &url, int timeoutMs = service::transferTimeoutMs)
{
    QSignalSpy finished(&manager, &QNetworkAccessManager::finished);
    QNetworkReply *reply = service::sendRequest(&manager, url, timeoutMs);
    if (finished.isEmpty() && !finished.wait(finishWaitMs))
        return nullptr;
    return finished.first().first().value<QNetworkReply *>() == reply ? reply : nullptr;
}

// A finished reply as Qt now and then reports one whose connection closed mid-body: no error, and fewer bytes
// than its Content-Length announced. A real service cannot make Qt take that path on demand.
class ReportedReply final : public QNetworkReply
{
public:
    ReportedReply(const QByteArray &body, qint64 announced) : m_body(body)
    {
        if (announced >= 0)
            setHeader(QNetworkRequest::ContentLengthHeader, announced);
        open(QIODevice::ReadOnly);
        setFinished(true);
    }
    void abort() override {}
    qint64 bytesAvailable() const override { return m_body.size() - m_read + QNetworkReply::bytesAvailable(); }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 n = qMin(maxSize, qint64(m_body.size()) - m_read);
        memcpy(data, m_body.constData() + m_read, size_t(n));
        m_read += n;
        return n;
    }

private:
    QByteArray m_body;
    qint64 m_read = 0;
};

} // namespace

class TestSending : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void wireForm_data();
    void wireForm();
    void requestCarriesOnlyTheUrl();
    void loginReply_data();
    void loginReply();
    void settingsReply_data();
    void settingsReply();
    void cutBodyReportedAsSuccess_data();
    void cutBodyReportedAsSuccess();
    void sizeCap_data();
    void sizeCap();
    void timeOut();
    void replyOutlivesNestedLoop();
    void redirectNotFollowed_data();
    void redirectNotFollowed();
    void serviceUnreachable();
    void tlsAvailable();
    void scriptedReplyOrder();
    void delayedReplyFinishesLater();

private:
    QNetworkAccessManager *m_manager = nullptr;
    TestService *m_service = nullptr;
};

void TestSending::initTestCase()
{
    qRegisterMetaType<QNetworkReply *>();
}

void TestSending::init()
{
    // A fresh manager and service per test: no connection or script leaks from one case into the next.
    delete m_manager;
    delete m_service;
    m_manager = new QNetworkAccessManager(this);
    m_service = new TestService(this);
    QVERIFY(m_service->isListening());
    m_service->exportServiceUrl();
}

void TestSending::wireForm_data()
{
    wireforms::addColumns();
    wireforms::addRows();
}

void TestSending::wireForm()
{
    QFETCH(QString, request);
    QFETCH(QStringList, values);
    QFETCH(QByteArray, target);
    QNetworkReply *reply = sendAndWait(*m_manager, wireforms::build(request, values));
    QVERIFY(reply);
    reply->deleteLater();
    QCOMPARE(m_service->requestCount(), 1);
    const testsupport::RecordedRequest seen = m_service->lastRequest();
    QCOMPARE(seen.line(), "GET " + target + " HTTP/1.1");
    // What the service decodes is exactly what the program meant, delimiters and "%" included.
    QCOMPARE(seen.queryItems(), wireforms::decodedItems(request, values));
}

void TestSending::requestCarriesOnlyTheUrl()
{
    QNetworkReply *reply = sendAndWait(*m_manager, service::devicesUrl(QStringLiteral("no")));
    QVERIFY(reply);
    reply->deleteLater();
    QCOMPARE(reply->request().transferTimeout(), service::transferTimeoutMs);
    QCOMPARE(reply->request().attribute(QNetworkRequest::RedirectPolicyAttribute).toInt(),
             int(QNetworkRequest::ManualRedirectPolicy));
    // The program's one header: its interface's language, in which the service words the messages it sends.
    QCOMPARE(reply->request().rawHeaderList(), QList<QByteArray>{"Accept-Language"});
    QCOMPARE(m_service->lastRequest().header("Accept-Language"), QByteArray(isFrenchInterface() ? "fr" : "en"));
    // On the wire only the network layer's own headers: no body, no cookie, no credentials.
    const QByteArrayList own{"host", "connection", "accept-encoding", "accept-language", "user-agent"};
    for (const auto &header : m_service->lastRequest().headers)
        QVERIFY2(own.contains(header.first.toLower()), header.first.constData());
}

void TestSending::loginReply_data()
{
    QTest::addColumn<ScriptedReply>("scripted");
    QTest::addColumn<LoginOutcome>("outcome");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("seconds");
    QTest::newRow("error") << ScriptedReply::text("error") << LoginOutcome::RefusedCredentials << "error" << 0;
    QTest::newRow("error and line break") << ScriptedReply::text("error\n") << LoginOutcome::ApiKey << "error\n" << 0;
    QTest::newRow("Error") << ScriptedReply::text("Error") << LoginOutcome::ApiKey << "Error" << 0;
    QTest::newRow("api key") << ScriptedReply::text("4f1c9a") << LoginOutcome::ApiKey << "4f1c9a" << 0;
    QTest::newRow("empty body") << ScriptedReply::text("") << LoginOutcome::NotService << "" << 0;
    QTest::newRow("204 no content") << ScriptedReply::text("", 204) << LoginOutcome::NotService << "" << 0;
    QTest::newRow("NUL in body") << ScriptedReply::text(QByteArray("4f1c\0rest", 9)) << LoginOutcome::ApiKey << "4f1c"
                                 << 0;
    QTest::newRow("400") << ScriptedReply::text("error", 400) << LoginOutcome::ConnectionFailure << "" << 0;
    QTest::newRow("403") << ScriptedReply::text("4f1c9a", 403) << LoginOutcome::ConnectionFailure << "" << 0;
    QTest::newRow("404") << ScriptedReply::text("<html>Not Found</html>", 404) << LoginOutcome::ConnectionFailure << ""
                         << 0;
    QTest::newRow("500") << ScriptedReply::text("4f1c9a", 500) << LoginOutcome::ConnectionFailure << "" << 0;
    QTest::newRow("503") << ScriptedReply::text("", 503) << LoginOutcome::ConnectionFailure << "" << 0;
    // Some other web server at the address: never an api key.
    QTest::newRow("HTML page") << ScriptedReply::text("<!DOCTYPE html><title>Welcome</title>")
                                      .withHeader("Content-Type", "text/html; charset=utf-8")
                               << LoginOutcome::NotService << "<!DOCTYPE html><title>Welcome</title>" << 0;
    QTest::newRow("HTML as text/plain") << ScriptedReply::text("\n<html><body>Sign in</body></html>")
                                        << LoginOutcome::NotService << "\n<html><body>Sign in</body></html>" << 0;
    QTest::newRow("redirect to a portal")
        << ScriptedReply::redirect("https://portal.example/") << LoginOutcome::NotService << "" << 0;
    // Our service's throttle and its busy answer, as tapvela-server sends them.
    QTest::newRow("429 Retry-After")
        << ScriptedReply::json(R"({"status":"too many attempts"})", 429).withHeader("Retry-After", "42")
        << LoginOutcome::TooManyAttempts << "" << 42;
    QTest::newRow("503 Retry-After") << ScriptedReply::json(R"({"status":"busy"})", 503).withHeader("Retry-After", "1")
                                     << LoginOutcome::TooManyAttempts << "" << 1;
    QTest::newRow("429 Retry-After as a date")
        << ScriptedReply::text("", 429).withHeader("Retry-After", "Wed, 21 Oct 2015 07:28:00 GMT")
        << LoginOutcome::ConnectionFailure << "" << 0;
    // A key cut short by a dropped connection must not be stored as the api key.
    QTest::newRow("closed mid-body") << ScriptedReply::truncated("4f1c") << LoginOutcome::ConnectionFailure << "" << 0;
    QTest::newRow("closed before answering") << ScriptedReply::hangUp() << LoginOutcome::ConnectionFailure << "" << 0;
    // Unpacked by Qt: the 6-byte key came as 26 bytes, so the announced length is not the body's.
    const QByteArray packed("\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\x33\x49\x33\x4c\xb6\x4c\x04\x00\x3c\x50\x6c\x0e"
                            "\x06\x00\x00\x00",
                            26);
    QTest::newRow("gzip") << ScriptedReply::text(packed).withHeader("Content-Encoding", "gzip") << LoginOutcome::ApiKey
                          << "4f1c9a" << 0;
}

void TestSending::loginReply()
{
    QFETCH(ScriptedReply, scripted);
    QFETCH(LoginOutcome, outcome);
    QFETCH(QString, text);
    QFETCH(int, seconds);
    m_service->setReply("/all/login_app.php", scripted);
    QPointer<QNetworkReply> reply = sendAndWait(*m_manager, service::loginUrl("alice", "secret"));
    QVERIFY(reply);
    const service::LoginReply judged = service::takeLoginReply(reply);
    QCOMPARE(judged.outcome, outcome);
    QCOMPARE(judged.text, text);
    QCOMPARE(judged.retryAfterSeconds, seconds);
    QTRY_VERIFY(reply.isNull());
}

void TestSending::settingsReply_data()
{
    QTest::addColumn<ScriptedReply>("scripted");
    QTest::addColumn<SettingsOutcome>("outcome");
    QTest::addColumn<int>("devices");
    const QByteArray list = R"({"status":"valid","devices":[{"id":"a1","name":"Pixel"},{"id":"b2","name":"Tab"}]})";
    QTest::newRow("device list") << ScriptedReply::json(list) << SettingsOutcome::DeviceList << 2;
    QTest::newRow("valid") << ScriptedReply::json(R"({"status":"valid"})") << SettingsOutcome::Nothing << 0;
    QTest::newRow("refused") << ScriptedReply::json(R"({"status":"invalid"})") << SettingsOutcome::ApiKeyRefused << 0;
    QTest::newRow("array") << ScriptedReply::json("[]") << SettingsOutcome::ApiKeyRefused << 0;
    QTest::newRow("HTML page") << ScriptedReply::text("<html><body>ok</body></html>") << SettingsOutcome::NotJson << 0;
    QTest::newRow("empty body") << ScriptedReply::text("") << SettingsOutcome::NotJson << 0;
    QTest::newRow("404 with a device list") << ScriptedReply::json(list, 404) << SettingsOutcome::NetworkError << 0;
    QTest::newRow("500") << ScriptedReply::json(R"({"status":"invalid"})", 500) << SettingsOutcome::NetworkError << 0;
    QTest::newRow("closed mid-body") << ScriptedReply::truncated(R"({"status":"valid","devices":[)")
                                     << SettingsOutcome::NetworkError << 0;
}

void TestSending::settingsReply()
{
    QFETCH(ScriptedReply, scripted);
    QFETCH(SettingsOutcome, outcome);
    QFETCH(int, devices);
    m_service->setDefaultReply(scripted);
    QPointer<QNetworkReply> reply = sendAndWait(*m_manager, service::devicesUrl("K1"));
    QVERIFY(reply);
    const service::SettingsReply judged = service::takeSettingsReply(reply);
    QCOMPARE(judged.outcome, outcome);
    QCOMPARE(judged.devices.size(), devices);
    QTRY_VERIFY(reply.isNull());
}

void TestSending::cutBodyReportedAsSuccess_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<qint64>("announced");
    QTest::addColumn<bool>("failed");
    QTest::newRow("cut") << QByteArray("4f1c") << qint64(9) << true;
    QTest::newRow("whole") << QByteArray("4f1c9a") << qint64(6) << false;
    QTest::newRow("no length") << QByteArray("4f1c9a") << qint64(-1) << false;
}

void TestSending::cutBodyReportedAsSuccess()
{
    QFETCH(QByteArray, body);
    QFETCH(qint64, announced);
    QFETCH(bool, failed);
    QPointer<QNetworkReply> reply = new ReportedReply(body, announced);
    QCOMPARE(service::replyFailed(reply), failed);
    const service::LoginReply judged = service::takeLoginReply(reply);
    QCOMPARE(judged.outcome, failed ? LoginOutcome::ConnectionFailure : LoginOutcome::ApiKey);
    QCOMPARE(judged.text, failed ? QString() : QString::fromLatin1(body));
    QTRY_VERIFY(reply.isNull());
}

void TestSending::sizeCap_data()
{
    QTest::addColumn<ScriptedReply>("scripted");
    QTest::addColumn<bool>("failed");
    QTest::newRow("exactly the cap") << ScriptedReply::text(QByteArray(service::maxReplyBytes, 'k')) << false;
    QTest::newRow("one byte over") << ScriptedReply::text(QByteArray(service::maxReplyBytes + 1, 'k')) << true;
    QTest::newRow("8 MiB") << ScriptedReply::text(QByteArray(8 * service::maxReplyBytes, 'k')) << true;
    QTest::newRow("endless, no length") << ScriptedReply::endless() << true;
}

void TestSending::sizeCap()
{
    QFETCH(ScriptedReply, scripted);
    QFETCH(bool, failed);
    m_service->setDefaultReply(scripted);
    QPointer<QNetworkReply> reply = sendAndWait(*m_manager, service::loginUrl("alice", "secret"));
    QVERIFY(reply);
    // Stopped by the program while the body was arriving, not read whole and refused afterwards.
    QCOMPARE(reply->error(), failed ? QNetworkReply::OperationCanceledError : QNetworkReply::NoError);
    const service::LoginReply judged = service::takeLoginReply(reply);
    QCOMPARE(judged.outcome, failed ? LoginOutcome::ConnectionFailure : LoginOutcome::ApiKey);
    if (!failed)
        QCOMPARE(judged.text.size(), int(service::maxReplyBytes));
    QTRY_VERIFY(reply.isNull());
    // An endless body stopped after little more than what the socket buffers hold: the network thread did not
    // read ahead without bound. When the service learns that the connection went is the platform's affair.
    QVERIFY2(m_service->endlessBytesSent() < 32 * service::maxReplyBytes,
             QByteArray::number(m_service->endlessBytesSent()).constData());
}

void TestSending::timeOut()
{
    m_service->setDefaultReply(ScriptedReply::silence());
    QPointer<QNetworkReply> reply = sendAndWait(*m_manager, service::loginUrl("alice", "secret"), 300);
    QVERIFY(reply);
    QCOMPARE(m_service->requestCount(), 1);
    QVERIFY(reply->error() != QNetworkReply::NoError);
    QCOMPARE(service::takeLoginReply(reply).outcome, LoginOutcome::ConnectionFailure);
    QTRY_VERIFY(reply.isNull());
}

void TestSending::replyOutlivesNestedLoop()
{
    // A handler takes its reply first and may then show a message box: the reply must survive the box's
    // nested event loop and go only when the handler has returned.
    bool aliveInNestedLoop = false;
    connect(m_manager, &QNetworkAccessManager::finished, this, [&aliveInNestedLoop](QNetworkReply *reply) {
        QPointer<QNetworkReply> guard(reply);
        service::takeLoginReply(reply);
        QEventLoop nested;
        QTimer::singleShot(20, &nested, &QEventLoop::quit);
        nested.exec();
        aliveInNestedLoop = !guard.isNull();
    });
    m_service->setDefaultReply(ScriptedReply::text("error"));
    QPointer<QNetworkReply> reply = sendAndWait(*m_manager, service::loginUrl("alice", "secret"));
    QVERIFY(reply);
    QVERIFY(aliveInNestedLoop);
    QTRY_VERIFY(reply.isNull());
}

void TestSending::redirectNotFollowed_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("301") << 301;
    QTest::newRow("302") << 302;
    QTest::newRow("303") << 303;
    QTest::newRow("307") << 307;
    QTest::newRow("308") << 308;
}

void TestSending::redirectNotFollowed()
{
    QFETCH(int, status);
    TestService elsewhere;
    QVERIFY(elsewhere.isListening());
    elsewhere.setDefaultReply(ScriptedReply::text("stolen"));
    const QByteArray location = elsewhere.url().toUtf8() + "/all/login_app.php?username=alice";
    m_service->setDefaultReply(ScriptedReply::redirect(location, status).withHeader("Content-Length", "0"));
    QPointer<QNetworkReply> reply = sendAndWait(*m_manager, service::loginUrl("alice", "secret"));
    QVERIFY(reply);
    QCOMPARE(m_service->requestCount(), 1);
    QCOMPARE(elsewhere.requestCount(), 0);
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
    QCOMPARE(reply->header(QNetworkRequest::LocationHeader).toUrl(), QUrl::fromEncoded(location));
    // Judged as the reply it is: not the service's answer, whatever its body.
    const service::LoginReply judged = service::takeLoginReply(reply);
    QCOMPARE(judged.outcome, LoginOutcome::NotService);
    QCOMPARE(judged.text, QString());
    QTRY_VERIFY(reply.isNull());
}

void TestSending::serviceUnreachable()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 closedPort = probe.serverPort();
    probe.close();
    qputenv("TAPVELA_SERVICE_URL", QByteArray("http://127.0.0.1:") + QByteArray::number(closedPort));
    QPointer<QNetworkReply> reply = sendAndWait(*m_manager, service::devicesUrl("K1"));
    QVERIFY(reply);
    QCOMPARE(service::takeSettingsReply(reply).outcome, SettingsOutcome::NetworkError);
    QTRY_VERIFY(reply.isNull());
}

void TestSending::tlsAvailable()
{
    // https:// service URLs need a TLS back end at run time: OpenSSL on Linux, Schannel on Windows.
    QVERIFY2(QSslSocket::supportsSsl(), qPrintable(QSslSocket::sslLibraryBuildVersionString()));
    qInfo("TLS: %s", qPrintable(QSslSocket::sslLibraryVersionString()));
}

void TestSending::scriptedReplyOrder()
{
    // The order every later test relies on: path queue, then the general queue, then the path's reply, then
    // the default.
    m_service->setDefaultReply(ScriptedReply::text("default"));
    m_service->setReply("/all/devices_app.php", ScriptedReply::text("path"));
    m_service->enqueue(ScriptedReply::text("queued"));
    m_service->enqueue("/all/devices_app.php", ScriptedReply::text("path queued"));
    const QStringList expected{"path queued", "queued", "path", "path"};
    for (const QString &text : expected) {
        QNetworkReply *reply = sendAndWait(*m_manager, service::devicesUrl("K1"));
        QVERIFY(reply);
        QCOMPARE(service::takeLoginReply(reply).text, text);
    }
    QNetworkReply *reply = sendAndWait(*m_manager, service::loginUrl("alice", "secret"));
    QVERIFY(reply);
    QCOMPARE(service::takeLoginReply(reply).text, QStringLiteral("default"));
    QCOMPARE(m_service->requestCount(), 5);
}

void TestSending::delayedReplyFinishesLater()
{
    // Replies are handled in the order they finish, not the order they were sent: the first one is answered
    // only once the second has finished.
    m_service->enqueue("/all/devices_app.php", ScriptedReply::json(R"({"status":"valid"})").held());
    m_service->enqueue("/all/api.php", ScriptedReply::json(R"({"status":"invalid"})"));
    QSignalSpy finished(m_manager, &QNetworkAccessManager::finished);
    QNetworkReply *slow = service::sendRequest(m_manager, service::devicesUrl("K1"));
    QVERIFY(m_service->waitForRequests(1));
    QNetworkReply *fast = service::sendRequest(m_manager, service::pushUrl("K1", false, "d1", "+1"));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, finishWaitMs);
    QCOMPARE(finished.at(0).first().value<QNetworkReply *>(), fast);
    QCOMPARE(m_service->releaseHeld(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, finishWaitMs);
    QCOMPARE(finished.at(1).first().value<QNetworkReply *>(), slow);
    QCOMPARE(service::takeSettingsReply(fast).outcome, SettingsOutcome::ApiKeyRefused);
    QCOMPARE(service::takeSettingsReply(slow).outcome, SettingsOutcome::Nothing);
}

QTEST_GUILESS_MAIN(TestSending)
#include "tst_sending.moc"
