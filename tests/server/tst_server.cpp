#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "servertest.h"

#include <memory>

using servertest::digestOf;
using servertest::HttpReply;
using servertest::rawRequest;

namespace {

HttpReply get(quint16 port, const QByteArray &target)
{
    return rawRequest(port, "GET", target);
}

// Reads the database the way an intruder with a copy of it would.
QStringList dbRows(const QString &database, const char *sql)
{
    return servertest::queryRows(database, sql);
}

// Removes a device as its owner's operator would, straight from the database, while the service runs.
bool removeDevice(const QString &database, const QByteArray &publicId)
{
    return servertest::execute(database, "DELETE FROM devices WHERE public_id = '" + publicId + "'") == 1;
}

struct Server
{
    std::unique_ptr<QProcess> process;
    quint16 port = 0;
    QStringList lines; // what it printed before serving
};

} // namespace

class TestServer final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void login_data();
    void login();
    void devicesList();
    void refusedKey_data();
    void refusedKey();
    void setName();
    void unstorableName_data();
    void unstorableName();
    void goneDevice_data();
    void goneDevice();
    void decoding_data();
    void decoding();
    void pageListsNewestFirst();
    void hostileContent_data();
    void hostileContent();
    void eventsStream();
    void badInput_data();
    void badInput();
    void otherAccountsDevices_data();
    void otherAccountsDevices();
    void secretsNotStoredInClear();
    void addUser_data();
    void addUser();
    void demoMode();
    void parallelBurst();
    void portInUse();

private:
    QStringList run(const QStringList &arguments, const QByteArray &input = {}, int *exitCode = nullptr);
    Server start(const QStringList &arguments, int expectedLines = 1);
    QByteArray loginKey(const QByteArray &user, const QByteArray &password);
    QByteArray pushTarget(const QByteArray &key, const QByteArray &device, const QByteArray &msg,
                          const QByteArray &extra = "tel%3A%2B33612345678") const;
    bool addDevice(const QString &user, const QString &name, QByteArray *id, QByteArray *token);
    QString snapshot() const;
    QByteArray page(const QByteArray &token);

    QTemporaryDir m_dir;
    QString m_db;
    Server m_server;
    QByteArray m_aliceKey, m_bobKey, m_aliceDevice, m_bobDevice, m_aliceToken, m_bobToken;
};

QStringList TestServer::run(const QStringList &arguments, const QByteArray &input, int *exitCode)
{
    return servertest::runCommand(QStringLiteral(TAPVELA_SERVER), arguments, input, exitCode);
}

Server TestServer::start(const QStringList &arguments, int expectedLines)
{
    Server server;
    server.process = std::make_unique<QProcess>();
    server.process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.process->start(QStringLiteral(TAPVELA_SERVER), arguments);
    if (!server.process->waitForStarted(5000))
        return server;
    while (server.lines.size() < expectedLines) {
        if (!server.process->canReadLine() && !server.process->waitForReadyRead(15000))
            return server;
        while (server.process->canReadLine())
            server.lines << QString::fromUtf8(server.process->readLine()).trimmed();
    }
    const auto match =
        QRegularExpression(QStringLiteral("^listening on http://127\\.0\\.0\\.1:(\\d+)$")).match(server.lines.value(0));
    if (match.hasMatch())
        server.port = static_cast<quint16>(match.captured(1).toUInt());
    return server;
}

QByteArray TestServer::loginKey(const QByteArray &user, const QByteArray &password)
{
    const HttpReply reply =
        get(m_server.port, "/all/login_app.php?username=" + user + "&password=" + digestOf(password));
    return reply.status == 200 ? reply.body : QByteArray();
}

QByteArray TestServer::pushTarget(const QByteArray &key, const QByteArray &device, const QByteArray &msg,
                                  const QByteArray &extra) const
{
    return "/all/api.php?apikey=" + key + "&msg=" + msg + "&icon=115&sound=01&devices=" + device + "&extra=" + extra;
}

// Everything that a refused request must leave as it was.
QString TestServer::snapshot() const
{
    return (dbRows(m_db, "SELECT count(*) FROM accounts") + dbRows(m_db, "SELECT count(*) FROM api_keys") +
            dbRows(m_db, "SELECT count(*), coalesce(max(id), 0) FROM pushes") +
            dbRows(m_db, "SELECT public_id, name FROM devices ORDER BY id"))
        .join(QLatin1Char('\n'));
}

QByteArray TestServer::page(const QByteArray &token)
{
    const HttpReply reply = get(m_server.port, "/d/" + token);
    return reply.status == 200 ? reply.body : QByteArray();
}

bool TestServer::addDevice(const QString &user, const QString &name, QByteArray *id, QByteArray *token)
{
    int exitCode = -1;
    const QStringList lines = run({"add-device", "--db", m_db, user, name}, {}, &exitCode);
    const auto match =
        QRegularExpression(QStringLiteral("^device id: (\\w+)\nphone page: http://127\\.0\\.0\\.1:48080/d/(\\S{32})\n"))
            .match(lines.join(QLatin1Char('\n')));
    *id = match.captured(1).toUtf8();
    *token = match.captured(2).toUtf8();
    return exitCode == 0 && match.hasMatch();
}

void TestServer::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_db = servertest::newDatabase(m_dir.filePath(QStringLiteral("push.db")));
    int exitCode = -1;
    run({"add-user", "--db", m_db, "alice"}, "alice password\n", &exitCode);
    QCOMPARE(exitCode, 0);
    run({"add-user", "--db", m_db, "bob"}, "bob password\n", &exitCode);
    QCOMPARE(exitCode, 0);
    QVERIFY(addDevice(QStringLiteral("alice"), QStringLiteral("alice phone"), &m_aliceDevice, &m_aliceToken));
    QVERIFY(addDevice(QStringLiteral("bob"), QStringLiteral("bob phone"), &m_bobDevice, &m_bobToken));

    // parallelBurst sends 180 pushes at once from one key: more than the rate allows by default.
    m_server = start({"serve", "--port", "0", "--db", m_db, "--push-burst", "1000"});
    QVERIFY2(m_server.port != 0, qPrintable(m_server.lines.join(QLatin1Char('\n'))));
    m_aliceKey = loginKey("alice", "alice password");
    m_bobKey = loginKey("bob", "bob password");
    QVERIFY(!m_aliceKey.isEmpty() && m_aliceKey != "error");
    QVERIFY(!m_bobKey.isEmpty() && m_bobKey != "error");
}

void TestServer::cleanupTestCase()
{
    if (!m_server.process)
        return;
    // SIGTERM is the normal way to stop it: it finishes cleanly.
    m_server.process->terminate();
    QVERIFY(m_server.process->waitForFinished(10000));
    QCOMPARE(m_server.process->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_server.process->exitCode(), 0);
}

void TestServer::login_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("body"); // a pattern
    const QByteArray digest = digestOf("alice password");
    QTest::newRow("right password") << "username=alice&password=" + digest << 200 << "^[0-9a-f]{48}$";
    QTest::newRow("digest in capitals") << "username=alice&password=" + digest.toUpper() << 200 << "^[0-9a-f]{48}$";
    QTest::newRow("wrong password") << "username=alice&password=" + digestOf("alice passwore") << 200 << "^error$";
    QTest::newRow("other user's password") << "username=alice&password=" + digestOf("bob password") << 200 << "^error$";
    QTest::newRow("unknown user") << "username=mallory&password=" + digest << 200 << "^error$";
    QTest::newRow("name is not trimmed") << "username=alice%20&password=" + digest << 200 << "^error$";
    QTest::newRow("name is case-sensitive") << "username=Alice&password=" + digest << 200 << "^error$";
    QTest::newRow("missing password") << QByteArray("username=alice") << 400 << "password";
    QTest::newRow("missing user name") << "password=" + digest << 400 << "username";
    QTest::newRow("password in clear") << QByteArray("username=alice&password=alice%20password") << 400 << "SHA-1";
    QTest::newRow("digest too short") << "username=alice&password=" + digest.left(39) << 400 << "SHA-1";
}

void TestServer::login()
{
    QFETCH(QByteArray, query);
    QFETCH(int, status);
    QFETCH(QString, body);
    const HttpReply reply = get(m_server.port, "/all/login_app.php?" + query);
    QCOMPARE(reply.status, status);
    QVERIFY2(QString::fromUtf8(reply.body).contains(QRegularExpression(body)), reply.body.constData());
    if (status == 200 && reply.body != "error") {
        // Each sign-in gets a key of its own, and every one of them works.
        QVERIFY(reply.body != m_aliceKey);
        QCOMPARE(get(m_server.port, "/all/devices_app.php?apikey=" + reply.body).status, 200);
        QVERIFY(get(m_server.port, "/all/devices_app.php?apikey=" + reply.body).body.contains("\"valid\""));
    }
}

void TestServer::devicesList()
{
    const HttpReply reply = get(m_server.port, "/all/devices_app.php?apikey=" + m_aliceKey);
    QCOMPARE(reply.status, 200);
    QVERIFY(reply.headers.contains("Content-Type: application/json"));
    const QJsonObject object = QJsonDocument::fromJson(reply.body).object();
    QCOMPARE(object.value("status").toString(), QStringLiteral("valid"));
    const QJsonArray devices = object.value("devices").toArray();
    QCOMPARE(devices.size(), 1); // only her own: bob's device is not listed
    QVERIFY(devices[0].toObject().value("id").isString());
    QCOMPARE(devices[0].toObject().value("id").toString().toUtf8(), m_aliceDevice);
    QVERIFY(devices[0].toObject().value("name").isString());
    QVERIFY(!devices[0].toObject().value("name").toString().isEmpty());
}

void TestServer::refusedKey_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("key");
    const QList<QByteArray> paths = {"/all/devices_app.php?", "/all/set_name_app.php?id=" + m_aliceDevice + "&name=x&",
                                     pushTarget("", m_aliceDevice, "hello").replace("apikey=&", "") + "&"};
    const QList<QByteArray> names = {"devices", "set-name", "push"};
    for (int i = 0; i < paths.size(); ++i) {
        QTest::addRow("%s, \"no\"", names[i].constData()) << paths[i] << QByteArray("no");
        QTest::addRow("%s, empty", names[i].constData()) << paths[i] << QByteArray();
        QTest::addRow("%s, unknown", names[i].constData()) << paths[i] << QByteArray(48, 'a');
        QTest::addRow("%s, key with a character more", names[i].constData()) << paths[i] << m_aliceKey + "0";
    }
}

void TestServer::refusedKey()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, key);
    const QString before = snapshot();
    const HttpReply reply = get(m_server.port, path + "apikey=" + key);
    // The program tells a refused key from a network failure by a 200 answer whose status is not "valid".
    QCOMPARE(reply.status, 200);
    const QJsonObject object = QJsonDocument::fromJson(reply.body).object();
    QVERIFY(!object.value("status").toString().isEmpty());
    QVERIFY(object.value("status").toString() != QStringLiteral("valid"));
    QVERIFY(!object.contains("devices"));
    QCOMPARE(snapshot(), before);
}

void TestServer::setName()
{
    const HttpReply reply = get(m_server.port, "/all/set_name_app.php?apikey=" + m_aliceKey + "&id=" + m_aliceDevice +
                                                   "&name=Alice%E2%80%99s%20phone%20%2B%20%26%20%3D");
    QCOMPARE(reply.status, 200);
    QCOMPARE(QJsonDocument::fromJson(reply.body).object().value("status").toString(), QStringLiteral("valid"));
    const QJsonArray devices =
        QJsonDocument::fromJson(get(m_server.port, "/all/devices_app.php?apikey=" + m_aliceKey).body)
            .object()
            .value("devices")
            .toArray();
    QCOMPARE(devices[0].toObject().value("name").toString(), QStringLiteral("Alice\u2019s phone + & ="));
    QVERIFY(page(m_aliceToken).contains("<h1>Alice\xE2\x80\x99s phone + &amp; =</h1>"));
}

void TestServer::unstorableName_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("65 letters") << QByteArray(65, 'n');
    QTest::newRow("65 accented letters in 130 bytes") << QByteArray("%C3%A9").repeated(65);
    QTest::newRow("300 bytes") << QByteArray(300, 'n');
    QTest::newRow("line break") << QByteArray("a%0Ab");
}

// The program sends whatever the user typed and can show a refusal only as a connection failure or a refused
// key: the device keeps its name, and the list that comes back shows it in place of the edit.
void TestServer::unstorableName()
{
    QFETCH(QByteArray, name);
    const QString before = snapshot();
    const QString kept =
        dbRows(m_db, ("SELECT name FROM devices WHERE public_id = '" + m_aliceDevice + "'").constData()).value(0);
    const HttpReply reply =
        get(m_server.port, "/all/set_name_app.php?apikey=" + m_aliceKey + "&id=" + m_aliceDevice + "&name=" + name);
    QCOMPARE(reply.status, 200);
    const QJsonObject object = QJsonDocument::fromJson(reply.body).object();
    QCOMPARE(object.value("status").toString(), QStringLiteral("valid"));
    const QJsonArray devices = object.value("devices").toArray();
    QCOMPARE(devices.size(), 1);
    QCOMPARE(devices[0].toObject().value("id").toString().toUtf8(), m_aliceDevice);
    QCOMPARE(devices[0].toObject().value("name").toString(), kept);
    QCOMPARE(snapshot(), before);
}

void TestServer::goneDevice_data()
{
    QTest::addColumn<QByteArray>("request"); // the device's id follows
    QTest::newRow("push") << "/all/api.php?apikey=" + m_aliceKey + "&msg=hello&icon=115&sound=01&extra=tel:1&devices=";
    QTest::newRow("rename") << "/all/set_name_app.php?apikey=" + m_aliceKey + "&name=new&id=";
    QTest::newRow("rename to an empty name") << "/all/set_name_app.php?apikey=" + m_aliceKey + "&name=&id=";
}

// A device removed on the service since the program fetched its list: a "status" other than "valid" makes the
// program ask the user to sign in again, which fetches the list as it is now.
void TestServer::goneDevice()
{
    QFETCH(QByteArray, request);
    QByteArray id, token;
    QVERIFY(addDevice(QStringLiteral("alice"), QStringLiteral("old tablet"), &id, &token));
    QCOMPARE(get(m_server.port, pushTarget(m_aliceKey, id, "before")).body, QByteArray("{\"status\":\"valid\"}"));
    QVERIFY(removeDevice(m_db, id));
    const QString before = snapshot();
    const HttpReply reply = get(m_server.port, request + id);
    QCOMPARE(reply.status, 200);
    const QJsonObject object = QJsonDocument::fromJson(reply.body).object();
    QCOMPARE(object.value("status").toString(), QStringLiteral("unknown device"));
    QVERIFY(!object.contains("devices"));
    QCOMPARE(snapshot(), before);
    QCOMPARE(get(m_server.port, "/d/" + token).status, 404);
}

void TestServer::decoding_data()
{
    QTest::addColumn<QByteArray>("msg");
    QTest::addColumn<QByteArray>("extra");
    QTest::addColumn<QString>("storedMsg");
    QTest::addColumn<QString>("storedExtra");
    QTest::newRow("the program's push") << QByteArray("Phone%20number%20%3A%20%2B33612345678")
                                        << QByteArray("tel%3A%2B33612345678") << "Phone number : +33612345678"
                                        << "tel:+33612345678";
    QTest::newRow("French message") << QByteArray("Num%C3%A9ro%20de%20t%C3%A9l%C3%A9phone%20%3A%20%2B33612345678")
                                    << QByteArray("tel%3A%2B33612345678")
                                    << QStringLiteral("Num\u00e9ro de t\u00e9l\u00e9phone : +33612345678")
                                    << "tel:+33612345678";
    QTest::newRow("literal plus is a plus")
        << QByteArray("+33612345678") << QByteArray("tel:+33612345678") << "+33612345678"
        << "tel:+33612345678";
    QTest::newRow("plus between words") << QByteArray("a+b") << QByteArray() << "a+b"
                                        << "";
    QTest::newRow("lowercase escape") << QByteArray("%2b1%2c2") << QByteArray() << "+1,2"
                                      << "";
    QTest::newRow("escaped delimiters") << QByteArray("a%3Db%26c%3Fd%23e") << QByteArray() << "a=b&c?d#e"
                                        << "";
    QTest::newRow("escaped percent") << QByteArray("100%25") << QByteArray() << "100%"
                                     << "";
    QTest::newRow("line break kept") << QByteArray("two%0Alines") << QByteArray() << "two\nlines"
                                     << "";
    QTest::newRow("longest message") << QByteArray(1024, 'm') << QByteArray() << QString(1024, 'm') << "";
}

void TestServer::decoding()
{
    QFETCH(QByteArray, msg);
    QFETCH(QByteArray, extra);
    QFETCH(QString, storedMsg);
    QFETCH(QString, storedExtra);
    const HttpReply reply = get(m_server.port, pushTarget(m_aliceKey, m_aliceDevice, msg, extra));
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.body, QByteArray("{\"status\":\"valid\"}"));
    QCOMPARE(dbRows(m_db, "SELECT msg, extra, icon, sound FROM pushes ORDER BY id DESC LIMIT 1"),
             QStringList{storedMsg + "|" + storedExtra + "|115|01"});
}

void TestServer::pageListsNewestFirst()
{
    QCOMPARE(get(m_server.port, pushTarget(m_aliceKey, m_aliceDevice, "older%20one", "tel%3A%2B331")).status, 200);
    QCOMPARE(get(m_server.port, pushTarget(m_aliceKey, m_aliceDevice, "newer%20one", "tel%3A%2B332")).status, 200);
    const HttpReply reply = get(m_server.port, "/d/" + m_aliceToken);
    QCOMPARE(reply.status, 200);
    QVERIFY(reply.headers.contains("Content-Type: text/html"));
    QVERIFY(reply.headers.contains("Content-Security-Policy: default-src 'none'"));
    const int newer = reply.body.indexOf("<p class=\"msg\">newer one</p><a class=\"call\" href=\"tel:+332\">Call</a>");
    const int older = reply.body.indexOf("<p class=\"msg\">older one</p><a class=\"call\" href=\"tel:+331\">Call</a>");
    QVERIFY(newer > 0);
    QVERIFY(older > newer);
    // Nothing loaded from elsewhere: the page works on a phone without internet access.
    QVERIFY(!reply.body.contains("http://") && !reply.body.contains("https://") && !reply.body.contains(" src="));
    QCOMPARE(get(m_server.port, "/d/" + QByteArray(32, 'A')).status, 404);
}

void TestServer::hostileContent_data()
{
    QTest::addColumn<QByteArray>("msg");
    QTest::addColumn<QByteArray>("extra");
    QTest::addColumn<QByteArray>("shown"); // the push's entry on the page
    QTest::newRow("script in the message")
        << QByteArray("%3Cscript%3Ealert(1)%3C%2Fscript%3E") << QByteArray("tel%3A%2B33612345678")
        << QByteArray("<p class=\"msg\">&lt;script&gt;alert(1)&lt;/script&gt;</p><a class=\"call\" "
                      "href=\"tel:+33612345678\">");
    QTest::newRow("entities and quotes") << QByteArray("%26amp%3B%20%22q%22%20%27s%27") << QByteArray()
                                         << QByteArray("<p class=\"msg\">&amp;amp; &quot;q&quot; &#39;s&#39;</p>"
                                                       "<span class=\"call inert\">Call</span>");
    QTest::newRow("javascript link") << QByteArray("x") << QByteArray("javascript%3Aalert(1)")
                                     << QByteArray("<p class=\"msg\">x</p><span class=\"call inert\">Call</span>");
    QTest::newRow("attribute break-out") << QByteArray("y") << QByteArray("tel%3A%2B33%22%20onclick%3D%22alert(1)")
                                         << QByteArray("<p class=\"msg\">y</p><span class=\"call inert\">Call</span>");
    QTest::newRow("other scheme") << QByteArray("z") << QByteArray("sms%3A%2B33612345678")
                                  << QByteArray("<p class=\"msg\">z</p><span class=\"call inert\">Call</span>");
}

void TestServer::hostileContent()
{
    QFETCH(QByteArray, msg);
    QFETCH(QByteArray, extra);
    QFETCH(QByteArray, shown);
    QCOMPARE(get(m_server.port, pushTarget(m_aliceKey, m_aliceDevice, msg, extra)).status, 200);
    const QByteArray body = page(m_aliceToken);
    const QByteArray id = dbRows(m_db, "SELECT max(id) FROM pushes").value(0).toUtf8();
    const int start = body.indexOf("<li data-id=\"" + id + "\"");
    QVERIFY(start > 0);
    const QByteArray entry = body.mid(start, body.indexOf("</li>", start) - start);
    QVERIFY2(entry.contains(shown), entry.constData());
    QVERIFY(!entry.contains("<script") && !entry.contains("onclick=") && !entry.contains("href=\"javascript"));
}

void TestServer::eventsStream()
{
    QTcpSocket socket;
    QByteArray received;
    connect(&socket, &QTcpSocket::readyRead, this, [&] { received += socket.readAll(); });
    socket.connectToHost(QHostAddress::LocalHost, m_server.port);
    QVERIFY(socket.waitForConnected(5000));
    socket.write("GET /d/" + m_aliceToken + "/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(received.contains(": connected"), 5000);
    QVERIFY(received.contains("Content-Type: text/event-stream"));
    QVERIFY(!received.contains("event: push")); // only what comes after the page was opened

    QCOMPARE(get(m_server.port,
                 pushTarget(m_aliceKey, m_aliceDevice, "Phone%20number%20%3A%20%2B33699999999", "tel%3A%2B33699999999"))
                 .status,
             200);
    QCOMPARE(get(m_server.port, pushTarget(m_bobKey, m_bobDevice, "for%20bob")).status, 200);
    const QByteArray id = dbRows(m_db, "SELECT max(id) FROM pushes WHERE msg LIKE '%33699999999'").value(0).toUtf8();
    const QByteArray event = "id: " + id + "\nevent: push\ndata: {\"id\":" + id +
                             ",\"msg\":\"Phone number : +33699999999\",\"extra\":\"tel:+33699999999\",\"time\":";
    QTRY_VERIFY_WITH_TIMEOUT(received.contains(event), 5000);
    // Bob's push goes to his own page only.
    QCOMPARE(get(m_server.port, pushTarget(m_aliceKey, m_aliceDevice, "after%20bob")).status, 200);
    QTRY_VERIFY_WITH_TIMEOUT(received.contains("\"msg\":\"after bob\""), 5000);
    QVERIFY(!received.contains("for bob"));

    // A browser that reconnects names the last event it saw and gets what it missed.
    QTcpSocket again;
    QByteArray resumed;
    connect(&again, &QTcpSocket::readyRead, this, [&] { resumed += again.readAll(); });
    again.connectToHost(QHostAddress::LocalHost, m_server.port);
    QVERIFY(again.waitForConnected(5000));
    again.write("GET /d/" + m_aliceToken + "/events HTTP/1.1\r\nHost: 127.0.0.1\r\nLast-Event-ID: " +
                QByteArray::number(id.toLongLong() - 1) + "\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(resumed.contains(event), 5000);
    QVERIFY(resumed.contains("\"msg\":\"after bob\""));
}

void TestServer::badInput_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("reason"); // a part of the answer
    const QByteArray key = m_aliceKey, device = m_aliceDevice;
    const QByteArray push = "/all/api.php?apikey=" + key + "&devices=" + device + "&msg=";
    const QByteArray rename = "/all/set_name_app.php?apikey=" + key + "&id=" + device + "&name=";
    QTest::newRow("bad escape") << QByteArray("GET") << push + "a%zz" << 400 << QByteArray("percent-escape");
    QTest::newRow("cut escape") << QByteArray("GET") << push + "abc%4" << 400 << QByteArray("percent-escape");
    QTest::newRow("lone percent") << QByteArray("GET") << push + "100%" << 400 << QByteArray("percent-escape");
    QTest::newRow("bad escape in a name") << QByteArray("GET") << push + "a&ext%ra=1" << 400 << QByteArray("escape");
    QTest::newRow("not UTF-8") << QByteArray("GET") << push + "caf%E9" << 400 << QByteArray("UTF-8");
    QTest::newRow("overlong UTF-8") << QByteArray("GET") << push + "%C0%AF" << 400 << QByteArray("UTF-8");
    QTest::newRow("UTF-8 surrogate") << QByteArray("GET") << push + "%ED%A0%80" << 400 << QByteArray("UTF-8");
    QTest::newRow("NUL") << QByteArray("GET") << push + "a%00b" << 400 << QByteArray("control");
    QTest::newRow("control character") << QByteArray("GET") << push + "a%1Bb" << 400 << QByteArray("control");
    QTest::newRow("empty message") << QByteArray("GET") << push << 400 << QByteArray("msg");
    QTest::newRow("message too long") << QByteArray("GET") << push + QByteArray(1025, 'm') << 400
                                      << QByteArray("too long: msg");
    QTest::newRow("extra too long") << QByteArray("GET") << push + "a&extra=tel:" + QByteArray(260, '1') << 400
                                    << QByteArray("too long: extra");
    QTest::newRow("request too long") << QByteArray("GET") << push + QByteArray(5000, 'm') << 414
                                      << QByteArray("too long");
    // The phone page's routes by POST too: the same limit on the request target.
    const QByteArray page = "/d/" + m_aliceToken;
    QTest::newRow("subscription too long")
        << QByteArray("POST") << page + "/subscription?endpoint=" + QByteArray(5000, 'e') << 414
        << QByteArray("too long");
    QTest::newRow("test notification too long")
        << QByteArray("POST") << page + "/test-notification?x=" + QByteArray(5000, 'x') << 414
        << QByteArray("too long");
    QByteArray many;
    for (int i = 0; i < 40; ++i)
        many += "&p" + QByteArray::number(i) + "=1";
    QTest::newRow("too many parameters") << QByteArray("GET") << push + "a" + many << 400
                                         << QByteArray("too many parameters");
    QTest::newRow("given twice") << QByteArray("GET") << push + "a&msg=b" << 400 << QByteArray("twice: msg");
    QTest::newRow("no message") << QByteArray("GET") << "/all/api.php?apikey=" + key + "&devices=" + device << 400
                                << QByteArray("missing parameter: msg");
    QTest::newRow("no device") << QByteArray("GET") << "/all/api.php?apikey=" + key + "&msg=a" << 400
                               << QByteArray("missing parameter: devices");
    QTest::newRow("no key") << QByteArray("GET") << "/all/api.php?msg=a&devices=" + device << 400
                            << QByteArray("missing parameter: apikey");
    QTest::newRow("no query") << QByteArray("GET") << QByteArray("/all/api.php") << 400 << QByteArray("missing");
    QTest::newRow("name without id") << QByteArray("GET") << "/all/set_name_app.php?apikey=" + key + "&name=x" << 400
                                     << QByteArray("missing parameter: id");
    QTest::newRow("id without name") << QByteArray("GET") << "/all/set_name_app.php?apikey=" + key + "&id=" + device
                                     << 400 << QByteArray("missing parameter: name");
    QTest::newRow("POST") << QByteArray("POST") << push + "a" << 405 << QByteArray("GET");
    QTest::newRow("HEAD") << QByteArray("HEAD") << push + "a" << 405 << QByteArray();
    QTest::newRow("unknown path") << QByteArray("GET") << QByteArray("/all/other.php?apikey=" + key) << 404
                                  << QByteArray("not found");
}

void TestServer::badInput()
{
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, target);
    QFETCH(int, status);
    QFETCH(QByteArray, reason);
    const QString before = snapshot();
    const HttpReply reply = rawRequest(m_server.port, method, target);
    QCOMPARE(reply.status, status);
    QVERIFY2(reply.body.contains(reason), reply.body.constData());
    QCOMPARE(snapshot(), before);
}

void TestServer::otherAccountsDevices_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("push to bob's device") << pushTarget(m_aliceKey, m_bobDevice, "spam");
    QTest::newRow("rename bob's device") << "/all/set_name_app.php?apikey=" + m_aliceKey + "&id=" + m_bobDevice +
                                                "&name=taken";
}

void TestServer::otherAccountsDevices()
{
    QFETCH(QByteArray, target);
    const QString before = snapshot();
    // The page without its per-answer nonce: the name and the pushes.
    const auto shown = [this] {
        const QByteArray body = page(m_bobToken);
        const int start = body.indexOf("<h1>");
        return body.mid(start, body.indexOf("</ol>") - start);
    };
    const QByteArray bobsPage = shown();
    QVERIFY(bobsPage.contains("<ol id=\"pushes\""));
    const HttpReply reply = get(m_server.port, target);
    // The same answer as for a device that does not exist: nothing tells that the id is used elsewhere.
    QCOMPARE(reply.status, 200);
    QCOMPARE(QJsonDocument::fromJson(reply.body).object().value("status").toString(), QStringLiteral("unknown device"));
    QCOMPARE(snapshot(), before);
    QCOMPARE(shown(), bobsPage);
}

void TestServer::secretsNotStoredInClear()
{
    const QStringList hashes = dbRows(m_db, "SELECT password_hash FROM accounts");
    QCOMPARE(hashes.size(), 2);
    for (const QString &hash : hashes)
        QVERIFY2(hash.startsWith(QStringLiteral("$argon2id$")), qPrintable(hash));
    QVERIFY(hashes[0] != hashes[1]);
    // What is stored for a key is its SHA-256.
    const QString keyHash =
        QString::fromLatin1(QCryptographicHash::hash(m_aliceKey, QCryptographicHash::Sha256).toHex());
    QVERIFY(dbRows(m_db, servertest::isPostgres(m_db) ? "SELECT encode(key_hash, 'hex') FROM api_keys"
                                                      : "SELECT lower(hex(key_hash)) FROM api_keys")
                .contains(keyHash));

    if (servertest::isPostgres(m_db))
        QSKIP("the file's bytes and its permissions are SQLite's: PostgreSQL keeps its own files, out of our reach");
    QByteArray files;
    for (const QString &suffix : {QString(), QStringLiteral("-wal")}) {
        QFile file(m_db + suffix);
        QVERIFY(file.open(QIODevice::ReadOnly));
        files += file.readAll();
    }
    for (const QByteArray &secret : {m_aliceKey, m_bobKey, QByteArray::fromHex(m_aliceKey), digestOf("alice password"),
                                     QByteArray::fromHex(digestOf("alice password")), QByteArray("alice password")})
        QVERIFY(!files.contains(secret));
    QCOMPARE(QFile::permissions(m_db) & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
}

void TestServer::addUser_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("password"); // signs in with it afterwards; empty: the user must not exist
    QTest::newRow("password from standard input")
        << QStringList{"carol"} << QByteArray("carol pw\n") << 0 << QByteArray("carol pw");
    QTest::newRow("Windows line end") << QStringList{"dave"} << QByteArray("dave pw\r\n") << 0 << QByteArray("dave pw");
    QTest::newRow("no line end") << QStringList{"erin"} << QByteArray("erin pw") << 0 << QByteArray("erin pw");
    QTest::newRow("password on the command line")
        << QStringList{"frank", "frank pw"} << QByteArray() << 2 << QByteArray();
    QTest::newRow("nothing on standard input") << QStringList{"grace"} << QByteArray() << 1 << QByteArray();
    QTest::newRow("empty password") << QStringList{"heidi"} << QByteArray("\n") << 1 << QByteArray();
    QTest::newRow("control character in the name")
        << QStringList{"ivan\x01"} << QByteArray("pw\n") << 2 << QByteArray();
}

void TestServer::addUser()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, password);
    int code = -1;
    run(QStringList{"add-user", "--db", m_db} + arguments, input, &code);
    QCOMPARE(code, exitCode);
    const QByteArray user = arguments.first().toUtf8();
    if (password.isEmpty()) {
        QVERIFY(dbRows(m_db, ("SELECT id FROM accounts WHERE username = '" + user + "'").constData()).isEmpty());
        return;
    }
    QCOMPARE(QRegularExpression(QStringLiteral("^[0-9a-f]{48}$")).match(loginKey(user, password)).hasMatch(), true);
    QCOMPARE(loginKey(user, password + "\n"), QByteArray("error"));
    // The name is taken now.
    run({"add-user", "--db", m_db, QString::fromUtf8(user)}, "other\n", &code);
    QCOMPARE(code, 1);
    QCOMPARE(loginKey(user, "other"), QByteArray("error"));
}

void TestServer::demoMode()
{
    const QString db = servertest::newDatabase(m_dir.filePath(QStringLiteral("demo.db")));
    QStringList printed;
    for (int round = 0; round < 2; ++round) {
        Server demo = start({"demo", "--port", "0", "--db", db}, 5);
        QVERIFY2(demo.port != 0, qPrintable(demo.lines.join(QLatin1Char('\n'))));
        QCOMPARE(demo.lines.mid(1, 2), (QStringList{"demo user: demo", "demo password: demo"}));
        const auto pageLine =
            QRegularExpression(QStringLiteral("^phone page: (http://127\\.0\\.0\\.1:(\\d+)(/d/\\S+))$"))
                .match(demo.lines.value(4));
        QVERIFY(pageLine.hasMatch());
        QCOMPARE(pageLine.captured(2).toUInt(), demo.port);
        const HttpReply key = get(demo.port, "/all/login_app.php?username=demo&password=" + digestOf("demo"));
        QCOMPARE(key.status, 200);
        const QJsonArray devices =
            QJsonDocument::fromJson(get(demo.port, "/all/devices_app.php?apikey=" + key.body).body)
                .object()
                .value("devices")
                .toArray();
        QCOMPARE(devices.size(), 1); // made once, on the first start only
        QVERIFY(demo.lines.value(3).contains(devices[0].toObject().value("id").toString()));
        QCOMPARE(get(demo.port, pageLine.captured(3).toUtf8()).status, 200);
        printed << pageLine.captured(3);
        demo.process->terminate();
        QVERIFY(demo.process->waitForFinished(10000));
        QCOMPARE(demo.process->exitCode(), 0);
    }
    QCOMPARE(printed[0], printed[1]);
}

void TestServer::parallelBurst()
{
    constexpr int clients = 4;
    constexpr int perClient = 50;
    const int before = dbRows(m_db, "SELECT count(*) FROM pushes").value(0).toInt();
    std::vector<std::unique_ptr<QNetworkAccessManager>> managers;
    int valid = 0, finished = 0;
    for (int c = 0; c < clients; ++c) {
        managers.push_back(std::make_unique<QNetworkAccessManager>());
        for (int i = 0; i < perClient; ++i) {
            const QByteArray target =
                i % 10 == 9 ? "/all/set_name_app.php?apikey=" + m_bobKey + "&id=" + m_bobDevice + "&name=bob%20" +
                                  QByteArray::number(i)
                            : pushTarget(m_aliceKey, m_aliceDevice, "burst%20" + QByteArray::number(c * perClient + i));
            QNetworkReply *reply = managers.back()->get(QNetworkRequest(
                QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server.port) + QString::fromLatin1(target))));
            connect(reply, &QNetworkReply::finished, this, [&, reply] {
                valid += reply->readAll() == "{\"status\":\"valid\"}" && reply->error() == QNetworkReply::NoError;
                ++finished;
                reply->deleteLater();
            });
        }
    }
    QTRY_COMPARE_WITH_TIMEOUT(finished, clients * perClient, 30000);
    QCOMPARE(valid, clients * perClient);
    const int pushes = clients * perClient * 9 / 10;
    QCOMPARE(dbRows(m_db, "SELECT count(*) FROM pushes").value(0).toInt(), before + pushes);
    QCOMPARE(dbRows(m_db, "SELECT count(DISTINCT msg) FROM pushes WHERE msg LIKE 'burst %'").value(0).toInt(), pushes);
    const QString bobsName =
        dbRows(m_db, ("SELECT name FROM devices WHERE public_id = '" + m_bobDevice + "'").constData()).value(0);
    QVERIFY2(QRegularExpression(QStringLiteral("^bob \\d+9$")).match(bobsName).hasMatch(), qPrintable(bobsName));
}

void TestServer::portInUse()
{
    int exitCode = -1;
    run({"serve", "--port", QString::number(m_server.port), "--db",
         servertest::newDatabase(m_dir.filePath(QStringLiteral("other.db")))},
        {}, &exitCode);
    QCOMPARE(exitCode, 1);
    QCOMPARE(get(m_server.port, "/").status, 200);
}

QTEST_GUILESS_MAIN(TestServer)
#include "tst_server.moc"
