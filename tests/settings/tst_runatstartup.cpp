#include "settings/runatstartup.h"
#include "settingstest.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Run with this argument the test executable only enables the entry and ends: a program started through a
// relative path, as a user's shell or a shortcut may start it.
const char enableArgument[] = "--enable-run-at-startup";

QString programName()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).fileName();
}

#ifdef Q_OS_WIN

const QString runKey = QStringLiteral("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");

// Runs Windows' own reg.exe; its exit code, and its output in out.
int reg(const QStringList &arguments, QString *out = nullptr)
{
    QProcess process;
    process.start(QStringLiteral("reg.exe"), arguments);
    if (!process.waitForFinished(30000))
        return -1;
    if (out)
        *out = QString::fromLocal8Bit(process.readAllStandardOutput());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

// The value as reg.exe reads it back, with its type; a null text when there is none.
QString storedValue(QString *type = nullptr)
{
    QString out;
    if (reg({QStringLiteral("query"), runKey, QStringLiteral("/v"), QStringLiteral("tapvela")}, &out) != 0)
        return QString();
    // "    tapvela    REG_SZ    "C:\...\tapvela.exe" silent"
    for (const QString &line : out.split(QLatin1Char('\n'))) {
        const QString trimmed = line.trimmed();
        if (!trimmed.startsWith(QLatin1String("tapvela ")))
            continue;
        const QStringList parts = trimmed.split(QStringLiteral("    "));
        if (type)
            *type = parts.value(1).trimmed();
        return parts.size() < 3 ? QStringLiteral("") : parts.mid(2).join(QStringLiteral("    "));
    }
    return QString();
}

void writeRawValue(const QString &type, const QString &data)
{
    QCOMPARE(reg({QStringLiteral("add"), runKey, QStringLiteral("/v"), QStringLiteral("tapvela"), QStringLiteral("/t"),
                  type, QStringLiteral("/d"), data, QStringLiteral("/f")}),
             0);
}

void removeRawValue()
{
    reg({QStringLiteral("delete"), runKey, QStringLiteral("/v"), QStringLiteral("tapvela"), QStringLiteral("/f")});
}

#else

QString entryPath(const QString &configHome)
{
    return configHome + QStringLiteral("/autostart/tapvela.desktop");
}

QString entryPath()
{
    return entryPath(QFile::decodeName(qgetenv("XDG_CONFIG_HOME")));
}

void writeRawEntry(const QByteArray &contents)
{
    QVERIFY(QDir().mkpath(QFileInfo(entryPath()).path()));
    QFile file(entryPath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(contents), qint64(contents.size()));
}

// The Exec value of the entry as written in the file; a null text when there is no entry.
QString storedValue()
{
    return settingstest::startEntryCommand();
}

#endif

} // namespace

class TestRunAtStartup : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void programIsAbsoluteAndNative();
    void enableThenDisable();
    void disableWhenAbsentIsQuiet();
    void enableReplacesAnotherEntry();
    void relativeStartStoresAbsolutePath();
    void commandLine_data();
    void commandLine();
#ifdef Q_OS_WIN
    void valueIsRegSz();
    void valueSize_data();
    void valueSize();
#else
    void entryContents();
    void enabledStates_data();
    void enabledStates();
    void directoryInPlace();
    void unreadableEntry();
    void defaultDirectory_data();
    void defaultDirectory();
    void launcherReadsExecBack();
#endif

private:
    QTemporaryDir scratch;
    QByteArray savedHome;
};

void TestRunAtStartup::init()
{
    QVERIFY(scratch.isValid());
#ifdef Q_OS_WIN
    removeRawValue();
#else
    savedHome = qgetenv("HOME");
    QVERIFY(QDir(scratch.path()).removeRecursively());
    QVERIFY(QDir().mkpath(scratch.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(scratch.filePath(QStringLiteral("config"))));
#endif
    QVERIFY(!isRunAtStartupEnabled());
}

void TestRunAtStartup::cleanup()
{
    // Whatever a case wrote goes again.
    disableRunAtStartup();
#ifdef Q_OS_WIN
    removeRawValue();
#else
    qputenv("HOME", savedHome);
#endif
}

void TestRunAtStartup::programIsAbsoluteAndNative()
{
    const QString program = runAtStartupProgram();
    QVERIFY(QDir::isAbsolutePath(QDir::fromNativeSeparators(program)));
    QCOMPARE(program, QDir::toNativeSeparators(QCoreApplication::applicationFilePath()));
    QVERIFY(QFileInfo::exists(program));
}

void TestRunAtStartup::enableThenDisable()
{
    QVERIFY(storedValue().isNull());
    QVERIFY(enableRunAtStartup());
    QVERIFY(isRunAtStartupEnabled());
    const QString stored = storedValue();
    QCOMPARE(stored, runAtStartupCommand(runAtStartupProgram()));
    QVERIFY(stored.startsWith(QLatin1Char('"')));
    QVERIFY(stored.endsWith(QLatin1String("\" silent")));
    QVERIFY(stored.contains(programName()));

    QVERIFY(disableRunAtStartup());
    QVERIFY(!isRunAtStartupEnabled());
    QVERIFY(storedValue().isNull());
}

void TestRunAtStartup::disableWhenAbsentIsQuiet()
{
    QVERIFY(disableRunAtStartup());
    QVERIFY(disableRunAtStartup());
    QVERIFY(!isRunAtStartupEnabled());
    QVERIFY(storedValue().isNull());
}

void TestRunAtStartup::enableReplacesAnotherEntry()
{
    // A program moved since the entry was written repairs it by enabling again.
#ifdef Q_OS_WIN
    writeRawValue(QStringLiteral("REG_SZ"), QStringLiteral("\"C:\\Old\\tapvela.exe\" silent"));
#else
    writeRawEntry("[Desktop Entry]\nType=Application\nName=tapvela\nExec=\"/old/tapvela\" silent\nHidden=true\n");
#endif
    QVERIFY(!storedValue().isNull());
    QVERIFY(enableRunAtStartup());
    QVERIFY(isRunAtStartupEnabled());
    QCOMPARE(storedValue(), runAtStartupCommand(runAtStartupProgram()));
}

void TestRunAtStartup::relativeStartStoresAbsolutePath()
{
    const QString directory = QCoreApplication::applicationDirPath();
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(directory));
    QProcess child;
    child.setWorkingDirectory(directory);
#ifdef Q_OS_WIN
    child.start(programName(), {QLatin1String(enableArgument)});
#else
    child.start(QStringLiteral("./") + programName(), {QLatin1String(enableArgument)});
#endif
    const bool finished = child.waitForFinished(60000);
    QDir::setCurrent(before);
    QVERIFY(finished);
    QCOMPARE(child.exitCode(), 0);
    QVERIFY(isRunAtStartupEnabled());
    QCOMPARE(storedValue(), runAtStartupCommand(runAtStartupProgram()));
}

// The command line stored for a program path; each system has its own rows, below.
void TestRunAtStartup::commandLine()
{
    QFETCH(QString, program);
    QFETCH(QString, command);
    QCOMPARE(runAtStartupCommand(program), command);
}

#ifdef Q_OS_WIN

void TestRunAtStartup::commandLine_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("command");
    QTest::newRow("plain") << "C:\\Tools\\tapvela.exe"
                           << "\"C:\\Tools\\tapvela.exe\" silent";
    QTest::newRow("spaces") << "C:\\Program Files\\tapvela\\tapvela.exe"
                            << "\"C:\\Program Files\\tapvela\\tapvela.exe\" silent";
    QTest::newRow("unicode") << "C:\\Users\\Zoë\\Programme\\tapvela.exe"
                             << "\"C:\\Users\\Zoë\\Programme\\tapvela.exe\" silent";
}

void TestRunAtStartup::valueIsRegSz()
{
    QVERIFY(enableRunAtStartup());
    QString type;
    const QString stored = storedValue(&type);
    QCOMPARE(type, QStringLiteral("REG_SZ"));
    // An absolute path with a drive, never the name the program was started by.
    QVERIFY(stored.mid(1, 3).endsWith(QLatin1String(":\\")));
}

void TestRunAtStartup::valueSize_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("data");
    QTest::addColumn<bool>("enabled");
    // UTF-16 with its terminating null: n characters take 2n + 2 bytes, and 755 bytes are read.
    QTest::newRow("754 bytes") << "REG_SZ" << QString(376, QLatin1Char('x')) << true;
    QTest::newRow("756 bytes") << "REG_SZ" << QString(377, QLatin1Char('x')) << false;
    QTest::newRow("2 KiB") << "REG_SZ" << QString(1024, QLatin1Char('x')) << false;
    QTest::newRow("empty text") << "REG_SZ" << QString() << true;
    QTest::newRow("another type") << "REG_DWORD"
                                  << "1" << true;
}

void TestRunAtStartup::valueSize()
{
    QFETCH(QString, type);
    QFETCH(QString, data);
    QFETCH(bool, enabled);
    writeRawValue(type, data);
    QVERIFY(!storedValue().isNull());
    QCOMPARE(isRunAtStartupEnabled(), enabled);
    // Whatever was there, disabling removes it.
    QVERIFY(disableRunAtStartup());
    QVERIFY(storedValue().isNull());
}

#else

void TestRunAtStartup::commandLine_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("command");
    QTest::newRow("plain") << "/usr/bin/tapvela"
                           << "\"/usr/bin/tapvela\" silent";
    QTest::newRow("spaces") << "/opt/my apps/tapvela"
                            << "\"/opt/my apps/tapvela\" silent";
    QTest::newRow("double quote") << "/opt/a\"b/tapvela"
                                  << "\"/opt/a\\\\\"b/tapvela\" silent";
    QTest::newRow("backslash") << "/opt/a\\b/tapvela"
                               << "\"/opt/a\\\\\\\\b/tapvela\" silent";
    QTest::newRow("dollar") << "/opt/$HOME/tapvela"
                            << "\"/opt/\\\\$HOME/tapvela\" silent";
    QTest::newRow("backtick") << "/opt/`id`/tapvela"
                              << "\"/opt/\\\\`id\\\\`/tapvela\" silent";
    QTest::newRow("percent") << "/opt/100%/tapvela"
                             << "\"/opt/100%%/tapvela\" silent";
    QTest::newRow("shell characters") << "/opt/a'b;c&d|e(f)*?~<>#/tapvela"
                                      << "\"/opt/a'b;c&d|e(f)*?~<>#/tapvela\" silent";
    QTest::newRow("line break and tab") << "/opt/a\nb\tc/tapvela"
                                        << "\"/opt/a\\nb\\tc/tapvela\" silent";
    QTest::newRow("unicode") << "/home/zoë/bin/tapvela"
                             << "\"/home/zoë/bin/tapvela\" silent";
}

void TestRunAtStartup::entryContents()
{
    QVERIFY(!QFileInfo::exists(entryPath()));
    QVERIFY(enableRunAtStartup());
    QFile file(entryPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString expected = QStringLiteral("[Desktop Entry]\nType=Application\nName=tapvela\nExec=") +
                             runAtStartupCommand(runAtStartupProgram()) +
                             QStringLiteral("\nX-GNOME-Autostart-enabled=true\n");
    QCOMPARE(QString::fromUtf8(file.readAll()), expected);
}

void TestRunAtStartup::enabledStates_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<bool>("enabled");
    const QByteArray head("[Desktop Entry]\nType=Application\nName=tapvela\nExec=\"/usr/bin/tapvela\" silent\n");
    QTest::newRow("plain entry") << head << true;
    QTest::newRow("Hidden=true") << head + "Hidden=true\n" << false;
    QTest::newRow("Hidden = true, spaced") << head + "Hidden = true\n" << false;
    QTest::newRow("Hidden=false") << head + "Hidden=false\n" << true;
    QTest::newRow("Hidden=true in another group") << head + "[Desktop Action quit]\nHidden=true\n" << true;
    QTest::newRow("Hidden=true commented out") << head + "#Hidden=true\n" << true;
    QTest::newRow("switched off in GNOME") << head + "X-GNOME-Autostart-enabled=false\n" << false;
    QTest::newRow("switched on in GNOME") << head + "X-GNOME-Autostart-enabled=true\n" << true;
    QTest::newRow("empty file") << QByteArray() << true;
}

void TestRunAtStartup::enabledStates()
{
    QFETCH(QByteArray, contents);
    QFETCH(bool, enabled);
    writeRawEntry(contents);
    QCOMPARE(isRunAtStartupEnabled(), enabled);
    QVERIFY(disableRunAtStartup());
    QVERIFY(!QFileInfo::exists(entryPath()));
}

void TestRunAtStartup::directoryInPlace()
{
    // A directory where the file should be cannot be read as an entry, nor removed as one.
    QVERIFY(QDir().mkpath(entryPath()));
    QVERIFY(!isRunAtStartupEnabled());
    QVERIFY(!disableRunAtStartup());
    QVERIFY(QDir(entryPath()).removeRecursively());
}

void TestRunAtStartup::unreadableEntry()
{
    writeRawEntry("[Desktop Entry]\nType=Application\nName=tapvela\nExec=\"/usr/bin/tapvela\" silent\n");
    QVERIFY(QFile::setPermissions(entryPath(), QFileDevice::WriteOwner));
    QFile probe(entryPath());
    if (probe.open(QIODevice::ReadOnly))
        QSKIP("this user reads files without read permission (root)");
    QVERIFY(!isRunAtStartupEnabled());
}

void TestRunAtStartup::defaultDirectory_data()
{
    QTest::addColumn<bool>("set");
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("unset") << false << QByteArray();
    QTest::newRow("empty") << true << QByteArray();
    QTest::newRow("relative, ignored") << true << QByteArray("relative/config");
}

void TestRunAtStartup::defaultDirectory()
{
    QFETCH(bool, set);
    QFETCH(QByteArray, value);
    const QString home = scratch.filePath(QStringLiteral("home"));
    QVERIFY(QDir().mkpath(home));
    qputenv("HOME", QFile::encodeName(home));
    if (set)
        qputenv("XDG_CONFIG_HOME", value);
    else
        qunsetenv("XDG_CONFIG_HOME");

    QVERIFY(enableRunAtStartup());
    const QString expected = entryPath(home + QStringLiteral("/.config"));
    QVERIFY(QFileInfo(expected).isFile());
    QVERIFY(isRunAtStartupEnabled());
    QVERIFY(disableRunAtStartup());
    QVERIFY(!QFileInfo::exists(expected));
    QVERIFY(!QFileInfo::exists(QDir::current().filePath(QStringLiteral("relative"))));
}

void TestRunAtStartup::launcherReadsExecBack()
{
    // GLib's launcher, as GNOME's session uses it, must start exactly the program the entry names, with the
    // argument silent, however odd its path.
    const QString gio = QStandardPaths::findExecutable(QStringLiteral("gio"));
    if (gio.isEmpty())
        QSKIP("gio (libglib2.0-bin) is not installed");
    const QString directory = scratch.filePath(QStringLiteral("odd \"dir\" $HOME `id` \\x 'q' é;&"));
    QVERIFY(QDir().mkpath(directory));
    const QString program = directory + QStringLiteral("/my tapvela");
    const QString argvFile = scratch.filePath(QStringLiteral("argv.txt"));
    {
        QFile script(program);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > \"$TAPVELA_ARGV\".part && mv \"$TAPVELA_ARGV\".part "
                     "\"$TAPVELA_ARGV\"\n");
    }
    QVERIFY(QFile::setPermissions(program, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    const QString desktopFile = scratch.filePath(QStringLiteral("launch.desktop"));
    {
        QFile entry(desktopFile);
        QVERIFY(entry.open(QIODevice::WriteOnly));
        entry.write("[Desktop Entry]\nType=Application\nName=tapvela\nExec=" + runAtStartupCommand(program).toUtf8() +
                    "\n");
    }

    QProcess launcher;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TAPVELA_ARGV"), argvFile);
    launcher.setProcessEnvironment(environment);
    launcher.start(gio, {QStringLiteral("launch"), desktopFile});
    QVERIFY(launcher.waitForFinished(30000));
    QVERIFY2(launcher.exitCode() == 0, launcher.readAllStandardError().constData());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(argvFile), 10000);
    QFile result(argvFile);
    QVERIFY(result.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(result.readAll()), program + QStringLiteral("\nsilent\n"));
}

#endif

int main(int argc, char *argv[])
{
    if (argc == 2 && qstrcmp(argv[1], enableArgument) == 0) {
        QCoreApplication app(argc, argv);
        return enableRunAtStartup() ? 0 : 1;
    }
    QCoreApplication app(argc, argv);
    TestRunAtStartup test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_runatstartup.moc"
