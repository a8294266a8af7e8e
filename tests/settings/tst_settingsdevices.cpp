#include "settings/settingswindow.h"
#include "settingstest.h"

#include "app/uilanguage.h"
#include "support/testservice.h"

#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace settingstest;
using testsupport::ScriptedReply;

Q_DECLARE_METATYPE(testsupport::ScriptedReply)

namespace {

const QByteArray devicesPath = "/all/devices_app.php";
const QByteArray setNamePath = "/all/set_name_app.php";

ScriptedReply deviceList(const QByteArray &devices)
{
    return ScriptedReply::json(R"({"status":"valid","devices":)" + devices + "}");
}

} // namespace

class TestSettingsDevices : public WindowTest
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void lists_data();
    void lists();
    void otherReplies_data();
    void otherReplies();
    void renameByDoubleClick();
    void renameByEditKey();
    void hugeList();

private:
    void makeWindow();
    // Waits until count requests arrived and every reply was handled.
    bool settle(int count);
    void requestAgain();
    void click(int row);
    QListView *list() const { return window->findChild<QListView *>(QStringLiteral("devicesList")); }
    QString label() const { return window->findChild<QLabel *>(QStringLiteral("currentDevice"))->text(); }
    QStringList rowTexts(int role) const;
};

void TestSettingsDevices::initTestCase()
{
    useOwnConfigHome();
}

void TestSettingsDevices::init()
{
    startSession();
}

void TestSettingsDevices::cleanup()
{
    delete window;
    endSession();
}

void TestSettingsDevices::makeWindow()
{
    window = new SettingsWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
}

bool TestSettingsDevices::settle(int count)
{
    if (!service->waitForRequests(count))
        return false;
    const auto *manager = window->findChild<QNetworkAccessManager *>();
    return QTest::qWaitFor([manager] { return manager->findChildren<QNetworkReply *>().isEmpty(); }, 10000);
}

void TestSettingsDevices::requestAgain()
{
    emit window->findChild<QSystemTrayIcon *>()->activated(QSystemTrayIcon::Trigger);
}

void TestSettingsDevices::click(int row)
{
    const QModelIndex index = list()->model()->index(row, 0);
    list()->scrollTo(index);
    QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, list()->visualRect(index).center());
}

QStringList TestSettingsDevices::rowTexts(int role) const
{
    QStringList texts;
    const QAbstractItemModel *model = list()->model();
    for (int row = 0; model && row < model->rowCount(); ++row)
        texts.append(model->index(row, 0).data(role).toString());
    return texts;
}

void TestSettingsDevices::lists_data()
{
    QTest::addColumn<QVariant>("savedId"); // invalid: none stored
    QTest::addColumn<QList<QByteArray>>("lists");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("ids");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("storedId");

    const QByteArray one = R"([{"id":"7","name":"Phone"}])";
    const QByteArray two = R"([{"id":"7","name":"Phone"},{"id":"8","name":"Tablet"}])";
    QTest::newRow("no saved id") << QVariant() << QList<QByteArray>{one} << QStringList{"Phone"} << QStringList{"7"}
                                 << "Phone"
                                 << "7";
    QTest::newRow("saved id present") << QVariant("8") << QList<QByteArray>{two} << QStringList{"Phone", "Tablet"}
                                      << QStringList{"7", "8"} << "Tablet"
                                      << "8";
    QTest::newRow("saved id gone") << QVariant("9") << QList<QByteArray>{two} << QStringList{"Phone", "Tablet"}
                                   << QStringList{"7", "8"} << "Phone"
                                   << "7";
    QTest::newRow("empty list keeps label and id")
        << QVariant() << QList<QByteArray>{two, "[]"} << QStringList() << QStringList() << "Phone"
        << "7";
    QTest::newRow("numeric ids") << QVariant() << QList<QByteArray>{R"([{"id":7,"name":"Phone"}])"}
                                 << QStringList{"Phone"} << QStringList{""} << "Phone"
                                 << "";
    QTest::newRow("later list after removal")
        << QVariant("8")
        << QList<QByteArray>{R"([{"id":"6","name":"A"},{"id":"7","name":"B"},{"id":"8","name":"C"}])",
                             R"([{"id":"6","name":"A"},{"id":"8","name":"C"}])"}
        << QStringList{"A", "C"} << QStringList{"6", "8"} << "C"
        << "8";
    QTest::newRow("malformed elements") << QVariant("3") << QList<QByteArray>{R"([1,null,"x",{"id":"3"}])"}
                                        << QStringList{"", "", "", ""} << QStringList{"", "", "", "3"} << ""
                                        << "3";
}

void TestSettingsDevices::lists()
{
    QFETCH(QVariant, savedId);
    QFETCH(QList<QByteArray>, lists);
    QFETCH(QStringList, names);
    QFETCH(QStringList, ids);
    QFETCH(QString, label);
    QFETCH(QString, storedId);

    QVariantMap config{{QStringLiteral("apikey"), QStringLiteral("k1")}};
    if (savedId.isValid())
        config.insert(QStringLiteral("id"), savedId);
    resetConfig(config);
    for (const QByteArray &devices : lists)
        service->enqueue(devicesPath, deviceList(devices));

    makeWindow();
    QVERIFY(settle(1));
    QCOMPARE(service->lastRequest().target, QByteArray("/all/devices_app.php?apikey=k1"));
    for (int i = 1; i < lists.size(); ++i) {
        const QPointer<QAbstractItemModel> previous = list()->model();
        requestAgain();
        QVERIFY(settle(i + 1));
        QVERIFY(previous.isNull()); // each list replaces the model, and the old one goes
    }
    QTRY_COMPARE(list()->findChildren<QItemSelectionModel *>().size(), 1);
    QCOMPARE(rowTexts(Qt::DisplayRole), names);
    QCOMPARE(rowTexts(Qt::UserRole + 1), ids);
    QCOMPARE(this->label(), label);
    QCOMPARE(configValue(QStringLiteral("id")), storedId);

    // A click makes the row's own device the default, whatever lists came before.
    for (int row = names.size() - 1; row >= 0; --row) {
        click(row);
        QCOMPARE(configValue(QStringLiteral("id")), ids.at(row));
        QCOMPARE(this->label(), names.at(row));
    }
    QCOMPARE(boxes->seen.size(), 0);
}

void TestSettingsDevices::otherReplies_data()
{
    QTest::addColumn<bool>("french");
    QTest::addColumn<ScriptedReply>("reply");
    QTest::addColumn<QString>("title"); // empty: no box
    QTest::addColumn<QString>("text");

    const QString settings = QStringLiteral("tapvela - settings");
    const QString connection = QStringLiteral("Error with your internet connection !");
    const QString apiKey = QStringLiteral("Error with your apikey, please reconnect you !");
    QTest::newRow("HTTP 500") << false << ScriptedReply::text("oops", 500) << settings << connection;
    QTest::newRow("reply cut short") << false << ScriptedReply::truncated(R"({"status":"va)") << settings << connection;
    QTest::newRow("refused") << false << ScriptedReply::json(R"({"status":"error"})") << settings << apiKey;
    QTest::newRow("status not a string") << false << ScriptedReply::json(R"({"status":1,"devices":[]})") << settings
                                         << apiKey;
    QTest::newRow("top-level array") << false << ScriptedReply::json("[]") << settings << apiKey;
    QTest::newRow("not JSON") << false << ScriptedReply::text("<html>") << QString() << QString();
    QTest::newRow("cut JSON") << false << ScriptedReply::json(R"({"status":"valid","devices":[{"id")") << QString()
                              << QString();
    QTest::newRow("valid without devices")
        << false << ScriptedReply::json(R"({"status":"valid"})") << QString() << QString();
    QTest::newRow("devices not an array")
        << false << ScriptedReply::json(R"({"status":"valid","devices":{}})") << QString() << QString();
    QTest::newRow("french connection") << true << ScriptedReply::text("", 404) << "tapvela - configuration"
                                       << "Erreur avec votre connexion internet !";
    // A refusal that carries the service's message (too many pushes) shows that message, as plain text.
    QTest::newRow("service message") << false
                                     << ScriptedReply::json(R"({"status":"too many pushes","message":"too many )"
                                                            R"(pushes, try again in 12 s"})")
                                     << settings << "too many pushes, try again in 12 s";
    QTest::newRow("service message, markup") << false
                                             << ScriptedReply::json(R"({"status":"x","message":"<b>Sign in</b> at )"
                                                                    R"(<a href='http://x'>x</a>"})")
                                             << settings << "<b>Sign in</b> at <a href='http://x'>x</a>";
    QTest::newRow("french refusal") << true << ScriptedReply::json(R"({"status":"no"})") << "tapvela - configuration"
                                    << "Erreur avec votre apikey, merci de vous reconnectez !";
}

// Replies that are no device list leave the list, the label and the default device as they were.
void TestSettingsDevices::otherReplies()
{
    QFETCH(bool, french);
    QFETCH(ScriptedReply, reply);
    QFETCH(QString, title);
    QFETCH(QString, text);

    setFrenchSession(french);
    if (isFrenchInterface() != french)
        QSKIP("this platform takes the interface language from the session the test started in");
    service->enqueue(devicesPath, deviceList(R"([{"id":"7","name":"Phone"}])"));
    service->enqueue(devicesPath, reply);
    makeWindow();
    QVERIFY(settle(1));
    requestAgain();
    QVERIFY(settle(2));

    QCOMPARE(rowTexts(Qt::DisplayRole), QStringList{"Phone"});
    QCOMPARE(label(), QStringLiteral("Phone"));
    QCOMPARE(configValue(QStringLiteral("id")), QStringLiteral("7"));
    QCOMPARE(configValue(QStringLiteral("apikey")), QStringLiteral("k1"));
    if (title.isEmpty()) {
        QCOMPARE(boxes->seen.size(), 0);
        return;
    }
    QCOMPARE(boxes->seen.size(), 1);
    const SeenBox box = boxes->seen.constFirst();
    QCOMPARE(box.title, title);
    QCOMPARE(box.text, text);
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    // Asked for no default button, the toolkit makes the accept button the default: Enter answers OK.
    QCOMPARE(box.defaultButton, QMessageBox::Ok);
    QCOMPARE(box.parent, window.data());
    QCOMPARE(box.textFormat, Qt::PlainText);
}

// The first click of the double click makes the row the default; the edit goes to the service intact, and a
// "valid" answer that carries devices is a new list.
void TestSettingsDevices::renameByDoubleClick()
{
    resetConfig({{"apikey", "k&1"}, {"id", "7"}});
    service->enqueue(devicesPath, deviceList(R"([{"id":"7","name":"Phone"},{"id":"x y","name":"Tablet"}])"));
    service->enqueue(setNamePath, deviceList(R"([{"id":"x y","name":"From the service"}])"));
    makeWindow();
    QVERIFY(settle(1));

    const QPoint at = list()->visualRect(list()->model()->index(1, 0)).center();
    QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {}, at);
    QCOMPARE(configValue(QStringLiteral("id")), QStringLiteral("x y"));
    auto *editor = list()->viewport()->findChild<QLineEdit *>();
    QVERIFY(editor);
    editor->selectAll();
    QTest::keyClicks(editor, QStringLiteral("a&b=c#d "));
    editor->insert(QStringLiteral("é")); // key events carry ASCII only
    QTest::keyClicks(editor, QStringLiteral("+"));
    QTest::keyClick(editor, Qt::Key_Return); // the view commits the edit from the event loop

    QTRY_COMPARE(label(), QStringLiteral("a&b=c#d é+"));
    QVERIFY(settle(2));
    const testsupport::RecordedRequest request = service->lastRequest();
    QCOMPARE(request.target, QByteArray("/all/set_name_app.php?apikey=k%261&id=x%20y&name=a%26b%3Dc%23d%20%C3%A9%2B"));
    QCOMPARE(request.queryValue(QStringLiteral("name")), QStringLiteral("a&b=c#d é+"));
    QCOMPARE(rowTexts(Qt::DisplayRole), QStringList{"From the service"});
    QCOMPARE(rowTexts(Qt::UserRole + 1), QStringList{"x y"});
    QCOMPARE(label(), QStringLiteral("From the service"));
    QCOMPARE(configValue(QStringLiteral("id")), QStringLiteral("x y"));
    QCOMPARE(boxes->seen.size(), 0);
}

// Reached with the keyboard, the edited row is not made the default, and the label keeps naming the default.
void TestSettingsDevices::renameByEditKey()
{
    resetConfig({{"apikey", "k1"}, {"id", "7"}});
    service->enqueue(devicesPath, deviceList(R"([{"id":"7","name":"Phone"},{"id":"8","name":"Tablet"}])"));
    makeWindow();
    QVERIFY(settle(1));

    list()->setFocus();
    list()->setCurrentIndex(list()->model()->index(0, 0));
    QTest::keyClick(list(), Qt::Key_Down);
    QCOMPARE(list()->currentIndex().row(), 1);
    QTest::keyClick(list(), Qt::Key_F2);
    auto *editor = list()->viewport()->findChild<QLineEdit *>();
    QVERIFY(editor);
    editor->selectAll();
    QTest::keyClicks(editor, QStringLiteral("Work phone"));
    QTest::keyClick(editor, Qt::Key_Return);

    QVERIFY(settle(2));
    QCOMPARE(service->lastRequest().target, QByteArray("/all/set_name_app.php?apikey=k1&id=8&name=Work%20phone"));
    QCOMPARE(label(), QStringLiteral("Phone"));
    QCOMPARE(configValue(QStringLiteral("id")), QStringLiteral("7"));
    QCOMPARE(rowTexts(Qt::DisplayRole), (QStringList{"Phone", "Work phone"}));
    QCOMPARE(service->requestCount(), 2); // filling the list sent no set-name request
}

void TestSettingsDevices::hugeList()
{
    constexpr int count = 10000;
    QByteArray devices = "[";
    for (int i = 0; i < count; ++i)
        devices += (i ? ",{\"id\":\"" : "{\"id\":\"") + QByteArray::number(i) + "\",\"name\":\"Device " +
                   QByteArray::number(i) + "\"}";
    devices += "]";
    service->enqueue(devicesPath, deviceList(devices));
    makeWindow();
    QVERIFY(settle(1));
    QCOMPARE(list()->model()->rowCount(), count);
    QCOMPARE(label(), QStringLiteral("Device 0"));
    click(count - 1);
    QCOMPARE(configValue(QStringLiteral("id")), QString::number(count - 1));
    QCOMPARE(label(), QStringLiteral("Device %1").arg(count - 1));
}

QTEST_MAIN(TestSettingsDevices)
#include "tst_settingsdevices.moc"
