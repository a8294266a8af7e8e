#include "servertest.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QUrl>

#include <libpq-fe.h>
#include <sqlite3.h>

#include <atomic>
#include <memory>

namespace servertest {

namespace {

// Undoes HTTP/1.1 chunked framing.
QByteArray dechunked(QByteArray data)
{
    QByteArray out;
    while (!data.isEmpty()) {
        const int lineEnd = data.indexOf("\r\n");
        const int size = data.left(lineEnd).toInt(nullptr, 16);
        if (lineEnd < 0 || size == 0)
            break;
        out += data.mid(lineEnd + 2, size);
        data = data.mid(lineEnd + 2 + size + 2);
    }
    return out;
}

using Connection = std::unique_ptr<PGconn, decltype(&PQfinish)>;
using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

// A connection to a database named by URL, or null (said as a warning) when it cannot be had. The tests' own
// connections need no TLS; a read-only one cannot change what the service stored.
Connection connectPostgres(const QString &url, bool readOnly)
{
    const QByteArray address = url.toUtf8();
    const char *keys[] = {"dbname", "sslmode", "connect_timeout", readOnly ? "options" : nullptr, nullptr};
    const char *values[] = {address.constData(), "disable", "10", "-c default_transaction_read_only=on", nullptr};
    Connection connection(PQconnectdbParams(keys, values, 1), &PQfinish);
    if (PQstatus(connection.get()) != CONNECTION_OK) {
        qWarning("cannot connect to %s: %s", address.constData(), PQerrorMessage(connection.get()));
        return Connection(nullptr, &PQfinish);
    }
    return connection;
}

// The result of `sql` when it succeeded, or null (said as a warning).
Result run(PGconn *connection, const char *sql)
{
    Result result(PQexec(connection, sql), &PQclear);
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
        qWarning("%s: %s", sql, PQerrorMessage(connection));
        return Result(nullptr, &PQclear);
    }
    return result;
}

QStringList sqliteRows(const QString &path, const char *sql)
{
    QStringList rows;
    sqlite3 *handle = nullptr;
    if (sqlite3_open_v2(path.toUtf8().constData(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(handle, 5000);
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(handle, sql, -1, &statement, nullptr) == SQLITE_OK) {
            while (sqlite3_step(statement) == SQLITE_ROW) {
                QStringList columns;
                for (int i = 0; i < sqlite3_column_count(statement); ++i)
                    columns << QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, i)));
                rows << columns.join(QLatin1Char('|'));
            }
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(handle);
    return rows;
}

QStringList postgresRows(const QString &url, const char *sql)
{
    QStringList rows;
    const Connection connection = connectPostgres(url, true);
    const Result result = connection ? run(connection.get(), sql) : Result(nullptr, &PQclear);
    for (int row = 0; result && row < PQntuples(result.get()); ++row) {
        QStringList columns;
        for (int column = 0; column < PQnfields(result.get()); ++column)
            columns << QString::fromUtf8(PQgetvalue(result.get(), row, column));
        rows << columns.join(QLatin1Char('|'));
    }
    return rows;
}

} // namespace

quint16 startServer(QProcess &process, const QString &program, const QString &database, const QStringList &options)
{
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, QStringList{"serve", "--port", "0", "--db", database} + options);
    if (!process.waitForStarted(5000))
        return 0;
    while (!process.canReadLine())
        if (!process.waitForReadyRead(15000))
            return 0;
    const QByteArray line = process.readLine().trimmed();
    const QByteArray prefix = "listening on http://127.0.0.1:";
    return line.startsWith(prefix) ? static_cast<quint16>(line.mid(prefix.size()).toUInt()) : 0;
}

bool isPostgres(const QString &database)
{
    return database.startsWith(QLatin1String("postgresql://"));
}

QString newDatabase(const QString &sqlitePath)
{
    const QString addressFile = qEnvironmentVariable("TAPVELA_TEST_POSTGRES_FILE");
    if (addressFile.isEmpty())
        return sqlitePath;
    QFile file(addressFile);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("TAPVELA_TEST_POSTGRES_FILE: cannot read %s", qPrintable(addressFile));
    QUrl url(QString::fromUtf8(file.readAll().trimmed()));
    const Connection connection = connectPostgres(url.toString(), false);
    if (!connection)
        qFatal("no PostgreSQL server at %s", qPrintable(url.toString()));
    // Unique among the test processes that share the server, and among a test's own databases.
    static std::atomic<int> made{0};
    const QString name = QStringLiteral("t_%1_%2_%3")
                             .arg(QCoreApplication::applicationPid())
                             .arg(++made)
                             .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    // CREATE DATABASE runs outside a transaction: a statement of its own.
    if (!run(connection.get(), qPrintable(QStringLiteral("CREATE DATABASE \"%1\"").arg(name))))
        qFatal("cannot create the database %s", qPrintable(name));
    url.setPath(QLatin1Char('/') + name);
    return url.toString();
}

QByteArray digestOf(const QByteArray &password)
{
    return QCryptographicHash::hash(password, QCryptographicHash::Sha1).toHex();
}

HttpReply rawRequest(quint16 port, const QByteArray &method, const QByteArray &target, const QByteArray &host)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return {};
    socket.write(method + ' ' + target + " HTTP/1.1\r\n" + (host.isEmpty() ? QByteArray() : "Host: " + host + "\r\n") +
                 "Connection: close\r\n\r\n");
    QByteArray data;
    while (socket.waitForReadyRead(10000))
        data += socket.readAll();
    data += socket.readAll();
    HttpReply reply;
    const int headerEnd = data.indexOf("\r\n\r\n");
    if (!data.startsWith("HTTP/1.1 ") || headerEnd < 0)
        return reply;
    reply.status = data.mid(9, 3).toInt();
    reply.headers = data.left(headerEnd);
    reply.body = data.mid(headerEnd + 4);
    if (reply.headers.toLower().contains("transfer-encoding: chunked"))
        reply.body = dechunked(reply.body);
    return reply;
}

QByteArray runProgram(const QString &program, const QStringList &arguments, const QByteArray &input, int timeoutMs,
                      int *exitCode)
{
    if (exitCode)
        *exitCode = -1;
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(5000))
        return {};
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs))
        return {};
    if (exitCode && process.exitStatus() == QProcess::NormalExit)
        *exitCode = process.exitCode();
    return process.readAllStandardOutput();
}

QStringList runCommand(const QString &program, const QStringList &arguments, const QByteArray &input, int *exitCode)
{
    return QString::fromUtf8(runProgram(program, arguments, input, 30000, exitCode))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

int countRows(const QString &database, const char *sql)
{
    if (isPostgres(database)) {
        const QStringList rows = postgresRows(database, sql);
        // NULL (a max over no row) is 0, as sqlite3_column_int has it.
        return rows.isEmpty() ? -1 : rows.first().section(QLatin1Char('|'), 0, 0).toInt();
    }
    int value = -1;
    sqlite3 *handle = nullptr;
    if (sqlite3_open_v2(database.toUtf8().constData(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(handle, 5000);
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(handle, sql, -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            value = sqlite3_column_int(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(handle);
    return value;
}

QStringList queryRows(const QString &database, const char *sql)
{
    return isPostgres(database) ? postgresRows(database, sql) : sqliteRows(database, sql);
}

int execute(const QString &database, const QByteArray &sql)
{
    if (isPostgres(database)) {
        const Connection connection = connectPostgres(database, false);
        // Several statements in one call run as one transaction; the result is the last one's.
        const Result result = connection ? run(connection.get(), sql.constData()) : Result(nullptr, &PQclear);
        return result ? QByteArray(PQcmdTuples(result.get())).toInt() : -1;
    }
    int changed = -1;
    sqlite3 *handle = nullptr;
    if (sqlite3_open_v2(database.toUtf8().constData(), &handle, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(handle, 10000);
        if (sqlite3_exec(handle, sql.constData(), nullptr, nullptr, nullptr) == SQLITE_OK)
            changed = sqlite3_changes(handle);
    }
    sqlite3_close(handle);
    return changed;
}

QByteArray bytesLiteral(const QString &database, const QByteArray &hex)
{
    return isPostgres(database) ? "'\\x" + hex + "'::bytea" : "x'" + hex + '\'';
}

} // namespace servertest
