#include "app/config.h"
#include "app/uilanguage.h"
#include "desktop/desktopcontroller.h"
#include "login/mainwindow.h"
#include "service/requests.h"
#include "service/serviceaddress.h"
#include "settings/settingswindow.h"
#include "support/messageboxcatcher.h"
#include "support/stdoutcapture.h"
#include "support/testhelpers.h"
#include "support/testservice.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QToolBar>
#include <QtTest>

#include <memory>

using testsupport::MessageBoxCatcher;
using testsupport::ScriptedReply;
using testsupport::SeenBox;
using testsupport::StdoutCapture;
using testsupport::TestService;
using testsupport::topLevelWindows;

Q_DECLARE_METATYPE(testsupport::ScriptedReply)

namespace {

const QByteArray loginPath("/all/login_app.php");

// The language the run was started in (set by CTest); the program's own test when run by hand.
bool expectFrench()
{
    const QByteArray expected = qgetenv("TAPVELA_EXPECT_FRENCH");
    return expected.isEmpty() ? isFrenchInterface() : expected == "1";
}

QString loginTitle()
{
    return expectFrench() ? QStringLiteral("tapvela - connexion") : QStringLiteral("tapvela - connection");
}

QString connectionText()
{
    return expectFrench() ? QStringLiteral("Erreur avec votre connexion internet !")
                          : QStringLiteral("Error with your internet connection !");
}

QString credentialsText()
{
    return expectFrench() ? QStringLiteral("Erreur avec votre identifiant/mot de passe !")
                          : QStringLiteral("Error with your username/password !");
}

// Notes what config.ini holds on disk when the first event reaches a settings window, which happens while
// it is being built and before it is shown.
class SettingsWindowWatch final : public QObject
{
public:
    explicit SettingsWindowWatch(const QString &copyPath) : copyPath(copyPath) { qApp->installEventFilter(this); }
    ~SettingsWindowWatch() override { qApp->removeEventFilter(this); }

    bool seen = false;
    bool diskHadKey = false;
    QString diskKey;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        Q_UNUSED(event)
        if (!seen && qobject_cast<SettingsWindow *>(watched)) {
            seen = true;
            // A settings object on a copy reads the disk, not the process's shared copy of config.ini.
            QFile::remove(copyPath);
            if (QFile::copy(configFilePath(), copyPath)) {
                QSettings onDisk(copyPath, QSettings::IniFormat);
                diskHadKey = onDisk.contains(QStringLiteral("apikey"));
                diskKey = onDisk.value(QStringLiteral("apikey")).toString();
            }
        }
        return false;
    }

private:
    QString copyPath;
};

} // namespace

class TestLogin : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void formGeometry_data();
    void formGeometry();
    void formLooks();
    void fixedWindow();
    void texts();
    void trayIcon_data();
    void trayIcon();
    void wireForm_data();
    void wireForm();
    void eachWayInSendsOnce_data();
    void eachWayInSendsOnce();
    void secondAttemptWhilePending();
    void credentialsRefused();
    void connectionFailure_data();
    void connectionFailure();
    void hungLoginEndsAsNetworkError();
    void notTheService_data();
    void notTheService();
    void changeService_data();
    void changeService();
    void chosenServiceOutlivesSignOutAndRestart();
    void administratorsDefault();
    void success_data();
    void success();
    void diagnosticsHideTheKey();
    void closeHidesTrayIcon();

private:
    void checkWarning(const SeenBox &box, const QString &text) const;
    void storeApiKey(const QString &apiKey);
    void signIn(const QString &username, const QString &password);
    void expectOneWarning(const MessageBoxCatcher &answerer, const QString &text) const;
    void clearConfig();
    MainWindow *openWindow();
    QLineEdit *field(const char *name) const;
    QPushButton *button() const;
    QLabel *serviceLine() const;
    QLabel *changeLink() const;
    // Follows the "Change…" link, types the address into the dialog and accepts it.
    void chooseService(const QString &typed);
    int pendingReplies() const;
    QList<testsupport::RecordedRequest> loginRequests() const;

    TestService service;
    QTemporaryDir scratch;
    // Makes the login windows and, on a sign-in, the settings window; its watcher is never started.
    std::unique_ptr<DesktopController> controller;
    QPointer<MainWindow> window;
};

void TestLogin::initTestCase()
{
    QVERIFY(service.isListening());
    QVERIFY(scratch.isValid());
    if (!qEnvironmentVariableIsEmpty("TAPVELA_EXPECT_FRENCH"))
        QCOMPARE(isFrenchInterface(), expectFrench());
    // A settings window built by a sign-in looks for its start-at-login entry: keep it away from the user's.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(scratch.filePath(QStringLiteral("xdg"))));
    // Tests open and close windows without running the application's loop.
    QApplication::setQuitOnLastWindowClosed(false);
    controller = std::make_unique<DesktopController>();
}

void TestLogin::init()
{
    service.exportServiceUrl();
    service.clearRequests();
    service.setReply(loginPath, ScriptedReply::text("error"));
    service.setReply("/all/devices_app.php", ScriptedReply::json(R"({"status":"valid","devices":[]})"));
    clearConfig();
}

void TestLogin::cleanup()
{
    delete window.data();
    qDeleteAll(topLevelWindows<MainWindow>());
    qDeleteAll(topLevelWindows<SettingsWindow>());
    clearConfig();
}

void TestLogin::clearConfig()
{
    // Through a settings object, so that the process's shared copy of the file forgets the old values too.
    {
        QSettings config(configFilePath(), QSettings::IniFormat);
        config.clear();
        config.sync();
    }
    QFile::remove(configFilePath());
}

// A warning box of the login window: its title, the text, the one OK button.
void TestLogin::checkWarning(const SeenBox &box, const QString &text) const
{
    QCOMPARE(box.title, loginTitle());
    QCOMPARE(box.text, text);
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.buttonCount, 1);
    QVERIFY(box.onlyOkCanBeDefault);
    QCOMPARE(box.parent, window.data());
}

// Opens the window and signs in with these fields by a click on GO.
void TestLogin::signIn(const QString &username, const QString &password)
{
    openWindow();
    field("username")->setText(username);
    field("password")->setText(password);
    QTest::mouseClick(button(), Qt::LeftButton);
}

// Waits for the attempt's warning, the only one, and checks it.
void TestLogin::expectOneWarning(const MessageBoxCatcher &answerer, const QString &text) const
{
    QTRY_COMPARE_WITH_TIMEOUT(answerer.seen.size(), 1, 15000);
    checkWarning(answerer.seen.first(), text);
}

void TestLogin::storeApiKey(const QString &apiKey)
{
    QSettings config(configFilePath(), QSettings::IniFormat);
    config.setValue(QStringLiteral("apikey"), apiKey);
    config.sync();
    QCOMPARE(config.status(), QSettings::NoError);
}

MainWindow *TestLogin::openWindow()
{
    window = controller->makeLoginWindow();
    window->showNormal();
    return window;
}

QLineEdit *TestLogin::field(const char *name) const
{
    return window->findChild<QLineEdit *>(QLatin1String(name));
}

QPushButton *TestLogin::button() const
{
    return window->findChild<QPushButton *>(QStringLiteral("connection"));
}

QLabel *TestLogin::serviceLine() const
{
    return window->findChild<QLabel *>(QStringLiteral("serviceLine"));
}

QLabel *TestLogin::changeLink() const
{
    return window->findChild<QLabel *>(QStringLiteral("serviceChange"));
}

void TestLogin::chooseService(const QString &typed)
{
    QVERIFY(changeLink());
    QVERIFY(QMetaObject::invokeMethod(changeLink(), "linkActivated", Q_ARG(QString, QStringLiteral("change"))));
    QInputDialog *dialog = nullptr;
    QTRY_VERIFY((dialog = window->findChild<QInputDialog *>(QStringLiteral("serviceDialog"))) && dialog->isVisible());
    dialog->setTextValue(typed);
    dialog->accept();
    // The window takes the answer from its event queue.
    QCoreApplication::sendPostedEvents(window.data(), QEvent::MetaCall);
}

int TestLogin::pendingReplies() const
{
    // The manager parents every reply it creates until the handler releases it.
    return window->findChild<QNetworkAccessManager *>()->findChildren<QNetworkReply *>().size();
}

QList<testsupport::RecordedRequest> TestLogin::loginRequests() const
{
    QList<testsupport::RecordedRequest> result;
    for (const testsupport::RecordedRequest &request : service.requests()) {
        if (request.path() == loginPath)
            result.append(request);
    }
    return result;
}

void TestLogin::formGeometry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("geometry");
    QTest::newRow("background picture") << "label"
                                        << "QLabel" << QRect(0, 0, 242, 255);
    QTest::newRow("user name") << "username"
                               << "QLineEdit" << QRect(10, 105, 221, 21);
    QTest::newRow("password") << "password"
                              << "QLineEdit" << QRect(10, 133, 221, 21);
    QTest::newRow("GO button") << "connection"
                               << "QPushButton" << QRect(88, 173, 72, 71);
    // Under the picture: the service signed in to, and the link that changes it.
    QTest::newRow("service") << "serviceLine"
                             << "QLabel" << QRect(6, 255, 168, 22);
    QTest::newRow("service change") << "serviceChange"
                                    << "QLabel" << QRect(174, 255, 62, 22);
}

void TestLogin::formGeometry()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QRect, geometry);
    openWindow();
    auto *central = window->findChild<QWidget *>(QStringLiteral("centralWidget"));
    QVERIFY(central);
    QCOMPARE(window->centralWidget(), central);
    auto *widget = central->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->parentWidget(), central);
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QCOMPARE(widget->geometry(), geometry);
}

void TestLogin::formLooks()
{
    openWindow();
    QCOMPARE(window->objectName(), QStringLiteral("MainWindow"));
    QVERIFY(!window->windowIcon().isNull());
    QVERIFY(!window->menuWidget());
    QVERIFY(!window->findChild<QStatusBar *>());
    QVERIFY(!window->findChild<QToolBar *>());

    // Later children lie on top: the picture at the bottom, the button over everything.
    const QList<QWidget *> order =
        window->centralWidget()->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
    QCOMPARE(order.size(), 6);
    QCOMPARE(order.first()->objectName(), QStringLiteral("label"));
    QCOMPARE(order.last()->objectName(), QStringLiteral("connection"));

    auto *label = window->findChild<QLabel *>(QStringLiteral("label"));
    const QPixmap picture = label->pixmap(Qt::ReturnByValue);
    QVERIFY(!picture.isNull());
    QCOMPARE(picture.size() / picture.devicePixelRatio(), QSize(242, 255));
    QVERIFY(label->text().isEmpty());

    for (const char *name : {"username", "password"}) {
        QLineEdit *edit = field(name);
        QVERIFY(edit);
        QVERIFY(!edit->hasFrame());
        QVERIFY(edit->text().isEmpty());
        QVERIFY(edit->inputMask().isEmpty());
        QCOMPARE(edit->font().family(), QStringLiteral("Trebuchet MS"));
        QCOMPARE(edit->font().pointSize(), 11);
        QCOMPARE(edit->styleSheet(), QStringLiteral("color:#696969;\nbackground-color:rgba(0,0,0,0%);"));
        for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
            for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
                QCOMPARE(edit->palette().color(group, role), QColor(105, 105, 105, 255));
            for (QPalette::ColorRole role : {QPalette::Button, QPalette::Base, QPalette::Window})
                QCOMPARE(edit->palette().color(group, role), QColor(0, 0, 0, 0));
        }
    }
    QCOMPARE(field("username")->echoMode(), QLineEdit::Normal);
    QCOMPARE(field("password")->echoMode(), QLineEdit::Password);

    QPushButton *go = button();
    QVERIFY(go);
    QCOMPARE(go->text(), QStringLiteral("PushButton"));
    QVERIFY(go->autoDefault());
    QVERIFY(go->isDefault());
    QVERIFY(!go->autoFillBackground());
    QCOMPARE(go->styleSheet(), QStringLiteral("background-color: rgba( 35, 35, 35, 0% );\nborder: 0px solid black;\n"
                                              "color: rgba( 35, 35, 35, 0% );"));
}

void TestLogin::fixedWindow()
{
    openWindow();
    // The picture's height and the service line under it.
    const QSize fixed(242, 255 + 22);
    QCOMPARE(window->size(), fixed);
    QCOMPARE(window->minimumSize(), fixed);
    QCOMPARE(window->maximumSize(), fixed);
    QCOMPARE(window->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(window->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    const Qt::WindowFlags flags = window->windowFlags();
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(flags & Qt::WindowMinimizeButtonHint);
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(flags & Qt::WindowTitleHint);
    window->resize(400, 400);
    QCOMPARE(window->size(), fixed);
}

void TestLogin::texts()
{
    openWindow();
    if (expectFrench()) {
        QCOMPARE(window->windowTitle(), QStringLiteral("tapvela - connexion"));
        QCOMPARE(field("username")->placeholderText(), QStringLiteral("nom d'utilisateur"));
        QCOMPARE(field("password")->placeholderText(), QStringLiteral("mot de passe"));
        QCOMPARE(serviceLine()->text(), QStringLiteral("Service : 127.0.0.1:%1").arg(service.port()));
        QCOMPARE(changeLink()->text(), QStringLiteral("<a href=\"change\">Changer…</a>"));
    } else {
        QCOMPARE(window->windowTitle(), QStringLiteral("tapvela - login"));
        QCOMPARE(field("username")->placeholderText(), QStringLiteral("Username"));
        QCOMPARE(field("password")->placeholderText(), QStringLiteral("Password"));
        QCOMPARE(serviceLine()->text(), QStringLiteral("Service: 127.0.0.1:%1").arg(service.port()));
        QCOMPARE(changeLink()->text(), QStringLiteral("<a href=\"change\">Change…</a>"));
    }
}

void TestLogin::trayIcon_data()
{
    QTest::addColumn<bool>("store");
    QTest::addColumn<QString>("apiKey");
    QTest::addColumn<bool>("trayExpected");
    QTest::newRow("no config.ini") << false << QString() << true;
    QTest::newRow("api key \"no\"") << true << "no" << true;
    QTest::newRow("api key stored") << true << "4f1c9e2a7b" << false;
    QTest::newRow("empty api key is a key") << true << "" << false;
}

void TestLogin::trayIcon()
{
    QFETCH(bool, store);
    QFETCH(QString, apiKey);
    QFETCH(bool, trayExpected);
    if (store)
        storeApiKey(apiKey);
    openWindow();
    const QList<QSystemTrayIcon *> icons = window->findChildren<QSystemTrayIcon *>();
    if (!trayExpected) {
        QVERIFY(icons.isEmpty());
        return;
    }
    QCOMPARE(icons.size(), 1);
    QSystemTrayIcon *icon = icons.first();
    QVERIFY(icon->isVisible());
    QCOMPARE(icon->toolTip(), QStringLiteral("tapvela"));
    QVERIFY(!icon->icon().isNull());
    QVERIFY(!icon->contextMenu());
    QCOMPARE(icon->icon().pixmap(16, 16).toImage(),
             QIcon(QStringLiteral(":/icons/tapvela_Tray_Icone_16x16_Off.png")).pixmap(16, 16).toImage());
}

void TestLogin::wireForm_data()
{
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("digest");
    const QString secret = QStringLiteral("e5e9fa1ba31ecd1ae84f75caaa474f3a663f05f4");
    QTest::newRow("plain") << "alice"
                           << "secret" << secret;
    QTest::newRow("both empty") << ""
                                << ""
                                << "da39a3ee5e6b4b0d3255bfef95601890afd80709";
    QTest::newRow("blanks kept") << "  bob "
                                 << "  "
                                 << "099600a10a944114aac406d136b625fb416dd779";
    QTest::newRow("non-ASCII") << "Zoë Ünal 日本"
                               << "pässwörd"
                               << "f517ddf1d32a112ff1ad55c66d1b12cb38e7e8f7";
    QTest::newRow("query delimiters in the name") << "a&password=evil"
                                                  << "secret" << secret;
    QTest::newRow("fragment in the name") << "x#y"
                                          << "secret" << secret;
    QTest::newRow("escapes and plus") << "100% %2B+33"
                                      << "secret" << secret;
    QTest::newRow("hostile password") << "carol"
                                      << "p&ss#word=1%"
                                      << "9f157835158cd2967227a4d76be0643a88a6d708";
}

void TestLogin::wireForm()
{
    QFETCH(QString, username);
    QFETCH(QString, password);
    QFETCH(QString, digest);
    MessageBoxCatcher answerer;
    signIn(username, password);
    QVERIFY(service.waitForRequests(1));
    const testsupport::RecordedRequest request = service.lastRequest();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.path(), loginPath);
    QCOMPARE(request.queryKeys(), QStringList({QStringLiteral("username"), QStringLiteral("password")}));
    QCOMPARE(request.queryValue(QStringLiteral("username")), username);
    QCOMPARE(request.queryValue(QStringLiteral("password")), digest);
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{40}$")).match(request.queryValue("password")).hasMatch());
    if (!password.trimmed().isEmpty())
        QVERIFY(!request.target.contains(QUrl::toPercentEncoding(password)));
    QTRY_COMPARE(answerer.seen.size(), 1);
}

void TestLogin::eachWayInSendsOnce_data()
{
    QTest::addColumn<QString>("way");
    QTest::newRow("mouse press and release") << "click";
    QTest::newRow("Return in the user name") << "username";
    QTest::newRow("Return in the password") << "password";
    QTest::newRow("Space on the button") << "space";
    QTest::newRow("Return on the button") << "return";
}

void TestLogin::eachWayInSendsOnce()
{
    QFETCH(QString, way);
    service.setReply(loginPath, ScriptedReply::silence());
    openWindow();
    field("username")->setText(QStringLiteral("dave"));
    field("password")->setText(QStringLiteral("secret"));
    if (way == QLatin1String("click"))
        QTest::mouseClick(button(), Qt::LeftButton);
    else if (way == QLatin1String("username"))
        QTest::keyClick(field("username"), Qt::Key_Return);
    else if (way == QLatin1String("password"))
        QTest::keyClick(field("password"), Qt::Key_Return);
    else if (way == QLatin1String("space"))
        QTest::keyClick(button(), Qt::Key_Space);
    else
        QTest::keyClick(button(), Qt::Key_Return);
    QCOMPARE(pendingReplies(), 1);
    QVERIFY(service.waitForRequests(1));
    QCOMPARE(service.lastRequest().queryValue(QStringLiteral("username")), QStringLiteral("dave"));
    QCOMPARE(pendingReplies(), 1);
}

void TestLogin::secondAttemptWhilePending()
{
    service.setReply(loginPath, ScriptedReply::silence());
    MessageBoxCatcher answerer;
    openWindow();
    field("username")->setText(QStringLiteral("erin"));
    QTest::mouseClick(button(), Qt::LeftButton);
    QVERIFY(service.waitForRequests(1));

    field("username")->setText(QStringLiteral("frank"));
    QTest::mouseClick(button(), Qt::LeftButton);
    QTest::keyClick(field("username"), Qt::Key_Return);
    QTest::keyClick(field("password"), Qt::Key_Return);
    QCOMPARE(pendingReplies(), 1);
    QCoreApplication::processEvents();
    QVERIFY(answerer.seen.isEmpty());
    QVERIFY(!QApplication::activeModalWidget());
    QCOMPARE(loginRequests().size(), 1);
    QCOMPARE(loginRequests().first().queryValue(QStringLiteral("username")), QStringLiteral("erin"));
    QVERIFY(window->isVisible());
}

void TestLogin::credentialsRefused()
{
    MessageBoxCatcher answerer;
    signIn(QStringLiteral("grace"), QStringLiteral("wrong"));
    expectOneWarning(answerer, credentialsText());
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(field("username")->text(), QStringLiteral("grace"));
    QCOMPARE(field("password")->text(), QStringLiteral("wrong"));
    QVERIFY(window->isVisible());
    QVERIFY(window->findChild<QSystemTrayIcon *>()->isVisible());
    QVERIFY(topLevelWindows<SettingsWindow>().isEmpty());
    QCOMPARE(QSettings(configFilePath(), QSettings::IniFormat).value("apikey", "no").toString(), QStringLiteral("no"));

    // The user may try again at once: a new request with the same fields.
    QTest::keyClick(field("password"), Qt::Key_Return);
    QVERIFY(service.waitForRequests(2));
    QCOMPARE(loginRequests().size(), 2);
    QCOMPARE(loginRequests().last().target, loginRequests().first().target);
    QTRY_COMPARE_WITH_TIMEOUT(answerer.seen.size(), 2, 10000);
}

void TestLogin::connectionFailure_data()
{
    QTest::addColumn<ScriptedReply>("reply");
    QTest::addColumn<bool>("unreachable");
    QTest::newRow("HTTP 500") << ScriptedReply::text("internal error", 500) << false;
    QTest::newRow("HTTP 404") << ScriptedReply::text("not found", 404) << false;
    QTest::newRow("\"error\" with HTTP 500") << ScriptedReply::text("error", 500) << false;
    QTest::newRow("connection closed at once") << ScriptedReply::hangUp() << false;
    QTest::newRow("connection closed mid-reply") << ScriptedReply::truncated("4f1c") << false;
    QTest::newRow("nothing listening") << ScriptedReply() << true;
}

void TestLogin::connectionFailure()
{
    QFETCH(ScriptedReply, reply);
    QFETCH(bool, unreachable);
    service.setReply(loginPath, reply);
    if (unreachable) {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        qputenv("TAPVELA_SERVICE_URL", "http://127.0.0.1:" + QByteArray::number(port));
    }
    MessageBoxCatcher answerer;
    signIn(QStringLiteral("heidi"), QStringLiteral("secret"));
    expectOneWarning(answerer, connectionText());
    if (QTest::currentTestFailed())
        return;

    QVERIFY(window->isVisible());
    QCOMPARE(field("username")->text(), QStringLiteral("heidi"));
    QVERIFY(topLevelWindows<SettingsWindow>().isEmpty());
    QCOMPARE(QSettings(configFilePath(), QSettings::IniFormat).value("apikey", "no").toString(), QStringLiteral("no"));
    QTRY_COMPARE(pendingReplies(), 0);
}

void TestLogin::hungLoginEndsAsNetworkError()
{
    // A service that takes the request and never answers: the transfer time-out ends the wait.
    service.setReply(loginPath, ScriptedReply::silence());
    MessageBoxCatcher answerer;
    openWindow();
    window->setTransferTimeout(300);
    QTest::mouseClick(button(), Qt::LeftButton);
    QVERIFY(service.waitForRequests(1));
    expectOneWarning(answerer, connectionText());
    if (QTest::currentTestFailed())
        return;
    QVERIFY(window->isVisible());

    // The window is not left waiting: the next attempt is sent.
    service.setReply(loginPath, ScriptedReply::text("error"));
    QTest::mouseClick(button(), Qt::LeftButton);
    QVERIFY(service.waitForRequests(2));
    QTRY_COMPARE_WITH_TIMEOUT(answerer.seen.size(), 2, 10000);
    QCOMPARE(answerer.seen.last().text, credentialsText());
}

void TestLogin::notTheService_data()
{
    QTest::addColumn<ScriptedReply>("reply");
    QTest::addColumn<QString>("english");
    QTest::addColumn<QString>("french");
    const QString notService = QStringLiteral("%1 answered, but it is not a tapvela service. Check the service's "
                                              "address (\"Change…\" under the GO button).");
    const QString pasService = QStringLiteral("%1 a répondu, mais ce n'est pas un service tapvela. Vérifiez "
                                              "l'adresse du service (« Changer… » sous le bouton GO).");
    QTest::newRow("redirect") << ScriptedReply::redirect("https://portal.example/login") << notService << pasService;
    QTest::newRow("empty body") << ScriptedReply::text("") << notService << pasService;
    QTest::newRow("HTML page")
        << ScriptedReply::text("<html><body>It works!</body></html>").withHeader("Content-Type", "text/html")
        << notService << pasService;
    // The service's own throttle and its busy answer.
    QTest::newRow("429 Retry-After")
        << ScriptedReply::json(R"({"status":"too many attempts"})", 429).withHeader("Retry-After", "42")
        << "Too many attempts, try again in 42 s."
        << "Trop de tentatives, réessayez dans 42 s.";
    QTest::newRow("503 Retry-After") << ScriptedReply::json(R"({"status":"busy"})", 503).withHeader("Retry-After", "1")
                                     << "Too many attempts, try again in 1 s."
                                     << "Trop de tentatives, réessayez dans 1 s.";
}

void TestLogin::notTheService()
{
    QFETCH(ScriptedReply, reply);
    QFETCH(QString, english);
    QFETCH(QString, french);
    service.setReply(loginPath, reply);
    MessageBoxCatcher answerer;
    signIn(QStringLiteral("judy"), QStringLiteral("secret"));
    QString text = expectFrench() ? french : english;
    if (text.contains(QLatin1String("%1")))
        text = text.arg(QStringLiteral("127.0.0.1:%1").arg(service.port()));
    expectOneWarning(answerer, text);
    if (QTest::currentTestFailed())
        return;
    // Nothing stored, nobody signed in, and the user can try again.
    QVERIFY(window->isVisible());
    QVERIFY(topLevelWindows<SettingsWindow>().isEmpty());
    QCOMPARE(QSettings(configFilePath(), QSettings::IniFormat).value("apikey", "no").toString(), QStringLiteral("no"));
    service.setReply(loginPath, ScriptedReply::text("error"));
    QTest::mouseClick(button(), Qt::LeftButton);
    QVERIFY(service.waitForRequests(2));
}

void TestLogin::changeService_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("stored");
    QTest::addColumn<QString>("boxText"); // the one box shown, empty for none
    QTest::newRow("loopback, no scheme, no warning") << "127.0.0.1:48080" << true << QString();
    QTest::newRow("private http, after the warning")
        << "http://192.168.1.20:48080" << true
        << "http://192.168.1.20:48080 is not encrypted: your password digest and your api key will travel readable "
           "on that network, by anyone listening on it. Continue?";
    QTest::newRow("public http, refused") << "http://push.example.org" << false
                                          << "http:// is accepted only to this computer or a private network: the "
                                             "password and the api key would travel readable over the internet. "
                                             "Use https://.";
    QTest::newRow("password in it, refused")
        << "https://bob:pw@push.example.org" << false
        << "The address must not hold a user name or password (a \"name@\" part): type them in the login window.";
}

void TestLogin::changeService()
{
    QFETCH(QString, typed);
    QFETCH(bool, stored);
    QFETCH(QString, boxText);
    qunsetenv("TAPVELA_SERVICE_URL");
    MessageBoxCatcher answerer;
    openWindow();
    QCOMPARE(serviceLine()->text(),
             QStringLiteral("Service: ") + service::displayedServiceAddress(service::defaultServiceUrl()));
    chooseService(typed);
    if (boxText.isEmpty()) {
        QVERIFY(answerer.seen.isEmpty());
    } else {
        QTRY_COMPARE(answerer.seen.size(), 1);
        QCOMPARE(answerer.seen.first().title, QStringLiteral("tapvela - connection"));
        QCOMPARE(answerer.seen.first().text, boxText);
    }
    const QString server = QSettings(configFilePath(), QSettings::IniFormat).value("server").toString();
    if (stored) {
        const QString url = service::normaliseServiceAddress(typed).url;
        QCOMPARE(server, url);
        QCOMPARE(service::baseUrl(), url);
        QCOMPARE(serviceLine()->text(), QStringLiteral("Service: ") + service::displayedServiceAddress(url));
        QCOMPARE(serviceLine()->toolTip(), url);
    } else {
        // Nothing changed, and the dialog asks again with what was typed.
        QVERIFY(server.isEmpty());
        QCOMPARE(service::baseUrl(), service::defaultServiceUrl());
        QTRY_VERIFY(window->findChild<QInputDialog *>(QStringLiteral("serviceDialog")));
        QCOMPARE(window->findChild<QInputDialog *>(QStringLiteral("serviceDialog"))->textValue(), typed);
    }
}

void TestLogin::chosenServiceOutlivesSignOutAndRestart()
{
    // The user points the window at the service: no environment variable decides.
    qunsetenv("TAPVELA_SERVICE_URL");
    service.setReply(loginPath, ScriptedReply::text("k3y-chosen"));
    MessageBoxCatcher answerer;
    openWindow();
    chooseService(QStringLiteral("127.0.0.1:%1").arg(service.port()));
    QCOMPARE(serviceLine()->text(), QStringLiteral("Service: 127.0.0.1:%1").arg(service.port()));
    field("username")->setText(QStringLiteral("kate"));
    QTest::mouseClick(button(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(topLevelWindows<SettingsWindow>().size(), 1, 10000);
    QCOMPARE(loginRequests().size(), 1);
    SettingsWindow *settings = topLevelWindows<SettingsWindow>().first();
    QCOMPARE(settings->findChild<QSystemTrayIcon *>()->toolTip(),
             QStringLiteral("tapvela - 127.0.0.1:%1").arg(service.port()));

    // Disconnect: the new login window signs in to the same service.
    QTest::mouseClick(settings->findChild<QPushButton *>(QStringLiteral("disconnect")), Qt::LeftButton);
    QTRY_COMPARE(topLevelWindows<MainWindow>().size(), 2);
    for (MainWindow *login : topLevelWindows<MainWindow>()) {
        if (login != window.data())
            QCOMPARE(login->findChild<QLabel *>(QStringLiteral("serviceLine"))->text(),
                     QStringLiteral("Service: 127.0.0.1:%1").arg(service.port()));
    }
    QVERIFY(answerer.seen.isEmpty());

    // A restart reads it from config.ini on disk.
    delete window.data();
    qDeleteAll(topLevelWindows<MainWindow>());
    qDeleteAll(topLevelWindows<SettingsWindow>());
    {
        QSettings onDisk(configFilePath(), QSettings::IniFormat);
        QCOMPARE(onDisk.value("server").toString(), service.url());
        QCOMPARE(onDisk.value("apikey").toString(), QStringLiteral("no"));
    }
    service.clearRequests();
    service.setReply(loginPath, ScriptedReply::text("error"));
    signIn(QStringLiteral("kate"), QStringLiteral("secret"));
    QVERIFY(service.waitForRequests(1));
    QTRY_COMPARE(answerer.seen.size(), 1);
}

void TestLogin::administratorsDefault()
{
    // An administrator's config.ini in the system's configuration folders gives the address to every user who
    // has not chosen one; the user's choice and the environment variable come first.
    const QString system = scratch.filePath(QStringLiteral("etc-xdg"));
    QVERIFY(QDir().mkpath(system + QStringLiteral("/tapvela")));
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(system));
    const auto restore = qScopeGuard([] { qunsetenv("XDG_CONFIG_DIRS"); });
    if (!QStandardPaths::standardLocations(QStandardPaths::AppConfigLocation)
             .contains(system + QStringLiteral("/tapvela")))
        QSKIP("the system's configuration folders are XDG's on Linux only");
    {
        QSettings admin(system + QStringLiteral("/tapvela/config.ini"), QSettings::IniFormat);
        admin.setValue(QStringLiteral("server"), QStringLiteral("push.example.org"));
    }
    qunsetenv("TAPVELA_SERVICE_URL");
    QCOMPARE(service::baseUrl(), QStringLiteral("https://push.example.org"));
    openWindow();
    QCOMPARE(serviceLine()->text(), QStringLiteral("Service: push.example.org"));

    chooseService(QStringLiteral("127.0.0.1:%1").arg(service.port()));
    QCOMPARE(service::baseUrl(), service.url());
    qputenv("TAPVELA_SERVICE_URL", "http://127.0.0.1:9");
    QCOMPARE(service::baseUrl(), QStringLiteral("http://127.0.0.1:9"));
}

void TestLogin::success_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("apiKey");
    QTest::newRow("plain key") << QByteArray("k3y-0123456789abcdef") << "k3y-0123456789abcdef";
    QTest::newRow("\"error\" and a line break") << QByteArray("error\n") << "error\n";
    QTest::newRow("capital Error") << QByteArray("Error") << "Error";
    QTest::newRow("cut at NUL") << QByteArray("key\0tail", 8) << "key";
    QTest::newRow("non-ASCII") << QByteArray("cl\xc3\xa9-\xc3\xa9t\xc3\xa9")
                               << QString::fromUtf8("cl\xc3\xa9-\xc3\xa9t\xc3\xa9");
}

void TestLogin::success()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, apiKey);
    service.setReply(loginPath, ScriptedReply::text(body));
    MessageBoxCatcher answerer;
    openWindow();
    QSystemTrayIcon *grey = window->findChild<QSystemTrayIcon *>();
    QVERIFY(grey && grey->isVisible());
    field("username")->setText(QStringLiteral("ivan"));
    field("password")->setText(QStringLiteral("secret"));

    SettingsWindowWatch watch(scratch.filePath(QStringLiteral("config-copy.ini")));
    QTest::mouseClick(button(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), 10000);

    QVERIFY(watch.seen);
    QVERIFY(watch.diskHadKey);
    QCOMPARE(watch.diskKey, apiKey);
    const QList<SettingsWindow *> built = topLevelWindows<SettingsWindow>();
    QCOMPARE(built.size(), 1);
    QVERIFY(built.first()->isVisible());
    QVERIFY(!built.first()->isMinimized());
    QVERIFY(!grey->isVisible());
    QCOMPARE(QSettings(configFilePath(), QSettings::IniFormat).value("apikey", "no").toString(), apiKey);
    QVERIFY(answerer.seen.isEmpty());
    QCOMPARE(loginRequests().size(), 1);

    // The settings window asks for the devices with the key it read: the new one.
    QVERIFY(service.waitForRequests(2));
    const testsupport::RecordedRequest devices = service.lastRequest();
    QCOMPARE(devices.path(), QByteArray("/all/devices_app.php"));
    QCOMPARE(devices.queryValue(QStringLiteral("apikey")), apiKey);
}

void TestLogin::diagnosticsHideTheKey()
{
    const QString key = QStringLiteral("f00dcafe0123456789");
    MessageBoxCatcher answerer;
    service.setReply(loginPath, ScriptedReply::text(key.toUtf8()));
    // Nothing inside the capture may print a test result: it would go to the file.
    bool captured = false;
    bool signedIn = false;
    bool refused = false;
    QList<QByteArray> lines;
    {
        StdoutCapture capture;
        captured = capture.isActive();
        openWindow();
        QTest::mouseClick(button(), Qt::LeftButton);
        signedIn = QTest::qWaitFor([this] { return !window->isVisible(); }, 10000);
        delete window.data();
        qDeleteAll(topLevelWindows<SettingsWindow>());
        service.setReply(loginPath, ScriptedReply::text("error"));
        clearConfig();
        openWindow();
        QTest::mouseClick(button(), Qt::LeftButton);
        refused = QTest::qWaitFor([&answerer] { return !answerer.seen.isEmpty(); }, 10000);
        delete window.data();
        storeApiKey(key);
        openWindow();
        lines = capture.lines();
    }
    QVERIFY(captured);
    QVERIFY(signedIn);
    QVERIFY(refused);
    QVERIFY2(!lines.join('\n').contains(key.toUtf8()), "the api key was printed whole");
    QVERIFY(lines.contains("not connected"));
    QVERIFY(lines.contains("f00d\xE2\x80\xA6"));
    QVERIFY(lines.contains("error"));
    QVERIFY(lines.contains("connected f00d\xE2\x80\xA6"));
}

void TestLogin::closeHidesTrayIcon()
{
    openWindow();
    QSystemTrayIcon *grey = window->findChild<QSystemTrayIcon *>();
    QVERIFY(grey && grey->isVisible());
    QVERIFY(window->close());
    QVERIFY(!window->isVisible());
    QVERIFY(!grey->isVisible());
}

QTEST_MAIN(TestLogin)
#include "tst_login.moc"
