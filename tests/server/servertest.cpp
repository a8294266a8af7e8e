#include "servertest.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QProcess>
#include <QTcpSocket>

#include <sqlite3.h>

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

} // namespace

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

} // namespace servertest
