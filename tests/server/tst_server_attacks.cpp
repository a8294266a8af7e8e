#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include "servertest.h"

#include <memory>
#include <vector>

// The service as an attacker on the same network would try it, from several loopback addresses (all of 127/8
// reaches the loopback interface, so each counts as a client address of its own). Each case is bounded in
// connections, bytes and time, and asserts what the service guarantees, never how fast it is.

using servertest::digestOf;

namespace {

// One raw connection that collects what it receives and notes when the service closes it.
struct Client
{
    explicit Client(quint16 port, const QString &from = QStringLiteral("127.0.0.1"))
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        QObject::connect(&socket, &QTcpSocket::disconnected, [this] {
            if (socket.isOpen())
                received += socket.readAll();
            closed = true;
        });
        // A service that closes while the client still writes resets the connection: an error, and the end.
        QObject::connect(&socket, &QAbstractSocket::errorOccurred, [this] { closed = true; });
        socket.bind(QHostAddress(from));
        socket.connectToHost(QHostAddress::LocalHost, port);
    }

    QTcpSocket socket;
    QByteArray received;
    bool closed = false;
};

// Statuses of the answers received so far, in order.
QList<int> statuses(const QByteArray &data)
{
    QList<int> found;
    int at = 0;
    while ((at = data.indexOf("HTTP/1.1 ", at)) >= 0) {
        found << data.mid(at + 9, 3).toInt();
        at += 9;
    }
    return found;
}

// A whole exchange: the bytes go out, everything until the service closes comes back.
QByteArray exchange(quint16 port, const QByteArray &bytes, const QString &from = QStringLiteral("127.0.0.1"))
{
    Client client(port, from);
    if (!client.socket.waitForConnected(5000))
        return {};
    client.socket.write(bytes);
    // What came before a time-out is returned as it is; the caller judges it.
    static_cast<void>(QTest::qWaitFor([&] { return client.closed; }, 10000));
    return client.received;
}

QByteArray get(quint16 port, const QByteArray &target, const QString &from = QStringLiteral("127.0.0.1"))
{
    return exchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", from);
}

QByteArray bodyOf(const QByteArray &answer)
{
    const int end = answer.indexOf("\r\n\r\n");
    return end < 0 ? QByteArray() : answer.mid(end + 4);
}

int pushCount(const QString &db)
{
    return servertest::countRows(db, "SELECT count(*) FROM pushes");
}

// Resident memory of a process, in KiB.
qint64 residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const auto match = QRegularExpression(QStringLiteral("VmRSS:\\s+(\\d+) kB")).match(status.readAll());
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

} // namespace

class TestServerAttacks final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void requestForms_data();
    void requestForms();
    void smuggling_data();
    void smuggling();
    void headerFlood();
    void slowClientsAndHogs();
    void connectionsPerAddress();
    void connectionsWhenFull();
    void loginFlood();
    void signInAttack();
    void trustedProxy();
    void streamsPerAccount();
    void pushFlood();
    void accessLog();
    void stopUnderTrickle();

private:
    bool start(QProcess *process, const QString &db, quint16 *port, const QString &logFile = {},
               const QStringList &options = {});
    QByteArray pushTarget(const QByteArray &msg) const;
    QStringList run(const QStringList &arguments, const QByteArray &input = {});

    QTemporaryDir m_dir;
    QString m_db, m_log;
    QProcess m_server;
    quint16 m_port = 0;
    QByteArray m_aliceKey, m_aliceDevice, m_aliceToken, m_bobToken;
};

QStringList TestServerAttacks::run(const QStringList &arguments, const QByteArray &input)
{
    int exitCode = -1;
    const QStringList lines = servertest::runCommand(QStringLiteral(TAPVELA_SERVER), arguments, input, &exitCode);
    return exitCode == 0 ? lines : QStringList();
}

bool TestServerAttacks::start(QProcess *process, const QString &db, quint16 *port, const QString &logFile,
                              const QStringList &options)
{
    QStringList arguments = QStringList{"serve", "--port", "0", "--db", db} + options;
    if (!logFile.isEmpty()) {
        arguments << "--log";
        process->setStandardErrorFile(logFile);
    } else {
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    }
    process->start(QStringLiteral(TAPVELA_SERVER), arguments);
    if (!process->waitForStarted(5000) || !process->waitForReadyRead(15000))
        return false;
    const auto match = QRegularExpression(QStringLiteral("^listening on http://127\\.0\\.0\\.1:(\\d+)"))
                           .match(QString::fromUtf8(process->readLine()));
    *port = static_cast<quint16>(match.captured(1).toUInt());
    return match.hasMatch();
}

QByteArray TestServerAttacks::pushTarget(const QByteArray &msg) const
{
    return "/all/api.php?apikey=" + m_aliceKey + "&msg=" + msg + "&devices=" + m_aliceDevice;
}

void TestServerAttacks::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_db = servertest::newDatabase(m_dir.filePath(QStringLiteral("push.db")));
    m_log = m_dir.filePath(QStringLiteral("access.log"));
    const QRegularExpression devicePattern(QStringLiteral("device id: (\\w+)\nphone page: \\S+/d/(\\S{32})"));
    for (const QString &user : {QStringLiteral("alice"), QStringLiteral("bob")}) {
        QVERIFY(!run({"add-user", "--db", m_db, user}, user.toUtf8() + " password\n").isEmpty());
        const auto match =
            devicePattern.match(run({"add-device", "--db", m_db, user, QStringLiteral("phone")}).join('\n'));
        QVERIFY(match.hasMatch());
        if (user == QStringLiteral("alice"))
            m_aliceDevice = match.captured(1).toUtf8(), m_aliceToken = match.captured(2).toUtf8();
        else
            m_bobToken = match.captured(2).toUtf8();
    }
    QVERIFY(start(&m_server, m_db, &m_port, m_log));
    m_aliceKey = bodyOf(get(m_port, "/all/login_app.php?username=alice&password=" + digestOf("alice password")));
    QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{48}$")).match(m_aliceKey).hasMatch(), m_aliceKey);
}

void TestServerAttacks::cleanupTestCase()
{
    m_server.terminate();
    QVERIFY(m_server.waitForFinished(10000));
    QCOMPARE(m_server.exitCode(), 0);
}

void TestServerAttacks::requestForms_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QList<int>>("expected"); // the statuses, in order
    QTest::addColumn<QByteArray>("lastBody"); // a part of the last answer's body; empty: it has none
    QTest::addColumn<bool>("stored");         // whether a push was stored

    const QByteArray host = "Host: 127.0.0.1\r\n";
    const QByteArray close = "Connection: close\r\n";
    QTest::newRow("three pipelined requests")
        << "GET / HTTP/1.1\r\n" + host + "\r\nGET " + pushTarget("pipelined") + " HTTP/1.1\r\n" + host +
               "\r\nGET /all/nothing HTTP/1.1\r\n" + host + close + "\r\n"
        << QList<int>{200, 200, 404} << QByteArray("not found") << true;
    QByteArray ranges = "Range: bytes=0-0";
    for (int i = 1; i < 500; ++i)
        ranges += "," + QByteArray::number(i) + "-" + QByteArray::number(i);
    QTest::newRow("many ranges ignored") << "GET /d/" + m_aliceToken + " HTTP/1.1\r\n" + host + ranges + "\r\n" +
                                                close + "\r\n"
                                         << QList<int>{200} << QByteArray("</html>") << false;
    QTest::newRow("HEAD of the page") << "HEAD /d/" + m_aliceToken + " HTTP/1.1\r\n" + host + close + "\r\n"
                                      << QList<int>{200} << QByteArray() << false;
    QTest::newRow("HEAD does not push") << "HEAD " + pushTarget("head") + " HTTP/1.1\r\n" + host + close + "\r\n"
                                        << QList<int>{405} << QByteArray() << false;
    // Announced and never sent: the answer must not wait for it.
    QTest::newRow("body refused") << "GET " + pushTarget("with%20body") + " HTTP/1.1\r\n" + host +
                                         "Content-Length: 100000\r\n\r\n"
                                  << QList<int>{413} << QByteArray("body") << false;
    QTest::newRow("chunked body refused")
        << "GET " + pushTarget("chunked") + " HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n"
        << QList<int>{413} << QByteArray("body") << false;
    QTest::newRow("one header of 17 KB") << "GET / HTTP/1.1\r\n" + host + "X-Fill: " + QByteArray(17 * 1024, 'f') +
                                                "\r\n\r\n"
                                         << QList<int>{431} << QByteArray("too large") << false;
}

void TestServerAttacks::requestForms()
{
    QFETCH(QByteArray, request);
    QFETCH(QList<int>, expected);
    QFETCH(QByteArray, lastBody);
    QFETCH(bool, stored);
    const int before = pushCount(m_db);
    const QByteArray answer = exchange(m_port, request);
    QCOMPARE(statuses(answer), expected);
    const QByteArray last = answer.mid(answer.lastIndexOf("HTTP/1.1 "));
    QVERIFY(!last.contains("206") && !last.toLower().contains("multipart"));
    if (lastBody.isEmpty())
        QVERIFY2(bodyOf(last).isEmpty(), bodyOf(last).left(200).constData());
    else
        QVERIFY2(bodyOf(last).contains(lastBody), bodyOf(last).left(200).constData());
    QCOMPARE(pushCount(m_db), before + (stored ? 1 : 0));
    if (QByteArray(QTest::currentDataTag()) == "HEAD of the page") {
        // The length that a GET's body has.
        const QByteArray page = get(m_port, "/d/" + m_aliceToken);
        QVERIFY(last.contains("Content-Length: " + QByteArray::number(bodyOf(page).size())));
    }
}

// Request forms whose body or headers a front end could read otherwise than the service: each is answered 400
// and the connection ends, so that the body never runs as a request of its own.
void TestServerAttacks::smuggling_data()
{
    QTest::addColumn<QByteArray>("headers"); // between the request line and the end of the header

    const QByteArray smuggled = "GET " + pushTarget("smuggled") + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const QByteArray length = "Content-Length: " + QByteArray::number(smuggled.size()) + "\r\n";
    for (const char *coding : {"identity", "gzip", "xchunked", "chunked, identity"})
        QTest::newRow(coding) << "Transfer-Encoding: " + QByteArray(coding) + "\r\n";
    QTest::newRow("coding then length") << "Transfer-Encoding: gzip\r\n" + length;
    QTest::newRow("chunked then length") << "Transfer-Encoding: chunked\r\n" + length;
    QTest::newRow("length then chunked") << length + "Transfer-Encoding: chunked\r\n";
    QTest::newRow("obs-fold") << QByteArray("X-Note: a\r\n Transfer-Encoding: chunked\r\n");
    QTest::newRow("folded coding") << QByteArray("Transfer-Encoding:\r\n chunked\r\n");
    QTest::newRow("space before the colon") << QByteArray("Transfer-Encoding : chunked\r\n");
    QTest::newRow("tab before the colon") << "Content-Length\t: " + QByteArray::number(smuggled.size()) + "\r\n";
    QTest::newRow("length with a plus") << QByteArray("Content-Length: +5\r\n");
    QTest::newRow("negative length") << QByteArray("Content-Length: -1\r\n");
    QTest::newRow("two lengths") << length + "Content-Length: 0\r\n";
    QTest::newRow("a list of lengths") << QByteArray("Content-Length: 0, 0\r\n");
    QTest::newRow("bare line feed") << QByteArray("X-Note: a\nTransfer-Encoding: chunked\r\n");
}

void TestServerAttacks::smuggling()
{
    QFETCH(QByteArray, headers);
    const QByteArray smuggled = "GET " + pushTarget("smuggled") + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const int before = pushCount(m_db);
    Client client(m_port);
    QVERIFY(client.socket.waitForConnected(5000));
    client.socket.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n" + smuggled);
    QTRY_VERIFY_WITH_TIMEOUT(client.closed, 10000);
    QCOMPARE(statuses(client.received), QList<int>{400});
    QCOMPARE(pushCount(m_db), before);
}

// Header lines without end on several connections, far more than the memory bound: each connection is
// answered and closed once it passes 16 KB, and the service's memory does not grow with what was sent.
void TestServerAttacks::headerFlood()
{
    constexpr int connections = 4;
    constexpr int linesEach = 24 * 1000; // 24 MB each, written as the connection takes it
    const QByteArray lines = QByteArray("X-Fill: " + QByteArray(1000, 'h') + "\r\n").repeated(100);
    const qint64 before = residentKiB(m_server.processId());
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<int> written(connections, 0);
    for (int i = 0; i < connections; ++i) {
        clients.push_back(std::make_unique<Client>(m_port, QStringLiteral("127.0.1.%1").arg(i + 1)));
        Client *client = clients.back().get();
        QVERIFY(client->socket.waitForConnected(5000));
        const auto more = [client, &lines, &written, i] {
            while (!client->closed && written[i] < linesEach && client->socket.bytesToWrite() < 512 * 1024) {
                client->socket.write(lines);
                written[i] += 100;
            }
        };
        connect(&client->socket, &QTcpSocket::bytesWritten, this, more);
        client->socket.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n");
        more();
    }
    qint64 peak = 0;
    const auto allClosed = [&] {
        peak = std::max(peak, residentKiB(m_server.processId()));
        return std::all_of(clients.begin(), clients.end(), [](const auto &client) { return client->closed; });
    };
    QTRY_VERIFY_WITH_TIMEOUT(allClosed(), 30000);
    for (const auto &client : clients) {
        const QList<int> answers = statuses(client->received);
        QCOMPARE(answers.size(), 1);
        QVERIFY2(answers[0] == 431 || answers[0] == 400, client->received.left(100).constData());
    }
    qint64 sent = 0;
    for (const int count : written)
        sent += count;
    qInfo("%lld MB of header lines sent; the server's resident memory went from %lld to at most %lld KiB", sent / 1000,
          before, peak);
    QVERIFY(before > 0 && peak > 0);
    // Growth rather than size: a sanitizer build starts far bigger.
    QVERIFY(peak - before < 32 * 1024);
}

// Clients that trickle a request or keep asking on kept-alive connections hold no thread: a normal client is
// still served beside them, and the trickling ones are cut at the request deadline.
void TestServerAttacks::slowClientsAndHogs()
{
    constexpr int each = 200;
    std::vector<std::unique_ptr<Client>> slow, hogs;
    for (int i = 0; i < each; ++i) {
        // 50 per address, below the per-address limit.
        slow.push_back(std::make_unique<Client>(m_port, QStringLiteral("127.0.2.%1").arg(i / 50 + 1)));
        hogs.push_back(std::make_unique<Client>(m_port, QStringLiteral("127.0.3.%1").arg(i / 50 + 1)));
    }
    for (auto &client : slow)
        QVERIFY(client->socket.waitForConnected(5000));
    for (auto &client : hogs)
        QVERIFY(client->socket.waitForConnected(5000));
    for (auto &client : slow)
        client->socket.write("GET / HTTP/1.1\r\nX-Slow: ");
    const QByteArray hogRequest = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    for (auto &client : hogs)
        client->socket.write(hogRequest);
    // Every hog is in: each has had an answer on its connection, which it keeps.
    QTRY_VERIFY_WITH_TIMEOUT(
        std::all_of(hogs.begin(), hogs.end(), [](const auto &hog) { return !statuses(hog->received).isEmpty(); }),
        10000);
    // A byte on each slow connection and a request on each hog, again and again.
    QTimer again;
    connect(&again, &QTimer::timeout, this, [&] {
        for (auto &client : slow)
            client->socket.write("s");
        for (auto &client : hogs)
            client->socket.write(hogRequest);
    });
    again.start(500);

    const int before = pushCount(m_db);
    const QByteArray answer = get(m_port, pushTarget("beside%20the%20hogs"));
    QCOMPARE(statuses(answer), QList<int>{200});
    QCOMPARE(bodyOf(answer), QByteArray("{\"status\":\"valid\"}"));
    QCOMPARE(pushCount(m_db), before + 1);

    // No request may take longer than 10 s to arrive; the bound here leaves room for a loaded machine.
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(slow.begin(), slow.end(), [](const auto &client) { return client->closed; }),
                             30000);
    again.stop();
}

// One address holds at most 64 connections: the next is closed at once, and a place freed is usable again.
void TestServerAttacks::connectionsPerAddress()
{
    const QString from = QStringLiteral("127.0.4.1");
    const QByteArray request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::vector<std::unique_ptr<Client>> held;
    for (int i = 0; i < 64; ++i) {
        held.push_back(std::make_unique<Client>(m_port, from));
        QVERIFY(held.back()->socket.waitForConnected(5000));
        held.back()->socket.write(request);
    }
    // Each one is served, so each one has its place.
    QTRY_VERIFY_WITH_TIMEOUT(
        std::all_of(held.begin(), held.end(),
                    [](const auto &client) { return statuses(client->received) == QList<int>{200}; }),
        10000);
    Client extra(m_port, from);
    QVERIFY(extra.socket.waitForConnected(5000));
    extra.socket.write(request);
    QTRY_VERIFY_WITH_TIMEOUT(extra.closed, 5000);
    QVERIFY(extra.received.isEmpty());
    // Another address is not concerned.
    QCOMPARE(statuses(get(m_port, "/", QStringLiteral("127.0.4.2"))), QList<int>{200});

    held.clear();
    QTRY_COMPARE_WITH_TIMEOUT(statuses(get(m_port, "/", from)), QList<int>{200}, 5000);
}

// Clients that hold many connections cannot take them all: with 8 places, of which the last 2 are kept for clients
// within their share, a client that holds 5 of them is refused a sixth, lighter clients still come in, and once
// every place is taken a newcomer takes the place of the heaviest client's idlest connection.
void TestServerAttacks::connectionsWhenFull()
{
    QProcess server;
    quint16 port = 0;
    QVERIFY(start(&server, servertest::newDatabase(m_dir.filePath(QStringLiteral("full.db"))), &port, {},
                  {"--max-connections", "8", "--max-connections-per-client", "8"}));
    std::vector<std::unique_ptr<Client>> held;
    // One request answered on each, in turn: the first is the idlest.
    const auto open = [&](const QString &from) {
        held.push_back(std::make_unique<Client>(port, from));
        Client *client = held.back().get();
        if (client->socket.waitForConnected(5000))
            client->socket.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        return QTest::qWaitFor([client] { return !statuses(client->received).isEmpty() || client->closed; }, 10000) &&
               statuses(client->received) == QList<int>{200};
    };
    const QString heavy = QStringLiteral("127.0.8.1");
    for (int i = 0; i < 5; ++i)
        QVERIFY(open(heavy));
    QVERIFY(open(QStringLiteral("127.0.8.2")));
    // 6 of 8 taken: the heavy client holds more than its share (8 among 2 clients).
    QVERIFY(!open(heavy));
    QVERIFY(held.back()->received.isEmpty());
    held.pop_back();
    QVERIFY(open(QStringLiteral("127.0.8.2")));
    QVERIFY(open(QStringLiteral("127.0.8.3")));
    // Full: the newcomer is served and the heavy client's first connection is closed for it.
    QVERIFY(open(QStringLiteral("127.0.8.4")));
    QTRY_VERIFY_WITH_TIMEOUT(held.front()->closed, 5000);
    QCOMPARE(std::count_if(held.begin(), held.end(), [](const auto &client) { return client->closed; }), 1);

    server.terminate();
    QVERIFY(server.waitForFinished(10000));
}

// Sign-ins flood the password checks: each is answered (failed, slowed down or busy) without holding anything,
// and pushes go on being answered and stored meanwhile.
void TestServerAttacks::loginFlood()
{
    constexpr int logins = 300;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < logins; ++i) {
        clients.push_back(std::make_unique<Client>(m_port, QStringLiteral("127.0.5.%1").arg(i / 60 + 1)));
        QVERIFY(clients.back()->socket.waitForConnected(5000));
        clients.back()->socket.write("GET /all/login_app.php?username=nobody" + QByteArray::number(i) + "&password=" +
                                     digestOf("guess") + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    }
    const int before = pushCount(m_db);
    int valid = 0;
    for (int i = 0; i < 10; ++i) {
        const QByteArray answer = get(m_port, pushTarget("during%20logins%20" + QByteArray::number(i)));
        valid += bodyOf(answer) == "{\"status\":\"valid\"}";
    }
    QCOMPARE(valid, 10);
    QCOMPARE(pushCount(m_db), before + valid);

    QTRY_VERIFY_WITH_TIMEOUT(
        std::all_of(clients.begin(), clients.end(), [](const auto &client) { return client->closed; }), 60000);
    int failed = 0, slowed = 0, busy = 0;
    for (const auto &client : clients) {
        const QList<int> answer = statuses(client->received);
        QCOMPARE(answer.size(), 1);
        failed += answer[0] == 200 && bodyOf(client->received) == "error";
        slowed += answer[0] == 429 && client->received.contains("Retry-After: ");
        busy += answer[0] == 503 && client->received.contains("Retry-After: ");
    }
    qInfo("300 sign-ins: %d failed, %d slowed down, %d busy", failed, slowed, busy);
    QCOMPARE(failed + slowed + busy, logins);
    QVERIFY(slowed + busy > 0);
}

// Wrong passwords sent together are checked one at a time, each counted from its admission; guesses from many
// addresses at one name do not keep the real user, from an address that has not failed, from signing in.
void TestServerAttacks::signInAttack()
{
    const auto times = [](int n, const auto &value) {
        QList<std::decay_t<decltype(value)>> list;
        for (int i = 0; i < n; ++i)
            list << value;
        return list;
    };
    const auto sendAll = [this](const QStringList &from, const QList<QByteArray> &passwords) {
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < from.size(); ++i) {
            clients.push_back(std::make_unique<Client>(m_port, from[i]));
            clients.back()->socket.waitForConnected(5000);
        }
        for (int i = 0; i < from.size(); ++i)
            clients[i]->socket.write("GET /all/login_app.php?username=alice&password=" + digestOf(passwords[i]) +
                                     " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        static_cast<void>(QTest::qWaitFor(
            [&] { return std::all_of(clients.begin(), clients.end(), [](const auto &c) { return c->closed; }); },
            120000));
        QList<QByteArray> bodies;
        for (const auto &client : clients)
            bodies << (client->closed ? bodyOf(client->received) : QByteArray("(no answer)"));
        return bodies;
    };

    // Before, all ten were checked: the first failure was counted only once the queued checks had all run.
    const QList<QByteArray> burst = sendAll(times(10, QStringLiteral("127.0.12.1")), times(10, QByteArray("guess")));
    QVERIFY(!burst.contains("(no answer)"));
    // One at a time, and three from an address before the name's own delay holds it: the ten arrive together,
    // long before four checks and a second have passed.
    QVERIFY2(burst.count("error") >= 1 && burst.count("error") <= 4, burst.join(' ').constData());

    // Guessers on 16 addresses have each failed once, so that none of them is taken for the real user...
    QStringList guessers;
    for (int i = 1; i <= 16; ++i)
        guessers << QStringLiteral("127.0.13.%1").arg(i);
    for (int round = 0; round < 50 && !guessers.isEmpty(); ++round) {
        const QList<QByteArray> answers = sendAll(guessers, times(guessers.size(), QByteArray("guess")));
        for (int i = answers.size() - 1; i >= 0; --i)
            if (answers[i] == "error")
                guessers.removeAt(i);
    }
    QVERIFY(guessers.isEmpty());
    // ...then they guess again together while the real user signs in; each time the real user gets a key. Before,
    // the name's delay, set again by every failure, answered the real user 429.
    for (int i = 1; i <= 16; ++i)
        guessers << QStringLiteral("127.0.13.%1").arg(i);
    for (int round = 0; round < 3; ++round) {
        const QList<QByteArray> answers = sendAll(guessers + QStringList{QStringLiteral("127.0.0.2")},
                                                  times(16, QByteArray("guess")) << "alice password");
        QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{48}$")).match(answers.last()).hasMatch(),
                 answers.last().constData());
    }
}

// Behind a reverse proxy, the client is the one that the proxy names in X-Forwarded-For, for the sign-in limits
// and the log; a client that is not the proxy cannot choose its address so.
void TestServerAttacks::trustedProxy()
{
    QProcess server;
    quint16 port = 0;
    const QString log = m_dir.filePath(QStringLiteral("proxy.log"));
    QVERIFY(start(&server, m_db, &port, log, {"--log", "--trusted-proxy", "127.0.0.3,::1"}));
    const QByteArray request = "GET /all/login_app.php?username=alice&password=" + digestOf("wrong") +
                               " HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Forwarded-For: 192.0.2.66, 203.0.113.9\r\n"
                               "Connection: close\r\n\r\n";
    QCOMPARE(bodyOf(exchange(port, request, QStringLiteral("127.0.0.3"))), QByteArray("error"));
    QCOMPARE(bodyOf(exchange(port, request, QStringLiteral("127.0.0.4"))), QByteArray("error"));
    server.terminate();
    QVERIFY(server.waitForFinished(10000));

    QFile file(log);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray lines = file.readAll();
    QVERIFY2(lines.contains("failed sign-in for user \"alice\" from 203.0.113.9\n"), lines.constData());
    QVERIFY2(lines.contains("\n203.0.113.9 GET /all/login_app.php 200\n"), lines.constData());
    QVERIFY2(lines.contains("failed sign-in for user \"alice\" from 127.0.0.4\n"), lines.constData());
    QVERIFY2(lines.contains("\n127.0.0.4 GET /all/login_app.php 200\n"), lines.constData());
    QVERIFY(!lines.contains("192.0.2.66"));
}

// One account's pages hold at most 8 streams: its ninth opens and the page's oldest stream ends for it (anyone
// with the page's address could otherwise keep the phone out), another account's page still opens, and a closed
// stream's place is free again.
void TestServerAttacks::streamsPerAccount()
{
    const auto open = [this](const QByteArray &token) {
        auto client = std::make_unique<Client>(m_port, QStringLiteral("127.0.6.1"));
        client->socket.waitForConnected(5000);
        client->socket.write("GET /d/" + token + "/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        return client;
    };
    std::vector<std::unique_ptr<Client>> alice;
    for (int i = 0; i < 8; ++i)
        alice.push_back(open(m_aliceToken));
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(alice.begin(), alice.end(),
                                         [](const auto &client) { return client->received.contains(": connected"); }),
                             5000);
    auto ninth = open(m_aliceToken);
    QTRY_VERIFY_WITH_TIMEOUT(ninth->received.contains(": connected"), 5000);
    QCOMPARE(statuses(ninth->received), QList<int>{200});
    // One of the eight (the oldest the service accepted) gets its last chunk and is closed; no other ends.
    const auto ended = [](const std::unique_ptr<Client> &client) {
        return client->received.endsWith("\r\n0\r\n\r\n") && client->closed;
    };
    QTRY_COMPARE_WITH_TIMEOUT(std::count_if(alice.begin(), alice.end(), ended), std::ptrdiff_t(1), 5000);
    alice.erase(std::find_if(alice.begin(), alice.end(), ended));
    QVERIFY(std::none_of(alice.begin(), alice.end(), [](const auto &client) { return client->closed; }));
    alice.push_back(std::move(ninth));
    auto bob = open(m_bobToken);
    QTRY_VERIFY_WITH_TIMEOUT(bob->received.contains(": connected"), 5000);

    // The service learns of the close when it happens, not when it next writes.
    alice.front()->socket.abort();
    alice.erase(alice.begin());
    bool reopened = false;
    const auto reopen = [&] {
        if (reopened)
            return true; // QTRY evaluates its condition more than once
        auto again = open(m_aliceToken);
        static_cast<void>(QTest::qWaitFor(
            [&] {
                return again->received.contains(": connected") || again->closed || again->received.contains(" 503 ");
            },
            5000));
        reopened = again->received.contains(": connected");
        alice.push_back(std::move(again));
        return reopened;
    };
    QTRY_VERIFY_WITH_TIMEOUT(reopen(), 10000);
}

// A flood from one api key: its burst passes, every push beyond is refused with a message in the request's
// language and stored nowhere, and the device holds no more than its cap right after the burst. The rate is so
// slow that no push comes back within the test, however slow the machine.
void TestServerAttacks::pushFlood()
{
    const QString db = servertest::newDatabase(m_dir.filePath(QStringLiteral("flood.db")));
    QVERIFY(!run({"add-user", "--db", db, "carol"}, "carol password\n").isEmpty());
    const QByteArray device = QRegularExpression(QStringLiteral("device id: (\\w+)"))
                                  .match(run({"add-device", "--db", db, "carol", "phone"}).join('\n'))
                                  .captured(1)
                                  .toUtf8();
    QVERIFY(!device.isEmpty());
    QProcess server;
    quint16 port = 0;
    constexpr int burst = 60, kept = 40, pushes = 80;
    QVERIFY(start(&server, db, &port, {}, {"--push-rate", "0.001", "--keep-pushes", QString::number(kept)}));
    const QByteArray key =
        bodyOf(get(port, "/all/login_app.php?username=carol&password=" + digestOf("carol password")));
    QCOMPARE(key.size(), 48);
    const auto push = [&](int n, const QByteArray &language) {
        return exchange(
            port, "GET /all/api.php?apikey=" + key + "&msg=flood%20" + QByteArray::number(n) + "&devices=" + device +
                      " HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept-Language: " + language + "\r\nConnection: close\r\n\r\n");
    };

    QList<QByteArray> answers;
    for (int n = 0; n < pushes; ++n)
        answers << push(n, "en-GB,en;q=0.9");
    const QRegularExpression english(
        QStringLiteral(R"(^\{"status":"too many pushes","message":"too many pushes, try again in \d+ s"\}$)"));
    for (int n = 0; n < pushes; ++n) {
        QCOMPARE(statuses(answers[n]), QList<int>{200});
        if (n < burst) {
            QCOMPARE(bodyOf(answers[n]), QByteArray(R"({"status":"valid"})"));
        } else {
            QVERIFY2(english.match(QString::fromUtf8(bodyOf(answers[n]))).hasMatch(), answers[n].constData());
            QVERIFY(answers[n].contains("\r\nRetry-After: "));
        }
    }
    const QByteArray french = bodyOf(push(pushes, "fr-FR,fr;q=0.9,en;q=0.5"));
    const QRegularExpression inFrench(QString::fromUtf8(
        "^\\{\"status\":\"too many pushes\",\"message\":\"trop d'envois, réessayez dans \\d+ s\"\\}$"));
    QVERIFY2(inFrench.match(QString::fromUtf8(french)).hasMatch(), french.constData());

    // Pushes are numbered as they are stored: the burst's alone, of which the device keeps its newest.
    QCOMPARE(servertest::countRows(db, "SELECT max(id) FROM pushes"), burst);
    // PostgreSQL looks for a device's surplus with one push in 16: a few more may wait for the next look.
    const int surplus = servertest::isPostgres(db) ? 15 : 0;
    QVERIFY(servertest::countRows(db, "SELECT count(*) FROM pushes") >= kept);
    QVERIFY(servertest::countRows(db, "SELECT count(*) FROM pushes") <= kept + surplus);
    QCOMPARE(servertest::countRows(db, "SELECT min(id) FROM pushes"),
             burst + 1 - servertest::countRows(db, "SELECT count(*) FROM pushes"));
    server.terminate();
    QVERIFY(server.waitForFinished(10000));
    QCOMPARE(server.exitCode(), 0);
}

// What a client puts in its request line cannot write control bytes into the access log, and no secret of the
// request reaches it, whatever the spelling of the page's address.
void TestServerAttacks::accessLog()
{
    const QByteArray token = m_aliceToken;
    QByteArray percentToken;
    for (const char c : token)
        percentToken += '%' + QByteArray(1, c).toHex();
    const QList<QByteArray> targets = {
        "//d/" + token,
        "/./d/" + token,
        "/d/" + token + "/events/",
        "/%64/" + token,
        "/d/" + percentToken,
        "/x" + token + "y",
        "/d/" + token + "?apikey=" + m_aliceKey,
        "/all/login_app.php?username=alice&password=" + digestOf("wrong"),
        "/all/login_app.php?username=caf%C3%A9&password=" + digestOf("alice password"),
        "/\x80\xff\x1b[31m",
        "/\x1b[2J\x07",
    };
    for (const QByteArray &target : targets)
        exchange(m_port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    exchange(m_port, "G\x1b"
                     "ET / HTTP/1.1\r\n\r\n");

    QFile file(m_log);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray log = file.readAll();
    // A user name that no account has may be a password typed into the wrong field: only known names are logged.
    QVERIFY(log.contains("failed sign-in for user \"alice\""));
    QVERIFY(!log.contains("caf"));
    for (const char c : log)
        QVERIFY2(c == '\n' || (c >= 0x20 && c < 0x7f), QByteArray::number(static_cast<uchar>(c), 16).constData());
    for (const QByteArray &secret : {token, token.left(16), token.right(16), percentToken.left(24), m_aliceKey,
                                     digestOf("wrong"), digestOf("alice password")})
        QVERIFY2(!log.contains(secret), secret.constData());
}

// SIGTERM ends the service whatever its clients do. The service's own bound is 2 s; the test allows 5 s so
// that a loaded machine cannot fail it.
void TestServerAttacks::stopUnderTrickle()
{
    QProcess server;
    quint16 port = 0;
    QVERIFY(start(&server, servertest::newDatabase(m_dir.filePath(QStringLiteral("stop.db"))), &port));
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 20; ++i) {
        clients.push_back(std::make_unique<Client>(port));
        QVERIFY(clients.back()->socket.waitForConnected(5000));
        clients.back()->socket.write("GET / HTTP/1.1\r\nX-Slow: ");
    }
    int trickled = 0;
    QTimer trickle;
    connect(&trickle, &QTimer::timeout, this, [&] {
        for (auto &client : clients)
            client->socket.write("t");
        ++trickled;
    });
    trickle.start(100);
    QTRY_VERIFY_WITH_TIMEOUT(trickled >= 3, 5000);
    server.terminate();
    // Waiting with the event loop running, so that the clients go on trickling.
    QTRY_COMPARE_WITH_TIMEOUT(server.state(), QProcess::NotRunning, 5000);
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(
        std::all_of(clients.begin(), clients.end(), [](const auto &client) { return client->closed; }), 5000);
}

QTEST_GUILESS_MAIN(TestServerAttacks)
#include "tst_server_attacks.moc"
