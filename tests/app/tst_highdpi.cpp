#include "login/mainwindow.h"
#include "settings/settingswindow.h"
#include "support/testservice.h"

#include <QApplication>
#include <QLabel>
#include <QtTest>

// At 200 % display scaling the windows keep their layout and show the double-resolution pictures.
class TestHighDpi : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void windows_data();
    void windows();

private:
    testsupport::TestService service;
};

void TestHighDpi::initTestCase()
{
    QCOMPARE(qApp->devicePixelRatio(), 2.0);
    service.setDefaultReply(testsupport::ScriptedReply::json(R"({"status":"valid","devices":[]})"));
    service.exportServiceUrl();
}

void TestHighDpi::windows_data()
{
    QTest::addColumn<bool>("settingsWindow");
    QTest::addColumn<QSize>("windowSize");
    QTest::newRow("login") << false << QSize(242, 277);
    QTest::newRow("settings") << true << QSize(242, 279);
}

void TestHighDpi::windows()
{
    QFETCH(bool, settingsWindow);
    QFETCH(QSize, windowSize);
    std::unique_ptr<QMainWindow> window;
    if (settingsWindow)
        window = std::make_unique<SettingsWindow>();
    else
        window = std::make_unique<MainWindow>();
    window->show();
    QCOMPARE(window->size(), windowSize);
    const auto *label = window->findChild<QLabel *>(QStringLiteral("label"));
    QVERIFY(label);
    QCOMPARE(label->geometry(), QRect(0, 0, 242, 255));
    QCOMPARE(label->pixmap(Qt::ReturnByValue).devicePixelRatio(), 2.0);
    QCOMPARE(label->pixmap(Qt::ReturnByValue).size(), QSize(484, 510));
}

int main(int argc, char *argv[])
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    qputenv("QT_SCALE_FACTOR", "2");
    QApplication app(argc, argv);
    TestHighDpi test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_highdpi.moc"
