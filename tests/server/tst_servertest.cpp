#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "servertest.h"

using servertest::countRows;
using servertest::execute;
using servertest::queryRows;

// The database helpers of the process tests, on SQLite files and, under the PostgreSQL fixture, on a real server:
// what a process test reads back must be what was written, and its reads must not change the store.
class TestServerTest final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void databasesApart();
    void writeAndReadBack();

private:
    QString database(const QString &name);

    QTemporaryDir m_dir;
};

// A new empty database: an empty file is an empty SQLite database.
QString TestServerTest::database(const QString &name)
{
    const QString path = m_dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    return servertest::newDatabase(path);
}

void TestServerTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void TestServerTest::databasesApart()
{
    const QString first = database(QStringLiteral("first.db")), second = database(QStringLiteral("second.db"));
    const bool postgres = qEnvironmentVariableIsSet("TAPVELA_TEST_POSTGRES_FILE");
    QCOMPARE(servertest::isPostgres(first), postgres);
    if (!postgres)
        QCOMPARE(first, m_dir.filePath(QStringLiteral("first.db")));
    QVERIFY(first != second);
    QCOMPARE(execute(first, "CREATE TABLE mine (id INTEGER PRIMARY KEY)"), 0);
    QCOMPARE(countRows(first, "SELECT count(*) FROM mine"), 0);
    QCOMPARE(countRows(second, "SELECT count(*) FROM mine"), -1);
}

void TestServerTest::writeAndReadBack()
{
    const QString db = database(QStringLiteral("rows.db"));
    const bool postgres = servertest::isPostgres(db);
    QCOMPARE(execute(db, QByteArray("CREATE TABLE keys (id INTEGER PRIMARY KEY, name TEXT, hash ") +
                             (postgres ? "BYTEA" : "BLOB") + ")"),
             0);
    QCOMPARE(execute(db, "INSERT INTO keys VALUES (1, 'zoë', " + servertest::bytesLiteral(db, "00ff04") +
                             "); INSERT INTO keys VALUES (2, NULL, " + servertest::bytesLiteral(db, "") +
                             "), (3, 'x', " + servertest::bytesLiteral(db, "41") + ")"),
             2); // the last statement's rows
    QCOMPARE(queryRows(db, postgres ? "SELECT id, name, encode(hash, 'hex') FROM keys ORDER BY id"
                                    : "SELECT id, name, lower(hex(hash)) FROM keys ORDER BY id"),
             (QStringList{QStringLiteral("1|zoë|00ff04"), QStringLiteral("2||"), QStringLiteral("3|x|41")}));
    QCOMPARE(countRows(db, "SELECT max(id) FROM keys WHERE id > 3"), 0);
    QCOMPARE(countRows(db, "SELECT id FROM keys WHERE id > 3"), -1);
    QCOMPARE(execute(db, "DELETE FROM keys WHERE id = 3"), 1);
    QCOMPARE(execute(db, "INSERT INTO nowhere VALUES (1)"), -1);
    // Reads are read-only: a write slipped into one is refused.
    QCOMPARE(countRows(db, "DELETE FROM keys"), -1);
    QCOMPARE(queryRows(db, "DELETE FROM keys"), QStringList());
    QCOMPARE(countRows(db, "SELECT count(*) FROM keys"), 2);
}

QTEST_GUILESS_MAIN(TestServerTest)
#include "tst_servertest.moc"
