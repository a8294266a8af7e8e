#include "app/config.h"
#include "desktop.h"
#include "desktop/desktopcontroller.h"
#include "hotkey/numbercleaning.h"
#include "hotkey/sending.h"
#include "hotkey/windowsthread.h"
#include "service/requests.h"
#include "settings/settingswindow.h"
#include "support/messageboxcatcher.h"
#include "support/stdoutcapture.h"
#include "support/testservice.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QMovie>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QProcess>
#include <QScreen>
#include <QSettings>
#include <QtTest>

#include <memory>

using desktop::ClipboardContent;
using testsupport::ScriptedReply;
using testsupport::StdoutCapture;

Q_DECLARE_METATYPE(desktop::ClipboardContent)

namespace {

const QString apiKey = QStringLiteral("K-test");
const QString deviceId = QStringLiteral("dev-1");

QStringList words(const QString &text)
{
    return text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// Names the formats the clipboard lost or changed, with their first bytes: the whole of both would be cut off.
QByteArray describeChanges(const QMap<QString, QByteArray> &before, const QMap<QString, QByteArray> &after)
{
    QByteArray text = before.isEmpty() ? "the empty clipboard gained:" : "";
    for (auto format = before.begin(); format != before.end(); ++format) {
        if (after.value(format.key()) != format.value())
            text += ' ' + format.key().toUtf8() + '=' + format.value().left(24).toHex() + " became " +
                    (after.contains(format.key()) ? after.value(format.key()).left(24).toHex() : "(lost)") + ';';
    }
    if (before.isEmpty())
        text += ' ' + after.keys().join(QLatin1Char(' ')).toUtf8();
    return text;
}

// The clipboard is put back at the end of the capture, which may end a moment after its line is written.
bool clipboardKeeps(const QMap<QString, QByteArray> &before, QMap<QString, QByteArray> *after)
{
    QElapsedTimer clock;
    clock.start();
    do {
        *after = desktop::clipboardSnapshot();
        if (desktop::keepsClipboard(before, *after))
            return true;
        QTest::qWait(50);
    } while (clock.elapsed() < 5000);
    return false;
}

// Stamps when an indicator is shown and when it is hidden, as the GUI thread does it, whenever the test looks.
class IndicatorClock final : public QObject
{
public:
    IndicatorClock() { qApp->installEventFilter(this); }
    ~IndicatorClock() override { qApp->removeEventFilter(this); }

    qint64 shownAt = -1;
    qint64 hiddenAt = -1;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (qobject_cast<Sending *>(watched)) {
            if (event->type() == QEvent::Show && shownAt < 0)
                shownAt = m_clock.elapsed();
            else if (event->type() == QEvent::Hide && shownAt >= 0 && hiddenAt < 0)
                hiddenAt = m_clock.elapsed();
        }
        return false;
    }

private:
    QElapsedTimer m_clock = [] {
        QElapsedTimer clock;
        clock.start();
        return clock;
    }();
};

QList<Sending *> visibleIndicators()
{
    QList<Sending *> indicators;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *indicator = qobject_cast<Sending *>(widget); indicator && indicator->isVisible())
            indicators.append(indicator);
    }
    return indicators;
}

} // namespace

// The road of one push, end to end: a window of this test holds a selection, the hotkey is pressed through the
// X server, the watcher (a hook under Wine, XInput2 under Xvfb) starts the capture, the number goes to the test
// service, the indicator shows, and the user's clipboard is put back.
class TestHotkeyCapture : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void push_data();
    void push();
    void clipboardKept_data();
    void clipboardKept();
    void nothingAtAll_data();
    void nothingAtAll();
    void indicatorAfterPush();
    void messageWhenNoNumber_data();
    void messageWhenNoNumber();
    void otherProgramCopiedJustBefore();
    void heldHotkeyPushesOnce();
    void lateCopyUndone();
    void clipboardHeldOpenBySomeoneElse();

private:
    void setConfig(const QString &key, const QString &value);
    // The controller switches to a settings window of its own making: the one that answers the watcher.
    bool openSettingsWindow();
    // Selects text in the target, focuses it, presses keys; waits for the diagnostic line of the capture.
    bool pressAndWaitForLine(const QString &text, bool selected, const QString &keys, const QByteArray &line,
                             StdoutCapture &output);

    testsupport::TestService m_service;
    // A request whose reply fails makes the settings window show a warning box, in whatever wait of the test is
    // running then: answered here, it never stalls the test.
    testsupport::MessageBoxCatcher m_boxes;
    int m_repliesHandled = 0; // by the settings window, since the start
    int m_repliesAtInit = 0;
    std::unique_ptr<DesktopController> m_controller;
    WindowsThread *m_watcher = nullptr;
    QPointer<SettingsWindow> m_window;
    std::unique_ptr<desktop::TargetWindow> m_target;
    QString m_configPath;
    QByteArray m_savedConfig;
    bool m_hadConfig = false;
};

void TestHotkeyCapture::initTestCase()
{
    if (!desktop::hasDisplay())
        QSKIP("DISPLAY is not set: these tests need an X server (the test script runs Xvfb)");
    QVERIFY(m_service.isListening());
    m_service.exportServiceUrl();
    m_service.setReply("/all/devices_app.php",
                       ScriptedReply::json(R"({"status":"valid","devices":[{"id":"dev-1","name":"Phone"}]})"));
    m_service.setReply("/all/api.php", ScriptedReply::json(R"({"status":"valid"})"));

    m_configPath = configFilePath();
    QFile existing(m_configPath);
    m_hadConfig = existing.open(QIODevice::ReadOnly);
    if (m_hadConfig)
        m_savedConfig = existing.readAll();
    existing.close();
    QFile::remove(m_configPath);
    setConfig(QStringLiteral("apikey"), apiKey);
    setConfig(QStringLiteral("id"), deviceId);
    setConfig(QStringLiteral("key"), QStringLiteral("10"));

    m_controller = std::make_unique<DesktopController>();
    m_watcher = &m_controller->watcher();
    m_watcher->start();
    QTRY_COMPARE_WITH_TIMEOUT(m_watcher->state(), WindowsThread::State::Watching, 10000);
    QVERIFY(openSettingsWindow());
    QVERIFY(m_service.waitForRequests(1));
    // The device list stores the first device as the default: before the cases change the stored one.
    QTRY_COMPARE_WITH_TIMEOUT(m_repliesHandled, 1, 10000);
    QTRY_COMPARE(m_watcher->watchedHotkey().virtualKey, 122);

    m_target = std::make_unique<desktop::TargetWindow>();
    QVERIFY(m_target->isValid());
}

bool TestHotkeyCapture::openSettingsWindow()
{
    m_window = m_controller->makeSettingsWindow();
    auto *manager = m_window->findChild<QNetworkAccessManager *>();
    if (!manager)
        return false;
    // After the window's own handler, which has shown and closed its box by then.
    connect(manager, &QNetworkAccessManager::finished, this, [this] { ++m_repliesHandled; });
    return true;
}

void TestHotkeyCapture::cleanupTestCase()
{
    m_target.reset();
    // Stops the watcher and waits for it, then takes the windows down.
    m_controller.reset();
    if (m_configPath.isEmpty())
        return;
    QFile::remove(m_configPath);
    if (m_hadConfig) {
        QFile file(m_configPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(m_savedConfig);
    }
}

void TestHotkeyCapture::init()
{
    // Through a settings object: the program's objects on the same file share its values at once.
    setConfig(QStringLiteral("apikey"), apiKey);
    setConfig(QStringLiteral("id"), deviceId);
    m_watcher->applyHotkeyIndex(10);
    m_service.clearRequests();
    m_repliesAtInit = m_repliesHandled;
    m_boxes.seen.clear();
}

void TestHotkeyCapture::cleanup()
{
    // Every request of the case has its reply handled before the next case starts. A reply that never reaches the
    // window (under Wine a loopback reply is now and then lost) ends in the connection warning once the transfer
    // time-out has passed: that box opens here and is answered, not in the middle of a later case, whose keyboard
    // focus it would take.
    QTRY_VERIFY_WITH_TIMEOUT(m_repliesHandled - m_repliesAtInit >= m_service.requestCount(),
                             service::transferTimeoutMs + 10000);
    for (const testsupport::SeenBox &box : qAsConst(m_boxes.seen))
        qWarning("the settings window warned: %s", qPrintable(box.text));
}

void TestHotkeyCapture::setConfig(const QString &key, const QString &value)
{
    QSettings settings(m_configPath, QSettings::IniFormat);
    if (value.isNull())
        settings.remove(key);
    else
        settings.setValue(key, value);
    settings.sync();
}

bool TestHotkeyCapture::pressAndWaitForLine(const QString &text, bool selected, const QString &keys,
                                            const QByteArray &line, StdoutCapture &output)
{
    m_target->setText(text, selected);
    if (!m_target->focus() || !output.isActive() || !desktop::xdotool(words(keys)))
        return false;
    return QTest::qWaitFor([&] { return output.linesStartingWith(line).contains(line); }, 5000);
}

void TestHotkeyCapture::push_data()
{
    QTest::addColumn<QString>("selection");
    QTest::addColumn<bool>("selected");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("release"); // keys released once the capture is done
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("query"); // empty: nothing is pushed

    const QByteArray international = "apikey=K-test&msg=Phone%20number%20%3A%20%2B33612345678&icon=115&sound=01"
                                     "&devices=dev-1&extra=tel:%2B33612345678";
    const QByteArray national = "apikey=K-test&msg=Phone%20number%20%3A%200612345678&icon=115&sound=01"
                                "&devices=dev-1&extra=tel:0612345678";

    QTest::newRow("international number") << "+33 (0)6 12 34 56 78" << true << 10 << "key F11"
                                          << "" << QByteArray("%2B33612345678") << international;
    QTest::newRow("no-break spaces of a web page")
        << QStringLiteral("06\u00a012\u00a034\u00a056\u202f78") << true << 10 << "key F11"
        << "" << QByteArray("0612345678") << national;
    QTest::newRow("number found in a line") << "Tel: 06 12 34 56 78" << true << 10 << "key F11"
                                            << "" << QByteArray("0612345678") << national;
    QTest::newRow("no number") << "call me tomorrow" << true << 10 << "key F11"
                               << "" << QByteArray("not a number callmetomorrow") << QByteArray();
    QTest::newRow("two numbers") << "Tel 06 12 34 56 78, fax 01 23 45 67 89" << true << 10 << "key F11"
                                 << "" << QByteArray("not a number Tel0612345678fax0123456789") << QByteArray();
    QTest::newRow("nothing selected") << "0612345678" << false << 10 << "key F11"
                                      << "" << QByteArray("not a number ") << QByteArray();
    QTest::newRow("accented text read as Unicode")
        << QStringLiteral("06 é €") << true << 10 << "key F11"
        << "" << QByteArray("not a number 06\xC3\xA9\xE2\x82\xAC") << QByteArray();
    QTest::newRow("ALT + F5 tapped") << "06 12 34 56 78" << true << 28 << "key alt+F5"
                                     << "" << QByteArray("0612345678") << national;
    QTest::newRow("ALT + F5 with ALT still held") << "06 12 34 56 78" << true << 28 << "keydown alt keydown F5 keyup F5"
                                                  << "keyup alt" << QByteArray("0612345678") << national;
    QTest::newRow("CTRL + F5 tapped") << "06 12 34 56 78" << true << 16 << "key ctrl+F5"
                                      << "" << QByteArray("0612345678") << national;
    QTest::newRow("CTRL + F5 with CTRL still held")
        << "06 12 34 56 78" << true << 16 << "keydown ctrl keydown F5 keyup F5"
        << "keyup ctrl" << QByteArray("0612345678") << national;
}

void TestHotkeyCapture::push()
{
    QFETCH(QString, selection);
    QFETCH(bool, selected);
    QFETCH(int, index);
    QFETCH(QString, keys);
    QFETCH(QString, release);
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, query);

    m_watcher->applyHotkeyIndex(index);
    QVERIFY(desktop::fillClipboard(ClipboardContent::Text));
    const QMap<QString, QByteArray> before = desktop::clipboardSnapshot();
    QVERIFY(!before.isEmpty());

    bool seen = false;
    QByteArray written;
    {
        StdoutCapture output;
        seen = pressAndWaitForLine(selection, selected, keys, line, output);
        if (!release.isEmpty())
            QVERIFY(desktop::xdotool(words(release)));
        if (!query.isEmpty())
            m_service.waitForRequests(1);
        written = output.text();
    }
    QVERIFY2(seen, written.constData());
    QCOMPARE(written.count(line + '\n') + written.count(line + "\r\n"), 1);
    if (query.isEmpty()) {
        QCOMPARE(m_service.requestCount(), 0);
    } else {
        QCOMPARE(m_service.requestCount(), 1);
        QCOMPARE(m_service.lastRequest().line(), "GET /all/api.php?" + query + " HTTP/1.1");
    }
    QMap<QString, QByteArray> after;
    QVERIFY2(clipboardKeeps(before, &after), describeChanges(before, after));
    // The selection itself is left as it was.
    QCOMPARE(m_target->text(), selection);
}

void TestHotkeyCapture::clipboardKept_data()
{
    QTest::addColumn<ClipboardContent>("content");
    QTest::addColumn<bool>("selected");

    const struct
    {
        const char *name;
        ClipboardContent content;
    } contents[] = {
        {"empty", ClipboardContent::Empty},
        {"8-bit text", ClipboardContent::Text},
        {"Unicode text", ClipboardContent::UnicodeText},
        {"image and private format", ClipboardContent::Image},
        {"text of another program", ClipboardContent::ForeignText},
        {"image of another program", ClipboardContent::ForeignImage},
    };
    for (const auto &content : contents) {
        QTest::addRow("%s, pushed", content.name) << content.content << true;
        QTest::addRow("%s, nothing selected", content.name) << content.content << false;
    }
}

void TestHotkeyCapture::clipboardKept()
{
    QFETCH(ClipboardContent, content);
    QFETCH(bool, selected);

    if (!desktop::fillClipboard(content)) {
        if (content == ClipboardContent::ForeignText || content == ClipboardContent::ForeignImage)
            QSKIP("no other clipboard program on this platform");
        QFAIL("the clipboard could not be filled");
    }
    const QMap<QString, QByteArray> before = desktop::clipboardSnapshot();
    QCOMPARE(before.isEmpty(), content == ClipboardContent::Empty);

    const QByteArray line = selected ? QByteArray("0612345678") : QByteArray("not a number ");
    {
        StdoutCapture output;
        QVERIFY2(
            pressAndWaitForLine(QStringLiteral("06 12 34 56 78"), selected, QStringLiteral("key F11"), line, output),
            output.text().constData());
    }
    QMap<QString, QByteArray> after;
    QVERIFY2(clipboardKeeps(before, &after), describeChanges(before, after));
    if (selected)
        QVERIFY(m_service.waitForRequests(1));
}

void TestHotkeyCapture::nothingAtAll_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value"); // a null value removes the key
    QTest::addColumn<bool>("withWindow");

    QTest::newRow("no default device") << "id" << QString() << true;
    QTest::newRow("default device no") << "id"
                                       << "no" << true;
    QTest::newRow("signed out") << "apikey"
                                << "no" << true;
    QTest::newRow("no settings window") << "id" << deviceId << false;
}

void TestHotkeyCapture::nothingAtAll()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(bool, withWindow);

    QVERIFY(desktop::fillClipboard(ClipboardContent::Text));
    const QMap<QString, QByteArray> before = desktop::clipboardSnapshot();
    QByteArray written;
    {
        StdoutCapture output;
        setConfig(key, value);
        if (!withWindow)
            m_controller->makeLoginWindow();
        const quint64 fired = m_watcher->statistics().hotkeys;
        m_target->setText(QStringLiteral("06 12 34 56 78"), true);
        QVERIFY(m_target->focus());
        QVERIFY(desktop::xdotool({QStringLiteral("key"), QStringLiteral("F11")}));
        QTRY_COMPARE(m_watcher->statistics().hotkeys, fired + 1);

        // A second press with everything in place: captures run one after the other, so once its line is
        // written the first press has been dealt with.
        setConfig(QStringLiteral("apikey"), apiKey);
        setConfig(QStringLiteral("id"), deviceId);
        if (!withWindow) {
            // A settings window again, whose device list comes first: the pushes are counted from then on.
            QVERIFY(openSettingsWindow());
            QVERIFY(m_service.waitForRequests(1));
            QTRY_COMPARE_WITH_TIMEOUT(m_repliesHandled - m_repliesAtInit, 1, 10000);
            m_service.clearRequests();
            m_repliesAtInit = m_repliesHandled;
        }
        QVERIFY(pressAndWaitForLine(QStringLiteral("06 98 76 54 32"), true, QStringLiteral("key F11"),
                                    QByteArray("0698765432"), output));
        QVERIFY(m_service.waitForRequests(1));
        written = output.text();
    }
    QVERIFY2(!written.contains("0612345678"), written.constData());
    QVERIFY2(!written.contains("not a number"), written.constData());
    QCOMPARE(m_service.requestCount(), 1);
    QVERIFY(m_service.lastRequest().rawQuery().endsWith("extra=tel:0698765432"));
    QMap<QString, QByteArray> after;
    QVERIFY2(clipboardKeeps(before, &after), describeChanges(before, after));
}

void TestHotkeyCapture::indicatorAfterPush()
{
    // Earlier indicators are gone after their two seconds.
    QTRY_VERIFY_WITH_TIMEOUT(visibleIndicators().isEmpty(), 5000);
    IndicatorClock clock;
    {
        StdoutCapture output;
        QVERIFY(pressAndWaitForLine(QStringLiteral("06 12 34 56 78"), true, QStringLiteral("key F11"),
                                    QByteArray("0612345678"), output));
    }
    QVERIFY(m_service.waitForRequests(1));
    QTRY_COMPARE(visibleIndicators().size(), 1);
    const QPointer<Sending> indicator = visibleIndicators().first();
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QCOMPARE(indicator->frameGeometry().topLeft(), QPoint(screen.right() - 184, screen.top()));
    QCOMPARE(indicator->size(), QSize(185, 75));
    const auto *label = indicator->findChild<QLabel *>(QStringLiteral("sending"));
    QVERIFY(label && label->movie());
    QCOMPARE(label->movie()->state(), QMovie::Running);
    // It keeps the keyboard where the user was typing.
    QVERIFY(!indicator->isActiveWindow());

    // Hidden by its own two-second timer (a coarse timer may fire up to 5 % early), and then released.
    QTRY_VERIFY_WITH_TIMEOUT(indicator.isNull(), 10000);
    QVERIFY(clock.hiddenAt >= 0);
    QVERIFY2(clock.hiddenAt - clock.shownAt >= 1900, QByteArray::number(clock.hiddenAt - clock.shownAt).constData());
}

void TestHotkeyCapture::messageWhenNoNumber_data()
{
    QTest::addColumn<QString>("selection");
    QTest::addColumn<QString>("message");

    QTest::newRow("no number") << "call me tomorrow"
                               << "No phone number in the selection";
    QTest::newRow("two numbers") << "Tel 06 12 34 56 78, fax 01 23 45 67 89"
                                 << "Several numbers in the selection: select one";
}

void TestHotkeyCapture::messageWhenNoNumber()
{
    QFETCH(QString, selection);
    QFETCH(QString, message);

    QTRY_VERIFY_WITH_TIMEOUT(visibleIndicators().isEmpty(), 10000);
    {
        StdoutCapture output;
        const QByteArray line = "not a number " + cleanNumber(selection).digits.toUtf8();
        QVERIFY(pressAndWaitForLine(selection, true, QStringLiteral("key F11"), line, output));
    }
    QTRY_COMPARE(visibleIndicators().size(), 1);
    const QPointer<Sending> indicator = visibleIndicators().first();
    const auto *label = indicator->findChild<QLabel *>(QStringLiteral("sending"));
    QVERIFY(label);
    QCOMPARE(label->text(), message);
    QVERIFY(!indicator->isActiveWindow());
    QTRY_VERIFY_WITH_TIMEOUT(indicator.isNull(), 10000);
    QCOMPARE(m_service.requestCount(), 0);
}

void TestHotkeyCapture::otherProgramCopiedJustBefore()
{
    // A user copies in one program and pushes a number from another a moment later: however close the two, the
    // push carries the selection and the clipboard ends holding the other program's text. The gaps cover 0 to
    // 500 ms; the other texts are numbers too, so that taking one would push it.
    constexpr int presses = 30;
    std::unique_ptr<QProcess> app;
#ifdef Q_OS_WIN
    m_target->setText(QStringLiteral("06 12 34 56 78"), true);
    QVERIFY(m_target->focus());
#else
    app = desktop::startTargetApp(QStringLiteral("06 12 34 56 78"), 0);
    QVERIFY(app);
#endif
    StdoutCapture output;
    QVERIFY(output.isActive());
    const auto captures = [&output] {
        return output.linesStartingWith("0").size() + output.linesStartingWith("not a number").size() +
               output.linesStartingWith("%2B").size();
    };
    for (int press = 0; press < presses; ++press) {
        const QString other = QStringLiteral("07 00 00 00 %1").arg(press, 2, 10, QLatin1Char('0'));
        QVERIFY2(desktop::otherProgramCopies(other), qPrintable(other));
        QTest::qWait(press * 500 / (presses - 1));
        QVERIFY(desktop::xdotool({QStringLiteral("key"), QStringLiteral("F11")}));
        QTRY_COMPARE_WITH_TIMEOUT(captures(), press + 1, 10000);
        QVERIFY2(m_service.waitForRequests(press + 1), output.text().constData());
        QTRY_COMPARE_WITH_TIMEOUT(desktop::clipboardText(), other, 5000);
    }
    const QByteArray written = output.text();
    QCOMPARE(output.linesStartingWith("0612345678").size(), presses);
    QVERIFY2(!written.contains("not a number"), written.constData());
    QCOMPARE(m_service.requestCount(), presses);
    for (const auto &request : m_service.requests())
        QVERIFY2(request.rawQuery().endsWith("extra=tel:0612345678"), request.rawQuery().constData());
    if (app) {
        app->kill();
        app->waitForFinished();
    }
}

void TestHotkeyCapture::heldHotkeyPushesOnce()
{
    // The key repeats while it is held; the copy's own keystrokes in between must not re-arm it.
    QVERIFY(desktop::fillClipboard(ClipboardContent::Text));
    m_target->setText(QStringLiteral("06 12 34 56 78"), true);
    QVERIFY(m_target->focus());
    StdoutCapture output;
    QVERIFY(desktop::xdotool({QStringLiteral("keydown"), QStringLiteral("F11")}));
    QVERIFY(m_service.waitForRequests(1));
    QTest::qWait(1500);
    QVERIFY(desktop::xdotool({QStringLiteral("keyup"), QStringLiteral("F11")}));
    // A second press, once the key is up: captures run one after the other, so once it has pushed, every
    // capture of the held key has been dealt with.
    QVERIFY(pressAndWaitForLine(QStringLiteral("06 98 76 54 32"), true, QStringLiteral("key F11"),
                                QByteArray("0698765432"), output));
    QVERIFY(m_service.waitForRequests(2));
    const QByteArray written = output.text();
    QCOMPARE(output.linesStartingWith("0612345678").size(), 1);
    QVERIFY2(!written.contains("not a number"), written.constData());
    QCOMPARE(m_service.requestCount(), 2);
}

void TestHotkeyCapture::lateCopyUndone()
{
    // An application too slow to copy within the capture's time: nothing is pushed, and its copy, when it comes
    // at last, does not stay in place of the user's clipboard.
    const QString users = QStringLiteral("07 00 00 00 99");
    QVERIFY(desktop::otherProgramCopies(users));
    // Three seconds: well after the capture's one-second wait, however busy the machine.
    const std::unique_ptr<QProcess> copier = desktop::startTargetApp(QStringLiteral("06 12 34 56 78"), 3000);
    QVERIFY(copier);

    StdoutCapture output;
    QVERIFY(desktop::xdotool({QStringLiteral("key"), QStringLiteral("F11")}));
    QTRY_VERIFY_WITH_TIMEOUT(output.linesStartingWith("not a number").size() == 1, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(copier->canReadLine(), 10000);
    QCOMPARE(copier->readLine().trimmed(), QByteArray("copied"));
    QTRY_COMPARE_WITH_TIMEOUT(desktop::clipboardText(), users, 5000);
    QVERIFY2(output.text().contains("a late copy was undone"), output.text().constData());
    QCOMPARE(m_service.requestCount(), 0);
    copier->kill();
    copier->waitForFinished();
}

void TestHotkeyCapture::clipboardHeldOpenBySomeoneElse()
{
#ifndef Q_OS_WIN
    QSKIP("an X11 clipboard is never held open");
#endif
    // Another program copies and keeps the clipboard open across the capture's save: the capture gives up before
    // its keys, so the selection never takes the place of the other program's copy.
    const QString others = QStringLiteral("07 00 00 00 42");
    std::unique_ptr<QProcess> holder = desktop::otherProgramHoldsClipboard(others);
    QVERIFY(holder);
    StdoutCapture output;
    const QByteArray abandoned = "capture abandoned: the clipboard could not be saved";
    m_target->setText(QStringLiteral("06 12 34 56 78"), true);
    QVERIFY(m_target->focus());
    QVERIFY(desktop::xdotool({QStringLiteral("key"), QStringLiteral("F11")}));
    // Under Wine an attempt to open the clipboard may first wait for Wine's own clipboard manager, which the other
    // program holds up too (about 5 s): the capture gives up later than on Windows.
    QTRY_VERIFY2_WITH_TIMEOUT(output.linesStartingWith(abandoned).contains(abandoned), output.text().constData(),
                              60000);
    holder->write("go\n");
    QVERIFY(holder->waitForFinished(10000));

    // Once the clipboard is free, the next press pushes and puts the other program's copy back.
    QVERIFY(pressAndWaitForLine(QStringLiteral("06 98 76 54 32"), true, QStringLiteral("key F11"),
                                QByteArray("0698765432"), output));
    QVERIFY(m_service.waitForRequests(1));
    QTRY_COMPARE_WITH_TIMEOUT(desktop::clipboardText(), others, 5000);
    const QByteArray written = output.text();
    QVERIFY2(!written.contains("0612345678") && !written.contains("not a number"), written.constData());
    QCOMPARE(m_service.requestCount(), 1);
}

QTEST_MAIN(TestHotkeyCapture)
#include "tst_hotkey_capture.moc"
