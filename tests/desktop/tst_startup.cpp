#include "desktop/desktopcontroller.h"
#include "login/mainwindow.h"
#include "settings/settingswindow.h"
#include "support/testhelpers.h"
#include "support/testservice.h"

#include <QFile>
#include <QMainWindow>
#include <QPointer>
#include <QProcess>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// Waits until the process has written a line holding text; returns everything it wrote so far.
QByteArray waitForLine(QProcess &process, const QByteArray &text, int timeoutMs = 20000)
{
    QByteArray seen;
    QElapsedTimer clock;
    clock.start();
    while (!seen.contains(text) && clock.elapsed() < timeoutMs) {
        if (!process.waitForReadyRead(200) && process.state() == QProcess::NotRunning)
            break;
        seen += process.readAllStandardOutput();
    }
    return seen + process.readAllStandardOutput();
}

// Waits as waitForLine does, then ends the process; returns everything it wrote.
QByteArray outputUntilLine(QProcess &process, const QByteArray &text)
{
    const QByteArray out = waitForLine(process, text);
    process.kill();
    process.waitForFinished();
    return out;
}

// The output's lines, without the CR that Windows ends them with.
QByteArrayList outputLines(const QByteArray &out)
{
    QByteArrayList lines = out.split('\n');
    for (QByteArray &each : lines)
        each = each.trimmed();
    return lines;
}

void writeConfig(const QString &dir, const QByteArray &content)
{
    if (content.isNull())
        return;
    QFile file(dir + QStringLiteral("/config.ini"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void firstLine_data();
    void firstLine();
    void startLinesOnce_data();
    void startLinesOnce();
    void secondInstanceExitsAtOnce();
    void killedInstanceDoesNotBlock();
    void silentStart_data();
    void silentStart();

private:
    testsupport::TestService service;
    std::unique_ptr<QProcess> start(const QString &program, const QString &dir, const QStringList &args = {});
};

std::unique_ptr<QProcess> TestStartup::start(const QString &program, const QString &dir, const QStringList &args)
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = testsupport::isolatedEnvironment(dir);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Nothing listens here: the settings window's first request fails fast.
    env.insert(QStringLiteral("TAPVELA_SERVICE_URL"), QStringLiteral("http://127.0.0.1:9"));
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(QProcess::SeparateChannels);
    process->start(program, args);
    return process;
}

void TestStartup::initTestCase()
{
    // The settings windows built here ask for their devices: a service that answers keeps them quiet.
    QVERIFY(service.isListening());
    service.setDefaultReply(testsupport::ScriptedReply::json(R"({"status":"valid","devices":[]})"));
    service.exportServiceUrl();
}

void TestStartup::firstLine_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("no file") << QByteArray() << QByteArray("not connected");
    QTest::newRow("apikey no") << QByteArray("[General]\napikey=no\n") << QByteArray("not connected");
    QTest::newRow("no apikey") << QByteArray("[General]\nkey=3\n") << QByteArray("not connected");
    QTest::newRow("empty apikey") << QByteArray("[General]\napikey=\n") << QByteArray("connected \xE2\x80\xA6");
    QTest::newRow("apikey") << QByteArray("[General]\napikey=5f3a9c0d1e2b\n")
                            << QByteArray("connected 5f3a\xE2\x80\xA6");
    QTest::newRow("No is a key") << QByteArray("[General]\napikey=No\n") << QByteArray("connected \xE2\x80\xA6");
}

void TestStartup::firstLine()
{
    QFETCH(QByteArray, config);
    QFETCH(QByteArray, line);
    QTemporaryDir dir;
    const QString program = testsupport::stageProgram(dir.path());
    QVERIFY(!program.isEmpty());
    writeConfig(dir.path(), config);
    auto process = start(program, dir.path());
    const QByteArray out = outputUntilLine(*process, line);
    QVERIFY2(outputLines(out).contains(line), out.constData());
    // The whole api key never reaches standard output.
    if (config.contains("5f3a9c0d1e2b"))
        QVERIFY(!out.contains("5f3a9c0d1e2b"));
}

void TestStartup::startLinesOnce_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QString>("variable");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("signed out, session type") << QByteArray() << "XDG_SESSION_TYPE"
                                              << "wayland" << QByteArray("not connected");
    QTest::newRow("signed in, Wayland display") << QByteArray("[General]\napikey=5f3a9c0d1e2b\n") << "WAYLAND_DISPLAY"
                                                << "wayland-0" << QByteArray("connected 5f3a\xE2\x80\xA6");
}

// Each start-up line is written once; in a Wayland session the last of them says that the hotkey reaches only
// X11 applications.
void TestStartup::startLinesOnce()
{
    QFETCH(QByteArray, config);
    QFETCH(QString, variable);
    QFETCH(QString, value);
    QFETCH(QByteArray, line);
    const QByteArray wayland("Wayland session: the hotkey works only in X11 applications, not in native Wayland ones");
    QTemporaryDir dir;
    const QString program = testsupport::stageProgram(dir.path());
    QVERIFY(!program.isEmpty());
    writeConfig(dir.path(), config);
    qputenv(variable.toUtf8(), value.toUtf8());
    auto process = start(program, dir.path());
    qunsetenv(variable.toUtf8());
    const QByteArrayList lines = outputLines(outputUntilLine(*process, wayland));
    QCOMPARE(lines.count(wayland), 1);
    QCOMPARE(lines.count(line), 1);
}

void TestStartup::secondInstanceExitsAtOnce()
{
    QTemporaryDir dir;
    const QString program = testsupport::stageProgram(dir.path());
    auto first = start(program, dir.path());
    QVERIFY(waitForLine(*first, "not connected").contains("not connected"));

    auto second = start(program, dir.path());
    QVERIFY(second->waitForFinished(15000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    QVERIFY(!second->readAllStandardOutput().contains("connected"));
    QCOMPARE(first->state(), QProcess::Running);
    first->kill();
    first->waitForFinished();
}

void TestStartup::killedInstanceDoesNotBlock()
{
    QTemporaryDir dir;
    const QString program = testsupport::stageProgram(dir.path());
    auto first = start(program, dir.path());
    QVERIFY(waitForLine(*first, "not connected").contains("not connected"));
    first->kill(); // SIGKILL: no clean-up of the guard
    first->waitForFinished();

    auto next = start(program, dir.path());
    const QByteArray out = outputUntilLine(*next, "not connected");
    QVERIFY2(out.contains("not connected"), out.constData());
}

void TestStartup::silentStart_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("settingsWindow");
    QTest::addColumn<bool>("hidesItself");
    const QByteArray signedIn("[General]\napikey=K\n");
    QTest::newRow("silent") << signedIn << QStringList{"tapvela", "silent"} << true << true;
    QTest::newRow("silent first") << signedIn << QStringList{"silent"} << true << true;
    QTest::newRow("no argument") << signedIn << QStringList{"tapvela"} << true << false;
    QTest::newRow("Silent") << signedIn << QStringList{"tapvela", "Silent"} << true << false;
    QTest::newRow("-silent") << signedIn << QStringList{"tapvela", "-silent"} << true << false;
    QTest::newRow("/silent") << signedIn << QStringList{"tapvela", "/silent"} << true << false;
    QTest::newRow("silent signed out") << QByteArray("[General]\napikey=no\n") << QStringList{"tapvela", "silent"}
                                       << false << false;
}

void TestStartup::silentStart()
{
    QFETCH(QByteArray, config);
    QFETCH(QStringList, arguments);
    QFETCH(bool, settingsWindow);
    QFETCH(bool, hidesItself);
    // Where no notification area exists (the offscreen platform) the window must stay reachable.
    hidesItself = hidesItself && QSystemTrayIcon::isSystemTrayAvailable();
    QTemporaryDir dir;
    writeConfig(dir.path(), config);
    QSettings settings(dir.path() + QStringLiteral("/config.ini"), QSettings::IniFormat);
    DesktopController desktop;
    QPointer<QMainWindow> window = desktop.openFirstWindow(settings, arguments);
    QVERIFY(window);
    QCOMPARE(qobject_cast<SettingsWindow *>(window.data()) != nullptr, settingsWindow);
    QCOMPARE(qobject_cast<MainWindow *>(window.data()) != nullptr, !settingsWindow);
    if (hidesItself) {
        QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), 3000);
        QVERIFY(window); // hidden, not destroyed
    } else {
        const bool minimised = arguments.contains(QStringLiteral("silent")) && settingsWindow;
        QVERIFY(window->isVisible());
        QCOMPARE(window->isMinimized(), minimised);
        QTest::qWait(1300); // longer than the silent start's delay
        QVERIFY(window->isVisible());
        QCOMPARE(window->isMinimized(), minimised);
    }
    delete window;
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
