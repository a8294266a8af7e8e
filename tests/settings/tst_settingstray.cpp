#include "faketray.h"
#include "service/requests.h"
#include "settings/settingswindow.h"
#include "settingstest.h"

#include "support/testservice.h"

#include <QAction>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QtTest>

using namespace settingstest;
using testsupport::ScriptedReply;

namespace {

// Counts the requests to end the event loop that reach the application (Qt's quit when the last window closes).
class QuitWatch final : public QObject
{
public:
    QuitWatch() { qApp->installEventFilter(this); }
    ~QuitWatch() override { qApp->removeEventFilter(this); }
    int quits = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == qApp && event->type() == QEvent::Quit)
            ++quits;
        return false;
    }
};

} // namespace

// On a desktop with a notification area, closing or minimising the window hides it into the tray, and a
// plain click on the icon brings it back in its normal state.
class TestSettingsTray : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void hidesIntoTray_data();
    void hidesIntoTray();
    void warningsWhileHiddenKeepProgram();

private:
    QTemporaryDir home;
    testsupport::TestService service;
    QPointer<SettingsWindow> window;
};

void TestSettingsTray::initTestCase()
{
    QVERIFY(home.isValid());
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("xdg-config")).toUtf8());
    QVERIFY(service.isListening());
    service.exportServiceUrl();
    service.setDefaultReply(testsupport::ScriptedReply::json(R"({"status":"valid","devices":[]})"));
    QVERIFY(provideSystemTray());
    QVERIFY(QSystemTrayIcon::isSystemTrayAvailable());
}

void TestSettingsTray::cleanup()
{
    delete window;
    removeConfig();
}

void TestSettingsTray::hidesIntoTray_data()
{
    QTest::addColumn<bool>("minimise");
    QTest::newRow("close") << false;
    QTest::newRow("minimise") << true;
}

void TestSettingsTray::hidesIntoTray()
{
    QFETCH(bool, minimise);

    resetConfig({{QStringLiteral("apikey"), QStringLiteral("k1")}});
    window = new SettingsWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    if (minimise) // as the window manager reports it (showMinimized would show the window again afterwards)
        window->setWindowState(window->windowState() | Qt::WindowMinimized);
    else
        QVERIFY(!window->close());
    QVERIFY(!window->isVisible());
    auto *icon = window->findChild<QSystemTrayIcon *>();
    QVERIFY(icon->isVisible());

    service.clearRequests();
    emit icon->activated(QSystemTrayIcon::Trigger);
    QVERIFY(window->isVisible());
    QVERIFY(!window->isMinimized());
    QVERIFY(service.waitForRequests(1));
    QCOMPARE(service.lastRequest().target, QByteArray("/all/devices_app.php?apikey=k1"));
}

// A warning box shown while the window is hidden in the tray (a silent start, or the user closed it) is the
// only visible window: closing it must not end the program, which ends only through the tray menu.
void TestSettingsTray::warningsWhileHiddenKeepProgram()
{
    resetConfig({{QStringLiteral("apikey"), QStringLiteral("k1")}, {QStringLiteral("id"), QStringLiteral("7")}});
    service.enqueue("/all/api.php", ScriptedReply::json(R"({"status":"error"})"));
    service.enqueue("/all/api.php", ScriptedReply::text("", 500));
    MessageBoxCatcher boxes;
    window = new SettingsWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QVERIFY(!window->close());
    QVERIFY(!window->isVisible());
    auto *icon = window->findChild<QSystemTrayIcon *>();
    auto push = [this] {
        service::sendRequest(window->findChild<QNetworkAccessManager *>(), service::pushUrl("k1", false, "7", "0612"));
    };

    // Two pushes, as the hotkey sends them, fail in the program's event loop; each box is answered with OK. Then,
    // the program still running, a click on the tray icon brings the window back and asks for the devices, and
    // the tray menu's quit ends the loop.
    const QuitWatch watch;
    bool ranOn = false;
    int pushes = 0;
    QTimer afterBoxes;
    connect(&afterBoxes, &QTimer::timeout, window, [&] {
        if (pushes == boxes.seen.size() && pushes < 2) {
            ++pushes;
            push();
        } else if (boxes.seen.size() == 2) {
            afterBoxes.stop();
            connect(&service, &testsupport::TestService::requestReceived, window, [&](const QByteArray &target) {
                ranOn = target.startsWith("/all/devices_app.php") && window->isVisible();
                icon->contextMenu()->actions().constLast()->trigger(); // quit tapvela
            });
            emit icon->activated(QSystemTrayIcon::Trigger);
        }
    });
    afterBoxes.start(10);
    QTimer::singleShot(20000, window, [icon] { icon->contextMenu()->actions().constLast()->trigger(); });
    QCOMPARE(QApplication::exec(), 0);
    disconnect(&service, &testsupport::TestService::requestReceived, window, nullptr);
    QCOMPARE(watch.quits, 0);
    QVERIFY(ranOn);
    QCOMPARE(boxes.seen.size(), 2);
    QCOMPARE(boxes.seen.at(0).text, QStringLiteral("Error with your apikey, please reconnect you !"));
    QCOMPARE(boxes.seen.at(1).text, QStringLiteral("Error with your internet connection !"));
}

QTEST_MAIN(TestSettingsTray)
#include "tst_settingstray.moc"
