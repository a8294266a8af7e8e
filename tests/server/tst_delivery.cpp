#include "delivery.h"

#include <QFile>
#include <QHostInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include "servertest.h"

#include <memory>

// Web Push delivery from a real tapvela-server process to a fake push service (fake_push_service.py), which
// decrypts each message and verifies its VAPID token with a second implementation, and answers as scripted.

namespace {

using servertest::HttpReply;

HttpReply request(quint16 port, const QByteArray &method, const QByteArray &target)
{
    return servertest::rawRequest(port, method, target);
}

int count(const QString &db, const char *sql)
{
    return servertest::countRows(db, sql);
}

struct Process
{
    std::unique_ptr<QProcess> process;
    QByteArray firstLine;
};

Process startProcess(const QString &program, const QStringList &arguments)
{
    Process started{std::make_unique<QProcess>(), {}};
    started.process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    started.process->start(program, arguments);
    if (!started.process->waitForStarted(5000))
        return started;
    while (!started.process->canReadLine())
        if (!started.process->waitForReadyRead(15000))
            return started;
    started.firstLine = started.process->readLine().trimmed();
    return started;
}

void stopProcess(Process &running)
{
    if (running.process && running.process->state() != QProcess::NotRunning) {
        running.process->terminate();
        if (!running.process->waitForFinished(10000))
            running.process->kill();
        running.process->waitForFinished(5000);
    }
}

// A name of this computer that resolves, as /etc/hosts has it, to its own or a private address only; empty when
// there is none.
QString nonPublicName()
{
    const QString name = QHostInfo::localHostName();
    const QList<QHostAddress> addresses = QHostInfo::fromName(name).addresses();
    const bool nonPublic = std::all_of(addresses.begin(), addresses.end(), [](const QHostAddress &address) {
        return address.isLoopback() || address.isLinkLocal() || address.isUniqueLocalUnicast() ||
               address.isInSubnet(QHostAddress(QStringLiteral("10.0.0.0")), 8) ||
               address.isInSubnet(QHostAddress(QStringLiteral("172.16.0.0")), 12) ||
               address.isInSubnet(QHostAddress(QStringLiteral("192.168.0.0")), 16);
    });
    return !addresses.isEmpty() && nonPublic && name.contains(QRegularExpression(QStringLiteral("^[a-z0-9.-]+$")))
               ? name
               : QString();
}

} // namespace

class TestDelivery final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void delivered_data();
    void delivered();
    void goneSubscription();
    void turnedOffWhileWaiting();
    void keptConnection_data();
    void keptConnection();
    void beyondOneBatch();
    void survivesKill();
    void verifiedTls();
    void unverifiedTlsDropped();
    void endpointRules_data();
    void endpointRules();
    void deliveryOff();
    void payloadFits_data();
    void payloadFits();
    void vapidSubject_data();
    void vapidSubject();
    void testNotification();
    void privateNameRefused();
    void privateNameDropped();
    void hangingAccountShares();

private:
    quint16 startServer(Process *server, const QStringList &extra);
    QByteArray addDevice(const QString &name, QByteArray *token, const QString &account = QStringLiteral("alice"));
    // With the keys of the first fake unless others are given.
    QByteArray subscribe(quint16 port, const QByteArray &token, const QByteArray &endpoint,
                         const QJsonObject &keys = {});
    QByteArray push(const QByteArray &device, const QByteArray &msg);
    QList<QJsonObject> records(const QString &name) const;
    // Deliveries and pushes still queued.
    int queued() const
    {
        return count(
            m_db,
            "SELECT (SELECT count(*) FROM deliveries) + (SELECT count(*) FROM pushes WHERE deliver_to IS NOT NULL)");
    }

    QTemporaryDir m_dir;
    QString m_db, m_record;
    Process m_fake, m_server;
    quint16 m_fakePort = 0, m_port = 0;
    QByteArray m_p256dh, m_auth, m_key, m_publicKey;
};

quint16 TestDelivery::startServer(Process *server, const QStringList &extra)
{
    *server = startProcess(QStringLiteral(TAPVELA_SERVER), QStringList{"serve", "--port", "0", "--db", m_db} + extra);
    const auto match = QRegularExpression(QStringLiteral("^listening on http://127\\.0\\.0\\.1:(\\d+)$"))
                           .match(QString::fromUtf8(server->firstLine));
    return match.hasMatch() ? static_cast<quint16>(match.captured(1).toUInt()) : 0;
}

QByteArray TestDelivery::addDevice(const QString &name, QByteArray *token, const QString &account)
{
    QProcess process;
    process.start(QStringLiteral(TAPVELA_SERVER), {"add-device", "--db", m_db, account, name});
    if (!process.waitForFinished(30000) || process.exitCode() != 0)
        return {};
    const auto match = QRegularExpression(QStringLiteral("device id: (\\w+)\nphone page: \\S+/d/(\\S{32})"))
                           .match(QString::fromUtf8(process.readAllStandardOutput()));
    *token = match.captured(2).toUtf8();
    return match.captured(1).toUtf8();
}

QByteArray TestDelivery::subscribe(quint16 port, const QByteArray &token, const QByteArray &endpoint,
                                   const QJsonObject &keys)
{
    const QByteArray p256dh = keys.isEmpty() ? m_p256dh : keys.value(QLatin1String("p256dh")).toString().toLatin1();
    const QByteArray auth = keys.isEmpty() ? m_auth : keys.value(QLatin1String("auth")).toString().toLatin1();
    const HttpReply reply = request(port, "POST",
                                    "/d/" + token + "/subscription?endpoint=" + QUrl::toPercentEncoding(endpoint) +
                                        "&p256dh=" + p256dh + "&auth=" + auth);
    return QByteArray::number(reply.status) + ' ' + reply.body;
}

QByteArray TestDelivery::push(const QByteArray &device, const QByteArray &msg)
{
    return request(m_port, "GET",
                   "/all/api.php?apikey=" + m_key + "&devices=" + device + "&msg=" + QUrl::toPercentEncoding(msg) +
                       "&extra=tel%3A%2B33612345678")
        .body;
}

QList<QJsonObject> TestDelivery::records(const QString &name) const
{
    QList<QJsonObject> found;
    QFile file(m_record);
    if (!file.open(QIODevice::ReadOnly))
        return found;
    while (!file.atEnd()) {
        const QJsonObject entry = QJsonDocument::fromJson(file.readLine()).object();
        if (entry.value(QLatin1String("name")).toString() == name)
            found << entry;
    }
    return found;
}

void TestDelivery::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_db = servertest::newDatabase(m_dir.filePath(QStringLiteral("push.db")));
    m_record = m_dir.filePath(QStringLiteral("record.jsonl"));
    QProcess addUser;
    addUser.start(QStringLiteral(TAPVELA_SERVER), {"add-user", "--db", m_db, "alice"});
    addUser.write("alice password\n");
    addUser.closeWriteChannel();
    QVERIFY(addUser.waitForFinished(30000));
    QCOMPARE(addUser.exitCode(), 0);

    // What each endpoint answers, request after request (the last answer repeats).
    m_fake = startProcess(QStringLiteral(TAPVELA_PYTHON3),
                          {QStringLiteral(FAKE_PUSH_SERVICE), m_record, "ok=201", "busy=429+1,201", "down=503+1,202",
                           "hang=hang,201", "gone=410", "kill=503+1,hang,201", "killok=201", "many=201", "kept=201",
                           "closed=201-close", "held=hold", "off=201", "tested=201", "untested=201", "dropped=201",
                           "fair=201"});
    const QJsonObject keys = QJsonDocument::fromJson(m_fake.firstLine).object();
    m_fakePort = static_cast<quint16>(keys.value(QLatin1String("port")).toInt());
    m_p256dh = keys.value(QLatin1String("p256dh")).toString().toLatin1();
    m_auth = keys.value(QLatin1String("auth")).toString().toLatin1();
    QVERIFY2(m_fakePort != 0, m_fake.firstLine.constData());

    m_port = startServer(&m_server, {"--vapid-subject", "mailto:ops@example.org", "--webpush-allow-loopback-http"});
    QVERIFY(m_port != 0);
    m_key = request(m_port, "GET",
                    "/all/login_app.php?username=alice&password=" +
                        QCryptographicHash::hash("alice password", QCryptographicHash::Sha1).toHex())
                .body;
    QCOMPARE(m_key.size(), 48);
    QByteArray token;
    QVERIFY(!addDevice(QStringLiteral("phone key"), &token).isEmpty());
    const HttpReply key = request(m_port, "GET", "/d/" + token + "/push-key");
    QCOMPARE(key.status, 200);
    m_publicKey = QJsonDocument::fromJson(key.body).object().value(QLatin1String("key")).toString().toLatin1();
    QCOMPARE(QByteArray::fromBase64(m_publicKey, QByteArray::Base64UrlEncoding).size(), 65);
}

void TestDelivery::cleanupTestCase()
{
    stopProcess(m_server);
    stopProcess(m_fake);
    // A clean stop, with deliveries under way or not (there is no server when the start failed).
    QVERIFY(m_server.process);
    QCOMPARE(m_server.process->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_server.process->exitCode(), 0);
}

void TestDelivery::delivered_data()
{
    QTest::addColumn<QString>("endpoint");
    QTest::addColumn<QStringList>("answers"); // what the fake answered, in order

    QTest::newRow("accepted at once") << "ok" << QStringList{"201"};
    QTest::newRow("429 with Retry-After, then accepted") << "busy" << QStringList{"429+1", "201"};
    QTest::newRow("503 with Retry-After, then accepted") << "down" << QStringList{"503+1", "202"};
    // The second push is sent while the push service holds the first one's request unanswered.
    QTest::newRow("no answer: timed out and sent again") << "hang" << QStringList{"hang", "201", "201"};
}

// Each push reaches the push service exactly once with a 2xx answer, whatever came before, encrypted for the
// subscription and signed for its origin, and nothing is left queued.
void TestDelivery::delivered()
{
    QFETCH(QString, endpoint);
    QFETCH(QStringList, answers);
    QByteArray token;
    const QByteArray device = addDevice("phone " + endpoint, &token);
    QVERIFY(!device.isEmpty());
    QCOMPARE(subscribe(m_port, token, "http://127.0.0.1:" + QByteArray::number(m_fakePort) + '/' + endpoint.toUtf8()),
             QByteArray("200 {\"status\":\"ok\"}"));

    QStringList messages{QStringLiteral("Call back \"Zoë\" about the 3 o'clock"), QStringLiteral("second")};
    QCOMPARE(push(device, messages[0].toUtf8()), QByteArray("{\"status\":\"valid\"}"));
    if (answers.first() == QLatin1String("hang")) {
        QTRY_COMPARE_WITH_TIMEOUT(records(endpoint).size(), 1, 30000);
        // Answered while the push service hangs: the request only stores the push.
        QCOMPARE(push(device, messages[1].toUtf8()), QByteArray("{\"status\":\"valid\"}"));
    } else {
        messages.removeLast();
    }

    QTRY_COMPARE_WITH_TIMEOUT(records(endpoint).size(), answers.size(), 60000);
    QTRY_COMPARE_WITH_TIMEOUT(queued(), 0, 30000);
    const QList<QJsonObject> seen = records(endpoint);
    QStringList answered, accepted;
    for (const QJsonObject &entry : seen) {
        QVERIFY2(!entry.contains(QLatin1String("error")), qPrintable(entry.value(QLatin1String("error")).toString()));
        const QJsonObject payload = entry.value(QLatin1String("payload")).toObject();
        QCOMPARE(payload.value(QLatin1String("device")).toString(), "phone " + endpoint);
        QCOMPARE(payload.value(QLatin1String("number")).toString(), QStringLiteral("tel:+33612345678"));
        QVERIFY(payload.value(QLatin1String("id")).toInt() > 0);
        QVERIFY(payload.value(QLatin1String("time")).toDouble() > 1.7e9);
        answered << entry.value(QLatin1String("answer")).toString();
        if (answered.last().startsWith(QLatin1Char('2')))
            accepted << payload.value(QLatin1String("msg")).toString();
    }
    QCOMPARE(answered, answers);
    accepted.sort();
    messages.sort();
    QCOMPARE(accepted, messages);
}

void TestDelivery::goneSubscription()
{
    QByteArray token;
    const QByteArray device = addDevice(QStringLiteral("phone gone"), &token);
    const QByteArray endpoint = "http://127.0.0.1:" + QByteArray::number(m_fakePort) + "/gone";
    QCOMPARE(subscribe(m_port, token, endpoint), QByteArray("200 {\"status\":\"ok\"}"));
    QCOMPARE(count(m_db, "SELECT count(*) FROM subscriptions WHERE endpoint LIKE '%/gone'"), 1);
    QCOMPARE(push(device, "anyone there?"), QByteArray("{\"status\":\"valid\"}"));
    QTRY_COMPARE_WITH_TIMEOUT(count(m_db, "SELECT count(*) FROM subscriptions WHERE endpoint LIKE '%/gone'"), 0, 30000);
    QCOMPARE(queued(), 0);
    QCOMPARE(records(QStringLiteral("gone")).size(), 1);
}

// A subscription turned off while its delivery waits for a request to be free is not sent to. All these
// devices are one account's, which has 8 requests at a time, 4 per device.
void TestDelivery::turnedOffWhileWaiting()
{
    const QByteArray held = "http://127.0.0.1:" + QByteArray::number(m_fakePort) + "/held?";
    QByteArray tokens[2];
    const QByteArray devices[2] = {addDevice(QStringLiteral("phone held 1"), &tokens[0]),
                                   addDevice(QStringLiteral("phone held 2"), &tokens[1])};
    for (int n = 0; n < 8; ++n)
        QCOMPARE(subscribe(m_port, tokens[n / 4], held + QByteArray::number(n)), QByteArray("200 {\"status\":\"ok\"}"));
    const QByteArray off = "http://127.0.0.1:" + QByteArray::number(m_fakePort) + "/off";
    QCOMPARE(subscribe(m_port, tokens[1], off), QByteArray("200 {\"status\":\"ok\"}"));

    // The second device's last subscription comes last: the push service holds the 8 before it.
    QCOMPARE(push(devices[0], "first"), QByteArray("{\"status\":\"valid\"}"));
    QTRY_COMPARE_WITH_TIMEOUT(records(QStringLiteral("held")).size(), 4, 30000);
    QCOMPARE(push(devices[1], "second"), QByteArray("{\"status\":\"valid\"}"));
    QTRY_COMPARE_WITH_TIMEOUT(records(QStringLiteral("held")).size(), 8, 30000);
    const HttpReply removed =
        request(m_port, "POST", "/d/" + tokens[1] + "/subscription?remove=1&endpoint=" + QUrl::toPercentEncoding(off));
    QCOMPARE(removed.status, 200);
    // What waits is looked at again before it starts once it was fetched a second ago or more.
    QTest::qWait(1100);
    QFile release(m_record + QStringLiteral(".release"));
    QVERIFY(release.open(QIODevice::WriteOnly));
    release.close();

    QTRY_COMPARE_WITH_TIMEOUT(queued(), 0, 30000);
    QCOMPARE(records(QStringLiteral("held")).size(), 8);
    QCOMPARE(records(QStringLiteral("off")).size(), 0);
}

void TestDelivery::keptConnection_data()
{
    QTest::addColumn<QString>("endpoint");
    QTest::addColumn<bool>("kept");

    QTest::newRow("kept open by the push service") << "kept" << true;
    // As a service's idle time-out would: the next push finds it closed.
    QTest::newRow("closed by the push service after its answer") << "closed" << false;
}

// Pushes one after another go over one connection while the push service keeps it open; one that the service
// closed loses nothing.
void TestDelivery::keptConnection()
{
    QFETCH(QString, endpoint);
    QFETCH(bool, kept);
    QByteArray token;
    const QByteArray device = addDevice("phone " + endpoint, &token);
    QCOMPARE(subscribe(m_port, token, "http://127.0.0.1:" + QByteArray::number(m_fakePort) + '/' + endpoint.toUtf8()),
             QByteArray("200 {\"status\":\"ok\"}"));
    QSet<int> connections;
    for (int n = 1; n <= 3; ++n) {
        const QString message = QStringLiteral("push %1").arg(n);
        QCOMPARE(push(device, message.toUtf8()), QByteArray("{\"status\":\"valid\"}"));
        // No longer queued: the answer was read, and the connection kept or closed.
        QTRY_COMPARE_WITH_TIMEOUT(queued(), 0, 30000);
        const QList<QJsonObject> seen = records(endpoint);
        QCOMPARE(seen.size(), n);
        QVERIFY(seen.last().value(QLatin1String("answer")).toString().startsWith(QLatin1String("201")));
        QCOMPARE(seen.last().value(QLatin1String("payload")).toObject().value(QLatin1String("msg")).toString(),
                 message);
        connections << seen.last().value(QLatin1String("connection")).toInt();
    }
    QCOMPARE(connections.size(), kept ? 1 : 3);
}

// The queue is read a batch at a time: a backlog of several batches, found at start with no push to wake the
// delivery thread, is delivered whole, each push once. The backlog is one row per push and subscription, as
// older servers queued every push, so their databases' queues are delivered too.
void TestDelivery::beyondOneBatch()
{
    QByteArray token;
    const QByteArray device = addDevice(QStringLiteral("phone many"), &token);
    QCOMPARE(subscribe(m_port, token, "http://127.0.0.1:" + QByteArray::number(m_fakePort) + "/many"),
             QByteArray("200 {\"status\":\"ok\"}"));
    stopProcess(m_server);
    QCOMPARE(m_server.process->exitCode(), 0);

    const int pushes = 150;
    const QByteArray last = QByteArray::number(pushes - 1);
    const QByteArray queue =
        (servertest::isPostgres(m_db)
             ? "INSERT INTO pushes(device_id, msg, icon, sound, extra, created_at) SELECT v.id, 'burst ' || "
               "lpad(i::text, 3, '0'), '', '', '', extract(epoch FROM now())::bigint FROM generate_series(0, " +
                   last + ") AS n(i), devices v WHERE v.public_id = '" + device + "' ORDER BY i"
             : "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i + 1 < " +
                   QByteArray::number(pushes) +
                   ") INSERT INTO pushes(device_id, msg, icon, sound, extra, created_at) SELECT v.id, "
                   "printf('burst %03d', i), '', '', '', strftime('%s', 'now') FROM n, devices v WHERE v.public_id = "
                   "'" +
                   device + "'") +
        "; INSERT INTO deliveries(push_id, subscription_id, attempts, next_attempt_at, first_attempt_at) "
        "SELECT p.id, s.id, 0, p.created_at, p.created_at FROM pushes p JOIN subscriptions s ON s.device_id = "
        "p.device_id WHERE p.msg LIKE 'burst %'";
    QCOMPARE(servertest::execute(m_db, queue), pushes);
    QCOMPARE(queued(), pushes);

    m_port = startServer(&m_server, {"--vapid-subject", "mailto:ops@example.org", "--webpush-allow-loopback-http"});
    QVERIFY(m_port != 0);
    QTRY_COMPARE_WITH_TIMEOUT(queued(), 0, 120000);
    QStringList accepted, messages;
    for (const QJsonObject &entry : records(QStringLiteral("many")))
        accepted << entry.value(QLatin1String("payload")).toObject().value(QLatin1String("msg")).toString();
    for (int n = 0; n < pushes; ++n)
        messages << QStringLiteral("burst %1").arg(n, 3, 10, QLatin1Char('0'));
    accepted.sort();
    QCOMPARE(accepted, messages);
}

// A push acknowledged to the desktop program is delivered even when the server is killed while its delivery
// waits for a retry or for an answer, and the device's other subscription, which accepted it at once, is not
// sent it again.
void TestDelivery::survivesKill()
{
    QByteArray token;
    const QByteArray device = addDevice(QStringLiteral("phone kill"), &token);
    for (const QByteArray name : {"kill", "killok"})
        QCOMPARE(subscribe(m_port, token, "http://127.0.0.1:" + QByteArray::number(m_fakePort) + '/' + name),
                 QByteArray("200 {\"status\":\"ok\"}"));
    QCOMPARE(push(device, "survive this"), QByteArray("{\"status\":\"valid\"}"));
    // 503, then the retry hangs: the server is killed with the delivery under way.
    QTRY_COMPARE_WITH_TIMEOUT(records(QStringLiteral("kill")).size(), 2, 30000);
    m_server.process->kill();
    QVERIFY(m_server.process->waitForFinished(10000));

    m_port = startServer(&m_server, {"--vapid-subject", "mailto:ops@example.org", "--webpush-allow-loopback-http"});
    QVERIFY(m_port != 0);
    QTRY_COMPARE_WITH_TIMEOUT(records(QStringLiteral("kill")).size(), 3, 30000);
    const QJsonObject last = records(QStringLiteral("kill")).last();
    QCOMPARE(last.value(QLatin1String("answer")).toString(), QStringLiteral("201"));
    QCOMPARE(last.value(QLatin1String("payload")).toObject().value(QLatin1String("msg")).toString(),
             QStringLiteral("survive this"));
    QTRY_COMPARE_WITH_TIMEOUT(queued(), 0, 30000);
    QCOMPARE(records(QStringLiteral("killok")).size(), 1);
}

// Over https the push service's certificate is verified: trusting only the system's authorities, the server
// sends nothing to the fake; given the fake's authority, it delivers.
void TestDelivery::verifiedTls()
{
    Process fake = startProcess(QStringLiteral(TAPVELA_PYTHON3),
                                {QStringLiteral(FAKE_PUSH_SERVICE), "--tls", m_dir.path(), m_record, "tls=201"});
    const QJsonObject keys = QJsonDocument::fromJson(fake.firstLine).object();
    const int fakePort = keys.value(QLatin1String("port")).toInt();
    QVERIFY2(fakePort != 0, fake.firstLine.constData());
    QByteArray token;
    const QByteArray device = addDevice(QStringLiteral("phone tls"), &token);
    QCOMPARE(subscribe(m_port, token, "https://127.0.0.1:" + QByteArray::number(fakePort) + "/tls", keys),
             QByteArray("200 {\"status\":\"ok\"}"));
    QCOMPARE(push(device, "over TLS"), QByteArray("{\"status\":\"valid\"}"));
    QTRY_VERIFY_WITH_TIMEOUT(count(m_db, "SELECT coalesce(max(attempts), 0) FROM deliveries") >= 1, 30000);
    QCOMPARE(records(QStringLiteral("tls")).size(), 0);

    // Stopped with the delivery pending; started again trusting the fake's authority.
    stopProcess(m_server);
    QCOMPARE(m_server.process->exitCode(), 0);
    m_port = startServer(&m_server, {"--vapid-subject", "mailto:ops@example.org", "--webpush-allow-loopback-http",
                                     "--webpush-ca", m_dir.filePath(QStringLiteral("ca.pem"))});
    QVERIFY(m_port != 0);
    QTRY_COMPARE_WITH_TIMEOUT(queued(), 0, 30000);
    stopProcess(fake);
    const QList<QJsonObject> seen = records(QStringLiteral("tls"));
    QCOMPARE(seen.size(), 1);
    QVERIFY2(!seen[0].contains(QLatin1String("error")), qPrintable(seen[0].value(QLatin1String("error")).toString()));
    QCOMPARE(seen[0].value(QLatin1String("payload")).toObject().value(QLatin1String("msg")).toString(),
             QStringLiteral("over TLS"));
}

// A push service whose certificate keeps failing verification loses the subscription after three tries in a row,
// rather than being tried for a day.
void TestDelivery::unverifiedTlsDropped()
{
    QTemporaryDir authority;
    Process fake = startProcess(QStringLiteral(TAPVELA_PYTHON3), {QStringLiteral(FAKE_PUSH_SERVICE), "--tls",
                                                                  authority.path(), m_record, "untrusted=201"});
    const QJsonObject keys = QJsonDocument::fromJson(fake.firstLine).object();
    const int fakePort = keys.value(QLatin1String("port")).toInt();
    QVERIFY2(fakePort != 0, fake.firstLine.constData());
    QByteArray token;
    const QByteArray device = addDevice(QStringLiteral("phone untrusted"), &token);
    QCOMPARE(subscribe(m_port, token, "https://127.0.0.1:" + QByteArray::number(fakePort) + "/untrusted", keys),
             QByteArray("200 {\"status\":\"ok\"}"));
    QCOMPARE(push(device, "not over this"), QByteArray("{\"status\":\"valid\"}"));
    QTRY_COMPARE_WITH_TIMEOUT(count(m_db, "SELECT count(*) FROM subscriptions WHERE endpoint LIKE '%/untrusted'"), 0,
                              60000);
    QTRY_COMPARE_WITH_TIMEOUT(queued(), 0, 30000);
    stopProcess(fake);
    QCOMPARE(records(QStringLiteral("untrusted")).size(), 0);
}

void TestDelivery::endpointRules_data()
{
    QTest::addColumn<QByteArray>("endpoint");

    QTest::newRow("plain http") << QByteArray("http://127.0.0.1:%1/ok");
    QTest::newRow("localhost") << QByteArray("https://localhost:%1/ok");
    QTest::newRow("a name under localhost") << QByteArray("https://push.localhost:%1/ok");
    QTest::newRow("loopback address") << QByteArray("https://127.0.0.1:%1/ok");
    QTest::newRow("IPv6 loopback") << QByteArray("https://[::1]:%1/ok");
    QTest::newRow("private address") << QByteArray("https://192.168.1.1/ok");
}

// Without the tests' flag, no endpoint on this computer or its network is taken.
void TestDelivery::endpointRules()
{
    QFETCH(QByteArray, endpoint);
    Process strict;
    const quint16 port = startServer(&strict, {"--vapid-subject", "https://example.org/contact"});
    QVERIFY(port != 0);
    QByteArray token;
    QVERIFY(!addDevice(QStringLiteral("phone strict"), &token).isEmpty());
    const QByteArray answer = subscribe(port, token, endpoint.replace("%1", QByteArray::number(m_fakePort)));
    stopProcess(strict);
    QVERIFY2(answer.startsWith("400 {\"status\":\"bad request\",\"error\":\""), answer.constData());
    QCOMPARE(count(m_db, "SELECT count(*) FROM subscriptions WHERE endpoint LIKE '%/ok' AND endpoint NOT LIKE "
                         "'http://127.0.0.1:%'"),
             0);
}

// Without --vapid-subject the pages are told that there is no delivery; with it they get the key that was made
// on the first start and kept since.
void TestDelivery::deliveryOff()
{
    QByteArray token;
    QVERIFY(!addDevice(QStringLiteral("phone off"), &token).isEmpty());
    // Served by the server started again in survivesKill.
    const HttpReply key = request(m_port, "GET", "/d/" + token + "/push-key");
    QCOMPARE(key.body, "{\"key\":\"" + m_publicKey + "\"}");

    Process off;
    const quint16 port = startServer(&off, {});
    QVERIFY(port != 0);
    const HttpReply offKey = request(port, "GET", "/d/" + token + "/push-key");
    const QByteArray subscribed = subscribe(port, token, "http://127.0.0.1:" + QByteArray::number(m_fakePort) + "/ok");
    stopProcess(off);
    QCOMPARE(offKey.status, 404);
    QCOMPARE(offKey.body, QByteArray("{\"status\":\"unavailable\"}"));
    QCOMPARE(subscribed, QByteArray("404 {\"status\":\"unavailable\"}"));
}

void TestDelivery::payloadFits_data()
{
    QTest::addColumn<QString>("msg");
    QTest::addColumn<int>("maxBytes");

    QTest::newRow("fits") << QStringLiteral("short") << 3072;
    QTest::newRow("cut between characters of two and four bytes") << QString(QStringLiteral("é😀")).repeated(100) << 300;
    QTest::newRow("escapes make it longer") << QString(QStringLiteral("\"\\\n")).repeated(100) << 301;
}

// The message is cut to fit the padded body, at a character's boundary, and the rest stays whole.
void TestDelivery::payloadFits()
{
    QFETCH(QString, msg);
    QFETCH(int, maxBytes);
    pushserver::Push push;
    push.id = 7;
    push.msg = msg.toStdString();
    push.extra = "tel:+33612345678";
    push.createdAt = 1'800'000'000;
    const std::string text = pushserver::deliveryPayload(push, "Zoë's phone", static_cast<std::size_t>(maxBytes));
    QVERIFY(text.size() <= static_cast<std::size_t>(maxBytes));
    // Cut no more than needed: at most one character and one escape short.
    QVERIFY(text.size() == std::string(pushserver::deliveryPayload(push, "Zoë's phone", 100000)).size() ||
            text.size() + 6 > static_cast<std::size_t>(maxBytes));
    QJsonParseError error{};
    const QJsonObject payload = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    const QString cut = payload.value(QLatin1String("msg")).toString();
    QVERIFY(msg.startsWith(cut));
    QVERIFY(!cut.isEmpty());
    QVERIFY(!cut.contains(QChar::ReplacementCharacter));
    QCOMPARE(payload.value(QLatin1String("device")).toString(), QStringLiteral("Zoë's phone"));
    QCOMPARE(payload.value(QLatin1String("number")).toString(), QStringLiteral("tel:+33612345678"));
    QCOMPARE(payload.value(QLatin1String("id")).toInt(), 7);
}

void TestDelivery::vapidSubject_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<bool>("webPush");

    const auto subject = [](const char *given) { return QStringList{"--vapid-subject", given}; };
    QTest::newRow("mailto at localhost") << "serve" << subject("mailto:x@localhost") << true << false;
    QTest::newRow("mailto under .invalid") << "serve" << subject("mailto:x@example.invalid") << true << false;
    QTest::newRow("https at localhost") << "serve" << subject("https://localhost/") << true << false;
    QTest::newRow("https under .invalid") << "serve" << subject("https://x.invalid") << true << false;
    QTest::newRow("under localhost, closing dot") << "serve" << subject("https://Push.LocalHost./c") << true << false;
    QTest::newRow("demo refuses too") << "demo" << subject("mailto:x@localhost") << true << false;
    QTest::newRow("mailto at a domain") << "serve" << subject("mailto:ops@example.org") << false << true;
    QTest::newRow("https URL") << "serve" << subject("https://invalid.example.org/contact") << false << true;
    QTest::newRow("demo: from an https public URL")
        << "demo" << QStringList{"--public-url", "https://push.example.org:8443"} << false << true;
    QTest::newRow("demo: not from a local name")
        << "demo" << QStringList{"--public-url", "https://tapvela.local"} << false << false;
}

// Push services answer 403 to every message whose VAPID subject is at localhost or under .invalid: such a subject
// stops the service at start, with a message and a non-zero exit, rather than every push later.
void TestDelivery::vapidSubject()
{
    QFETCH(QString, command);
    QFETCH(QStringList, options);
    QFETCH(bool, refused);
    QFETCH(bool, webPush);
    QTemporaryDir dir;
    const QString db = servertest::newDatabase(dir.filePath(QStringLiteral("s.db")));
    QProcess server;
    server.start(QStringLiteral(TAPVELA_SERVER), QStringList{command, "--port", "0", "--db", db} + options);
    if (refused) {
        QVERIFY(server.waitForFinished(30000));
        QCOMPARE(server.exitCode(), 2);
        QVERIFY2(server.readAllStandardError().contains("localhost or under .invalid"), "no reason given");
        QCOMPARE(server.readAllStandardOutput(), QByteArray());
        return;
    }
    // Started: the first device's page tells whether Web Push is on.
    QVERIFY(server.waitForStarted(5000));
    QByteArray out;
    const QRegularExpression listening(QStringLiteral("listening on http://127\\.0\\.0\\.1:(\\d+)\n"));
    // The demo writes its lines, the page's among them, with one flush.
    const QRegularExpression pageLine(QStringLiteral("phone page: \\S+/d/(\\S{32})\n"));
    while (!listening.match(QString::fromUtf8(out)).hasMatch() ||
           (command == QLatin1String("demo") && !pageLine.match(QString::fromUtf8(out)).hasMatch())) {
        QVERIFY2(server.waitForReadyRead(15000), out.constData());
        out += server.readAllStandardOutput();
    }
    QByteArray token;
    if (command == QLatin1String("demo")) {
        token = pageLine.match(QString::fromUtf8(out)).captured(1).toLatin1();
    } else {
        QProcess add;
        add.start(QStringLiteral(TAPVELA_SERVER), {"add-user", "--db", db, "bob"});
        add.write("bob password\n");
        add.closeWriteChannel();
        QVERIFY(add.waitForFinished(30000));
        add.start(QStringLiteral(TAPVELA_SERVER), {"add-device", "--db", db, "bob", "p"});
        QVERIFY(add.waitForFinished(30000));
        token = QRegularExpression(QStringLiteral("/d/(\\S{32})"))
                    .match(QString::fromUtf8(add.readAllStandardOutput()))
                    .captured(1)
                    .toLatin1();
    }
    const auto port = static_cast<quint16>(listening.match(QString::fromUtf8(out)).captured(1).toUInt());
    const HttpReply key = request(port, "GET", "/d/" + token + "/push-key");
    server.terminate();
    QVERIFY(server.waitForFinished(10000));
    QCOMPARE(server.exitCode(), 0);
    QCOMPARE(key.status, webPush ? 200 : 404);
    if (command == QLatin1String("demo") && !webPush)
        QVERIFY2(out.contains("--vapid-subject"), "demo does not say how to turn Web Push on");
}

// The page's test reaches the one subscription it names, as a message that the service worker shows and that is
// no push: nothing stored, nothing queued. A second test at once is refused.
void TestDelivery::testNotification()
{
    QByteArray token;
    const QByteArray device = addDevice(QStringLiteral("phone tested"), &token);
    const QByteArray tested = "http://127.0.0.1:" + QByteArray::number(m_fakePort) + "/tested";
    const QByteArray untested = "http://127.0.0.1:" + QByteArray::number(m_fakePort) + "/untested";
    for (const QByteArray &endpoint : {tested, untested})
        QCOMPARE(subscribe(m_port, token, endpoint), QByteArray("200 {\"status\":\"ok\"}"));
    const QByteArray route = "/d/" + token + "/test-notification?endpoint=";
    const HttpReply sent = request(m_port, "POST", route + QUrl::toPercentEncoding(tested));
    QCOMPARE(sent.status, 200);
    const HttpReply again = request(m_port, "POST", route + QUrl::toPercentEncoding(tested));
    QCOMPARE(again.status, 429);
    QVERIFY(again.headers.toLower().contains("retry-after: "));

    QTRY_COMPARE_WITH_TIMEOUT(records(QStringLiteral("tested")).size(), 1, 30000);
    const QJsonObject first = records(QStringLiteral("tested")).first();
    QVERIFY2(!first.contains(QLatin1String("error")), qPrintable(first.value(QLatin1String("error")).toString()));
    const QJsonObject payload = first.value(QLatin1String("payload")).toObject();
    QCOMPARE(payload.value(QLatin1String("msg")).toString(), QStringLiteral("tapvela is ready"));
    QCOMPARE(payload.value(QLatin1String("device")).toString(), QStringLiteral("phone tested"));
    QCOMPARE(payload.value(QLatin1String("id")).toInt(-1), 0);
    QCOMPARE(payload.value(QLatin1String("number")).toString(), QString());
    QCOMPARE(count(m_db, "SELECT count(*) FROM pushes p JOIN devices v ON v.id = p.device_id WHERE v.name = "
                         "'phone tested'"),
             0);

    // A push after it reaches both: the other one got that and nothing before it.
    QCOMPARE(push(device, "after the test"), QByteArray("{\"status\":\"valid\"}"));
    QTRY_COMPARE_WITH_TIMEOUT(records(QStringLiteral("untested")).size(), 1, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(queued(), 0, 30000);
    QCOMPARE(records(QStringLiteral("untested"))
                 .first()
                 .value(QLatin1String("payload"))
                 .toObject()
                 .value(QLatin1String("msg"))
                 .toString(),
             QStringLiteral("after the test"));
    QCOMPARE(records(QStringLiteral("tested")).size(), 2);
}

// A push service's name that leads to this computer or its network is refused when the page subscribes.
void TestDelivery::privateNameRefused()
{
    const QString name = nonPublicName();
    if (name.isEmpty())
        QSKIP("this computer's name does not resolve to its own or a private address");
    QByteArray token;
    QVERIFY(!addDevice(QStringLiteral("phone private"), &token).isEmpty());
    const QByteArray answer =
        subscribe(m_port, token, "https://" + name.toLatin1() + ':' + QByteArray::number(m_fakePort) + "/private");
    QVERIFY2(answer.startsWith("400 ") && answer.contains("not a public address"), answer.constData());
    QCOMPARE(count(m_db, "SELECT count(*) FROM subscriptions WHERE endpoint LIKE '%/private'"), 0);
}

// One stored before its name led there is dropped at its first delivery, not tried again for a day.
void TestDelivery::privateNameDropped()
{
    const QString name = nonPublicName();
    if (name.isEmpty())
        QSKIP("this computer's name does not resolve to its own or a private address");
    QByteArray token;
    const QByteArray device = addDevice(QStringLiteral("phone dropped"), &token);
    QCOMPARE(subscribe(m_port, token, "http://127.0.0.1:" + QByteArray::number(m_fakePort) + "/dropped"),
             QByteArray("200 {\"status\":\"ok\"}"));
    const QByteArray moved = "UPDATE subscriptions SET endpoint = 'https://" + name.toLatin1() + ':' +
                             QByteArray::number(m_fakePort) + "/dropped' WHERE endpoint LIKE '%/dropped'";
    QVERIFY(servertest::execute(m_db, moved) >= 0);

    QCOMPARE(push(device, "never sent"), QByteArray("{\"status\":\"valid\"}"));
    QTRY_COMPARE_WITH_TIMEOUT(count(m_db, "SELECT count(*) FROM subscriptions WHERE endpoint LIKE '%/dropped'"), 0,
                              30000);
    QTRY_COMPARE_WITH_TIMEOUT(queued(), 0, 30000);
    QCOMPARE(records(QStringLiteral("dropped")).size(), 0);
}

// One account's push services that take every request and never answer do not hold up another account's: while
// the first account's ten endpoints hang with requests under way, each of the other's pushes is delivered.
void TestDelivery::hangingAccountShares()
{
    Process stuck =
        startProcess(QStringLiteral(TAPVELA_PYTHON3), {QStringLiteral(FAKE_PUSH_SERVICE), m_record, "stuck=hang"});
    const quint16 stuckPort =
        static_cast<quint16>(QJsonDocument::fromJson(stuck.firstLine).object().value(QLatin1String("port")).toInt());
    QVERIFY2(stuckPort != 0, stuck.firstLine.constData());
    const QJsonObject stuckKeys = QJsonDocument::fromJson(stuck.firstLine).object();

    QProcess addUser;
    addUser.start(QStringLiteral(TAPVELA_SERVER), {"add-user", "--db", m_db, "carol"});
    addUser.write("carol password\n");
    addUser.closeWriteChannel();
    QVERIFY(addUser.waitForFinished(30000));
    QCOMPARE(addUser.exitCode(), 0);
    const QByteArray carolKey =
        request(m_port, "GET",
                "/all/login_app.php?username=carol&password=" +
                    QCryptographicHash::hash("carol password", QCryptographicHash::Sha1).toHex())
            .body;
    QCOMPARE(carolKey.size(), 48);
    QByteArray carolToken;
    const QByteArray carolDevice = addDevice(QStringLiteral("phone stuck"), &carolToken, QStringLiteral("carol"));
    QVERIFY(!carolDevice.isEmpty());
    for (int i = 0; i < 10; ++i)
        QCOMPARE(subscribe(m_port, carolToken,
                           "http://127.0.0.1:" + QByteArray::number(stuckPort) + "/stuck?n=" + QByteArray::number(i),
                           stuckKeys),
                 QByteArray("200 {\"status\":\"ok\"}"));
    for (int i = 0; i < 10; ++i)
        QCOMPARE(request(m_port, "GET",
                         "/all/api.php?apikey=" + carolKey + "&devices=" + carolDevice + "&msg=stuck" +
                             QByteArray::number(i))
                     .body,
                 QByteArray("{\"status\":\"valid\"}"));
    // Requests to the hanging service under way.
    QTRY_VERIFY_WITH_TIMEOUT(records(QStringLiteral("stuck")).size() >= 4, 30000);

    QByteArray token;
    const QByteArray device = addDevice(QStringLiteral("phone fair"), &token);
    QCOMPARE(subscribe(m_port, token, "http://127.0.0.1:" + QByteArray::number(m_fakePort) + "/fair"),
             QByteArray("200 {\"status\":\"ok\"}"));
    const int pushes = 20;
    for (int i = 0; i < pushes; ++i)
        QCOMPARE(push(device, "fair " + QByteArray::number(i)), QByteArray("{\"status\":\"valid\"}"));
    // Well within the time in which the hanging requests would have taken every place and kept them.
    QTRY_COMPARE_WITH_TIMEOUT(records(QStringLiteral("fair")).size(), pushes, 60000);
    QStringList accepted, messages;
    for (const QJsonObject &entry : records(QStringLiteral("fair"))) {
        QCOMPARE(entry.value(QLatin1String("answer")).toString(), QStringLiteral("201"));
        accepted << entry.value(QLatin1String("payload")).toObject().value(QLatin1String("msg")).toString();
    }
    for (int i = 0; i < pushes; ++i)
        messages << QStringLiteral("fair %1").arg(i);
    accepted.sort();
    messages.sort();
    QCOMPARE(accepted, messages);

    // The hanging subscriptions go, and with them what they were owed.
    QVERIFY(servertest::execute(m_db, "DELETE FROM subscriptions WHERE endpoint LIKE '%/stuck?%'") >= 0);
    stopProcess(stuck);
}

QTEST_GUILESS_MAIN(TestDelivery)
#include "tst_delivery.moc"
