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
                    m_dir.filePath(QStringLiteral("demo.db"))});
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
    QTRY_COMPARE_WITH_TIMEOUT(phone.evaluate(QStringLiteral("document.readyState")).toString(),
                              QStringLiteral("complete"), 10000);
    const QJsonObject granted = phone.command(
        QStringLiteral("Browser.grantPermissions"),
        {{QStringLiteral("origin"), m_origin}, {QStringLiteral("permissions"), QJsonArray{"notifications"}}});
    QVERIFY2(!granted.contains(QStringLiteral("error")), QJsonDocument(granted).toJson().constData());
    QVERIFY(!phone.command(QStringLiteral("ServiceWorker.enable")).contains(QStringLiteral("error")));

    // The page registers its worker by itself, for the page's folder.
    const QString scope = m_page + QLatin1Char('/');
    const QString registration = QStringLiteral("navigator.serviceWorker.getRegistration('%1')").arg(scope);
    // A push reaches only an activated worker; an activating one would drop it.
    QTRY_VERIFY_WITH_TIMEOUT(
        phone.evaluate(registration + QStringLiteral(".then(r => !!r && !!r.active && r.active.state === 'activated')"))
            .toBool(),
        20000);
    const auto registrationId = [&] {
        for (const QJsonObject &event : phone.events()) {
            if (event[QStringLiteral("method")] != QLatin1String("ServiceWorker.workerRegistrationUpdated"))
                continue;
            for (const QJsonValue &entry : event[QStringLiteral("params")][QStringLiteral("registrations")].toArray())
                if (entry[QStringLiteral("scopeURL")].toString() == scope)
                    return entry[QStringLiteral("registrationId")].toString();
        }
        return QString();
    };
    QTRY_VERIFY_WITH_TIMEOUT(!registrationId().isEmpty(), 10000);

    const auto deliver = [&](const QString &data) {
        const QJsonObject answer = phone.command(QStringLiteral("ServiceWorker.deliverPushMessage"),
                                                 {{QStringLiteral("origin"), m_origin},
                                                  {QStringLiteral("registrationId"), registrationId()},
                                                  {QStringLiteral("data"), data}});
        return !answer.contains(QStringLiteral("error"));
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
                                   R"("number":"tel:+33612345678","id":41,"time":1765000000})")));
    QTRY_VERIFY_WITH_TIMEOUT(shown().contains(QStringLiteral("tapvela-41")), 10000);
    const QJsonObject push = shown().value(QStringLiteral("tapvela-41"));
    QCOMPARE(push[QStringLiteral("title")].toString(), QStringLiteral("Demo phone"));
    QVERIFY(push[QStringLiteral("body")].toString().contains(QStringLiteral("Call the plumber back")));
    QCOMPARE(push[QStringLiteral("actions")].toArray(), QJsonArray{"call:Call"});
    QCOMPARE(push[QStringLiteral("data")][QStringLiteral("number")].toString(), QStringLiteral("tel:+33612345678"));

    // A push that cannot be read is still shown, and offers no call.
    QVERIFY(deliver(QStringLiteral("not JSON")));
    QTRY_VERIFY_WITH_TIMEOUT(shown().contains(QStringLiteral("tapvela")), 10000);
    QCOMPARE(shown().value(QStringLiteral("tapvela"))[QStringLiteral("actions")].toArray(), QJsonArray());

    // The manifest as Chromium reads it, and both icons it names, drawn at their sizes.
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
                     .evaluate(QStringLiteral("fetch('%1').then(r => r.blob()).then(createImageBitmap)"
                                              ".then(b => b.width + 'x' + b.height)")
                                   .arg(src))
                     .toString();
    }
    QCOMPARE(sizes, (QStringList{QStringLiteral("192x192"), QStringLiteral("512x512")}));
}

QTEST_MAIN(TestPhonePageBrowser)
#include "tst_phonepage_browser.moc"
