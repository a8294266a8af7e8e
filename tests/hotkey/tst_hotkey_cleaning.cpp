#include "hotkey/numbercleaning.h"
#include "service/requests.h"

#include <QtTest>

class TestHotkeyCleaning : public QObject
{
    Q_OBJECT

private slots:
    void cleaning_data();
    void cleaning();
    void found_data();
    void found();
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
    QTest::newRow("empty pair, then a closing parenthesis") << "06()12)34" << true << "0634";
    QTest::newRow("closing parenthesis first") << ")06(12" << false << ")06(12";
    QTest::newRow("exponent rejected") << "12e3" << false << "12e3";
    QTest::newRow("surrounding white space and line break") << "\t 0612345678 \n" << true << "0612345678";
    QTest::newRow("label in parentheses on the line before") << "(home)\n06 12 34 56 78" << true << "0612345678";
    QTest::newRow("tab after the plus") << "+\t33 6 12 34 56 78" << true << "+33612345678";
    QTest::newRow("no-break spaces") << QStringLiteral("06\u00a012\u00a034\u00a056\u00a078") << true << "0612345678";
    QTest::newRow("narrow no-break spaces")
        << QStringLiteral("+33\u202f6\u202f12\u202f34\u202f56\u202f78") << true << "+33612345678";
    QTest::newRow("thin and ideographic spaces") << QStringLiteral("06\u200912\u300034") << true << "061234";
    QTest::newRow("plus in the middle rejected") << "33+612" << false << "33612";
    QTest::newRow("two plus signs rejected") << "++33612" << false << "33612";
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

// Selections as people make them: a triple-clicked line, a dragged sentence, a table row, a signature.
void TestHotkeyCleaning::found_data()
{
    QTest::addColumn<QString>("selection");
    QTest::addColumn<NumberSearch>("outcome");
    QTest::addColumn<QString>("number"); // as pushed, with its "+"

    const auto found = NumberSearch::Found;
    const auto none = NumberSearch::NoNumber;
    const auto several = NumberSearch::SeveralNumbers;

    // Accepted whole, as before.
    QTest::newRow("bare number") << "06 12 34 56 78" << found << "0612345678";
    QTest::newRow("US number whole: its area code kept") << "(555) 123-4567" << found << "5551234567";
    QTest::newRow("US, +1 and area code in parentheses") << "+1 (555) 123-4567" << found << "+15551234567";
    QTest::newRow("UK, trunk zero kept in parentheses") << "(020) 7946 0000" << found << "02079460000";

    // Found inside.
    QTest::newRow("label") << "Tel: 06 12 34 56 78" << found << "0612345678";
    QTest::newRow("label without a space") << "Tel:0612345678" << found << "0612345678";
    QTest::newRow("sentence, middle") << "call +33 6 12 34 56 78 before noon" << found << "+33612345678";
    QTest::newRow("sentence, start") << "0612345678 is my number" << found << "0612345678";
    QTest::newRow("sentence, end, full stop") << "My number is 06.12.34.56.78." << found << "0612345678";
    QTest::newRow("France, (0) after the country code")
        << "Phone: +33 (0)1 23 45 67 89 (office)" << found << "+33123456789";
    QTest::newRow("France, no-break spaces of a web page")
        << QStringLiteral("Tél.\u00a0: 01\u00a023\u00a045\u00a067\u00a089") << found << "0123456789";
    QTest::newRow("Germany") << "Telefon: +49 30 1234567" << found << "+49301234567";
    QTest::newRow("Germany, slash") << "Tel. 030/12345678 (Zentrale)" << found << "03012345678";
    QTest::newRow("UK") << "ring 020 7946 0958 today" << found << "02079460958";
    QTest::newRow("UK, (0)") << "T: +44 (0)20 7946 0958" << found << "+442079460958";
    QTest::newRow("US, area code in parentheses") << "Phone: (555) 123-4567" << found << "5551234567";
    QTest::newRow("US, dots") << "call 555.123.4567 now" << found << "5551234567";
    QTest::newRow("US, +1 and dashes") << "Support: +1-555-123-4567." << found << "+15551234567";
    QTest::newRow("India") << "Mob: +91 98765 43210" << found << "+919876543210";
    QTest::newRow("00 for +") << "Tel 0033 6 12 34 56 78" << found << "0033612345678";
    QTest::newRow("table row") << "Dupont\tJean\t06 12 34 56 78\tParis" << found << "0612345678";
    QTest::newRow("same number twice") << "06 12 34 56 78 or 06.12.34.56.78" << found << "0612345678";
    QTest::newRow("number beside a date") << "Meeting on 12/03/2024, call 06 12 34 56 78" << found << "0612345678";
    QTest::newRow("number right after a date") << "Appel du 12/03/2024 06 12 34 56 78" << found << "0612345678";
    QTest::newRow("number right after a day and month") << "RDV 12/03 0612345678" << found << "0612345678";
    QTest::newRow("signature with one number")
        << "Jean Dupont\nSales manager\nACME, 12 rue de la Paix, 75002 Paris\nTel: +33 1 23 45 67 89\n"
           "jean.dupont@acme.example"
        << found << "+33123456789";

    // Several.
    QTest::newRow("two numbers in a sentence") << "Tel 06 12 34 56 78, fax 01 23 45 67 89" << several << QString();
    QTest::newRow("two numbers on two lines") << "0612345678\n0698765432" << several << QString();
    QTest::newRow("signature with phone and mobile")
        << "Jean Dupont\nTel: +33 1 23 45 67 89\nMobile: +33 6 12 34 56 78\njean@acme.example" << several << QString();

    // Nothing that is a telephone number.
    QTest::newRow("vanity number") << "+1-800-FLOWERS" << none << QString();
    QTest::newRow("date with slashes") << "meeting on 12/03/2024" << none << QString();
    QTest::newRow("ISO date") << "due 2024-03-12" << none << QString();
    QTest::newRow("date and time") << "le 12.03.2024 14:30" << none << QString();
    QTest::newRow("time") << "at 10:30:00 sharp" << none << QString();
    QTest::newRow("amount with euro and decimals") << QStringLiteral("Total: 1 234,56 \u20ac") << none << QString();
    QTest::newRow("amount with euro") << QStringLiteral("Prix : 1 234 567 \u20ac") << none << QString();
    QTest::newRow("amount with dollar") << "price $1234567" << none << QString();
    QTest::newRow("amount with code") << "1 234 567 EUR" << none << QString();
    QTest::newRow("amount with decimals") << "balance 1234567.89" << none << QString();
    QTest::newRow("amount with thousands commas") << "sum 1,234,567" << none << QString();
    QTest::newRow("IP address") << "server 192.168.100.200 is down" << none << QString();
    QTest::newRow("too short") << "code 12345" << none << QString();
    QTest::newRow("too long") << "IBAN FR76 3000 6000 0112 3456 7890 189" << none << QString();
    QTest::newRow("glued to letters") << "ref AB0612345678" << none << QString();
    QTest::newRow("in a web address") << "https://example.com/item/0612345678" << none << QString();
    QTest::newRow("in an e-mail address") << "jean0612345678@example.com" << none << QString();
    QTest::newRow("words only") << "call me tomorrow" << none << QString();
    QTest::newRow("nothing selected") << "" << none << QString();

    QString large;
    while (large.size() < 64 * 1024 - 40)
        large += QStringLiteral("Lorem ipsum dolor 12/03/2024 sit amet. ");
    QTest::newRow("64 KiB, one number at the end") << large + "Tel: 06 12 34 56 78" << found << "0612345678";
}

void TestHotkeyCleaning::found()
{
    QFETCH(QString, selection);
    QFETCH(NumberSearch, outcome);
    QFETCH(QString, number);

    const FoundNumber found = findNumber(selection);
    QCOMPARE(found.outcome, outcome);
    if (outcome == NumberSearch::Found) {
        QVERIFY(found.cleaned.isNumber);
        QCOMPARE(found.cleaned.number(), number);
    } else {
        // The capture's diagnostic line keeps the rejected text of the whole selection.
        QVERIFY(!found.cleaned.isNumber);
        QCOMPARE(found.cleaned.digits, cleanNumber(selection).digits);
    }
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
