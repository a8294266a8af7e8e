#include "hotkey/numbercleaning.h"
#include "service/requests.h"

#include <QtTest>

class TestHotkeyCleaning : public QObject
{
    Q_OBJECT

private slots:
    void cleaning_data();
    void cleaning();
    void pushedForm_data();
    void pushedForm();
};

void TestHotkeyCleaning::cleaning_data()
{
    QTest::addColumn<QString>("selection");
    QTest::addColumn<bool>("isNumber");
    QTest::addColumn<QString>("number"); // as pushed, with its "+"; for a rejection, the cleaned text

    QTest::newRow("spaces") << "06 12 34 56 78" << true << "0612345678";
    QTest::newRow("international with (0)") << "+33 (0)6 12 34 56 78" << true << "+33612345678";
    QTest::newRow("dots") << "06.12.34.56.78" << true << "0612345678";
    QTest::newRow("dashes") << "06-12-34-56-78" << true << "0612345678";
    QTest::newRow("brackets, slash, semicolon, star") << "[06]12/34;56*78" << true << "0612345678";
    QTest::newRow("all thirteen characters") << "0.6-1,2/3;4:5<6>7[8]9*0{1}2" << true << "06123456789012";
    QTest::newRow("parenthesised + goes with its parentheses") << "(+33) 6 12 34 56 78" << true << "612345678";
    QTest::newRow("greedy parentheses") << "06(1)2(3)4" << true << "064";
    QTest::newRow("empty parentheses") << "06()12" << true << "0612";
    QTest::newRow("exponent reads as a number") << "12e3" << true << "12e3";
    QTest::newRow("surrounding white space and line break") << "\t 0612345678 \n" << true << "0612345678";
    QTest::newRow("label in parentheses on the line before") << "(home)\n06 12 34 56 78" << true << "0612345678";
    QTest::newRow("tab after the plus") << "+\t33 6 12 34 56 78" << true << "+33612345678";
    QTest::newRow("no-break spaces") << QStringLiteral("06\u00a012\u00a034\u00a056\u00a078") << true << "0612345678";
    QTest::newRow("narrow no-break spaces")
        << QStringLiteral("+33\u202f6\u202f12\u202f34\u202f56\u202f78") << true << "+33612345678";
    QTest::newRow("thin and ideographic spaces") << QStringLiteral("06\u200912\u300034") << true << "061234";
    QTest::newRow("plus in the middle") << "33+612" << true << "+33612";
    QTest::newRow("letters rejected") << "Tel: 0612345678" << false << "Tel0612345678";
    QTest::newRow("unbalanced parenthesis rejected") << "06 12 (34" << false << "0612(34";
    QTest::newRow("empty selection rejected") << "" << false << "";
    QTest::newRow("only white space rejected") << " \u00a0 " << false << "";
    QTest::newRow("only a plus rejected") << "+" << false << "";
    QTest::newRow("two numbers on two lines rejected") << "0612345678\n0698765432" << false << "0612345678\n0698765432";
    QTest::newRow("numbers in two table cells rejected") << "0612\t3456" << false << "0612\t3456";
    QTest::newRow("accented text kept intact") << QStringLiteral("06 12 é €") << false << QStringLiteral("0612é€");
    QTest::newRow("inf is no telephone number") << "inf" << false << "inf";
    QTest::newRow("nan is no telephone number") << "NaN" << false << "NaN";
}

void TestHotkeyCleaning::cleaning()
{
    QFETCH(QString, selection);
    QFETCH(bool, isNumber);
    QFETCH(QString, number);

    const CleanedNumber cleaned = cleanNumber(selection);
    QCOMPARE(cleaned.isNumber, isNumber);
    QCOMPARE(isNumber ? cleaned.number() : cleaned.digits, number);
}

void TestHotkeyCleaning::pushedForm_data()
{
    QTest::addColumn<QString>("selection");
    QTest::addColumn<QByteArray>("query");

    QTest::newRow("international") << "+33 (0)6 12 34 56 78"
                                   << QByteArray("apikey=K&msg=Phone%20number%20%3A%20%2B33612345678&icon=115&sound=01"
                                                 "&devices=D&extra=tel:%2B33612345678");
    QTest::newRow("national") << "06 12 34 56 78"
                              << QByteArray("apikey=K&msg=Phone%20number%20%3A%200612345678&icon=115&sound=01"
                                            "&devices=D&extra=tel:0612345678");
}

void TestHotkeyCleaning::pushedForm()
{
    QFETCH(QString, selection);
    QFETCH(QByteArray, query);
    const CleanedNumber cleaned = cleanNumber(selection);
    QVERIFY(cleaned.isNumber);
    QCOMPARE(service::pushUrl(QStringLiteral("K"), false, QStringLiteral("D"), cleaned.number())
                 .query(QUrl::FullyEncoded)
                 .toUtf8(),
             query);
}

QTEST_APPLESS_MAIN(TestHotkeyCleaning)
#include "tst_hotkey_cleaning.moc"
