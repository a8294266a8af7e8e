#include "hotkey/sending.h"

#include <QGuiApplication>
#include <QLabel>
#include <QMovie>
#include <QScreen>
#include <QtTest>

class TestHotkeySending : public QObject
{
    Q_OBJECT

private slots:
    void placement_data();
    void placement();
    void form();
    void message_data();
    void message();
};

void TestHotkeySending::placement_data()
{
    QTest::addColumn<QRect>("screen");
    QTest::addColumn<QPoint>("topLeft");

    QTest::newRow("1920 wide") << QRect(0, 0, 1920, 1080) << QPoint(1735, 0);
    QTest::newRow("1280 wide") << QRect(0, 0, 1280, 1024) << QPoint(1095, 0);
    QTest::newRow("screen right of another") << QRect(1920, 0, 1280, 1024) << QPoint(3015, 0);
    QTest::newRow("screen left of and above another") << QRect(-1280, -200, 1280, 1024) << QPoint(-185, -200);
}

void TestHotkeySending::placement()
{
    QFETCH(QRect, screen);
    QFETCH(QPoint, topLeft);
    QCOMPARE(Sending::placement(screen), topLeft);
}

void TestHotkeySending::form()
{
    Sending indicator;
    QCOMPARE(indicator.objectName(), QStringLiteral("Sending"));
    QCOMPARE(indicator.windowTitle(), QStringLiteral("MainWindow"));
    QCOMPARE(indicator.size(), QSize(185, 75));
    QCOMPARE(indicator.windowFlags() & ~Qt::Window, Qt::FramelessWindowHint);
    QVERIFY(indicator.testAttribute(Qt::WA_ShowWithoutActivating));
    QVERIFY(indicator.styleSheet().isEmpty());
    QCOMPARE(indicator.centralWidget()->objectName(), QStringLiteral("centralwidget"));

    const auto *label = indicator.findChild<QLabel *>(QStringLiteral("sending"));
    QVERIFY(label);
    QCOMPARE(label->geometry(), QRect(0, 0, 185, 75));
    QVERIFY(label->text().isEmpty());
    QMovie *movie = label->movie();
    QVERIFY(movie);
    QCOMPARE(movie->fileName(), QStringLiteral(":/images/sending.gif"));
    QVERIFY(movie->isValid());
    QCOMPARE(movie->state(), QMovie::Running);
    QCOMPARE(movie->frameCount(), 6);

    QCOMPARE(indicator.pos(), Sending::placement(QGuiApplication::primaryScreen()->geometry()));
}

void TestHotkeySending::message_data()
{
    QTest::addColumn<NumberSearch>("why");
    QTest::addColumn<bool>("french");
    QTest::addColumn<QString>("text");

    QTest::newRow("no number") << NumberSearch::NoNumber << false << "No phone number in the selection";
    QTest::newRow("no number, French") << NumberSearch::NoNumber << true
                                       << QStringLiteral("Pas de numéro de téléphone dans la sélection");
    QTest::newRow("several") << NumberSearch::SeveralNumbers << false << "Several numbers in the selection: select one";
    QTest::newRow("several, French") << NumberSearch::SeveralNumbers << true
                                     << QStringLiteral("Plusieurs numéros dans la sélection : n'en sélectionnez qu'un");
}

void TestHotkeySending::message()
{
    QFETCH(NumberSearch, why);
    QFETCH(bool, french);
    QFETCH(QString, text);

    QCOMPARE(Sending::notFoundText(why, french), text);
    // The text in the animation's place, in its window: the same corner, and the keyboard left where it was.
    Sending indicator(text);
    QCOMPARE(indicator.width(), 185);
    QCOMPARE(indicator.pos(), Sending::placement(QGuiApplication::primaryScreen()->geometry()));
    QVERIFY(indicator.testAttribute(Qt::WA_ShowWithoutActivating));
    const auto *label = indicator.findChild<QLabel *>(QStringLiteral("sending"));
    QVERIFY(label);
    QVERIFY(!label->movie());
    QCOMPARE(label->text(), text);
    // The whole text fits in the window, whatever the font.
    QVERIFY(label->wordWrap());
    QVERIFY(label->heightForWidth(label->width()) <= label->height());
    QVERIFY(label->height() <= indicator.height());
}

QTEST_MAIN(TestHotkeySending)
#include "tst_hotkey_sending.moc"
