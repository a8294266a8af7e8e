#include "faketray.h"
#include "settings/settingswindow.h"
#include "settingstest.h"

#include "support/testservice.h"

#include <QtTest>

using namespace settingstest;

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

QTEST_MAIN(TestSettingsTray)
#include "tst_settingstray.moc"
