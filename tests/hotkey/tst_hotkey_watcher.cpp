#include "desktop.h"
#include "hotkey/hotkeymatcher.h"
#include "hotkey/windowsthread.h"
#include "support/testhelpers.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// The real event sources: keys pressed through the X server reach the matcher (on Windows, under Wine, through
// the low-level hook of a focused Wine window), and the watcher stops in order.
class TestHotkeyWatcher : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void nothingBeforeAnyIndex();
    void keys_data();
    void keys();
    void injectedByAnotherProgramFires();
    void stopEndsTheLoopAndTheHook();
    void stopBeforeStart();
    void withoutDisplayTheProgramStillRuns();

private:
    // Presses keys with xdotool and waits until the watcher has seen at least events more key events;
    // returns the hotkeys fired meanwhile, or -1.
    int press(const QStringList &arguments, int events);

    std::unique_ptr<WindowsThread> m_watcher;
    std::unique_ptr<desktop::TargetWindow> m_target;
};

void TestHotkeyWatcher::initTestCase()
{
    if (!desktop::hasDisplay())
        QSKIP("DISPLAY is not set: these tests need an X server (the test script runs Xvfb)");
    m_watcher = std::make_unique<WindowsThread>();
    m_watcher->start();
    QTRY_COMPARE_WITH_TIMEOUT(m_watcher->state(), WindowsThread::State::Watching, 10000);
    // Under Wine the hook sees only keys that X delivers to a Wine window: give one the focus.
    m_target = std::make_unique<desktop::TargetWindow>();
    QVERIFY(m_target->isValid());
    QVERIFY(m_target->focus());
}

void TestHotkeyWatcher::cleanupTestCase()
{
    if (!m_watcher)
        return;
    const WindowsThread::Statistics figures = m_watcher->statistics();
    qInfo("%llu key events; handling of one event (the whole hook procedure on Windows): longest %.3f ms, "
          "mean %.1f us",
          figures.keyEvents, figures.longestNs / 1e6,
          figures.keyEvents ? figures.totalNs / 1e3 / double(figures.keyEvents) : 0.0);
    m_watcher->stop();
    QVERIFY(m_watcher->wait(5000));
}

int TestHotkeyWatcher::press(const QStringList &arguments, int events)
{
    const WindowsThread::Statistics before = m_watcher->statistics();
    if (!desktop::xdotool(arguments))
        return -1;
    if (!QTest::qWaitFor([&] { return m_watcher->statistics().keyEvents >= before.keyEvents + quint64(events); }, 5000))
        return -1;
    return int(m_watcher->statistics().hotkeys - before.hotkeys);
}

void TestHotkeyWatcher::nothingBeforeAnyIndex()
{
    // Until a settings window applies its hotkey, the watcher watches nothing.
    QCOMPARE(m_watcher->watchedHotkey().virtualKey, 0);
    QCOMPARE(press({QStringLiteral("key"), QStringLiteral("F11"), QStringLiteral("F1")}, 4), 0);
}

void TestHotkeyWatcher::keys_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<int>("events");
    QTest::addColumn<int>("fires");

    QTest::newRow("F11") << 10 << "F11" << 2 << 1;
    QTest::newRow("F12 is not F11") << 10 << "F12" << 2 << 0;
    QTest::newRow("a letter is not F11") << 10 << "a" << 2 << 0;
    QTest::newRow("two presses fire twice") << 10 << "F11 F11" << 4 << 2;
    QTest::newRow("F1") << 0 << "F1" << 2 << 1;
    QTest::newRow("F10, a system key") << 9 << "F10" << 2 << 1;
    QTest::newRow("CTRL + F5") << 16 << "ctrl+F5" << 4 << 1;
    QTest::newRow("CTRL + F5 without CTRL") << 16 << "F5" << 2 << 0;
    QTest::newRow("CTRL + F5 with right CTRL") << 16 << "Control_R+F5" << 4 << 1;
    QTest::newRow("F5 with CTRL") << 4 << "ctrl+F5" << 4 << 1;
    QTest::newRow("F5 with SHIFT") << 4 << "shift+F5" << 4 << 1;
    QTest::newRow("ALT + F3") << 26 << "alt+F3" << 4 << 1;
    QTest::newRow("ALT + F3 without ALT") << 26 << "F3" << 2 << 0;
    QTest::newRow("ALT + F3 by CTRL") << 26 << "ctrl+F3" << 4 << 0;
    QTest::newRow("ALT + F10") << 33 << "alt+F10" << 4 << 1;
    QTest::newRow("ALT + F12") << 35 << "alt+F12" << 4 << 1;
    QTest::newRow("index 36 watches F11") << 36 << "F11" << 2 << 1;
    QTest::newRow("index -1 watches F11") << -1 << "F11" << 2 << 1;
}

void TestHotkeyWatcher::keys()
{
    QFETCH(int, index);
    QFETCH(QString, keys);
    QFETCH(int, events);
    QFETCH(int, fires);

    m_watcher->applyHotkeyIndex(index);
    QCOMPARE(press(QStringList{QStringLiteral("key")} + keys.split(QLatin1Char(' ')), events), fires);
}

void TestHotkeyWatcher::injectedByAnotherProgramFires()
{
    // An on-screen keyboard or a remote desktop injects its keys with SendInput, unmarked, as this test does: they
    // are the user's. (Our own copy keystrokes, marked, never fire: the capture tests hold the hotkey through them.)
    m_watcher->applyHotkeyIndex(10);
    const WindowsThread::Statistics before = m_watcher->statistics();
    if (!desktop::injectKey(hotkey::vk::f11))
        QSKIP("no injected key events on this platform");
    // The hook is called inside SendInput: the events are counted when it returns.
    QTRY_VERIFY(m_watcher->statistics().keyEvents >= before.keyEvents + 2);
    QCOMPARE(m_watcher->statistics().hotkeys, before.hotkeys + 1);
    // Its key-up released the latch: a real press right after fires too.
    QCOMPARE(press({QStringLiteral("key"), QStringLiteral("F11")}, 2), 1);
}

void TestHotkeyWatcher::stopEndsTheLoopAndTheHook()
{
    WindowsThread second;
    // A failing check must not leave the thread running when its object goes.
    const auto stopSecond = qScopeGuard([&second] {
        second.stop();
        second.wait(5000);
    });
    second.applyHotkeyIndex(10);
    second.start();
    QTRY_COMPARE_WITH_TIMEOUT(second.state(), WindowsThread::State::Watching, 10000);
    QVERIFY(desktop::xdotool({QStringLiteral("key"), QStringLiteral("F12")}));
    QTRY_VERIFY(second.statistics().keyEvents >= 2);

    second.stop();
    QVERIFY(second.wait(5000));
    QCOMPARE(second.state(), WindowsThread::State::Finished);
    // Its hook (or X connection) is gone: keys that the first watcher sees no longer reach it.
    const quint64 seen = second.statistics().keyEvents;
    m_watcher->applyHotkeyIndex(10);
    QCOMPARE(press({QStringLiteral("key"), QStringLiteral("F11")}, 2), 1);
    QCOMPARE(second.statistics().keyEvents, seen);
}

void TestHotkeyWatcher::stopBeforeStart()
{
    // A stop that comes before the thread has a loop must still end it.
    WindowsThread early;
    early.stop();
    early.start();
    QVERIFY(early.wait(5000));
    QCOMPARE(early.state(), WindowsThread::State::Finished);
}

void TestHotkeyWatcher::withoutDisplayTheProgramStillRuns()
{
#ifdef Q_OS_WIN
    QSKIP("a Windows session always has its desktop");
#endif
    QTemporaryDir dir;
    const QString program = testsupport::stageProgram(dir.path());
    QVERIFY(!program.isEmpty());
    QProcessEnvironment environment = testsupport::isolatedEnvironment(dir.path());
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, QStringList());
    QVERIFY(process.waitForStarted(10000));

    QByteArray output;
    QVERIFY(QTest::qWaitFor(
        [&] {
            output += process.readAllStandardOutput();
            return output.contains("not connected\n") && output.contains("fin\n");
        },
        20000));
    process.kill();
    process.waitForFinished(5000);

    QCOMPARE(output.count("lancement\n"), 1);
    QCOMPARE(output.count("no X display: the hotkey is not watched\n"), 1);
}

QTEST_MAIN(TestHotkeyWatcher)
#include "tst_hotkey_watcher.moc"
