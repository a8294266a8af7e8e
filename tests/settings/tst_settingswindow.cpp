#include "settings/settingswindow.h"
#include "settingstest.h"

#include "app/config.h"
#include "app/uilanguage.h"
#include "desktop/desktopcontroller.h"
#include "hotkey/sending.h"
#include "hotkey/windowsthread.h"
#include "login/mainwindow.h"
#include "service/requests.h"
#include "service/serviceaddress.h"
#include "settings/runatstartup.h"
#include "support/testhelpers.h"
#include "support/testservice.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QSessionManager>
#include <QStyleOption>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace settingstest;
using testsupport::ScriptedReply;
using testsupport::topLevelWindows;

class TestSettingsWindow : public WindowTest
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void form_data();
    void form();
    void windowIsFixedWithoutMaximise();
    void texts_data();
    void texts();
    void textsFit_data();
    void textsFit();
    void hotkeyEntries();
    void storedKey_data();
    void storedKey();
    void choiceStoredOnlyWhileActive();
    void closeAndMinimiseKeepWindowReachable();
    void trayIcon();
    void activation_data();
    void activation();
    void quitEndsEventLoopWithZero();
    void newestWindowIsPublished();
    void capturedSelectionReachesCurrentWindow();
    void disconnectSignsOut();
    void signInAgainAfterDisconnect();
    void startAtLogin_data();
    void startAtLogin();
    void noTrayIsSaidOnce();
    void waylandSessionIsToldOnce();
    void sessionEndIsNotRefused();

private:
    SettingsWindow *makeWindow();
    int pendingReplies() const;

    int indicators() const;
    int visibleSettingsTrayIcons() const;

    // Its watcher is never started: the windows it makes choose its hotkey and are connected to its signals, as
    // to the real one.
    std::unique_ptr<DesktopController> controller;
    WindowsThread *watcher = nullptr;
};

void TestSettingsWindow::initTestCase()
{
    useOwnConfigHome();
    controller = std::make_unique<DesktopController>();
    watcher = &controller->watcher();
}

void TestSettingsWindow::init()
{
    startSession();
}

void TestSettingsWindow::cleanup()
{
    // Windows made by the login window and indicators included; a settings window takes its tray menu along.
    qDeleteAll(topLevelWindows<SettingsWindow>());
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<MainWindow *>(widget) || qobject_cast<Sending *>(widget))
            delete widget;
    }
    QCOMPARE(boxes->seen.size(), 0); // no test here expects a warning
    endSession();
    removeStartEntry();
}

int TestSettingsWindow::indicators() const
{
    int count = 0;
    for (QWidget *widget : QApplication::topLevelWidgets())
        count += qobject_cast<Sending *>(widget) && widget->isVisible() ? 1 : 0;
    return count;
}

int TestSettingsWindow::visibleSettingsTrayIcons() const
{
    int count = 0;
    for (SettingsWindow *settingsWindow : topLevelWindows<SettingsWindow>())
        count += settingsWindow->findChild<QSystemTrayIcon *>()->isVisible() ? 1 : 0;
    return count;
}

SettingsWindow *TestSettingsWindow::makeWindow()
{
    window = controller->makeSettingsWindow();
    return window;
}

// Requests the window has handed to its manager and not yet seen answered.
int TestSettingsWindow::pendingReplies() const
{
    const auto *manager = window->findChild<QNetworkAccessManager *>();
    return manager ? manager->findChildren<QNetworkReply *>().size() : -1;
}

void TestSettingsWindow::form_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("className");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<int>("pointSize");
    QTest::addColumn<QString>("styleSheet");

    const QString grey = QStringLiteral("color:#696969");
    QTest::newRow("label") << "label" << QByteArray("QLabel") << QRect(0, 0, 242, 255) << -1 << QString();
    QTest::newRow("devicesList") << "devicesList" << QByteArray("QListView") << QRect(7, 92, 227, 66) << 10
                                 << "background-color: rgba( 217, 230, 255, 100% );\nborder: 0px solid black;\n"
                                    "color:#696969;";
    QTest::newRow("disconnect") << "disconnect" << QByteArray("QPushButton") << QRect(76, 214, 91, 31) << 11
                                << "background-color: rgba( 217, 230, 255, 0% );\nborder: 0px solid black;\n"
                                   "color:white;";
    QTest::newRow("keyList")
        << "keyList" << QByteArray("QComboBox") << QRect(10, 180, 221, 22) << 10
        << "QComboBox {\n\tbackground-color: rgba( 217, 230, 255, 100% );\n\tborder: 0px solid black;\n\t"
           "color:#696969;\n}\n\nQComboBox::down-arrow\n{   \n    border: 0px;\n    background-repeat: no-repeat;\n"
           "    background-position: center center;\n   \n    border-image: url(:/images/arrow.png);\n\theight:48px;\n"
           "    width:48px;\n\tmargin-top:2px;\n\tcolor:#696969;\n    \n}\nQComboBox::drop-down \n{\n    border: 0px;\n"
           "\tcolor:#696969;\n}\n\n";
    QTest::newRow("keyLabel") << "keyLabel" << QByteArray("QLabel") << QRect(8, 162, 131, 16) << 9 << grey;
    QTest::newRow("defaultDeviceLabel") << "defaultDeviceLabel" << QByteArray("QLabel") << QRect(8, 74, 221, 16) << 9
                                        << grey;
    QTest::newRow("currentDevice") << "currentDevice" << QByteArray("QLabel") << QRect(93, 74, 141, 16) << 9
                                   << "background-color: rgba( 217, 230, 255, 0% );\ncolor:#696969;";
    QTest::newRow("startCheckBox") << "startCheckBox" << QByteArray("QCheckBox") << QRect(8, 254, 211, 17) << 9
                                   << grey + QLatin1Char(';');
}

void TestSettingsWindow::form()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, className);
    QFETCH(QRect, geometry);
    QFETCH(int, pointSize);
    QFETCH(QString, styleSheet);

    makeWindow();
    QCOMPARE(window->objectName(), QStringLiteral("SettingsWindow"));
    QCOMPARE(window->styleSheet(), QStringLiteral("QWidget {\n\tbackground-color: white;\n}\ncolor:#696969;"));
    QCOMPARE(window->centralWidget()->objectName(), QStringLiteral("centralwidget"));
    if (name == QLatin1String("keyList"))
        QCOMPARE(styleSheet.size(), 400);

    auto *widget = window->centralWidget()->findChild<QWidget *>(name, Qt::FindDirectChildrenOnly);
    QVERIFY(widget);
    QCOMPARE(QByteArray(widget->metaObject()->className()), className);
    QCOMPARE(widget->geometry(), geometry);
    QCOMPARE(widget->font().family(), QStringLiteral("Trebuchet MS"));
    if (pointSize > 0)
        QCOMPARE(widget->font().pointSize(), pointSize);
    QCOMPARE(widget->styleSheet(), styleSheet);

    if (auto *label = qobject_cast<QLabel *>(widget); label && name == QLatin1String("label"))
        QCOMPARE(label->pixmap(Qt::ReturnByValue).size(), QSize(242, 255));
    if (auto *label = qobject_cast<QLabel *>(widget); label && name == QLatin1String("currentDevice")) {
        QCOMPARE(label->alignment(), Qt::AlignRight | Qt::AlignTrailing | Qt::AlignVCenter);
        QCOMPARE(label->text(), QString());
    }
    if (auto *list = qobject_cast<QListView *>(widget))
        QCOMPARE(list->frameShape(), QFrame::NoFrame);
    if (auto *box = qobject_cast<QCheckBox *>(widget))
        QVERIFY(!box->isChecked());
}

void TestSettingsWindow::windowIsFixedWithoutMaximise()
{
    makeWindow();
    QCOMPARE(window->size(), QSize(242, 279));
    QCOMPARE(window->minimumSize(), QSize(242, 279));
    QCOMPARE(window->maximumSize(), QSize(242, 279));
    const Qt::WindowFlags flags = window->windowFlags();
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(flags & Qt::WindowMinimizeButtonHint);
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(flags & Qt::WindowTitleHint);
}

void TestSettingsWindow::texts_data()
{
    QTest::addColumn<bool>("french");
    QTest::addColumn<QStringList>("texts"); // title, default device, key, start box, disconnect, show, quit

    QTest::newRow("english") << false << QStringList{"tapvela - settings", "Default device :", "Key :",
                                                     startBoxText(false),  "disconnect",       "show tapvela",
                                                     "quit tapvela"};
    QTest::newRow("french") << true
                            << QStringList{"tapvela - configuration", "Appareil par défaut :", "Touche :",
                                           startBoxText(true),        "déconnexion",           "afficher tapvela",
                                           "quitter tapvela"};
}

void TestSettingsWindow::texts()
{
    QFETCH(bool, french);
    QFETCH(QStringList, texts);

    setFrenchSession(french);
    if (isFrenchInterface() != french)
        QSKIP("this platform takes the interface language from the session the test started in");
    makeWindow();
    const auto *menu = window->findChild<QSystemTrayIcon *>()->contextMenu();
    QVERIFY(menu);
    const QList<QAction *> entries = menu->actions();
    QCOMPARE(entries.size(), 3);
    QVERIFY(entries.at(1)->isSeparator());
    const QStringList seen{window->windowTitle(),
                           window->findChild<QLabel *>("defaultDeviceLabel")->text(),
                           window->findChild<QLabel *>("keyLabel")->text(),
                           window->findChild<QCheckBox *>("startCheckBox")->text(),
                           window->findChild<QPushButton *>("disconnect")->text(),
                           entries.at(0)->text(),
                           entries.at(2)->text()};
    QCOMPARE(seen, texts);
}

void TestSettingsWindow::textsFit_data()
{
    QTest::addColumn<bool>("french");
    QTest::newRow("english") << false;
    QTest::newRow("french") << true;
}

// Every text keeps to its widget and no two texts run over one another, in the font the window really draws
// with, a long device name included.
void TestSettingsWindow::textsFit()
{
    QFETCH(bool, french);

    setFrenchSession(french);
    if (isFrenchInterface() != french)
        QSKIP("this platform takes the interface language from the session the test started in");
    const QString name = QStringLiteral("Samsung Galaxy S23 Ultra, Marie-Hélène D");
    QCOMPARE(name.size(), 40);
    resetConfig({{"apikey", "k1"}, {"id", "7"}});
    service->setReply("/all/devices_app.php", ScriptedReply::json(R"({"status":"valid","devices":[{"id":"7","name":")" +
                                                                  name.toUtf8() + R"("}]})"));
    makeWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    auto *device = window->findChild<QLabel *>(QStringLiteral("currentDevice"));
    QTRY_COMPARE(device->toolTip(), name);

    QList<QPair<QString, QRect>> drawn; // each text's rectangle in the window
    auto keep = [&](QWidget *widget, const QString &text, const QRect &room, Qt::Alignment alignment) {
        const QFontMetrics metrics(widget->font());
        QVERIFY2(metrics.horizontalAdvance(text) <= room.width(),
                 qPrintable(QStringLiteral("\"%1\" is wider than its room of %2 pixels in %3")
                                .arg(text)
                                .arg(room.width())
                                .arg(QFontInfo(widget->font()).family())));
        const QRect rect = widget->style()->itemTextRect(metrics, room, int(alignment), true, text);
        drawn.append({text, rect.translated(widget->mapTo(window, QPoint()))});
    };
    for (const char *labelName : {"defaultDeviceLabel", "currentDevice", "keyLabel"}) {
        auto *label = window->findChild<QLabel *>(labelName);
        // The specified font, or the substitute of like width where it is missing: never a wider fallback.
        QVERIFY2(QStringList({"Trebuchet MS", "PT Sans"}).contains(QFontInfo(label->font()).family()),
                 qPrintable(QFontInfo(label->font()).family()));
        keep(label, label->text(), label->contentsRect(), label->alignment());
    }
    auto *box = window->findChild<QCheckBox *>(QStringLiteral("startCheckBox"));
    QStyleOptionButton boxOption;
    boxOption.initFrom(box);
    boxOption.text = box->text();
    keep(box, box->text(), box->style()->subElementRect(QStyle::SE_CheckBoxContents, &boxOption, box),
         Qt::AlignLeft | Qt::AlignVCenter);
    auto *button = window->findChild<QPushButton *>(QStringLiteral("disconnect"));
    QStyleOptionButton buttonOption;
    buttonOption.initFrom(button);
    buttonOption.text = button->text();
    keep(button, button->text(), button->style()->subElementRect(QStyle::SE_PushButtonContents, &buttonOption, button),
         Qt::AlignCenter);
    // The hotkey list shows one entry at a time, in one place: each must fit it.
    auto *keyList = window->findChild<QComboBox *>(QStringLiteral("keyList"));
    QStyleOptionComboBox comboOption;
    comboOption.initFrom(keyList);
    const QRect field =
        keyList->style()->subControlRect(QStyle::CC_ComboBox, &comboOption, QStyle::SC_ComboBoxEditField, keyList);
    const QStringList entries = hotkeyEntryTexts();
    for (const QString &entry : entries)
        keep(keyList, entry, field, Qt::AlignLeft | Qt::AlignVCenter);
    if (QTest::currentTestFailed())
        return;
    drawn.erase(drawn.end() - entries.size() + 1, drawn.end());

    // The name gives way to its label: elided into the room left, the whole of it in the tool tip.
    QVERIFY(device->text().endsWith(QChar(0x2026)));
    for (int i = 0; i < drawn.size(); ++i) {
        for (int j = i + 1; j < drawn.size(); ++j)
            QVERIFY2(!drawn.at(i).second.intersects(drawn.at(j).second),
                     qPrintable(drawn.at(i).first + " runs over " + drawn.at(j).first));
    }
}

void TestSettingsWindow::hotkeyEntries()
{
    makeWindow();
    const auto *keyList = window->findChild<QComboBox *>(QStringLiteral("keyList"));
    QCOMPARE(keyList->count(), 36);
    const QList<QPair<int, QString>> samples{{0, "F1"},         {9, "F10"},        {11, "F12"},
                                             {12, "CTRL + F1"}, {14, "CTRL + F3"}, {23, "CTRL + F12"},
                                             {24, "ALT + F1"},  {33, "ALT + F10"}, {35, "ALT + F12"}};
    for (const auto &sample : samples)
        QCOMPARE(keyList->itemText(sample.first), sample.second);
    for (int index = 0; index < keyList->count(); ++index) {
        QVERIFY(keyList->itemIcon(index).isNull());
        QVERIFY(!keyList->itemData(index).isValid());
    }
}

void TestSettingsWindow::storedKey_data()
{
    QTest::addColumn<QVariant>("stored"); // invalid: no key in the file
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("keptInFile");
    QTest::addColumn<int>("watchedKey"); // the virtual-key code the watcher watches, and its modifier
    QTest::addColumn<bool>("ctrl");
    QTest::addColumn<bool>("alt");

    QTest::newRow("missing") << QVariant() << 10 << "F11"
                             << "10" << 122 << false << false;
    QTest::newRow("0") << QVariant("0") << 0 << "F1"
                       << "0" << 112 << false << false;
    QTest::newRow("14") << QVariant("14") << 14 << "CTRL + F3"
                        << "14" << 114 << true << false;
    QTest::newRow("35") << QVariant("35") << 35 << "ALT + F12"
                        << "35" << 123 << false << true;
    QTest::newRow("36 shows nothing") << QVariant("36") << -1 << ""
                                      << "36" << 122 << false << false;
    QTest::newRow("-1 shows nothing") << QVariant("-1") << -1 << ""
                                      << "-1" << 122 << false << false;
    QTest::newRow("not a number") << QVariant("abc") << 0 << "F1"
                                  << "abc" << 112 << false << false;
}

void TestSettingsWindow::storedKey()
{
    QFETCH(QVariant, stored);
    QFETCH(int, index);
    QFETCH(QString, shown);
    QFETCH(QString, keptInFile);
    QFETCH(int, watchedKey);
    QFETCH(bool, ctrl);
    QFETCH(bool, alt);

    watcher->applyHotkeyIndex(3); // something else before
    QVariantMap config{{QStringLiteral("apikey"), QStringLiteral("k1")}};
    if (stored.isValid())
        config.insert(QStringLiteral("key"), stored);
    resetConfig(config);
    makeWindow();
    const auto *keyList = window->findChild<QComboBox *>(QStringLiteral("keyList"));
    QCOMPARE(keyList->currentIndex(), index);
    QCOMPARE(keyList->currentText(), shown);
    const hotkey::Hotkey watched = watcher->watchedHotkey();
    QCOMPARE(watched.virtualKey, watchedKey);
    QCOMPARE(watched.ctrl, ctrl);
    QCOMPARE(watched.alt, alt);
    delete window; // its settings reach the file
    QCOMPARE(configValue(QStringLiteral("key")), keptInFile);
}

void TestSettingsWindow::choiceStoredOnlyWhileActive()
{
    makeWindow();
    window->show();
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window));
    auto *keyList = window->findChild<QComboBox *>(QStringLiteral("keyList"));
    keyList->setCurrentIndex(14);
    QCOMPARE(configValue(QStringLiteral("key")), QStringLiteral("14"));
    QCOMPARE(watcher->watchedHotkey().virtualKey, 114);
    QVERIFY(watcher->watchedHotkey().ctrl);
    keyList->setCurrentIndex(0);
    QCOMPARE(configValue(QStringLiteral("key")), QStringLiteral("0"));

    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    keyList->setCurrentIndex(5);
    QCOMPARE(watcher->watchedHotkey().virtualKey, 117); // applied, though not stored
    QCOMPARE(configValue(QStringLiteral("key")), QStringLiteral("0"));
}

void TestSettingsWindow::closeAndMinimiseKeepWindowReachable()
{
    // With a notification area the window hides into it; without one it must stay in the taskbar.
    const bool tray = QSystemTrayIcon::isSystemTrayAvailable();
    makeWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QVERIFY(!window->close());
    QCOMPARE(window->isVisible(), !tray);
    QCOMPARE(window->isMinimized(), !tray);

    window->showNormal();
    QVERIFY(window->isVisible());
    window->setWindowState(window->windowState() | Qt::WindowMinimized); // as the window manager reports it
    QCOMPARE(window->isVisible(), !tray);
    QVERIFY(window->findChild<QSystemTrayIcon *>()->isVisible());
}

void TestSettingsWindow::trayIcon()
{
    makeWindow();
    const auto *icon = window->findChild<QSystemTrayIcon *>();
    QVERIFY(icon);
    QVERIFY(icon->isVisible());
    // It names the service signed in to.
    QCOMPARE(icon->toolTip(), QStringLiteral("tapvela - ") + service::displayedServiceAddress(service::baseUrl()));
    const QImage expected = QIcon(QStringLiteral(":/icons/tapvela_Tray_Icone_16x16_On.png")).pixmap(16).toImage();
    QVERIFY(!expected.isNull());
    QCOMPARE(icon->icon().pixmap(16).toImage(), expected);
}

void TestSettingsWindow::activation_data()
{
    QTest::addColumn<int>("reason");
    QTest::addColumn<bool>("viaMenu");
    QTest::addColumn<int>("times");
    QTest::addColumn<bool>("shows");

    QTest::newRow("plain click") << int(QSystemTrayIcon::Trigger) << false << 1 << true;
    QTest::newRow("two plain clicks") << int(QSystemTrayIcon::Trigger) << false << 2 << true;
    QTest::newRow("show entry") << int(QSystemTrayIcon::Trigger) << true << 1 << true;
    QTest::newRow("context") << int(QSystemTrayIcon::Context) << false << 1 << false;
    QTest::newRow("double click") << int(QSystemTrayIcon::DoubleClick) << false << 1 << false;
    QTest::newRow("middle click") << int(QSystemTrayIcon::MiddleClick) << false << 1 << false;
    QTest::newRow("unknown") << int(QSystemTrayIcon::Unknown) << false << 1 << false;
}

void TestSettingsWindow::activation()
{
    QFETCH(int, reason);
    QFETCH(bool, viaMenu);
    QFETCH(int, times);
    QFETCH(bool, shows);

    makeWindow();
    QVERIFY(service->waitForRequests(1)); // the one at construction
    QTRY_COMPARE(pendingReplies(), 0);
    service->clearRequests();
    QVERIFY(!window->isVisible());

    auto *icon = window->findChild<QSystemTrayIcon *>();
    for (int i = 0; i < times; ++i) {
        if (viaMenu)
            icon->contextMenu()->actions().constFirst()->trigger();
        else
            emit icon->activated(QSystemTrayIcon::ActivationReason(reason));
    }
    // Sending is synchronous: the requests exist as replies in waiting before the event loop runs.
    QCOMPARE(pendingReplies(), shows ? times : 0);
    QCOMPARE(window->isVisible(), shows);
    if (shows) {
        QVERIFY(!window->isMinimized());
        QVERIFY(service->waitForRequests(times));
        for (const auto &request : service->requests())
            QCOMPARE(request.target, QByteArray("/all/devices_app.php?apikey=k1"));
    }
}

void TestSettingsWindow::quitEndsEventLoopWithZero()
{
    makeWindow();
    window->show();
    auto *icon = window->findChild<QSystemTrayIcon *>();
    QAction *quit = icon->contextMenu()->actions().constLast();
    QTimer::singleShot(0, quit, &QAction::trigger);
    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(!icon->isVisible());
}

void TestSettingsWindow::newestWindowIsPublished()
{
    QPointer<SettingsWindow> first = makeWindow();
    QCOMPARE(controller->currentWindow(), first.data());
    QPointer<SettingsWindow> second = controller->makeSettingsWindow();
    QCOMPARE(controller->currentWindow(), second.data());
    delete first.data(); // an older window going does not take the pointer back
    QCOMPARE(controller->currentWindow(), second.data());
    delete second.data();
    QCOMPARE(controller->currentWindow(), nullptr);
}

// The watcher announces a capture from its own thread: the current window alone sends the push, and a window
// that goes before the announcement arrives gets none.
void TestSettingsWindow::capturedSelectionReachesCurrentWindow()
{
    resetConfig({{"apikey", "k1"}, {"id", "7"}});
    service->setReply("/all/api.php", ScriptedReply::silence()); // the push stays pending, to be counted
    const auto pushes = [](SettingsWindow *settingsWindow) {
        int count = 0;
        const auto *manager = settingsWindow->findChild<QNetworkAccessManager *>();
        for (const QNetworkReply *reply : manager->findChildren<QNetworkReply *>())
            count += reply->url().path() == QLatin1String("/all/api.php") ? 1 : 0;
        return count;
    };
    const auto announceFromAnotherThread = [this] {
        const std::unique_ptr<QThread> thread(
            QThread::create([this] { emit watcher->selectionCaptured(QStringLiteral("+336")); }));
        thread->start();
        return thread->wait(5000);
    };

    // The older window is let go when the newer one is made: it gets none, or is gone.
    QPointer<SettingsWindow> older = makeWindow();
    QPointer<SettingsWindow> newer = controller->makeSettingsWindow();
    QVERIFY(announceFromAnotherThread());
    QCOMPARE(pushes(newer), 0); // queued for the GUI thread
    QTRY_COMPARE(pushes(newer), 1);
    QVERIFY(!older || pushes(older) == 0);

    QVERIFY(announceFromAnotherThread());
    delete newer.data();
    QCoreApplication::processEvents();
    QVERIFY(!older || pushes(older) == 0);
}

void TestSettingsWindow::disconnectSignsOut()
{
    resetConfig({{"apikey", "k1"}, {"key", "14"}, {"id", "7"}});
    makeWindow();
    window->show();
    emit watcher->createSendingWindow();
    QCOMPARE(indicators(), 1);
    // This one hides after its own delay, which a slow machine may reach during the test: only a second
    // indicator is a fault.
    QPointer<QWidget> shown;
    for (QWidget *widget : QApplication::topLevelWidgets())
        shown = qobject_cast<Sending *>(widget) ? widget : shown.data();
    auto *icon = window->findChild<QSystemTrayIcon *>();
    // A capture announced from the watcher's thread just before the click: queued, it arrives after it.
    const std::unique_ptr<QThread> capture(QThread::create([this] {
        emit watcher->selectionCaptured(QStringLiteral("+336"));
        emit watcher->createSendingWindow();
    }));
    capture->start();
    QVERIFY(capture->wait(5000));
    QTest::mouseClick(window->findChild<QPushButton *>(QStringLiteral("disconnect")), Qt::LeftButton);
    emit watcher->createSendingWindow(); // signed out: no window answers the watcher
    QCoreApplication::processEvents();
    for (QWidget *widget : QApplication::topLevelWidgets())
        QVERIFY(!qobject_cast<Sending *>(widget) || !widget->isVisible() || widget == shown);

    QCOMPARE(configValue(QStringLiteral("apikey")), QStringLiteral("no"));
    QVERIFY(!window->isVisible());
    QVERIFY(!icon->isVisible());
    QVERIFY(qobject_cast<MainWindow *>(controller->currentWindow())); // no settings window answers the watcher
    MainWindow *login = nullptr;
    for (QWidget *widget : QApplication::topLevelWidgets())
        login = login ? login : qobject_cast<MainWindow *>(widget);
    QVERIFY(login);
    QVERIFY(login->isVisible());

    QTRY_VERIFY(window.isNull()); // destroyed once the event loop runs again
    QCOMPARE(configValue(QStringLiteral("apikey")), QStringLiteral("no"));
    QCOMPARE(configValue(QStringLiteral("key")), QStringLiteral("14"));
    QCOMPARE(configValue(QStringLiteral("id")), QStringLiteral("7"));
}

void TestSettingsWindow::noTrayIsSaidOnce()
{
    if (QSystemTrayIcon::isSystemTrayAvailable())
        QSKIP("this desktop has a notification area");
    QTemporaryDir dir;
    const QString program = testsupport::stageProgram(dir.path());
    QVERIFY(!program.isEmpty());
    QFile config(dir.filePath(QStringLiteral("config.ini")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("[General]\napikey=k1\n");
    config.close();

    QProcess process;
    QProcessEnvironment env = testsupport::isolatedEnvironment(dir.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    process.start(program, QStringList());
    QVERIFY(process.waitForStarted());
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += process.readAllStandardOutput()).contains("no system tray"), 20000);
    process.kill();
    process.waitForFinished();
    output += process.readAllStandardOutput();
    QCOMPARE(output.count("no system tray"), 1);
}

// In a Wayland session the hotkey reaches only X11 applications: the first settings window that the user sees
// says so, once in the run; a silent start waits until the window is opened.
void TestSettingsWindow::waylandSessionIsToldOnce()
{
    struct SessionType
    {
        explicit SessionType(const QByteArray &type) { qputenv("XDG_SESSION_TYPE", type); }
        ~SessionType() { qunsetenv("XDG_SESSION_TYPE"); }
    };
    {
        const SessionType x11("x11");
        makeWindow();
        window->showNormal();
        QCoreApplication::processEvents(); // the notice would come with the next turn of the event loop
        QCOMPARE(boxes->seen.size(), 0);
        delete window;
    }
    const SessionType wayland("wayland");
    for (int run = 0; run < 2; ++run) {
        makeWindow();
        window->showMinimized();
        QCoreApplication::processEvents();
        QCOMPARE(boxes->seen.size(), run);
        window->showNormal();
        QCoreApplication::processEvents();
        QCOMPARE(boxes->seen.size(), 1);
        delete window;
    }
    const SeenBox box = boxes->seen.takeFirst();
    QCOMPARE(box.title, QStringLiteral("tapvela - settings"));
    QCOMPARE(box.text,
             QStringLiteral("Wayland session: the hotkey works only in X11 applications, not in native Wayland ones."));
    QCOMPARE(box.icon, QMessageBox::Warning);
}

// The end of the session is never refused: Qt's fallback, when on, asks every visible window to close and the
// first refusal cancels the log-off. The settings are on disk when the session asks.
void TestSettingsWindow::sessionEndIsNotRefused()
{
    makeWindow();
    window->show();
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window));
    window->findChild<QComboBox *>(QStringLiteral("keyList"))->setCurrentIndex(14); // stored, not yet written out

    auto *session = qApp->findChild<QSessionManager *>();
    QVERIFY(session);
    emit qApp->commitDataRequest(*session);
    if (QGuiApplication::isFallbackSessionManagementEnabled()) {
        for (QWidget *widget : QApplication::topLevelWidgets())
            QVERIFY2(!widget->isVisible() || widget->close(), qPrintable(widget->objectName() + " refused"));
    }
    QFile file(configFilePath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().contains("key=14"));
}

// Signing in again after a disconnect gives one settings window: one tray icon, one indicator per push, the
// hotkey and the default device kept.
void TestSettingsWindow::signInAgainAfterDisconnect()
{
    resetConfig({{"apikey", "k1"}, {"key", "14"}, {"id", "7"}});
    service->setReply("/all/login_app.php", ScriptedReply::text("k2"));
    makeWindow();
    window->show();
    QTest::mouseClick(window->findChild<QPushButton *>(QStringLiteral("disconnect")), Qt::LeftButton);
    QTRY_VERIFY(window.isNull());

    MainWindow *login = nullptr;
    for (QWidget *widget : QApplication::topLevelWidgets())
        login = login ? login : qobject_cast<MainWindow *>(widget);
    QVERIFY(login);
    login->findChild<QLineEdit *>(QStringLiteral("username"))->setText(QStringLiteral("user"));
    login->findChild<QLineEdit *>(QStringLiteral("password"))->setText(QStringLiteral("secret"));
    QTest::mouseClick(login->findChild<QPushButton *>(QStringLiteral("connection")), Qt::LeftButton);

    QTRY_COMPARE(topLevelWindows<SettingsWindow>().size(), 1);
    SettingsWindow *next = topLevelWindows<SettingsWindow>().constFirst();
    QCOMPARE(controller->currentWindow(), next);
    QVERIFY(next->isVisible());
    QVERIFY(!login->isVisible());
    QCOMPARE(visibleSettingsTrayIcons(), 1);
    QCOMPARE(configValue(QStringLiteral("apikey")), QStringLiteral("k2"));
    QCOMPARE(configValue(QStringLiteral("key")), QStringLiteral("14"));
    QCOMPARE(configValue(QStringLiteral("id")), QStringLiteral("7"));
    QCOMPARE(next->findChild<QComboBox *>(QStringLiteral("keyList"))->currentIndex(), 14);
    emit watcher->createSendingWindow();
    QCOMPARE(indicators(), 1);
}

void TestSettingsWindow::startAtLogin_data()
{
    QTest::addColumn<QString>("entryAtStart"); // null: none
    QTest::newRow("no entry") << QString();
    QTest::newRow("entry of a moved program") << QStringLiteral("\"/old/place/tapvela\" silent");
}

void TestSettingsWindow::startAtLogin()
{
    QFETCH(QString, entryAtStart);

    const QString command = runAtStartupCommand(runAtStartupProgram());
    removeStartEntry();
    if (!entryAtStart.isNull())
        writeStartEntry(entryAtStart);
    makeWindow();
    auto *box = window->findChild<QCheckBox *>(QStringLiteral("startCheckBox"));
    // A present entry is taken over by the program now running; an absent one is not created.
    QCOMPARE(box->isChecked(), !entryAtStart.isNull());
    QCOMPARE(startEntryCommand(), entryAtStart.isNull() ? QString() : command);

    window->show();
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
    QCOMPARE(box->isChecked(), entryAtStart.isNull());
    QCOMPARE(startEntryCommand(), entryAtStart.isNull() ? command : QString());
    box->setChecked(false);
    QCOMPARE(startEntryCommand(), QString());
    window->on_startCheckBox_stateChanged(0); // clearing an absent entry is quiet
    QCOMPARE(startEntryCommand(), QString());
    box->setChecked(true);
    QCOMPARE(startEntryCommand(), command);
}

QTEST_MAIN(TestSettingsWindow)
#include "tst_settingswindow.moc"
