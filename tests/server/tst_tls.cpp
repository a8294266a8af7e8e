#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>

#include <memory>
#include <vector>

namespace {

// What an https client saw: the answer's first bytes and the certificate the server showed.
struct Fetched
{
    QByteArray reply;
    QString commonName;
};

} // namespace

// tapvela-server serving HTTPS itself: a throwaway authority signs two server certificates, and a client that
// trusts only that authority talks to the real process.
class TestTls final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void servesHttps();
    void badClients_data();
    void badClients();
    void reload();
    void pendingHandshakes();
    void badStart_data();
    void badStart();

private:
    bool openssl(const QStringList &arguments);
    bool makeCertificate(const QString &name, int serial);
    QString path(const QString &name) const { return m_dir.filePath(name); }
    bool install(const QString &name);
    void connectTls(QSslSocket *socket, quint16 port = 0);
    Fetched fetch();

    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_server;
    quint16 m_port = 0;
    QByteArray m_errors;
};

bool TestTls::openssl(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral(TAPVELA_OPENSSL), arguments);
    const bool done =
        process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!done)
        qWarning("openssl %s: %s", qPrintable(arguments.join(' ')), process.readAll().constData());
    return done;
}

// NAME.pem holds the certificate followed by the authority's (a chain), NAME.key its key.
bool TestTls::makeCertificate(const QString &name, int serial)
{
    const QString key = path(name + ".key"), request = path(name + ".csr"), leaf = path(name + ".leaf");
    if (!openssl({"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", key,
                  "-out", request, "-subj", "/CN=" + name}) ||
        !openssl({"x509", "-req", "-in", request, "-CA", path("ca.pem"), "-CAkey", path("ca.key"), "-set_serial",
                  QString::number(serial), "-days", "2", "-extfile", path("san.cnf"), "-out", leaf}))
        return false;
    QFile leafFile(leaf), caFile(path("ca.pem")), chain(path(name + ".pem"));
    if (!leafFile.open(QIODevice::ReadOnly) || !caFile.open(QIODevice::ReadOnly) || !chain.open(QIODevice::WriteOnly))
        return false;
    return chain.write(leafFile.readAll() + caFile.readAll()) > 0;
}

// Puts NAME's certificate and key where the server reads them.
bool TestTls::install(const QString &name)
{
    for (const QString &suffix : {QStringLiteral(".pem"), QStringLiteral(".key")}) {
        QFile::remove(path("server" + suffix));
        if (!QFile::copy(path(name + suffix), path("server" + suffix)))
            return false;
    }
    return true;
}

void TestTls::connectTls(QSslSocket *socket, quint16 port)
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setCaCertificates(QSslCertificate::fromPath(path("ca.pem")));
    socket->setSslConfiguration(config);
    socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port ? port : m_port);
    socket->waitForEncrypted(10000);
}

Fetched TestTls::fetch()
{
    QSslSocket socket;
    connectTls(&socket);
    if (!socket.isEncrypted())
        return {};
    socket.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    Fetched fetched;
    while (socket.waitForReadyRead(10000))
        fetched.reply += socket.readAll();
    fetched.reply += socket.readAll();
    fetched.commonName = socket.peerCertificate().subjectInfo(QSslCertificate::CommonName).value(0);
    return fetched;
}

void TestTls::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QFile san(path("san.cnf"));
    QVERIFY(san.open(QIODevice::WriteOnly));
    san.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    san.close();
    QVERIFY(openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
                     path("ca.key"), "-out", path("ca.pem"), "-days", "2", "-subj", "/CN=throwaway test authority"}));
    QVERIFY(makeCertificate(QStringLiteral("first"), 1));
    QVERIFY(makeCertificate(QStringLiteral("second"), 2));
    QVERIFY(install(QStringLiteral("first")));

    m_server = std::make_unique<QProcess>();
    connect(m_server.get(), &QProcess::readyReadStandardError, this,
            [this] { m_errors += m_server->readAllStandardError(); });
    m_server->start(QStringLiteral(TAPVELA_SERVER), {"serve", "--port", "0", "--db", path("push.db"), "--tls-cert",
                                                     path("server.pem"), "--tls-key", path("server.key")});
    QVERIFY(m_server->waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(m_server->canReadLine(), 15000);
    const QString line = QString::fromUtf8(m_server->readLine()).trimmed();
    const auto match = QRegularExpression(QStringLiteral("^listening on https://127\\.0\\.0\\.1:(\\d+)$")).match(line);
    QVERIFY2(match.hasMatch(), qPrintable(line));
    m_port = static_cast<quint16>(match.captured(1).toUInt());
}

void TestTls::cleanupTestCase()
{
    if (m_server) {
        m_server->terminate();
        QVERIFY(m_server->waitForFinished(5000));
        QCOMPARE(m_server->exitCode(), 0);
    }
}

void TestTls::servesHttps()
{
    const Fetched fetched = fetch();
    QVERIFY2(fetched.reply.startsWith("HTTP/1.1 200 "), fetched.reply.left(200).constData());
    QVERIFY(fetched.reply.contains("tapvela-server"));
    QCOMPARE(fetched.commonName, QStringLiteral("first"));
}

void TestTls::badClients_data()
{
    QTest::addColumn<QByteArray>("sent");
    // Plain http on the https port: no answer can be read as one, and nothing else suffers.
    QTest::newRow("plain http") << QByteArray("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    // A client that never begins its handshake loses its place within the request deadline (10 s).
    QTest::newRow("silent") << QByteArray();
}

void TestTls::badClients()
{
    QFETCH(QByteArray, sent);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(socket.waitForConnected(5000));
    socket.write(sent);
    QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 15000);
    QVERIFY(!socket.readAll().contains("HTTP/1.1 200"));
    QVERIFY(fetch().reply.startsWith("HTTP/1.1 200 "));
}

void TestTls::reload()
{
    // Opened before the renewal: it keeps its certificate and goes on serving.
    QSslSocket open;
    connectTls(&open);
    QVERIFY(open.isEncrypted());

    QVERIFY(install(QStringLiteral("second")));
    QCOMPARE(::kill(static_cast<pid_t>(m_server->processId()), SIGHUP), 0);
    QTRY_VERIFY_WITH_TIMEOUT(m_errors.contains("certificate read again"), 10000);
    const Fetched renewed = fetch();
    QVERIFY(renewed.reply.startsWith("HTTP/1.1 200 "));
    QCOMPARE(renewed.commonName, QStringLiteral("second"));

    open.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QVERIFY(open.waitForReadyRead(10000));
    QVERIFY(open.readAll().startsWith("HTTP/1.1 200 "));
    QCOMPARE(open.peerCertificate().subjectInfo(QSslCertificate::CommonName).value(0), QStringLiteral("first"));

    // A broken file on the next signal: the certificate in use stays.
    QFile broken(path("server.pem"));
    QVERIFY(broken.open(QIODevice::WriteOnly | QIODevice::Truncate));
    broken.write("-----BEGIN CERTIFICATE-----\nnot one\n-----END CERTIFICATE-----\n");
    broken.close();
    QCOMPARE(::kill(static_cast<pid_t>(m_server->processId()), SIGHUP), 0);
    QTRY_VERIFY_WITH_TIMEOUT(m_errors.contains("kept the previous certificate"), 10000);
    QCOMPARE(fetch().commonName, QStringLiteral("second"));
    QVERIFY(install(QStringLiteral("second")));
}

// Handshakes that never end hold about 90 KB each: at most 4 are pending here, a fifth takes the place of the
// oldest, and a client that completes its handshake gets through among them. Their deadline (600 s) plays no
// part: whatever is closed was closed for a newcomer.
void TestTls::pendingHandshakes()
{
    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(QStringLiteral(TAPVELA_SERVER),
                 {"serve", "--port", "0", "--db", path("pending.db"), "--tls-cert", path("server.pem"), "--tls-key",
                  path("server.key"), "--max-tls-handshakes", "4", "--tls-handshake-seconds", "600"});
    QVERIFY(server.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(server.canReadLine(), 15000);
    const auto match = QRegularExpression(QStringLiteral("https://127\\.0\\.0\\.1:(\\d+)"))
                           .match(QString::fromUtf8(server.readLine()));
    QVERIFY(match.hasMatch());
    const auto port = static_cast<quint16>(match.captured(1).toUInt());

    // Connected in turn, so that the service takes them in this order, and silent.
    std::vector<std::unique_ptr<QTcpSocket>> silent;
    for (int i = 0; i < 8; ++i) {
        silent.push_back(std::make_unique<QTcpSocket>());
        silent.back()->connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(silent.back()->waitForConnected(5000));
    }
    QSslSocket complete;
    connectTls(&complete, port);
    QVERIFY2(complete.isEncrypted(), qPrintable(complete.errorString()));
    complete.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QVERIFY(complete.waitForReadyRead(10000));
    QVERIFY(complete.readAll().startsWith("HTTP/1.1 200 "));
    // The 4 oldest gave their place to the next 4, and the fifth to the complete handshake.
    for (int i = 0; i < 5; ++i)
        QTRY_COMPARE_WITH_TIMEOUT(silent[i]->state(), QAbstractSocket::UnconnectedState, 10000);
    for (int i = 5; i < 8; ++i)
        QCOMPARE(silent[i]->state(), QAbstractSocket::ConnectedState);

    server.terminate();
    QVERIFY(server.waitForFinished(10000));
}

void TestTls::badStart_data()
{
    QTest::addColumn<QStringList>("tls");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("no such certificate") << QStringList{"--tls-cert", path("none.pem"), "--tls-key", path("first.key")}
                                         << QByteArray("cannot read");
    QTest::newRow("another certificate's key")
        << QStringList{"--tls-cert", path("first.pem"), "--tls-key", path("second.key")}
        << QByteArray("does not belong");
    QTest::newRow("a key as the certificate")
        << QStringList{"--tls-cert", path("first.key"), "--tls-key", path("first.key")} << QByteArray("certificate");
    QTest::newRow("no key") << QStringList{"--tls-cert", path("first.pem")} << QByteArray("go together");
}

void TestTls::badStart()
{
    QFETCH(QStringList, tls);
    QFETCH(QByteArray, message);
    QProcess process;
    process.start(QStringLiteral(TAPVELA_SERVER), QStringList{"serve", "--port", "0", "--db", path("other.db")} + tls);
    QVERIFY(process.waitForFinished(15000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY(process.exitCode() != 0);
    QVERIFY(!process.readAllStandardOutput().contains("listening"));
    const QByteArray errors = process.readAllStandardError();
    QVERIFY2(errors.contains(message), errors.constData());
}

QTEST_GUILESS_MAIN(TestTls)
#include "tst_tls.moc"
