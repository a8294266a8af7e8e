#include "e2e/browser.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

// The phone page in Debian's headless Chromium on http://127.0.0.1, a secure origin: its service worker turns a
// push into a notification with a Call action, and its manifest lets the phone add it to the home screen. The
// browser's own push service is out of reach here: the push is handed to the worker through DevTools.
class TestPhonePageBrowser final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void pushesBecomeNotifications();
    void firstMinute_data();
    void firstMinute();

private:
    QTemporaryDir m_dir;
    QProcess m_server;
    QString m_origin;
    QString m_page;
};

void TestPhonePageBrowser::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_server.start(QStringLiteral(TAPVELA_SERVER),
                   {QStringLiteral("demo"), QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--db"),
                    m_dir.filePath(QStringLiteral("demo.db")), QStringLiteral("--vapid-subject"),
                    QStringLiteral("mailto:ops@example.org")});
    QVERIFY(m_server.waitForStarted(5000));
    const QRegularExpression pageLine(QStringLiteral("^phone page: ((http://127\\.0\\.0\\.1:\\d+)/d/\\S{32})$"));
    while (m_page.isEmpty()) {
        if (!m_server.canReadLine())
            QVERIFY2(m_server.waitForReadyRead(15000), "the demo service printed no phone page");
        const auto match = pageLine.match(QString::fromUtf8(m_server.readLine()).trimmed());
        if (match.hasMatch()) {
            m_page = match.captured(1);
            m_origin = match.captured(2);
        }
    }
}

void TestPhonePageBrowser::cleanupTestCase()
{
    if (m_server.state() == QProcess::NotRunning)
        return;
    m_server.terminate();
    QVERIFY(m_server.waitForFinished(10000));
}

void TestPhonePageBrowser::pushesBecomeNotifications()
{
    Browser phone;
    QVERIFY2(phone.open(m_page), qPrintable(phone.error()));
    QCOMPARE(phone.evaluate(QStringLiteral("document.readyState")).toString(), QStringLiteral("complete"));
    const QJsonObject granted = phone.command(
        QStringLiteral("Browser.grantPermissions"),
        {{QStringLiteral("origin"), m_origin}, {QStringLiteral("permissions"), QJsonArray{"notifications"}}});
    QVERIFY2(!granted.contains(QStringLiteral("error")), QJsonDocument(granted).toJson().constData());
    QVERIFY(!phone.command(QStringLiteral("ServiceWorker.enable")).contains(QStringLiteral("error")));
    // Chromium reports each notification it displays. The notifications are read only after that: a reading
    // while one is stored but not yet displayed makes Chromium forget it.
    QVERIFY(!phone
                 .command(QStringLiteral("BackgroundService.startObserving"),
                          {{QStringLiteral("service"), QStringLiteral("notifications")}})
                 .contains(QStringLiteral("error")));
    QVERIFY(!phone
                 .command(QStringLiteral("BackgroundService.setRecording"),
                          {{QStringLiteral("service"), QStringLiteral("notifications")},
                           {QStringLiteral("shouldRecord"), true}})
                 .contains(QStringLiteral("error")));

    // The page registers its worker by itself, for the page's folder.
    const QString scope = m_page + QLatin1Char('/');
    const QJsonObject registered = phone.waitForEvent(
        QStringLiteral("ServiceWorker.workerRegistrationUpdated"),
        [&](const QJsonObject &params) {
            for (const QJsonValue &entry : params[QStringLiteral("registrations")].toArray())
                if (entry[QStringLiteral("scopeURL")] == scope && !entry[QStringLiteral("isDeleted")].toBool())
                    return true;
            return false;
        },
        30000);
    QVERIFY2(!registered.isEmpty(),
             qPrintable(QStringLiteral("the page registered no worker for its folder: ") + phone.error()));
    QString registrationId;
    for (const QJsonValue &entry : registered[QStringLiteral("registrations")].toArray())
        if (entry[QStringLiteral("scopeURL")] == scope)
            registrationId = entry[QStringLiteral("registrationId")].toString();
    // A push reaches only an activated worker; an activating one would drop it.
    const QJsonObject activated = phone.waitForEvent(
        QStringLiteral("ServiceWorker.workerVersionUpdated"),
        [&](const QJsonObject &params) {
            for (const QJsonValue &version : params[QStringLiteral("versions")].toArray())
                if (version[QStringLiteral("registrationId")] == registrationId &&
                    version[QStringLiteral("status")] == QLatin1String("activated"))
                    return true;
            return false;
        },
        30000);
    QVERIFY2(!activated.isEmpty(), qPrintable(QStringLiteral("the page's worker was not activated: ") + phone.error()));
    const QString registration = QStringLiteral("navigator.serviceWorker.getRegistration('%1')").arg(scope);
    // The page learns of it over another channel than DevTools, so possibly a moment later.
    QTRY_VERIFY_WITH_TIMEOUT(
        phone.evaluate(registration + QStringLiteral(".then(r => !!r && !!r.active && r.active.state === 'activated')"))
            .toBool(),
        10000);

    // Hands a push to the worker and waits until Chromium displays the notification with this tag for it.
    const auto deliver = [&](const QString &data, const QString &tag) {
        const QJsonObject answer = phone.command(QStringLiteral("ServiceWorker.deliverPushMessage"),
                                                 {{QStringLiteral("origin"), m_origin},
                                                  {QStringLiteral("registrationId"), registrationId},
                                                  {QStringLiteral("data"), data}});
        if (answer.contains(QStringLiteral("error"))) {
            qWarning("push refused: %s", QJsonDocument(answer).toJson(QJsonDocument::Compact).constData());
            return false;
        }
        const QJsonObject displayed = phone.waitForEvent(
            QStringLiteral("BackgroundService.backgroundServiceEventReceived"),
            [&](const QJsonObject &params) {
                const QJsonObject event = params[QStringLiteral("backgroundServiceEvent")].toObject();
                return event[QStringLiteral("eventName")] == QLatin1String("Notification displayed") &&
                       event[QStringLiteral("serviceWorkerRegistrationId")] == registrationId &&
                       event[QStringLiteral("instanceId")] == tag;
            },
            30000);
        if (displayed.isEmpty())
            qWarning("no notification %s displayed for the push: %s", qPrintable(tag), qPrintable(phone.error()));
        return !displayed.isEmpty();
    };
    // What the worker showed, by tag.
    const auto shown = [&] {
        const QString list =
            phone
                .evaluate(registration + QStringLiteral(".then(r => r.getNotifications()).then(all => "
                                                        "JSON.stringify(all.map(n => ({tag: n.tag, title: "
                                                        "n.title, body: n.body, data: n.data, actions: "
                                                        "n.actions.map(a => a.action + ':' + a.title)}))))"))
                .toString();
        QMap<QString, QJsonObject> byTag;
        for (const QJsonValue &notification : QJsonDocument::fromJson(list.toUtf8()).array())
            byTag.insert(notification[QStringLiteral("tag")].toString(), notification.toObject());
        return byTag;
    };

    QVERIFY(deliver(QStringLiteral(R"({"device":"Demo phone","msg":"Call the plumber back",)"
                                   R"("number":"tel:+33612345678","id":41,"time":1765000000})"),
                    QStringLiteral("tapvela-41")));
    QVERIFY(shown().contains(QStringLiteral("tapvela-41")));
    const QJsonObject push = shown().value(QStringLiteral("tapvela-41"));
    QCOMPARE(push[QStringLiteral("title")].toString(), QStringLiteral("Demo phone"));
    QVERIFY(push[QStringLiteral("body")].toString().contains(QStringLiteral("Call the plumber back")));
    QCOMPARE(push[QStringLiteral("actions")].toArray(), QJsonArray{"call:Call"});
    QCOMPARE(push[QStringLiteral("data")][QStringLiteral("number")].toString(), QStringLiteral("tel:+33612345678"));

    // A push that cannot be read is still shown, and offers no call.
    QVERIFY(deliver(QStringLiteral("not JSON"), QStringLiteral("tapvela")));
    QVERIFY(shown().contains(QStringLiteral("tapvela")));
    QCOMPARE(shown().value(QStringLiteral("tapvela"))[QStringLiteral("actions")].toArray(), QJsonArray());

    // The manifest as Chromium reads it, and both icons it names, loaded as images (as the home screen loads
    // them, under the page's content policy) at their sizes.
    const QJsonObject manifest = phone.command(QStringLiteral("Page.getAppManifest"));
    QVERIFY2(manifest[QStringLiteral("errors")].toArray().isEmpty(), QJsonDocument(manifest).toJson().constData());
    const QJsonObject data = QJsonDocument::fromJson(manifest[QStringLiteral("data")].toString().toUtf8()).object();
    QCOMPARE(data[QStringLiteral("display")].toString(), QStringLiteral("standalone"));
    QStringList sizes;
    for (const QJsonValue &icon : data[QStringLiteral("icons")].toArray()) {
        const QString src = QUrl(manifest[QStringLiteral("url")].toString())
                                .resolved(QUrl(icon[QStringLiteral("src")].toString()))
                                .toString();
        sizes << phone
                     .evaluate(QStringLiteral("new Promise(done => { const image = new Image(); "
                                              "image.onload = () => done(image.naturalWidth + 'x' + "
                                              "image.naturalHeight); image.onerror = () => done('refused: ' + "
                                              "image.src); image.src = '%1'; })")
                                   .arg(src))
                     .toString();
    }
    QCOMPARE(sizes, (QStringList{QStringLiteral("192x192"), QStringLiteral("512x512")}));
}

void TestPhonePageBrowser::firstMinute_data()
{
    QTest::addColumn<QStringList>("arguments"); // Chromium's
    QTest::addColumn<bool>("plainHttp");
    QTest::addColumn<QString>("permission"); // set before the page is read again; none when empty
    QTest::addColumn<bool>("touch");         // a touch screen, emulated before the page is read again
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("shown");

    const QString iPhone = QStringLiteral("--user-agent=Mozilla/5.0 (iPhone; CPU iPhone OS 17_4 like Mac OS X) "
                                          "AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.4 Mobile/15E148 "
                                          "Safari/604.1");
    QTest::newRow("first open") << QStringList() << false << QString() << false << "off"
                                << "Turn on notifications";
    QTest::newRow("iPhone outside the home screen")
        << QStringList{iPhone} << false << QString() << false << "home-screen"
        << "Add to Home Screen";
    // iPadOS's Safari names itself a Mac: its touch screen tells them apart.
    const QString mac = QStringLiteral("--user-agent=Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) "
                                       "AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.4 Safari/605.1.15");
    QTest::newRow("iPad outside the home screen") << QStringList{mac} << false << QString() << true << "home-screen"
                                                  << "Add to Home Screen";
    QTest::newRow("Mac") << QStringList{mac} << false << QString() << false << "off"
                         << "Turn on notifications";
    QTest::newRow("permission refused") << QStringList() << false << "denied" << false << "denied"
                                        << "To allow them again";
    // A name that is not this computer's makes the page an insecure context, as any http address on a network is.
    QTest::newRow("plain http") << QStringList{QStringLiteral("--host-resolver-rules=MAP tapvela.test 127.0.0.1")}
                                << true << QString() << false << "insecure"
                                << "Open the https address";
}

// What the page asks of the user in its first minute, by what the browser can do.
void TestPhonePageBrowser::firstMinute()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, plainHttp);
    QFETCH(QString, permission);
    QFETCH(bool, touch);
    QFETCH(QString, state);
    QFETCH(QString, shown);
    QString page = m_page;
    if (plainHttp)
        page.replace(QStringLiteral("//127.0.0.1:"), QStringLiteral("//tapvela.test:"));
    Browser phone;
    QVERIFY2(phone.open(page, arguments), qPrintable(phone.error()));
    if (!permission.isEmpty()) {
        const QJsonObject set = phone.command(
            QStringLiteral("Browser.setPermission"),
            {{QStringLiteral("origin"), m_origin},
             {QStringLiteral("permission"), QJsonObject{{QStringLiteral("name"), QStringLiteral("notifications")}}},
             {QStringLiteral("setting"), permission}});
        QVERIFY2(!set.contains(QStringLiteral("error")), QJsonDocument(set).toJson().constData());
    }
    if (touch) {
        const QJsonObject set =
            phone.command(QStringLiteral("Emulation.setTouchEmulationEnabled"),
                          {{QStringLiteral("enabled"), true}, {QStringLiteral("maxTouchPoints"), 5}});
        QVERIFY2(!set.contains(QStringLiteral("error")), QJsonDocument(set).toJson().constData());
    }
    if (touch || !permission.isEmpty())
        phone.evaluate(QStringLiteral("location.reload()"));
    const QString read = QStringLiteral("(() => { const s = document.getElementById('setup'); "
                                        "return s && !s.hidden ? s.dataset.state + '|' + s.innerText : ''; })()");
    QTRY_COMPARE_WITH_TIMEOUT(phone.evaluate(read).toString().section(QLatin1Char('|'), 0, 0), state, 20000);
    const QString text = phone.evaluate(read).toString();
    QVERIFY2(text.contains(shown), qPrintable(text));
    // The pushes' list still works beside it.
    QTRY_COMPARE_WITH_TIMEOUT(phone.evaluate(QStringLiteral("document.getElementById('state').textContent")).toString(),
                              QStringLiteral("live"), 20000);
}

QTEST_MAIN(TestPhonePageBrowser)
#include "tst_phonepage_browser.moc"
