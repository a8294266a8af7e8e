#include "desktop/desktopcontroller.h"

#include "app/config.h"
#include "hotkey/hotkeymatcher.h"
#include "hotkey/sending.h"
#include "hotkey/windowsthread.h"
#include "login/mainwindow.h"
#include "settings/settingswindow.h"
#include "support/messageboxcatcher.h"
#include "support/testhelpers.h"
#include "support/testservice.h"

#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QtTest>

using testsupport::ScriptedReply;
using testsupport::topLevelWindows;

namespace {

QList<testsupport::RecordedRequest> pushes(const testsupport::TestService &service)
{
    QList<testsupport::RecordedRequest> found;
    for (const testsupport::RecordedRequest &request : service.requests()) {
        if (request.path() == "/all/api.php")
            found.append(request);
    }
    return found;
}

int visibleIndicators()
{
    int count = 0;
    for (Sending *indicator : topLevelWindows<Sending>())
        count += indicator->isVisible() ? 1 : 0;
    return count;
}

} // namespace

// The windows switch on their own announcements: a sign-in brings the settings window, a disconnect a new login
// window, and the watcher follows: it reaches the current settings window and no other.
class TestDesktopController : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void switching_data();
    void switching();

private:
    // Signs in through the login window's form; the service answers with apiKey.
    SettingsWindow *signIn(DesktopController &desktop, const QByteArray &apiKey);

    testsupport::TestService service;
    QTemporaryDir scratch;
};

void TestDesktopController::initTestCase()
{
    QVERIFY(service.isListening());
    QVERIFY(scratch.isValid());
    service.exportServiceUrl();
    service.setReply("/all/devices_app.php",
                     ScriptedReply::json(R"({"status":"valid","devices":[{"id":"7","name":"Phone"}]})"));
    service.setReply("/all/api.php", ScriptedReply::json(R"({"status":"valid"})"));
    // The settings window looks for its start-at-login entry: away from the user's.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(scratch.filePath(QStringLiteral("xdg"))));
}

void TestDesktopController::cleanup()
{
    QFile::remove(configFilePath());
    qDeleteAll(topLevelWindows<Sending>());
}

SettingsWindow *TestDesktopController::signIn(DesktopController &desktop, const QByteArray &apiKey)
{
    auto *login = qobject_cast<MainWindow *>(desktop.currentWindow());
    if (!login)
        return nullptr;
    service.setReply("/all/login_app.php", ScriptedReply::text(apiKey));
    login->findChild<QLineEdit *>(QStringLiteral("username"))->setText(QStringLiteral("user"));
    QTest::mouseClick(login->findChild<QPushButton *>(QStringLiteral("connection")), Qt::LeftButton);
    if (!QTest::qWaitFor([&desktop] { return qobject_cast<SettingsWindow *>(desktop.currentWindow()); }, 10000))
        return nullptr;
    // The login window is closed, its grey icon gone with it.
    if (login->isVisible() || login->findChild<QSystemTrayIcon *>()->isVisible())
        return nullptr;
    return qobject_cast<SettingsWindow *>(desktop.currentWindow());
}

void TestDesktopController::switching_data()
{
    QTest::addColumn<QString>("storedKey"); // "no": signed out
    QTest::addColumn<int>("hotkeyIndex");   // stored

    QTest::newRow("signed out at start") << "no" << 14;
    QTest::newRow("signed in at start") << "k1" << 28;
}

void TestDesktopController::switching()
{
    QFETCH(QString, storedKey);
    QFETCH(int, hotkeyIndex);

    QFile::remove(configFilePath());
    QSettings config(configFilePath(), QSettings::IniFormat);
    config.setValue(QStringLiteral("apikey"), storedKey);
    config.setValue(QStringLiteral("id"), QStringLiteral("7"));
    config.setValue(QStringLiteral("key"), QString::number(hotkeyIndex));
    config.sync();
    service.clearRequests();
    testsupport::MessageBoxCatcher boxes;

    DesktopController desktop;
    WindowsThread &watcher = desktop.watcher();
    const QPointer<QMainWindow> first = desktop.openFirstWindow(config, {QStringLiteral("tapvela")});
    QCOMPARE(desktop.currentWindow(), first.data());
    QPointer<SettingsWindow> settings = qobject_cast<SettingsWindow *>(first);
    QCOMPARE(settings.isNull(), storedKey == QLatin1String("no"));
    if (!settings) {
        // Nobody signed in: the watcher's announcements reach no window.
        emit watcher.createSendingWindow();
        QCOMPARE(visibleIndicators(), 0);
        settings = signIn(desktop, "k1");
        QVERIFY(settings);
    }
    QVERIFY(settings->isVisible());
    QCOMPARE(topLevelWindows<SettingsWindow>().size(), 1);

    // The watcher watches the stored key, then the user's choice.
    QCOMPARE(watcher.watchedHotkey().virtualKey, hotkey::hotkeyForIndex(hotkeyIndex).virtualKey);
    settings->findChild<QComboBox *>(QStringLiteral("keyList"))->setCurrentIndex(3);
    QCOMPARE(watcher.watchedHotkey().virtualKey, hotkey::hotkeyForIndex(3).virtualKey);
    // A captured number is pushed by the window, with the api key and the default device that it keeps.
    emit watcher.selectionCaptured(QStringLiteral("+33612345678"));
    QTRY_COMPARE_WITH_TIMEOUT(pushes(service).size(), 1, 20000);
    QCOMPARE(pushes(service).constFirst().queryValue(QStringLiteral("apikey")), QStringLiteral("k1"));
    QCOMPARE(pushes(service).constFirst().queryValue(QStringLiteral("devices")), QStringLiteral("7"));
    QCOMPARE(pushes(service).constFirst().queryValue(QStringLiteral("extra")), QStringLiteral("tel:+33612345678"));

    // A disconnect brings a new login window; the settings window goes, and the watcher reaches nothing.
    QTest::mouseClick(settings->findChild<QPushButton *>(QStringLiteral("disconnect")), Qt::LeftButton);
    auto *login = qobject_cast<MainWindow *>(desktop.currentWindow());
    QVERIFY(login);
    QVERIFY(login != first);
    QVERIFY(login->isVisible());
    QVERIFY(QApplication::quitOnLastWindowClosed()); // closing it ends the program again
    QTRY_VERIFY(settings.isNull());
    emit watcher.selectionCaptured(QStringLiteral("+33699999999"));
    emit watcher.createSendingWindow();
    QCOMPARE(visibleIndicators(), 0);

    // Signed in again: the new settings window, and it alone, answers the watcher.
    settings = signIn(desktop, "k2");
    QVERIFY(settings);
    QCOMPARE(topLevelWindows<SettingsWindow>().size(), 1);
    emit watcher.selectionCaptured(QStringLiteral("0612345678"));
    emit watcher.createSendingWindow();
    QCOMPARE(visibleIndicators(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(pushes(service).size() >= 2, 20000);
    const QList<testsupport::RecordedRequest> pushed = pushes(service);
    QCOMPARE(pushed.size(), 2);
    QCOMPARE(pushed.constLast().queryValue(QStringLiteral("apikey")), QStringLiteral("k2"));
    QCOMPARE(pushed.constLast().queryValue(QStringLiteral("extra")), QStringLiteral("tel:0612345678"));
    QVERIFY(boxes.seen.isEmpty());
}

QTEST_MAIN(TestDesktopController)
#include "tst_desktopcontroller.moc"
