// Pairing a phone from the settings window: the name asked, the request sent, and the QR code shown read back
// from a screenshot of the window by an independent reader (zbarimg). Under Wine the screenshot is left for the
// Linux side to read (phonepairing_wine.sh).
#include "settings/phonepairingwindow.h"
#include "settings/settingswindow.h"
#include "settingstest.h"

#include "service/messages.h"
#include "support/testservice.h"

#include <QClipboard>
#include <QDialogButtonBox>
#include <QFile>
#include <QGuiApplication>
#include <QInputDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QtTest>

using namespace settingstest;
using testsupport::ScriptedReply;

Q_DECLARE_METATYPE(testsupport::ScriptedReply)

namespace {

const QByteArray devicesPath = "/all/devices_app.php";
const QByteArray addDevicePath = "/all/add_device_app.php";
const QByteArray devicePagePath = "/all/device_page_app.php";
const QByteArray oneDevice = R"({"status":"valid","devices":[{"id":"7","name":"Pixel"}]})";

// A page address and its QR code's rows, as the service would answer them (made with libqrencode).
QJsonObject phonePage()
{
    QFile file(QStringLiteral(":/phonepage_reply.json"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

QByteArray addedReply(const QJsonObject &page)
{
    QJsonObject reply{{"status", "valid"},
                      {"device", QJsonObject{{"id", "9"}, {"name", "Kitchen"}, {"page", page.value("page")}}},
                      {"qr", page.value("qr")},
                      {"devices", QJsonArray{QJsonObject{{"id", "7"}, {"name", "Pixel"}},
                                             QJsonObject{{"id", "9"}, {"name", "Kitchen"}}}}};
    return QJsonDocument(reply).toJson(QJsonDocument::Compact);
}

template <typename T> T *topLevel(const QString &name)
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (widget->objectName() == name && widget->isVisible())
            if (auto *found = qobject_cast<T *>(widget))
                return found;
    return nullptr;
}

QList<PhonePairingWindow *> pairingWindows()
{
    QList<PhonePairingWindow *> found;
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (auto *window = qobject_cast<PhonePairingWindow *>(widget); window && window->isVisible())
            found << window;
    return found;
}

} // namespace

class TestPhonePairing : public WindowTest
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void addPhone();
    void showOnPhone();
    void refusals_data();
    void refusals();

private:
    void makeWindow();
    bool settle(int count);
    void addPhoneNamed(const QString &name);
};

void TestPhonePairing::initTestCase()
{
    useOwnConfigHome();
    QVERIFY(!phonePage().isEmpty());
}

void TestPhonePairing::init()
{
    startSession();
}

void TestPhonePairing::cleanup()
{
    delete window;
    endSession();
}

void TestPhonePairing::makeWindow()
{
    window = new SettingsWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
}

bool TestPhonePairing::settle(int count)
{
    if (!service->waitForRequests(count))
        return false;
    const auto *manager = window->findChild<QNetworkAccessManager *>();
    return QTest::qWaitFor([manager] { return manager->findChildren<QNetworkReply *>().isEmpty(); }, 10000);
}

// "Add a phone…", the name typed into the dialog, confirmed.
void TestPhonePairing::addPhoneNamed(const QString &name)
{
    QTest::mouseClick(window->findChild<QPushButton *>(QStringLiteral("addPhone")), Qt::LeftButton);
    QInputDialog *dialog = nullptr;
    QTRY_VERIFY((dialog = topLevel<QInputDialog>(QStringLiteral("phoneNameDialog"))));
    QPushButton *ok = dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok);
    QVERIFY(!ok->isEnabled()); // a blank name cannot be confirmed
    QTest::keyClicks(dialog->findChild<QLineEdit *>(), name);
    QVERIFY(ok->isEnabled());
    QTest::mouseClick(ok, Qt::LeftButton);
}

void TestPhonePairing::addPhone()
{
    const QJsonObject page = phonePage();
    const QString address = page.value("page").toString();
    service->enqueue(devicesPath, ScriptedReply::json(oneDevice));
    service->enqueue(addDevicePath, ScriptedReply::json(addedReply(page)));
    makeWindow();
    QVERIFY(settle(1));

    addPhoneNamed(QStringLiteral(" Kitchen phone "));
    QVERIFY(settle(2));
    QCOMPARE(service->lastRequest().target, QByteArray("/all/add_device_app.php?apikey=k1&name=Kitchen%20phone"));

    QTRY_COMPARE(pairingWindows().size(), 1);
    PhonePairingWindow *shown = pairingWindows().constFirst();
    QVERIFY(QTest::qWaitForWindowExposed(shown));
    QCOMPARE(window->findChild<QListView *>(QStringLiteral("devicesList"))->model()->rowCount(), 2);
    QCOMPARE(shown->findChild<QLineEdit *>(QStringLiteral("pageAddress"))->text(), address);
    QCOMPARE(boxes->seen.size(), 0);

    QTest::mouseClick(shown->findChild<QPushButton *>(QStringLiteral("copyAddress")), Qt::LeftButton);
    QTRY_COMPARE(QGuiApplication::clipboard()->text(), address);

    // The screenshot as a phone's camera would see the screen.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray savedFor = qgetenv("TAPVELA_PAIRING_SCREENSHOT");
    const QString png =
        savedFor.isEmpty() ? dir.filePath(QStringLiteral("pairing.png")) : QString::fromLocal8Bit(savedFor);
    QVERIFY(shown->grab().save(png, "PNG"));
    if (!savedFor.isEmpty())
        return; // read by the script that ran this test
    const QString zbarimg = QStandardPaths::findExecutable(QStringLiteral("zbarimg"));
    if (zbarimg.isEmpty())
        QSKIP("zbarimg (zbar-tools) is not installed");
    QProcess reader;
    reader.start(zbarimg, {QStringLiteral("--raw"), QStringLiteral("-q"), png});
    QVERIFY(reader.waitForFinished(30000));
    QCOMPARE(QString::fromUtf8(reader.readAllStandardOutput()).trimmed(), address);
}

// "Show on phone…" in the list's context menu asks for the row's page; a second page reuses the window.
void TestPhonePairing::showOnPhone()
{
    const QJsonObject page = phonePage();
    const QByteArray reply =
        QJsonDocument(QJsonObject{{"status", "valid"}, {"page", page.value("page")}, {"qr", page.value("qr")}})
            .toJson(QJsonDocument::Compact);
    service->enqueue(devicesPath, ScriptedReply::json(oneDevice));
    service->setReply(devicePagePath, ScriptedReply::json(reply));
    makeWindow();
    QVERIFY(settle(1));

    QListView *list = window->findChild<QListView *>(QStringLiteral("devicesList"));
    for (int request = 2; request <= 3; ++request) {
        emit list->customContextMenuRequested(list->visualRect(list->model()->index(0, 0)).center());
        QMenu *menu = nullptr;
        QTRY_VERIFY((menu = topLevel<QMenu>(QStringLiteral("devicesMenu"))));
        QAction *show = menu->findChild<QAction *>(QStringLiteral("showOnPhone"));
        QVERIFY(show->isEnabled());
        show->trigger();
        menu->close();
        QVERIFY(settle(request));
        QCOMPARE(service->lastRequest().target, QByteArray("/all/device_page_app.php?apikey=k1&id=7"));
        QTRY_COMPARE(pairingWindows().size(), 1);
    }
    QCOMPARE(pairingWindows().constFirst()->page(), page.value("page").toString());

    // Off the rows, there is no device to show.
    emit list->customContextMenuRequested(QPoint(2, list->viewport()->height() - 2));
    QMenu *menu = nullptr;
    QTRY_VERIFY((menu = topLevel<QMenu>(QStringLiteral("devicesMenu"))));
    QVERIFY(!menu->findChild<QAction *>(QStringLiteral("showOnPhone"))->isEnabled());
    menu->close();
}

void TestPhonePairing::refusals_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("rows");
    const QJsonObject page = phonePage();
    QTest::newRow("bad name") << QByteArray(R"({"status":"bad name","error":"name too long"})")
                              << service::settingsBadNameWarning(false).text << 1;
    QTest::newRow("too many devices") << QByteArray(R"({"status":"too many devices","error":"at most 50"})")
                                      << service::settingsTooManyDevicesWarning(false).text << 1;
    QTest::newRow("refused key") << QByteArray(R"({"status":"invalid","error":"api key refused"})")
                                 << service::settingsApiKeyWarning(false).text << 1;
    // The device was added: it shows in the list, and the broken code is not drawn.
    QJsonObject broken = QJsonDocument::fromJson(addedReply(page)).object();
    QJsonArray rows = broken.value("qr").toArray();
    rows.replace(3, rows.at(3).toString().replace(5, 1, QLatin1Char('x')));
    broken.insert("qr", rows);
    QTest::newRow("broken code") << QJsonDocument(broken).toJson(QJsonDocument::Compact)
                                 << service::settingsBrokenPhonePageWarning(false).text << 2;
}

void TestPhonePairing::refusals()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, text);
    QFETCH(int, rows);
    service->enqueue(devicesPath, ScriptedReply::json(oneDevice));
    service->enqueue(addDevicePath, ScriptedReply::json(reply));
    makeWindow();
    QVERIFY(settle(1));
    addPhoneNamed(QStringLiteral("Kitchen"));
    QVERIFY(settle(2));
    QTRY_COMPARE(boxes->seen.size(), 1);
    const SeenBox box = boxes->seen.constFirst();
    QCOMPARE(box.title, QStringLiteral("tapvela - settings"));
    QCOMPARE(box.text, text);
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.parent, window.data());
    QCOMPARE(pairingWindows().size(), 0);
    QCOMPARE(window->findChild<QListView *>(QStringLiteral("devicesList"))->model()->rowCount(), rows);
}

QTEST_MAIN(TestPhonePairing)
#include "tst_phonepairing.moc"
