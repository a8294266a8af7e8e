#include "hotkey/hotkeymatcher.h"

#include <QtTest>

#include <climits>

using namespace hotkey;

namespace {

constexpr int noIndex = INT_MIN; // the row applies no hotkey at all

int keyNamed(const QString &name)
{
    static const QHash<QString, int> keys = {
        {QStringLiteral("CTRL"), vk::leftControl},
        {QStringLiteral("RCTRL"), vk::rightControl},
        {QStringLiteral("CONTROL"), vk::control},
        {QStringLiteral("ALT"), vk::leftMenu},
        {QStringLiteral("RALT"), vk::rightMenu},
        {QStringLiteral("SHIFT"), vk::leftShift},
        {QStringLiteral("RSHIFT"), vk::rightShift},
        {QStringLiteral("WIN"), vk::leftWin},
        {QStringLiteral("C"), vk::c},
        {QStringLiteral("A"), 0x41},
        {QStringLiteral("OTHER"), vk::other},
    };
    if (name.startsWith(QLatin1Char('F')) && name.size() > 1)
        return vk::f1 + name.mid(1).toInt() - 1;
    return keys.value(name, -1);
}

// "+KEY" down, "-KEY" up, "~+KEY" / "~-KEY" one of our own keystrokes, "=N" applies the hotkey index N.
struct Token
{
    bool apply = false;
    int index = 0;
    KeyEvent event;
};

Token parse(const QString &text)
{
    Token token;
    QString rest = text;
    if (rest.startsWith(QLatin1Char('='))) {
        token.apply = true;
        token.index = rest.mid(1).toInt();
        return token;
    }
    if (rest.startsWith(QLatin1Char('~'))) {
        token.event.ownKeystroke = true;
        rest = rest.mid(1);
    }
    token.event.down = rest.startsWith(QLatin1Char('+'));
    token.event.virtualKey = keyNamed(rest.mid(1));
    return token;
}

QString keystrokesText(const std::vector<Keystroke> &keystrokes)
{
    static const QHash<int, QString> names = {
        {vk::control, QStringLiteral("CONTROL")},    {vk::leftControl, QStringLiteral("CTRL")},
        {vk::rightControl, QStringLiteral("RCTRL")}, {vk::leftMenu, QStringLiteral("ALT")},
        {vk::rightMenu, QStringLiteral("RALT")},     {vk::leftShift, QStringLiteral("SHIFT")},
        {vk::rightShift, QStringLiteral("RSHIFT")},  {vk::leftWin, QStringLiteral("WIN")},
        {vk::rightWin, QStringLiteral("RWIN")},      {vk::c, QStringLiteral("C")},
    };
    QStringList parts;
    for (const Keystroke &keystroke : keystrokes)
        parts.append((keystroke.down ? QLatin1Char('+') : QLatin1Char('-')) +
                     names.value(keystroke.virtualKey, QString::number(keystroke.virtualKey)));
    return parts.join(QLatin1Char(' '));
}

} // namespace

class TestHotkeyMatcher : public QObject
{
    Q_OBJECT

private slots:
    void table();
    void outOfRange_data();
    void outOfRange();
    void events_data();
    void events();
    void copyKeys_data();
    void copyKeys();
};

void TestHotkeyMatcher::table()
{
    const QStringList modifiers = {QString(), QStringLiteral("CTRL + "), QStringLiteral("ALT + ")};
    for (int index = 0; index < hotkeyCount; ++index) {
        const Hotkey hotkey = hotkeyForIndex(index);
        // The list's entry text for the index, rebuilt from the table: "ALT + F3" for 26.
        const QString entry = (hotkey.ctrl  ? modifiers[1]
                               : hotkey.alt ? modifiers[2]
                                            : modifiers[0]) +
                              QLatin1Char('F') + QString::number(hotkey.virtualKey - vk::f1 + 1);
        const QString expected = modifiers[index / 12] + QLatin1Char('F') + QString::number(index % 12 + 1);
        QCOMPARE(entry, expected);
        QVERIFY(!(hotkey.ctrl && hotkey.alt));
    }
}

void TestHotkeyMatcher::outOfRange_data()
{
    QTest::addColumn<int>("index");
    QTest::newRow("36") << 36;
    QTest::newRow("-1") << -1;
    QTest::newRow("1000") << 1000;
    QTest::newRow("INT_MIN") << INT_MIN;
    QTest::newRow("INT_MAX") << INT_MAX;
}

void TestHotkeyMatcher::outOfRange()
{
    QFETCH(int, index);
    const Hotkey hotkey = hotkeyForIndex(index);
    QCOMPARE(hotkey.virtualKey, vk::f11);
    QVERIFY(!hotkey.ctrl);
    QVERIFY(!hotkey.alt);
}

void TestHotkeyMatcher::events_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("events");
    QTest::addColumn<QString>("fires"); // one character per event: '1' fires, '.' does not

    QTest::newRow("F11 fires once per press") << 10 << "+F11 -F11 +F11 -F11"
                                              << "1.1.";
    QTest::newRow("held hotkey fires once") << 10 << "+F11 +F11 +F11 -F11 +F11"
                                            << "1...1";
    QTest::newRow("release of any key re-arms") << 10 << "+A +F11 +F11 -A +F11"
                                                << ".1..1";
    QTest::newRow("other keys never fire") << 10 << "+F10 +F12 +A +OTHER -OTHER"
                                           << ".....";
    QTest::newRow("CTRL + F5 needs CTRL") << 16 << "+F5 -F5 +CTRL +F5 -F5 -CTRL"
                                          << "...1..";
    QTest::newRow("F5 alone latches CTRL + F5") << 16 << "+F5 +CTRL +F5 -F5 +F5"
                                                << "....1";
    QTest::newRow("right CTRL counts") << 16 << "+RCTRL +F5"
                                       << ".1";
    QTest::newRow("CTRL released before F5") << 16 << "+CTRL -CTRL +F5"
                                             << "...";
    QTest::newRow("F5 fires with CTRL or SHIFT") << 4 << "+CTRL +F5 -F5 -CTRL +SHIFT +F5 -F5 -SHIFT"
                                                 << ".1...1..";
    QTest::newRow("ALT + F3") << 26 << "+ALT +F3 -F3 -ALT +F3"
                              << ".1...";
    QTest::newRow("right ALT counts") << 26 << "+RALT +F3"
                                      << ".1";
    QTest::newRow("CTRL + ALT + F3 is ALT + F3") << 26 << "+CTRL +ALT +F3"
                                                 << "..1";
    QTest::newRow("ALT + F3 not by CTRL") << 26 << "+CTRL +F3"
                                          << "..";
    QTest::newRow("F10 alone") << 9 << "+F10 -F10"
                               << "1.";
    QTest::newRow("ALT + F12, last entry") << 35 << "+ALT +F12"
                                           << ".1";
    QTest::newRow("index 0 is F1") << 0 << "+F1 -F1 +F11"
                                   << "1..";
    QTest::newRow("index 36 watches F11") << 36 << "+F12 +F11"
                                          << ".1";
    QTest::newRow("index -1 watches F11") << -1 << "+CTRL +F11"
                                          << ".1";
    QTest::newRow("nothing before any index") << noIndex << "+F11 -F11 +F1 -F1"
                                              << "....";
    QTest::newRow("our own hotkey keystroke never fires") << 10 << "~+F11 ~-F11 +F11"
                                                          << "..1";
    QTest::newRow("our own release keeps the latch") << 10 << "+F11 ~+C ~-C +F11 -F11 +F11"
                                                     << "1....1";
    QTest::newRow("new hotkey from the next event") << 10 << "+F11 -F11 =16 +F11 +CTRL +F5"
                                                    << "1....1";
    QTest::newRow("new hotkey keeps the latch") << 10 << "+F11 =22 +CTRL +F11"
                                                << "1...";
}

void TestHotkeyMatcher::events()
{
    QFETCH(int, index);
    QFETCH(QString, events);
    QFETCH(QString, fires);

    HotkeyMatcher matcher;
    ModifierTracker modifiers;
    if (index != noIndex)
        matcher.applyHotkeyIndex(index);
    QString seen;
    for (const QString &text : events.split(QLatin1Char(' '))) {
        Token token = parse(text);
        if (token.apply) {
            matcher.applyHotkeyIndex(token.index);
            seen.append(QLatin1Char('.'));
            continue;
        }
        QVERIFY2(token.event.virtualKey > 0, qPrintable(text));
        // As the event sources do: the modifiers held before the event, then the event counted in them.
        token.event.held = modifiers.held();
        if (!token.event.ownKeystroke)
            modifiers.keyEvent(token.event.virtualKey, token.event.down);
        seen.append(matcher.keyEvent(token.event) ? QLatin1Char('1') : QLatin1Char('.'));
    }
    QCOMPARE(seen, fires);
}

void TestHotkeyMatcher::copyKeys_data()
{
    QTest::addColumn<unsigned>("held");
    QTest::addColumn<bool>("releaseCtrl");
    QTest::addColumn<QString>("keystrokes");

    const unsigned ctrl = Modifiers::LeftCtrl;
    const unsigned alt = Modifiers::LeftAlt;
    QTest::newRow("nothing held") << 0u << false << "+CONTROL +C -C -CONTROL";
    QTest::newRow("nothing held, X11") << 0u << true << "+CONTROL +C -C -CONTROL";
    QTest::newRow("CTRL held: only C") << ctrl << false << "+C -C";
    QTest::newRow("right CTRL held: only C") << unsigned(Modifiers::RightCtrl) << false << "+C -C";
    QTest::newRow("CTRL held, X11: released, own CTRL") << ctrl << true << "-CTRL +CONTROL +C -C -CONTROL";
    QTest::newRow("right CTRL held, X11") << unsigned(Modifiers::RightCtrl) << true << "-RCTRL +CONTROL +C -C -CONTROL";
    QTest::newRow("ALT held: mask, release, copy") << alt << false << "+CONTROL -CONTROL -ALT +CONTROL +C -C -CONTROL";
    QTest::newRow("ALT held, X11: the same") << alt << true << "+CONTROL -CONTROL -ALT +CONTROL +C -C -CONTROL";
    QTest::newRow("right ALT released on its side")
        << unsigned(Modifiers::RightAlt) << false << "+CONTROL -CONTROL -RALT +CONTROL +C -C -CONTROL";
    QTest::newRow("CTRL and ALT held: CTRL masks") << (ctrl | alt) << false << "-ALT +C -C";
    QTest::newRow("CTRL and ALT held, X11: ALT first") << (ctrl | alt) << true << "-ALT -CTRL +CONTROL +C -C -CONTROL";
    QTest::newRow("SHIFT held: released, no mask")
        << unsigned(Modifiers::LeftShift) << false << "-SHIFT +CONTROL +C -C -CONTROL";
    QTest::newRow("Windows key held: masked")
        << unsigned(Modifiers::LeftMeta) << false << "+CONTROL -CONTROL -WIN +CONTROL +C -C -CONTROL";
    QTest::newRow("both ALT keys") << unsigned(Modifiers::LeftAlt | Modifiers::RightAlt) << false
                                   << "+CONTROL -CONTROL -ALT -RALT +CONTROL +C -C -CONTROL";
}

void TestHotkeyMatcher::copyKeys()
{
    QFETCH(unsigned, held);
    QFETCH(bool, releaseCtrl);
    QFETCH(QString, keystrokes);
    QCOMPARE(keystrokesText(copyKeystrokes(Modifiers(held), releaseCtrl ? HeldCtrl::Release : HeldCtrl::Use)),
             keystrokes);
}

QTEST_APPLESS_MAIN(TestHotkeyMatcher)
#include "tst_hotkey_matcher.moc"
