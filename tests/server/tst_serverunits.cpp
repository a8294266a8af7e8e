#include "http.h"
#include "phonepage.h"
#include "pushhub.h"
#include "query.h"
#include "secrets.h"
#include "store_sqlite.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace pushserver;

// The service's parsing and its phone page without HTTP: the exact limits, which the HTTP tests and the fuzz
// targets (they check invariants) do not pin down.
class TestServerUnits final : public QObject
{
    Q_OBJECT

private slots:
    void utf8Limits_data();
    void utf8Limits();
    void query_data();
    void query();
    void pushEventIsOneLine_data();
    void pushEventIsOneLine();
    void pageShowsNewestUpToItsLimit();
    void pageLanguage_data();
    void pageLanguage();
    void clientGroups_data();
    void clientGroups();
    void streamTakeover_data();
    void streamTakeover();
};

void TestServerUnits::utf8Limits_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("valid");
    QTest::newRow("U+0080, first of two bytes") << QByteArray("\xC2\x80") << true;
    QTest::newRow("C1: overlong two bytes") << QByteArray("\xC1\xBF") << false;
    QTest::newRow("U+0800, first of three bytes") << QByteArray("\xE0\xA0\x80") << true;
    QTest::newRow("overlong three bytes") << QByteArray("\xE0\x9F\xBF") << false;
    QTest::newRow("U+D7FF, below the surrogates") << QByteArray("\xED\x9F\xBF") << true;
    QTest::newRow("U+DFFF, last surrogate") << QByteArray("\xED\xBF\xBF") << false;
    QTest::newRow("U+E000, above the surrogates") << QByteArray("\xEE\x80\x80") << true;
    QTest::newRow("overlong four bytes") << QByteArray("\xF0\x8F\xBF\xBF") << false;
    QTest::newRow("U+10FFFF, the last") << QByteArray("\xF4\x8F\xBF\xBF") << true;
    QTest::newRow("U+110000") << QByteArray("\xF4\x90\x80\x80") << false;
    QTest::newRow("F5 lead byte") << QByteArray("\xF5\x80\x80\x80") << false;
    QTest::newRow("lone continuation byte") << QByteArray("a\x80") << false;
    QTest::newRow("cut at the end") << QByteArray("a\xE2\x82") << false;
    QTest::newRow("ASCII in place of a continuation") << QByteArray("\xE2\x28\xA1") << false;
}

void TestServerUnits::utf8Limits()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, valid);
    QCOMPARE(isValidUtf8(bytes.toStdString()), valid);
}

void TestServerUnits::query_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("value"); // what `name` reads as
    QTest::addColumn<QByteArray>("error"); // a part of the refusal; empty when the query is taken
    QByteArray many;
    for (int i = 0; i < 32; ++i)
        many += "p" + QByteArray::number(i) + "=" + QByteArray::number(i) + "&";
    QTest::newRow("plus in a name and a value")
        << QByteArray("a+b=c+d") << QByteArray("a+b") << QByteArray("c+d") << QByteArray();
    QTest::newRow("equals sign in a value")
        << QByteArray("a=b=c") << QByteArray("a") << QByteArray("b=c") << QByteArray();
    QTest::newRow("name without a value") << QByteArray("a&b=1") << QByteArray("a") << QByteArray() << QByteArray();
    QTest::newRow("empty segments") << QByteArray("&&a=1&&") << QByteArray("a") << QByteArray("1") << QByteArray();
    QTest::newRow("escape at the very end")
        << QByteArray("a=%41") << QByteArray("a") << QByteArray("A") << QByteArray();
    QTest::newRow("32 parameters") << many << QByteArray("p31") << QByteArray("31") << QByteArray();
    QTest::newRow("33 parameters") << many + "x=1" << QByteArray() << QByteArray() << QByteArray("too many");
    // Two spellings of one name must not let a second value past the first's checks.
    QTest::newRow("repeat hidden by an escape")
        << QByteArray("msg=a&m%73g=b") << QByteArray() << QByteArray() << QByteArray("twice: msg");
    QTest::newRow("escape cut by the end")
        << QByteArray("a=%4") << QByteArray() << QByteArray() << QByteArray("percent-escape");
}

void TestServerUnits::query()
{
    QFETCH(QByteArray, raw);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, value);
    QFETCH(QByteArray, error);
    std::string why;
    const auto parsed = Query::parse(raw.toStdString(), &why);
    if (!error.isEmpty()) {
        QVERIFY(!parsed);
        QVERIFY2(why.find(error.toStdString()) != std::string::npos, why.c_str());
        return;
    }
    QVERIFY2(parsed, why.c_str());
    const std::string *found = parsed->find(name.toStdString());
    QVERIFY(found);
    QCOMPARE(QByteArray::fromStdString(*found), value);
}

void TestServerUnits::pushEventIsOneLine_data()
{
    QTest::addColumn<QByteArray>("msg");
    QTest::addColumn<QString>("shown"); // the message the page gets
    QTest::newRow("line feed") << QByteArray("two\nlines") << QStringLiteral("two\nlines");
    QTest::newRow("carriage return") << QByteArray("a\r\nb\rc") << QStringLiteral("a\r\nb\rc");
    // A sender who could end the data line would forge events on the stream.
    QTest::newRow("forged event") << QByteArray("x\n\nid: 9\nevent: push\ndata: {\"id\":9}")
                                  << QStringLiteral("x\n\nid: 9\nevent: push\ndata: {\"id\":9}");
    QTest::newRow("not UTF-8, from an older database") << QByteArray("caf\xE9") << QStringLiteral("caf\uFFFD");
}

void TestServerUnits::pushEventIsOneLine()
{
    QFETCH(QByteArray, msg);
    QFETCH(QString, shown);
    Push push;
    push.id = 7;
    push.msg = msg.toStdString();
    push.createdAt = 1'800'000'000;
    const QByteArray line = QByteArray::fromStdString(pushJson(push));
    QVERIFY2(!line.contains('\n') && !line.contains('\r'), line.constData());
    const QJsonObject event = QJsonDocument::fromJson(line).object();
    QCOMPARE(event.value("id").toInt(), 7);
    QCOMPARE(event.value("msg").toString(), shown);
}

// The page shows the newest pushes up to its limit, and names the newest as the one its stream resumes after.
void TestServerUnits::pageShowsNewestUpToItsLimit()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid() && initSecrets());
    SqliteStore store(dir.filePath(QStringLiteral("page.db")).toStdString());
    const auto account = store.addAccount("a", "hash");
    QVERIFY(account);
    const Device device = store.addDevice(*account, "phone");
    std::int64_t newest = 0;
    for (int i = 0; i < 55; ++i)
        newest = store.addPush(*account, device.id, PushFields{"push " + std::to_string(i), "", "", ""})->first;
    const QString page = QString::fromStdString(renderPhonePage(device, store.latestPushes(device.row, 50), "n"));
    QCOMPARE(page.count(QStringLiteral("<li ")), 50);
    QVERIFY(page.contains(QStringLiteral("data-last=\"%1\"").arg(newest)));
    const int first = page.indexOf(QStringLiteral("<li data-id=\"%1\"").arg(newest));
    QVERIFY(first > 0 && first == page.indexOf(QStringLiteral("<li ")));
    QVERIFY(page.contains(QStringLiteral(">push 5<")) && !page.contains(QStringLiteral(">push 4<")));
}

void TestServerUnits::clientGroups_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("group");
    QTest::newRow("IPv4") << "192.0.2.7"
                          << "192.0.2.7";
    QTest::newRow("IPv4 loopback") << "127.0.0.2"
                                   << "127.0.0.2";
    QTest::newRow("IPv6 in its /64") << "2001:db8:1:2:aaaa:bbbb:cccc:dddd"
                                     << "2001:db8:1:2::/64";
    QTest::newRow("another address of that /64") << "2001:db8:1:2::1"
                                                 << "2001:db8:1:2::/64";
    QTest::newRow("the next /64") << "2001:db8:1:3::1"
                                  << "2001:db8:1:3::/64";
    QTest::newRow("IPv6 loopback") << "::1"
                                   << "::/64";
    QTest::newRow("link-local with a scope") << "fe80::1%1"
                                             << "fe80::/64";
    QTest::newRow("IPv4-mapped") << "::ffff:192.0.2.7"
                                 << "192.0.2.7";
    QTest::newRow("not an address") << "unix"
                                    << "unix";
}

// The per-client connection cap counts an IPv6 /64 as one client: its owner can use any of its 2^64 addresses.
void TestServerUnits::clientGroups()
{
    QFETCH(QString, address);
    QFETCH(QString, group);
    QCOMPARE(QString::fromStdString(clientGroup(address.toStdString())), group);
}

void TestServerUnits::streamTakeover_data()
{
    QTest::addColumn<QStringList>("open"); // the account's streams' pages, oldest first
    QTest::addColumn<QString>("newcomer"); // its page
    QTest::addColumn<int>("ends");         // which of the open streams ends for it

    const QStringList mixed{"b", "a", "a", "a", "a", "a", "b", "b"};
    QTest::newRow("same page: its oldest") << mixed << "b" << 0;
    QTest::newRow("same page, the one holding most") << mixed << "a" << 1;
    QTest::newRow("a page holding none: the oldest of the one holding most") << mixed << "c" << 1;
    QTest::newRow("a tie: the page with the oldest stream")
        << QStringList{"a", "b", "a", "b", "a", "b", "a", "b"} << "c" << 0;
}

// An account's pages hold 8 streams: a ninth is never refused, and exactly one stream ends for it, woken so
// that its connection closes; another account's streams are untouched.
void TestServerUnits::streamTakeover()
{
    QFETCH(QStringList, open);
    QFETCH(QString, newcomer);
    QFETCH(int, ends);

    pushserver::PushHub hub(8, 1024);
    const auto pageRow = [](const QString &page) { return static_cast<std::int64_t>(page.at(0).unicode()); };
    std::vector<std::unique_ptr<pushserver::PushHub::Subscription>> streams;
    std::vector<int> woken(open.size(), 0);
    for (int i = 0; i < open.size(); ++i) {
        streams.push_back(hub.subscribe(1, pageRow(open[i]), open[i].toStdString()));
        QVERIFY(streams.back());
        streams.back()->onPublished([&woken, i] { ++woken[static_cast<std::size_t>(i)]; });
    }
    const auto other = hub.subscribe(2, 99, "z");
    QVERIFY(other);
    const auto ninth = hub.subscribe(1, pageRow(newcomer), newcomer.toStdString());
    QVERIFY(ninth);
    QVERIFY(!ninth->ended());
    QVERIFY(!other->ended());
    for (int i = 0; i < open.size(); ++i) {
        QCOMPARE(streams[static_cast<std::size_t>(i)]->ended(), i == ends);
        QCOMPARE(woken[static_cast<std::size_t>(i)], i == ends ? 1 : 0);
    }
    // The ended stream's place was the newcomer's at once, before its connection closes, and not freed twice.
    QCOMPARE(hub.openStreams(), 9);
    streams[static_cast<std::size_t>(ends)].reset();
    QCOMPARE(hub.openStreams(), 9);
    QVERIFY(hub.subscribe(1, pageRow(newcomer), newcomer.toStdString()));
}

QTEST_GUILESS_MAIN(TestServerUnits)
#include "tst_serverunits.moc"

void TestServerUnits::pageLanguage_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<bool>("french");
    QTest::newRow("none") << QByteArray() << false;
    QTest::newRow("Chrome in French") << QByteArray("fr-FR,fr;q=0.9,en-US;q=0.8,en;q=0.7") << true;
    QTest::newRow("Canadian French only") << QByteArray("fr-CA") << true;
    QTest::newRow("capitals and spaces") << QByteArray(" FR-be ; Q=0.5 , de") << true;
    QTest::newRow("English weighs more") << QByteArray("fr;q=0.5,en;q=0.8") << false;
    QTest::newRow("French weighs more though named later") << QByteArray("en;q=0.3, fr") << true;
    QTest::newRow("same weight: the first named") << QByteArray("fr, en") << true;
    QTest::newRow("same weight, English first") << QByteArray("en-GB, fr") << false;
    QTest::newRow("French refused") << QByteArray("fr;q=0, de") << false;
    QTest::newRow("French refused, any other welcome") << QByteArray("fr;q=0, *") << false;
    QTest::newRow("any language weighs more than French") << QByteArray("*;q=0.5, fr;q=0.4") << false;
    QTest::newRow("French weighs more than a weak English") << QByteArray("en;q=0.1, *;q=0.5, fr;q=0.4") << true;
    QTest::newRow("German only") << QByteArray("de-DE,de;q=0.9") << false;
    QTest::newRow("a code starting like French") << QByteArray("frr, fy") << false;
    QTest::newRow("weight above 1 is ignored") << QByteArray("fr;q=2, en;q=0.5") << false;
    QTest::newRow("weight with four decimals is ignored") << QByteArray("en;q=0.5, fr;q=0.9999") << false;
    QTest::newRow("weight in thousandths") << QByteArray("en;q=0.899, fr;q=0.9") << true;
}

void TestServerUnits::pageLanguage()
{
    QFETCH(QByteArray, header);
    QFETCH(bool, french);
    QCOMPARE(pushserver::pageLanguage(header.toStdString()) == PageLanguage::French, french);
}
