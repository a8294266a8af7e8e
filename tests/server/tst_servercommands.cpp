#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include "servertest.h"

#include <memory>

using servertest::countRows;
using servertest::digestOf;
using servertest::rawRequest;

namespace {

// Writes to the database as another process, while the service runs.
bool execSql(const QString &database, const QByteArray &sql)
{
    return servertest::execute(database, sql) >= 0;
}

struct Outcome
{
    int exitCode = -1;
    QString out;
    QString err;
};

} // namespace

// The operator's commands run against the database of a serving process, which must see each change at once.
class TestServerCommands final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void passwd_data();
    void passwd();
    void signOut();
    void newPage();
    void ambiguousName();
    void remove_data();
    void remove();
    void migrate();

private:
    // Starts `serve` on `database` with `extra` options: the port it listens on, 0 when it did not start.
    quint16 startServer(QProcess &server, const QString &database, const QStringList &extra = {});
    Outcome run(const QStringList &arguments, const QByteArray &input = {});
    QByteArray loginKey(const QByteArray &user, const QByteArray &password);
    bool keyWorks(const QByteArray &key);
    int push(const QByteArray &key, const QByteArray &device, const QByteArray &msg);
    QByteArray addDevice(const QString &user, const QString &name, QByteArray *token = nullptr);
    void addUser(const QString &user, const QByteArray &password);

    QTemporaryDir m_dir;
    QString m_db;
    std::unique_ptr<QProcess> m_server;
    quint16 m_port = 0;
};

Outcome TestServerCommands::run(const QStringList &arguments, const QByteArray &input)
{
    QProcess process;
    process.start(QStringLiteral(TAPVELA_SERVER), arguments);
    Outcome outcome;
    if (!process.waitForStarted(5000))
        return outcome;
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return outcome;
    outcome.exitCode = process.exitCode();
    outcome.out = QString::fromUtf8(process.readAllStandardOutput());
    outcome.err = QString::fromUtf8(process.readAllStandardError());
    return outcome;
}

QByteArray TestServerCommands::loginKey(const QByteArray &user, const QByteArray &password)
{
    const auto reply =
        rawRequest(m_port, "GET", "/all/login_app.php?username=" + user + "&password=" + digestOf(password));
    return reply.status == 200 && reply.body != "error" ? reply.body : QByteArray();
}

bool TestServerCommands::keyWorks(const QByteArray &key)
{
    return rawRequest(m_port, "GET", "/all/devices_app.php?apikey=" + key).body.contains("\"valid\"");
}

int TestServerCommands::push(const QByteArray &key, const QByteArray &device, const QByteArray &msg)
{
    return rawRequest(m_port, "GET",
                      "/all/api.php?apikey=" + key + "&msg=" + msg + "&icon=115&sound=01&devices=" + device +
                          "&extra=tel%3A%2B33612345678")
        .status;
}

QByteArray TestServerCommands::addDevice(const QString &user, const QString &name, QByteArray *token)
{
    const Outcome added = run({"add-device", "--db", m_db, user, name});
    const auto match =
        QRegularExpression(QStringLiteral("device id: (\\w+)\nphone page: \\S+/d/(\\S{32})\n")).match(added.out);
    if (token)
        *token = match.captured(2).toUtf8();
    return added.exitCode == 0 ? match.captured(1).toUtf8() : QByteArray();
}

void TestServerCommands::addUser(const QString &user, const QByteArray &password)
{
    QCOMPARE(run({"add-user", "--db", m_db, user}, password + '\n').exitCode, 0);
}

quint16 TestServerCommands::startServer(QProcess &server, const QString &database, const QStringList &extra)
{
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(QStringLiteral(TAPVELA_SERVER), QStringList{"serve", "--port", "0", "--db", database} + extra);
    if (!server.waitForStarted(5000))
        return 0;
    while (!server.canReadLine())
        if (!server.waitForReadyRead(15000))
            return 0;
    const auto match = QRegularExpression(QStringLiteral("^listening on http://127\\.0\\.0\\.1:(\\d+)$"))
                           .match(QString::fromUtf8(server.readLine()).trimmed());
    return match.hasMatch() ? static_cast<quint16>(match.captured(1).toUInt()) : 0;
}

void TestServerCommands::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_db = servertest::newDatabase(m_dir.filePath(QStringLiteral("push.db")));
    QCOMPARE(run({"add-user", "--db", m_db, "carol"}, "old password\n").exitCode, 0);
    m_server = std::make_unique<QProcess>();
    m_port = startServer(*m_server, m_db);
    QVERIFY(m_port != 0);
}

void TestServerCommands::cleanupTestCase()
{
    if (!m_server)
        return;
    m_server->terminate();
    QVERIFY(m_server->waitForFinished(10000));
    QCOMPARE(m_server->exitCode(), 0);
}

void TestServerCommands::passwd_data()
{
    QTest::addColumn<bool>("keepSessions");
    QTest::newRow("programs signed out") << false;
    QTest::newRow("--keep-sessions") << true;
}

void TestServerCommands::passwd()
{
    QFETCH(bool, keepSessions);
    const QString user = keepSessions ? QStringLiteral("dave") : QStringLiteral("erin");
    addUser(user, "old password");
    const QByteArray key = loginKey(user.toUtf8(), "old password");
    QVERIFY(keyWorks(key));

    QStringList arguments = {"passwd", "--db", m_db, user};
    if (keepSessions)
        arguments.insert(1, QStringLiteral("--keep-sessions"));
    const Outcome changed = run(arguments, "new password\n");
    QCOMPARE(changed.exitCode, 0);
    QVERIFY2(changed.out.contains(QStringLiteral("password changed: ") + user), qPrintable(changed.out));

    QVERIFY(loginKey(user.toUtf8(), "old password").isEmpty());
    QVERIFY(keyWorks(loginKey(user.toUtf8(), "new password")));
    QCOMPARE(keyWorks(key), keepSessions);

    // An empty password is refused and changes nothing.
    QCOMPARE(run({"passwd", "--db", m_db, user}, "\n").exitCode, 1);
    QVERIFY(!loginKey(user.toUtf8(), "new password").isEmpty());
    QCOMPARE(run({"passwd", "--db", m_db, "nobody"}, "x\n").exitCode, 1);
}

void TestServerCommands::signOut()
{
    addUser(QStringLiteral("frank"), "password");
    const QByteArray first = loginKey("frank", "password"), second = loginKey("frank", "password");
    QVERIFY(keyWorks(first) && keyWorks(second));
    const Outcome out = run({"sign-out", "--db", m_db, "frank"});
    QCOMPARE(out.exitCode, 0);
    QVERIFY2(out.out.contains(QStringLiteral("2 sign-ins revoked")), qPrintable(out.out));
    QVERIFY(!keyWorks(first));
    QVERIFY(!keyWorks(second));
    QVERIFY(keyWorks(loginKey("frank", "password")));
}

void TestServerCommands::newPage()
{
    addUser(QStringLiteral("grace"), "password");
    QByteArray oldToken;
    const QByteArray device = addDevice(QStringLiteral("grace"), QStringLiteral("lost phone"), &oldToken);
    QVERIFY(!device.isEmpty());
    const QByteArray key = loginKey("grace", "password");
    // A subscription made through the old page, with a delivery still owed to it.
    QVERIFY(execSql(m_db, "INSERT INTO subscriptions(device_id, endpoint, p256dh, auth, created_at) SELECT id, "
                          "'https://push.example.org/1', " +
                              servertest::bytesLiteral(m_db, "04") + ", " + servertest::bytesLiteral(m_db, "00") +
                              ", 0 FROM devices WHERE public_id = '" + device + "'"));

    QTcpSocket stream;
    QByteArray received;
    connect(&stream, &QTcpSocket::readyRead, this, [&] { received += stream.readAll(); });
    stream.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(stream.waitForConnected(5000));
    stream.write("GET /d/" + oldToken + "/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(received.contains(": connected"), 5000);

    const Outcome renewed = run({"new-page", "--db", m_db, "grace", "lost phone"});
    QCOMPARE(renewed.exitCode, 0);
    const auto match = QRegularExpression(QStringLiteral("new phone page: http://127\\.0\\.0\\.1:48080/d/(\\S{32})\n"))
                           .match(renewed.out);
    QVERIFY2(match.hasMatch(), qPrintable(renewed.out));
    const QByteArray newToken = match.captured(1).toUtf8();
    QVERIFY(newToken != oldToken);
    QVERIFY(renewed.out.contains(QStringLiteral("\u2588"))); // its QR code

    QCOMPARE(rawRequest(m_port, "GET", "/d/" + oldToken).status, 404);
    QCOMPARE(rawRequest(m_port, "GET", "/d/" + oldToken + "/events").status, 404);
    // The stream opened by the old address ends without any push to wake it.
    QTRY_VERIFY_WITH_TIMEOUT(stream.state() == QAbstractSocket::UnconnectedState, 10000);
    QCOMPARE(countRows(m_db, "SELECT count(*) FROM subscriptions"), 0);

    QCOMPARE(push(key, device, "after%20the%20move"), 200);
    const auto page = rawRequest(m_port, "GET", "/d/" + newToken);
    QCOMPARE(page.status, 200);
    QVERIFY(page.body.contains("after the move"));
    QVERIFY(!received.contains("after the move"));
}

void TestServerCommands::ambiguousName()
{
    addUser(QStringLiteral("heidi"), "password");
    const QByteArray first = addDevice(QStringLiteral("heidi"), QStringLiteral("twin"));
    const QByteArray second = addDevice(QStringLiteral("heidi"), QStringLiteral("twin"));
    QVERIFY(!first.isEmpty() && !second.isEmpty());
    for (const QStringList &command : {QStringList{"new-page"}, QStringList{"remove-device", "--yes"}}) {
        const Outcome refused = run(command + QStringList{"--db", m_db, "heidi", "twin"});
        QCOMPARE(refused.exitCode, 1);
        QVERIFY2(refused.err.contains(QStringLiteral("2 devices named twin")) &&
                     refused.err.contains(QString::fromUtf8(first)) && refused.err.contains(QString::fromUtf8(second)),
                 qPrintable(refused.err));
    }
    QCOMPARE(countRows(m_db, "SELECT count(*) FROM devices WHERE name = 'twin'"), 2);
    // The id chooses.
    QCOMPARE(run({"remove-device", "--db", m_db, "--yes", "heidi", first}).exitCode, 0);
    QCOMPARE(countRows(m_db, "SELECT count(*) FROM devices WHERE name = 'twin'"), 1);
}

void TestServerCommands::remove_data()
{
    QTest::addColumn<bool>("wholeAccount");
    QTest::newRow("remove-device") << false;
    QTest::newRow("remove-user") << true;
}

void TestServerCommands::remove()
{
    QFETCH(bool, wholeAccount);
    const QString user = wholeAccount ? QStringLiteral("ivan") : QStringLiteral("judy");
    addUser(user, "password");
    QByteArray token;
    const QByteArray device = addDevice(user, QStringLiteral("phone"), &token);
    const QByteArray kept = addDevice(user, QStringLiteral("kept"));
    const QByteArray key = loginKey(user.toUtf8(), "password");
    // The removed device holds the newest push of all.
    for (const QByteArray &to : {kept, device})
        QCOMPARE(push(key, to, "hello"), 200);
    const QByteArray row = "(SELECT id FROM devices WHERE public_id = '" + device + "')";
    QVERIFY(execSql(m_db, "INSERT INTO subscriptions(device_id, endpoint, p256dh, auth, created_at) SELECT " + row +
                              ", 'https://push.example.org/" + device + "', " + servertest::bytesLiteral(m_db, "04") +
                              ", " + servertest::bytesLiteral(m_db, "00") +
                              ", 0; "
                              "INSERT INTO deliveries(push_id, subscription_id, attempts, next_attempt_at, "
                              "first_attempt_at) SELECT max(p.id), max(s.id), 1, 0, 0 FROM pushes p, subscriptions s "
                              "WHERE p.device_id = " +
                              row + " AND s.device_id = " + row));
    const int newest = countRows(m_db, "SELECT max(id) FROM pushes");

    const QStringList command = wholeAccount ? QStringList{"remove-user", "--db", m_db, user}
                                             : QStringList{"remove-device", "--db", m_db, user, "phone"};
    // Without a terminal to confirm on, --yes is needed.
    const Outcome unconfirmed = run(command, "y\n");
    QCOMPARE(unconfirmed.exitCode, 1);
    QVERIFY2(unconfirmed.err.contains(QStringLiteral("--yes")), qPrintable(unconfirmed.err));
    QCOMPARE(countRows(m_db, "SELECT count(*) FROM devices WHERE public_id = '" + device + "'"), 1);

    QCOMPARE(run(command + QStringList{"--yes"}).exitCode, 0);
    QCOMPARE(rawRequest(m_port, "GET", "/d/" + token).status, 404);
    QCOMPARE(countRows(m_db, "SELECT count(*) FROM devices WHERE public_id = '" + device + "'"), 0);
    QCOMPARE(countRows(m_db, "SELECT count(*) FROM pushes WHERE device_id NOT IN (SELECT id FROM devices)"), 0);
    QCOMPARE(countRows(m_db, "SELECT count(*) FROM subscriptions WHERE device_id NOT IN (SELECT id FROM devices)"), 0);
    QCOMPARE(countRows(m_db, "SELECT count(*) FROM deliveries"), 0);
    const QByteArray account = "(SELECT id FROM accounts WHERE username = '" + user.toUtf8() + "')";
    QCOMPARE(countRows(m_db, "SELECT count(*) FROM accounts WHERE username = '" + user.toUtf8() + "'"),
             wholeAccount ? 0 : 1);
    QCOMPARE(countRows(m_db, "SELECT count(*) FROM api_keys WHERE account_id NOT IN (SELECT id FROM accounts)"), 0);
    QCOMPARE(countRows(m_db, "SELECT count(*) FROM devices WHERE account_id NOT IN (SELECT id FROM accounts)"), 0);
    QCOMPARE(keyWorks(key), !wholeAccount);
    QCOMPARE(countRows(m_db, "SELECT count(*) FROM devices WHERE account_id = " + account), wholeAccount ? 0 : 1);

    // The removed pushes' numbers are not given again: the delivery queue is read onwards from the highest.
    addUser(user + QStringLiteral("2"), "password");
    const QByteArray other = addDevice(user + QStringLiteral("2"), QStringLiteral("phone"));
    const QByteArray otherKey = loginKey(user.toUtf8() + "2", "password");
    QCOMPARE(push(otherKey, other, "next"), 200);
    QVERIFY(countRows(m_db, "SELECT max(id) FROM pushes") > newest);

    const Outcome listed = run({"users", "--db", m_db});
    QCOMPARE(listed.exitCode, 0);
    QCOMPARE(listed.out.contains(
                 QRegularExpression(QStringLiteral("^") + user + QStringLiteral("\\t1 device\\tlast used \\d{4}-"),
                                    QRegularExpression::MultilineOption)),
             !wholeAccount);
}

// A SQLite database that a server filled, copied into PostgreSQL: a server on the copy goes on where the first
// stopped, with the same sign-ins, pages, VAPID key and push numbers, and a second copy into it is refused.
void TestServerCommands::migrate()
{
    if (!servertest::isPostgres(m_db))
        QSKIP("migrate copies into PostgreSQL: it runs with the PostgreSQL fixture");
    // The helpers speak to m_db and m_port: here the SQLite file and its server, then the copy and its own.
    const auto restore = qScopeGuard([this, db = m_db, port = m_port] {
        m_db = db;
        m_port = port;
    });
    const QString file = m_dir.filePath(QStringLiteral("migrated.db"));
    const QStringList webPush = {"--vapid-subject", "mailto:ops@example.org", "--webpush-allow-loopback-http"};
    m_db = file;
    addUser(QStringLiteral("kim"), "password");
    QByteArray token;
    const QByteArray phone = addDevice(QStringLiteral("kim"), QStringLiteral("phone"), &token);
    const QByteArray tablet = addDevice(QStringLiteral("kim"), QStringLiteral("tablet"));
    QVERIFY(!phone.isEmpty() && !tablet.isEmpty());

    QByteArray key, vapidKey;
    {
        QProcess server;
        m_port = startServer(server, file, webPush);
        QVERIFY(m_port != 0);
        key = loginKey("kim", "password");
        QVERIFY(!key.isEmpty());
        QCOMPARE(push(key, phone, "before%20one"), 200);
        QCOMPARE(push(key, tablet, "before%20two"), 200);
        const auto pushKey = rawRequest(m_port, "GET", "/d/" + token + "/push-key");
        QCOMPARE(pushKey.status, 200);
        vapidKey = pushKey.body;
        QVERIFY2(vapidKey.contains("\"key\""), vapidKey.constData());
        // A push service that is not there: the push to the subscription waits in the queue for a retry.
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QByteArray endpoint = "http://127.0.0.1:" + QByteArray::number(closed.serverPort()) + "/gone";
        closed.close();
        const auto subscribed = rawRequest(
            m_port, "POST",
            "/d/" + token + "/subscription?endpoint=" + QUrl::toPercentEncoding(endpoint) +
                // The P-256 base point: a valid public key; the auth secret, 16 bytes.
                "&p256dh=BGsX0fLhLEJH-Lzm5WOkQPJ3A32BLeszoPShOUXYmMKWT-NC4v4af5uO5-tKfA-eFivOM1drMV7Oy7ZAaDe_UfU"
                "&auth=AAAAAAAAAAAAAAAAAAAAAA");
        QVERIFY2(subscribed.status / 100 == 2, subscribed.body.constData());
        QCOMPARE(push(key, phone, "queued"), 200);
        QTRY_COMPARE_WITH_TIMEOUT(countRows(file, "SELECT count(*) FROM deliveries"), 1, 30000);
        server.terminate();
        QVERIFY(server.waitForFinished(10000));
        QCOMPARE(server.exitCode(), 0);
    }
    const int newest = countRows(file, "SELECT max(id) FROM pushes");

    const QString target = servertest::newDatabase(m_dir.filePath(QStringLiteral("unused.db")));
    const Outcome migrated = run({"migrate", "--from", file, "--to", target});
    QCOMPARE(migrated.exitCode, 0);
    for (const char *table :
         {"accounts", "api_keys", "devices", "vapid_key", "subscriptions", "pushes", "deliveries"}) {
        const QByteArray sql = QByteArray("SELECT count(*) FROM ") + table;
        const int rows = countRows(file, sql.constData());
        QVERIFY(rows >= 1);
        QVERIFY2(migrated.out.contains(QStringLiteral("%1: %2\n").arg(QLatin1String(table)).arg(rows)),
                 qPrintable(migrated.out));
        QCOMPARE(countRows(target, sql.constData()), rows);
    }

    m_db = target;
    QProcess server;
    const auto stop = qScopeGuard([&server] {
        server.terminate();
        server.waitForFinished(10000);
    });
    m_port = startServer(server, target, webPush);
    QVERIFY(m_port != 0);
    QCOMPARE(push(key, phone, "after"), 200);
    QVERIFY(countRows(target, "SELECT id FROM pushes WHERE msg = 'after'") > newest);
    const auto page = rawRequest(m_port, "GET", "/d/" + token);
    QCOMPARE(page.status, 200);
    QVERIFY(page.body.contains("before one"));
    QCOMPARE(rawRequest(m_port, "GET", "/d/" + token + "/push-key").body, vapidKey);

    QTcpSocket stream;
    QByteArray received;
    connect(&stream, &QTcpSocket::readyRead, this, [&] { received += stream.readAll(); });
    stream.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(stream.waitForConnected(5000));
    stream.write("GET /d/" + token + "/events?after=0 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(received.contains("\"msg\":\"after\""), 10000);
    QVERIFY(received.contains("\"msg\":\"before one\""));
    QVERIFY(received.contains("\"msg\":\"queued\""));
    QVERIFY(!received.contains("before two"));

    const Outcome again = run({"migrate", "--from", file, "--to", target});
    QVERIFY(again.exitCode != 0);
    QVERIFY2(again.err.contains(QStringLiteral("holds data")), qPrintable(again.err));
}

QTEST_GUILESS_MAIN(TestServerCommands)
#include "tst_servercommands.moc"
