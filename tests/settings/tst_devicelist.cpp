#include "settings/devicelist.h"

#include <QJsonDocument>
#include <QtTest>

class TestDeviceList : public QObject
{
    Q_OBJECT

private slots:
    void plan_data();
    void plan();
};

void TestDeviceList::plan_data()
{
    QTest::addColumn<QByteArray>("devices");
    QTest::addColumn<QString>("savedId");
    QTest::addColumn<QStringList>("ids");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<int>("labelRow");
    QTest::addColumn<bool>("storeFirst");

    const QByteArray two = R"([{"id":"7","name":"Phone"},{"id":"8","name":"Tablet"}])";
    const QStringList twoIds{"7", "8"}, twoNames{"Phone", "Tablet"};
    QTest::newRow("none chosen yet") << two << "-1" << twoIds << twoNames << 0 << true;
    QTest::newRow("saved device present") << two << "8" << twoIds << twoNames << 1 << false;
    QTest::newRow("saved device gone") << two << "9" << twoIds << twoNames << 0 << true;
    QTest::newRow("ids compared exactly") << two << "08" << twoIds << twoNames << 0 << true;
    QTest::newRow("empty list keeps label and id")
        << QByteArray("[]") << "7" << QStringList() << QStringList() << -1 << false;
    QTest::newRow("empty list, none chosen")
        << QByteArray("[]") << "-1" << QStringList() << QStringList() << -1 << false;
    QTest::newRow("numeric ids read as empty") << QByteArray(R"([{"id":7,"name":"Phone"},{"id":8.5,"name":3}])") << "-1"
                                               << QStringList{"", ""} << QStringList{"Phone", ""} << 0 << true;
    QTest::newRow("empty saved id matches an empty id") << QByteArray(R"([{"id":"1","name":"A"},{"name":"B"}])") << ""
                                                        << QStringList{"1", ""} << QStringList{"A", "B"} << 1 << false;
    QTest::newRow("later duplicate names the default")
        << QByteArray(R"([{"id":"5","name":"A"},{"id":"6","name":"B"},{"id":"5","name":"C"}])") << "5"
        << QStringList{"5", "6", "5"} << QStringList{"A", "B", "C"} << 2 << false;
    QTest::newRow("a device whose id is -1 is no choice")
        << QByteArray(R"([{"id":"2","name":"A"},{"id":"-1","name":"B"}])") << "-1" << QStringList{"2", "-1"}
        << QStringList{"A", "B"} << 0 << true;
    QTest::newRow("elements that are not objects")
        << QByteArray(R"([1,"x",null,[],{"id":"3"}])") << "3" << QStringList{"", "", "", "", "3"}
        << QStringList{"", "", "", "", ""} << 4 << false;
    QTest::newRow("hostile and non-ASCII text kept")
        << QByteArray(R"([{"id":"a&b=c#d","name":"Téléphone\n%2B"}])") << "a&b=c#d" << QStringList{"a&b=c#d"}
        << QStringList{"Téléphone\n%2B"} << 0 << false;
}

void TestDeviceList::plan()
{
    QFETCH(QByteArray, devices);
    QFETCH(QString, savedId);
    QFETCH(QStringList, ids);
    QFETCH(QStringList, names);
    QFETCH(int, labelRow);
    QFETCH(bool, storeFirst);

    const QJsonDocument document = QJsonDocument::fromJson(devices);
    QVERIFY(document.isArray());
    const DeviceListPlan plan = planDeviceList(document.array(), savedId);
    QStringList planIds, planNames;
    for (const DeviceRow &row : plan.rows) {
        planIds.append(row.id);
        planNames.append(row.name);
    }
    QCOMPARE(planIds, ids);
    QCOMPARE(planNames, names);
    QCOMPARE(plan.labelRow, labelRow);
    QCOMPARE(plan.storeFirstAsDefault, storeFirst);
}

QTEST_APPLESS_MAIN(TestDeviceList)
#include "tst_devicelist.moc"
