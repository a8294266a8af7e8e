#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "servertest.h"

#include <memory>

using servertest::digestOf;
using servertest::HttpReply;
using servertest::rawRequest;

namespace {

constexpr int maxDevices = 3;

// A picture of QR modules, true for a light one.
using Modules = QVector<QVector<bool>>;

struct Server
{
    std::unique_ptr<QProcess> process;
    quint16 port = 0;
};

// What an independent reader, zbar, reads in the picture, each module drawn 6 pixels wide.
QByteArray decoded(const Modules &modules, const QString &file)
{
    constexpr int scale = 6;
    QByteArray pixels;
    for (const QVector<bool> &row : modules) {
        QByteArray line;
        for (const bool light : row)
            line += QByteArray(scale, light ? '\xff' : '\0');
        pixels += line.repeated(scale);
    }
    QFile out(file);
    if (modules.isEmpty() || !out.open(QIODevice::WriteOnly))
        return {};
    out.write("P5 " + QByteArray::number(modules[0].size() * scale) + ' ' + QByteArray::number(modules.size() * scale) +
              " 255\n" + pixels);
    out.close();
    return servertest::runProgram(QStringLiteral(TAPVELA_ZBARIMG), {"--raw", "-q", file}).trimmed();
}

// The rows of an answer in the quiet zone that whoever draws them adds; empty when they are not a square of
// '0' and '1' of a QR code's size.
Modules withQuietZone(const QJsonArray &rows)
{
    const int size = rows.size();
    if (size < 21 || (size - 21) % 4 != 0)
        return {};
    Modules modules(size + 8, QVector<bool>(size + 8, true));
    for (int y = 0; y < size; ++y) {
        const QString row = rows[y].toString();
        if (row.size() != size || row.contains(QRegularExpression(QStringLiteral("[^01]"))))
            return {};
        for (int x = 0; x < size; ++x)
            modules[y + 4][x + 4] = row[x] == QLatin1Char('0');
    }
    return modules;
}

} // namespace

// The desktop program pairs a phone through the service: it adds a device and gets the page address with its
// QR code, or asks again for an existing device's. A real server process on 127.0.0.1 that allows three devices
// per account, and a second one on the same database that gives pages under a public address.
class TestPairing final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void addDevice_data();
    void addDevice();
    void deviceLimit();
    void devicePage_data();
    void devicePage();
    void pageAddress_data();
    void pageAddress();
    void terminalCode();

private:
    Server start(const QStringList &options);
    QJsonObject answer(quint16 port, const QByteArray &target);
    QByteArray key(const QByteArray &user);
    QString deviceRows(const QByteArray &user);

    QTemporaryDir m_dir;
    QString m_db;
    Server m_server, m_public;
    QByteArray m_aliceDevice, m_aliceToken, m_bobDevice;
};

Server TestPairing::start(const QStringList &options)
{
    Server server;
    server.process = std::make_unique<QProcess>();
    server.process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.process->start(QStringLiteral(TAPVELA_SERVER), QStringList{"serve", "--port", "0", "--db", m_db} + options);
    if (!server.process->waitForStarted(5000) || !server.process->waitForReadyRead(15000))
        return server;
    const auto match = QRegularExpression(QStringLiteral("^listening on http://127\\.0\\.0\\.1:(\\d+)$"))
                           .match(QString::fromUtf8(server.process->readLine()).trimmed());
    server.port = static_cast<quint16>(match.captured(1).toUInt());
    return server;
}

// The JSON object of a 200 answer to a request sent as a browser would; empty otherwise.
QJsonObject TestPairing::answer(quint16 port, const QByteArray &target)
{
    const HttpReply reply = rawRequest(port, "GET", target, "127.0.0.1:" + QByteArray::number(port));
    return reply.status == 200 ? QJsonDocument::fromJson(reply.body).object() : QJsonObject();
}

QByteArray TestPairing::key(const QByteArray &user)
{
    return rawRequest(m_server.port, "GET", "/all/login_app.php?username=" + user + "&password=" + digestOf(user)).body;
}

QString TestPairing::deviceRows(const QByteArray &user)
{
    return QString::number(servertest::countRows(
        m_db, "SELECT count(*) FROM devices JOIN accounts a ON a.id = account_id WHERE a.username = '" + user + "'"));
}

void TestPairing::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(QFile::exists(QStringLiteral(TAPVELA_ZBARIMG)), "zbarimg (Debian's zbar-tools) is missing");
    m_db = servertest::newDatabase(m_dir.filePath(QStringLiteral("push.db")));
    const QString server = QStringLiteral(TAPVELA_SERVER);
    for (const QString user : {"alice", "bob", "carol", "dave"}) {
        int exitCode = -1;
        servertest::runCommand(server, {"add-user", "--db", m_db, user}, user.toUtf8() + '\n', &exitCode);
        QCOMPARE(exitCode, 0);
    }
    const QRegularExpression added(QStringLiteral("^device id: (\\w+)\nphone page: \\S+/d/(\\S{32})\n"));
    const auto alice =
        added.match(servertest::runCommand(server, {"add-device", "--db", m_db, "alice", "A"}).join('\n'));
    const auto bob = added.match(servertest::runCommand(server, {"add-device", "--db", m_db, "bob", "B"}).join('\n'));
    QVERIFY(alice.hasMatch() && bob.hasMatch());
    m_aliceDevice = alice.captured(1).toUtf8();
    m_aliceToken = alice.captured(2).toUtf8();
    m_bobDevice = bob.captured(1).toUtf8();

    m_server = start({"--max-devices", QString::number(maxDevices)});
    QVERIFY(m_server.port != 0);
    // A closing slash of its own, which the page address must not double.
    m_public = start({"--public-url", "https://push.example.org:8443/tapvela/"});
    QVERIFY(m_public.port != 0);
}

void TestPairing::cleanupTestCase()
{
    for (Server *server : {&m_server, &m_public}) {
        if (!server->process)
            continue;
        server->process->terminate();
        QVERIFY(server->process->waitForFinished(10000));
        QCOMPARE(server->process->exitCode(), 0);
    }
}

void TestPairing::addDevice_data()
{
    QTest::addColumn<QByteArray>("user"); // whose key; empty: a key that does not exist
    QTest::addColumn<QByteArray>("name"); // as sent
    QTest::addColumn<QString>("status");
    QTest::newRow("valid") << QByteArray("alice") << QByteArray("Kitchen%20phone%20%E2%80%99%20%26") << "valid";
    QTest::newRow("bad key") << QByteArray() << QByteArray("Phone") << "invalid";
    QTest::newRow("bad key before a bad name") << QByteArray() << QByteArray() << "invalid";
    QTest::newRow("empty name") << QByteArray("alice") << QByteArray() << "bad name";
    QTest::newRow("65 characters") << QByteArray("alice") << QByteArray("%C3%A9").repeated(65) << "bad name";
    QTest::newRow("control character") << QByteArray("alice") << QByteArray("a%0Ab") << "bad name";
}

void TestPairing::addDevice()
{
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, name);
    QFETCH(QString, status);
    const QString before = deviceRows("alice");
    const QJsonObject object =
        answer(m_server.port, "/all/add_device_app.php?apikey=" + (user.isEmpty() ? QByteArray(48, 'a') : key(user)) +
                                  "&name=" + name);
    QCOMPARE(object.value("status").toString(), status);
    if (status != QLatin1String("valid")) {
        QVERIFY(!object.value("error").toString().isEmpty());
        QVERIFY(!object.contains("device") && !object.contains("devices") && !object.contains("qr"));
        QCOMPARE(deviceRows("alice"), before);
        return;
    }
    QCOMPARE(deviceRows("alice").toInt(), before.toInt() + 1);
    const QJsonObject device = object.value("device").toObject();
    QVERIFY(device.value("id").isString());
    QCOMPARE(device.value("name").toString(), QStringLiteral("Kitchen phone \u2019 &"));
    const QString page = device.value("page").toString();
    const auto pageMatch =
        QRegularExpression(QStringLiteral("^http://127\\.0\\.0\\.1:%1(/d/\\S{32})$").arg(m_server.port)).match(page);
    QVERIFY2(pageMatch.hasMatch(), qPrintable(page));
    QCOMPARE(rawRequest(m_server.port, "GET", pageMatch.captured(1).toUtf8()).status, 200);
    // The list as the device list request gives it, the new device last.
    const QJsonArray devices = object.value("devices").toArray();
    QCOMPARE(devices, answer(m_server.port, "/all/devices_app.php?apikey=" + key("alice")).value("devices").toArray());
    QCOMPARE(devices.last().toObject().value("id"), device.value("id"));
    QCOMPARE(decoded(withQuietZone(object.value("qr").toArray()), m_dir.filePath(QStringLiteral("added.pgm"))),
             page.toUtf8());
}

void TestPairing::deviceLimit()
{
    const QByteArray carol = key("carol");
    const QByteArray add = "/all/add_device_app.php?apikey=" + carol + "&name=";
    for (int i = 0; i < maxDevices; ++i)
        QCOMPARE(answer(m_server.port, add + "phone" + QByteArray::number(i)).value("status").toString(),
                 QStringLiteral("valid"));
    const QJsonObject refused = answer(m_server.port, add + "one%20too%20many");
    QCOMPARE(refused.value("status").toString(), QStringLiteral("too many devices"));
    QVERIFY(refused.value("error").toString().contains(QString::number(maxDevices)));
    QCOMPARE(deviceRows("carol"), QString::number(maxDevices));
    // A bad name is told before the limit: renaming it would not help.
    QCOMPARE(answer(m_server.port, add).value("status").toString(), QStringLiteral("bad name"));
    // The limit is the account's: another one still adds.
    QCOMPARE(answer(m_server.port, "/all/add_device_app.php?apikey=" + key("bob") + "&name=tablet")
                 .value("status")
                 .toString(),
             QStringLiteral("valid"));
}

void TestPairing::devicePage_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("id");
    QTest::addColumn<QString>("status");
    QTest::newRow("own device") << QByteArray("alice") << m_aliceDevice << "valid";
    QTest::newRow("bad key") << QByteArray() << m_aliceDevice << "invalid";
    QTest::newRow("another account's device") << QByteArray("alice") << m_bobDevice << "unknown device";
    QTest::newRow("unknown id") << QByteArray("alice") << QByteArray("0123456789abcdef") << "unknown device";
    QTest::newRow("empty id") << QByteArray("alice") << QByteArray() << "unknown device";
}

void TestPairing::devicePage()
{
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, id);
    QFETCH(QString, status);
    const QByteArray target =
        "/all/device_page_app.php?apikey=" + (user.isEmpty() ? QByteArray(48, 'a') : key(user)) + "&id=";
    const QByteArray host = "127.0.0.1:" + QByteArray::number(m_server.port);
    const HttpReply reply = rawRequest(m_server.port, "GET", target + id, host);
    QCOMPARE(reply.status, 200);
    const QJsonObject object = QJsonDocument::fromJson(reply.body).object();
    QCOMPARE(object.value("status").toString(), status);
    if (status == QLatin1String("unknown device")) {
        // Word for word the answer for an id that no account has: another account's ids cannot be probed.
        QCOMPARE(reply.body, rawRequest(m_server.port, "GET", target + "ffffffffffffffff", host).body);
        QVERIFY(!object.contains("page") && !object.contains("qr"));
    } else if (status == QLatin1String("valid")) {
        const QString page = QStringLiteral("http://127.0.0.1:%1/d/").arg(m_server.port) + m_aliceToken;
        QCOMPARE(object.value("page").toString(), page);
        QCOMPARE(decoded(withQuietZone(object.value("qr").toArray()), m_dir.filePath(QStringLiteral("page.pgm"))),
                 page.toUtf8());
    } else {
        QVERIFY(!object.contains("page") && !object.contains("qr"));
    }
}

void TestPairing::pageAddress_data()
{
    QTest::addColumn<bool>("publicUrl"); // asks the server started with one
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<QString>("base"); // PORT: the port of the server asked
    const QString listening = QStringLiteral("http://127.0.0.1:PORT");
    QTest::newRow("loopback") << false << QByteArray("127.0.0.1:PORT") << listening;
    QTest::newRow("name and port") << false << QByteArray("box.home.example:8080") << "http://box.home.example:8080";
    QTest::newRow("name without port") << false << QByteArray("Tapvela-Box") << "http://Tapvela-Box";
    QTest::newRow("private address") << false << QByteArray("192.168.1.20:48080") << "http://192.168.1.20:48080";
    QTest::newRow("IPv6") << false << QByteArray("[fd00::1]:48080") << "http://[fd00::1]:48080";
    QTest::newRow("no Host header") << false << QByteArray() << listening;
    QTest::newRow("path") << false << QByteArray("evil.example/phish") << listening;
    QTest::newRow("user part") << false << QByteArray("me@evil.example") << listening;
    QTest::newRow("port out of range") << false << QByteArray("evil.example:65536") << listening;
    QTest::newRow("empty port") << false << QByteArray("evil.example:") << listening;
    QTest::newRow("empty label") << false << QByteArray("evil..example") << listening;
    QTest::newRow("unclosed bracket") << false << QByteArray("[fd00::1") << listening;
    QTest::newRow("markup") << false << QByteArray("a\"><script>") << listening;
    QTest::newRow("300 characters") << false << QByteArray(300, 'a') << listening;
    QTest::newRow("public address, whatever the Host")
        << true << QByteArray("box.home.example:8080") << "https://push.example.org:8443/tapvela";
}

// Without --public-url, the page is under the address the request came by, when its Host header is one.
void TestPairing::pageAddress()
{
    QFETCH(bool, publicUrl);
    QFETCH(QByteArray, host);
    QFETCH(QString, base);
    const quint16 port = publicUrl ? m_public.port : m_server.port;
    const HttpReply reply =
        rawRequest(port, "GET", "/all/device_page_app.php?apikey=" + key("alice") + "&id=" + m_aliceDevice,
                   host.replace("PORT", QByteArray::number(port)));
    QCOMPARE(QJsonDocument::fromJson(reply.body).object().value("page").toString(),
             base.replace(QLatin1String("PORT"), QString::number(port)) + "/d/" + m_aliceToken);
}

// add-device prints the page's QR code in half blocks: turned back into modules, it reads as the page.
void TestPairing::terminalCode()
{
    const QStringList lines =
        servertest::runCommand(QStringLiteral(TAPVELA_SERVER), {"add-device", "--db", m_db, "dave", "Dave's phone"});
    const QString page = lines.value(1).mid(QStringLiteral("phone page: ").size());
    QVERIFY2(page.startsWith(QLatin1String("http://127.0.0.1:48080/d/")), qPrintable(lines.join('\n')));
    Modules modules;
    const QRegularExpression colours(QStringLiteral("\x1b\\[[0-9;]*m"));
    for (QString line : lines.mid(2)) {
        line.remove(colours);
        QVector<bool> top, bottom;
        for (const QChar c : line) {
            const int at = QStringLiteral(" \u2584\u2580\u2588").indexOf(c); // bit 1: top light, bit 0: bottom
            QVERIFY2(at >= 0, qPrintable(line));
            top << ((at & 2) != 0);
            bottom << ((at & 1) != 0);
        }
        modules << top << bottom;
    }
    QCOMPARE(decoded(modules, m_dir.filePath(QStringLiteral("terminal.pgm"))), page.toUtf8());
}

QTEST_GUILESS_MAIN(TestPairing)
#include "tst_pairing.moc"
