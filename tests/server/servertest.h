#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class QProcess;

// What the tests that run the server share: a program (the service's command line among others) run as a process,
// one raw HTTP request, a count read straight from the database.
namespace servertest {

struct HttpReply
{
    int status = 0; // 0 when no complete answer came
    QByteArray headers;
    QByteArray body; // de-chunked
};

// The password digest the desktop program sends.
QByteArray digestOf(const QByteArray &password);

// One request written byte for byte, so that the target reaches the server exactly as given (a URL class would
// repair the malformed escapes that some tests need), on a connection closed after the answer. An empty `host`
// sends no Host header.
HttpReply rawRequest(quint16 port, const QByteArray &method, const QByteArray &target,
                     const QByteArray &host = "127.0.0.1");

// Runs a program to its end with `input` on its standard input; its standard output, or nothing when it did not
// start or did not end within `timeoutMs`. `exitCode` gets -1 for a crash or a program that did not end in time.
QByteArray runProgram(const QString &program, const QStringList &arguments, const QByteArray &input = {},
                      int timeoutMs = 30000, int *exitCode = nullptr);

// A tapvela-server command run so: its standard output's lines.
QStringList runCommand(const QString &program, const QStringList &arguments, const QByteArray &input = {},
                       int *exitCode = nullptr);

// The tests run against SQLite files, and against PostgreSQL when TAPVELA_TEST_POSTGRES_FILE names a file that holds
// a server's address (the CTest fixture that starts one writes it). A database is then a postgresql:// URL.
bool isPostgres(const QString &database);

// The database a test gives the service: `sqlitePath` itself, or a new, empty PostgreSQL database of its own (several
// test processes share the server) whose URL it returns. Stops the test when the server cannot make one.
QString newDatabase(const QString &sqlitePath);

// Starts `program serve --port 0 --db database` with `options`, its errors going to the test's; the port it
// listens on, 0 when it did not start within 15 s.
quint16 startServer(QProcess &process, const QString &program, const QString &database,
                    const QStringList &options = {});

// The first column of the first row of `sql`, read-only; -1 when the database cannot answer.
int countRows(const QString &database, const char *sql);

// Each row of `sql`, read-only, its columns joined by '|' (NULL as empty text).
QStringList queryRows(const QString &database, const char *sql);

// Runs `sql` (statements separated by ';') as another client would while the service runs: the number of rows its
// last statement changed, or -1 when it failed.
int execute(const QString &database, const QByteArray &sql);

// A literal of bytes given in hex, as the database's SQL writes it.
QByteArray bytesLiteral(const QString &database, const QByteArray &hex);

} // namespace servertest
