#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include "servertest.h"

#include <map>

// Several tapvela-server processes on one PostgreSQL database, as behind a load balancer: a push through one
// reaches the streams another holds, one killed leaves its deliveries to the other, and a database that restarts
// costs a moment's 503s, not a restart of the service.

namespace {

const QStringList webPush = {"--vapid-subject", "mailto:ops@example.org", "--webpush-allow-loopback-http"};

struct Running
{
    QProcess process;
    quint16 port = 0;
    // Stopped as an operator stops it: a clean exit (and, in the sanitizer build, no leak).
    bool stop()
    {
        process.terminate();
        return process.waitForFinished(15000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    }
    ~Running()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(10000))
                process.kill();
            process.waitForFinished(5000);
        }
    }
};

QStringList command(const QStringList &arguments, const QByteArray &input = {})
{
    int exitCode = -1;
    const QStringList lines = servertest::runCommand(QStringLiteral(TAPVELA_SERVER), arguments, input, &exitCode);
    return exitCode == 0 ? lines : QStringList();
}

// A phone page's event stream, read as it comes.
struct Stream
{
    QTcpSocket socket;
    QByteArray received;

    bool open(quint16 port, const QByteArray &token)
    {
        socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        if (!socket.waitForConnected(5000))
            return false;
        socket.write("GET /d/" + token + "/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        return QTest::qWaitFor([this] { return has(": connected"); }, 10000);
    }
    bool has(const QByteArray &text)
    {
        received += socket.readAll();
        return received.contains(text);
    }
};

// The database's own cluster, for the tests that stop and start it.
struct Cluster
{
    QTemporaryDir dir;
    QString url;

    bool run(const char *what)
    {
        return QProcess::execute(QStringLiteral("bash"), {QStringLiteral(POSTGRES_FOR_TESTS), QString::fromLatin1(what),
                                                          dir.filePath(QStringLiteral("pg"))}) == 0;
    }
    bool start()
    {
        QFile file(dir.filePath(QStringLiteral("pg/url")));
        if (!dir.isValid() || !run("start") || !file.open(QIODevice::ReadOnly))
            return false;
        url = QString::fromUtf8(file.readAll().trimmed());
        return !url.isEmpty();
    }
    ~Cluster()
    {
        if (!url.isEmpty())
            run("stop");
    }
};

} // namespace

class TestInstances final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void killedInstance();
    void databaseRestart();

private:
    // A new account with one device, on `db`: the device's id and page token.
    bool addAccount(const QString &db, const QString &user, QByteArray *device, QByteArray *token);
    QByteArray signIn(quint16 port, const QString &user);
    int subscribe(quint16 port, const QByteArray &token, const QByteArray &name);
    // When each message reached the fake push service under this endpoint name and was accepted (seconds since
    // the epoch), each time.
    std::map<QString, QList<double>> delivered(const QString &name) const;
    // Requests it had under this name, answered or not.
    int recorded(const QString &name) const;

    QTemporaryDir m_dir;
    QProcess m_fake;
    QString m_record;
    quint16 m_fakePort = 0;
    QByteArray m_p256dh, m_auth;
};

void TestInstances::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("TAPVELA_TEST_POSTGRES_FILE"))
        QSKIP("several instances share a PostgreSQL database only");
    QVERIFY(m_dir.isValid());
    m_record = m_dir.filePath(QStringLiteral("record.jsonl"));
    m_fake.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_fake.start(QStringLiteral(TAPVELA_PYTHON3),
                 {QStringLiteral(FAKE_PUSH_SERVICE), m_record, "twins=201", "held=hang,201", "restart=201"});
    QVERIFY(m_fake.waitForStarted(5000));
    while (!m_fake.canReadLine())
        QVERIFY(m_fake.waitForReadyRead(15000));
    const QJsonObject keys = QJsonDocument::fromJson(m_fake.readLine()).object();
    m_fakePort = static_cast<quint16>(keys.value(QLatin1String("port")).toInt());
    m_p256dh = keys.value(QLatin1String("p256dh")).toString().toLatin1();
    m_auth = keys.value(QLatin1String("auth")).toString().toLatin1();
    QVERIFY(m_fakePort != 0);
}

void TestInstances::cleanupTestCase()
{
    m_fake.kill();
    m_fake.waitForFinished(5000);
}

bool TestInstances::addAccount(const QString &db, const QString &user, QByteArray *device, QByteArray *token)
{
    if (command({"add-user", "--db", db, user}, user.toUtf8() + " password\n").isEmpty())
        return false;
    const auto match = QRegularExpression(QStringLiteral("device id: (\\w+)\nphone page: \\S+/d/(\\S{32})"))
                           .match(command({"add-device", "--db", db, user, "phone"}).join('\n'));
    *device = match.captured(1).toUtf8();
    *token = match.captured(2).toUtf8();
    return match.hasMatch();
}

QByteArray TestInstances::signIn(quint16 port, const QString &user)
{
    return servertest::rawRequest(port, "GET",
                                  "/all/login_app.php?username=" + user.toUtf8() +
                                      "&password=" + servertest::digestOf(user.toUtf8() + " password"))
        .body;
}

int TestInstances::subscribe(quint16 port, const QByteArray &token, const QByteArray &name)
{
    const QByteArray endpoint = "http://127.0.0.1:" + QByteArray::number(m_fakePort) + '/' + name;
    return servertest::rawRequest(port, "POST",
                                  "/d/" + token + "/subscription?endpoint=" + QUrl::toPercentEncoding(endpoint) +
                                      "&p256dh=" + m_p256dh + "&auth=" + m_auth)
        .status;
}

std::map<QString, QList<double>> TestInstances::delivered(const QString &name) const
{
    std::map<QString, QList<double>> seen;
    QFile file(m_record);
    if (file.open(QIODevice::ReadOnly))
        while (!file.atEnd()) {
            const QJsonObject entry = QJsonDocument::fromJson(file.readLine()).object();
            if (entry.value(QLatin1String("name")).toString() == name &&
                entry.value(QLatin1String("answer")).toString() == QLatin1String("201"))
                seen[entry.value(QLatin1String("payload")).toObject().value(QLatin1String("msg")).toString()]
                    << entry.value(QLatin1String("time")).toDouble();
        }
    return seen;
}

int TestInstances::recorded(const QString &name) const
{
    int count = 0;
    QFile file(m_record);
    if (file.open(QIODevice::ReadOnly))
        while (!file.atEnd())
            count += QJsonDocument::fromJson(file.readLine()).object().value(QLatin1String("name")).toString() == name;
    return count;
}

// Pushes through both instances, one of them killed in the middle: every push that was answered is stored once,
// shown on a stream that the other instance holds, and delivered by Web Push; the killed instance's deliveries
// are sent by the other once its claims lapse.
void TestInstances::killedInstance()
{
    const QString db = servertest::newDatabase(m_dir.filePath(QStringLiteral("twins.db")));
    QByteArray device, token;
    QVERIFY(addAccount(db, QStringLiteral("carol"), &device, &token));
    Running a, b;
    // Each instance counts an api key's pushes on its own: the burst is raised past the test's pushes.
    const QStringList options = webPush + QStringList{"--push-burst", "1000"};
    a.port = servertest::startServer(a.process, QStringLiteral(TAPVELA_SERVER), db, options);
    b.port = servertest::startServer(b.process, QStringLiteral(TAPVELA_SERVER), db, options);
    QVERIFY(a.port != 0 && b.port != 0);
    const QByteArray key = signIn(a.port, QStringLiteral("carol"));
    QCOMPARE(key.size(), 48);
    QCOMPARE(subscribe(b.port, token, "twins"), 200);
    Stream stream;
    QVERIFY(stream.open(a.port, token));
    // A second phone, whose push service keeps the killed instance's request hanging: its claim is surely held
    // at the kill, and must pass to the other instance.
    const auto held = QRegularExpression(QStringLiteral("device id: (\\w+)\nphone page: \\S+/d/(\\S{32})"))
                          .match(command({"add-device", "--db", db, "carol", "held phone"}).join('\n'));
    QVERIFY(held.hasMatch());
    QCOMPARE(subscribe(a.port, held.captured(2).toUtf8(), "held"), 200);
    QCOMPARE(servertest::rawRequest(
                 b.port, "GET", "/all/api.php?apikey=" + key + "&devices=" + held.captured(1).toUtf8() + "&msg=held")
                 .status,
             200);
    QTRY_VERIFY_WITH_TIMEOUT(recorded(QStringLiteral("held")) == 1, 30000);

    QStringList answered;
    int killedAt = -1;
    double killedTime = 0;
    for (int n = 0; n < 200; ++n) {
        Running &through = n % 2 ? b : a;
        if (n == 100) {
            b.process.kill();
            QVERIFY(b.process.waitForFinished(10000));
            killedAt = n;
            killedTime = QDateTime::currentMSecsSinceEpoch() / 1000.0;
        }
        const QByteArray msg = "twins " + QByteArray::number(n);
        const servertest::HttpReply reply = servertest::rawRequest(through.port, "GET",
                                                                   "/all/api.php?apikey=" + key + "&devices=" + device +
                                                                       "&msg=" + QUrl::toPercentEncoding(msg));
        if (reply.status == 200 && reply.body == R"({"status":"valid"})")
            answered << QString::fromUtf8(msg);
    }
    QVERIFY(killedAt == 100);
    QCOMPARE(answered.size(), 150);
    QTRY_COMPARE_WITH_TIMEOUT(delivered(QStringLiteral("held"))[QStringLiteral("held")].size(), 1, 60000);

    // Stored once each; the stream held by the instance that lived shows the other's pushes too.
    const QStringList stored = servertest::queryRows(db, "SELECT msg FROM pushes WHERE msg <> 'held' ORDER BY id");
    QCOMPARE(stored.size(), answered.size());
    for (const QString &msg : answered)
        QCOMPARE(stored.count(msg), 1);
    QTRY_VERIFY_WITH_TIMEOUT(stream.has("\"twins 198\""), 10000);
    QVERIFY(stream.has("\"twins 99\""));

    // Every delivery owed arrives; one that the killed instance sent and had no time to write down may be sent
    // again, once, and only those.
    QTRY_VERIFY_WITH_TIMEOUT(delivered(QStringLiteral("twins")).size() == std::size_t(answered.size()), 90000);
    int twice = 0;
    for (const auto &[msg, times] : delivered(QStringLiteral("twins"))) {
        QVERIFY2(times.size() <= 2, qPrintable(msg));
        if (times.size() == 2) {
            ++twice;
            QVERIFY2(times.front() < killedTime, qPrintable(msg));
        }
    }
    qInfo("deliveries sent again after the kill: %d", twice);
    QTRY_COMPARE_WITH_TIMEOUT(servertest::countRows(db, "SELECT (SELECT count(*) FROM deliveries) + "
                                                        "(SELECT count(*) FROM pushes WHERE deliver_to IS NOT NULL)"),
                              0, 30000);
    QVERIFY(a.stop());
}

// The database stopped under load: requests are answered 503 meanwhile (the health check too), nothing hangs or
// crashes; started again, pushes are stored, reach the stream opened before, and are delivered, without a restart
// of the service.
void TestInstances::databaseRestart()
{
    Cluster cluster;
    QVERIFY(cluster.start());
    QByteArray device, token;
    QVERIFY(addAccount(cluster.url, QStringLiteral("dave"), &device, &token));
    Running server;
    server.port = servertest::startServer(server.process, QStringLiteral(TAPVELA_SERVER), cluster.url, webPush);
    QVERIFY(server.port != 0);
    const QByteArray key = signIn(server.port, QStringLiteral("dave"));
    QCOMPARE(key.size(), 48);
    QCOMPARE(subscribe(server.port, token, "restart"), 200);
    Stream stream;
    QVERIFY(stream.open(server.port, token));
    const auto push = [&](const QByteArray &msg) {
        return servertest::rawRequest(server.port, "GET",
                                      "/all/api.php?apikey=" + key + "&devices=" + device +
                                          "&msg=" + QUrl::toPercentEncoding(msg));
    };
    QCOMPARE(push("before").status, 200);

    QVERIFY(cluster.run("pause"));
    QMap<int, int> statuses;
    for (int n = 0; n < 20; ++n) {
        const servertest::HttpReply reply = push("while away " + QByteArray::number(n));
        ++statuses[reply.status];
        if (reply.status == 503)
            QVERIFY(reply.headers.contains("Retry-After: "));
    }
    QCOMPARE(statuses.keys(), QList<int>{503});
    QCOMPARE(servertest::rawRequest(server.port, "GET", "/healthz").status, 503);
    QCOMPARE(server.process.state(), QProcess::Running);

    QVERIFY(cluster.run("resume"));
    QTRY_COMPARE_WITH_TIMEOUT(servertest::rawRequest(server.port, "GET", "/healthz").status, 200, 30000);
    // The first request on a connection that the restart ended may still fail: then the next one goes through.
    int status = 0;
    QVERIFY(QTest::qWaitFor(
        [&] {
            status = push("after").status;
            return status == 200;
        },
        10000));
    QTRY_VERIFY_WITH_TIMEOUT(stream.has("\"after\""), 10000);
    QVERIFY(!stream.has("while away"));
    QTRY_COMPARE_WITH_TIMEOUT(delivered(QStringLiteral("restart"))[QStringLiteral("after")].size(), 1, 30000);
    QCOMPARE(delivered(QStringLiteral("restart"))[QStringLiteral("before")].size(), 1);
    QVERIFY(server.stop());
}

QTEST_GUILESS_MAIN(TestInstances)
#include "tst_instances.moc"
