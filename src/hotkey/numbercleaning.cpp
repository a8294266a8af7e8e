#include "hotkey/numbercleaning.h"

#include <algorithm>
#include <array>
#include <optional>

namespace {

bool isAsciiDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

bool isSpace(QChar c)
{
    return c.category() == QChar::Separator_Space;
}

// The marks people write between the digit groups of a telephone number.
bool isMark(QChar c)
{
    return c == QLatin1Char('.') || c == QLatin1Char('-') || c == QLatin1Char('/');
}

// What the regular expression "\\(\\)|\\(.*\\)" leaves, matched leftmost-longest and removed everywhere: from the
// first "(" that has a ")" after it to the last ")", so "+33 (0)6..." loses its "(0)" and "06(1)2(3)4" becomes
// "064". In one pass: the expression itself takes time in the square of the length on a selection of "(".
// Digits alone in parentheses are an area code, "(555) 123-4567" or "(020) 7946 0000": dropping them pushed a
// wrong number, so they stay; only a trunk "(0)" goes.
QString withoutParentheses(const QString &text)
{
    const int lastClosing = text.lastIndexOf(QLatin1Char(')'));
    const int opening = text.indexOf(QLatin1Char('('));
    if (opening < 0 || opening > lastClosing)
        return text;
    const QString inside = text.mid(opening + 1, lastClosing - opening - 1);
    const bool areaCode = !inside.isEmpty() && std::all_of(inside.begin(), inside.end(), isAsciiDigit) &&
                          !std::all_of(inside.begin(), inside.end(), [](QChar c) { return c == QLatin1Char('0'); });
    return text.left(opening) + (areaCode ? inside : QString()) + text.mid(lastClosing + 1);
}

} // namespace

CleanedNumber cleanNumber(const QString &selection)
{
    QString text = selection.trimmed();

    // Spaces between the digits, of any width: line breaks and tabs are kept, so two numbers on two lines
    // or in two table cells are never glued into one.
    QString spaceless;
    spaceless.reserve(text.size());
    for (const QChar c : text) {
        if (!isSpace(c))
            spaceless.append(c);
    }
    text = spaceless;

    for (const QChar c : {'.', '-', ',', '/', ';', ':', '<', '>', '[', ']', '*', '{', '}'})
        text.remove(c);

    text = withoutParentheses(text);

    CleanedNumber cleaned;
    // At most one "+", and before the digits: "3+3" is no telephone number.
    const int plusCount = text.count(QLatin1Char('+'));
    bool plusLeads = plusCount == 0;
    if (plusCount == 1) {
        plusLeads = true;
        for (int i = 0; i < text.indexOf(QLatin1Char('+')); ++i)
            plusLeads = plusLeads && !isAsciiDigit(text.at(i));
    }
    cleaned.hadPlus = plusCount > 0;
    text.remove(QLatin1Char('+'));
    // A label in parentheses or a plus may have stood between a line break and the digits: such white space is
    // at an end now, and the push would carry it.
    text = text.trimmed();

    // Digits only: a floating-point conversion would take "12e3" or "inf" for a number.
    bool digitsOnly = !text.isEmpty();
    for (const QChar c : text)
        digitsOnly = digitsOnly && isAsciiDigit(c);
    cleaned.isNumber = digitsOnly && plusLeads;
    cleaned.digits = text;
    return cleaned;
}

namespace {

constexpr int minDigits = 6;
constexpr int maxDigits = 15; // E.164's longest
constexpr int maxGroups = maxDigits + 1;
constexpr int maxSeparatorRun = 3; // " - " and the like
constexpr int maxAreaCodeDigits = 5;

// The punctuation that, between two words, makes them one: "1,234", "www.x.fr/0612345678", "10:30", "800-FLOWERS".
bool joinsWords(QChar c)
{
    return isMark(c) || c == QLatin1Char(',') || c == QLatin1Char(':');
}

// The digits between "(" at position at and its ")", when they are all digits and few enough for an area code;
// 0 otherwise.
int areaCodeLength(const QString &text, int at)
{
    int length = 0;
    int i = at + 1;
    while (i < text.size() && length <= maxAreaCodeDigits && isAsciiDigit(text.at(i))) {
        ++length;
        ++i;
    }
    if (length == 0 || length > maxAreaCodeDigits || i >= text.size() || text.at(i) != QLatin1Char(')'))
        return 0;
    return length;
}

// A candidate: digits with the separators between them, read from a "+", a digit or an area code on.
struct Run
{
    bool plus = false;
    QString digits; // as pushed, a "(0)" after the country code left out
    std::array<int, maxGroups> groupLengths{};
    // What stood before group i (i >= 1), as one character: the mark or space when it stood alone, ' ' for several
    // spaces, '*' for anything else (a mix, parentheses). Dates and addresses have one mark throughout.
    std::array<QChar, maxGroups> before{};
    int groups = 0;
    int end = 0;          // after its last digit or ")"
    bool tooLong = false; // more digits or groups than a telephone number has
};

bool currencyAt(const QString &text, int at)
{
    if (at < 0 || at >= text.size())
        return false;
    if (text.at(at).category() == QChar::Symbol_Currency)
        return true;
    for (const char *code : {"EUR", "USD", "GBP", "CHF"}) {
        const QLatin1String word(code);
        if (text.midRef(at, word.size()) == word &&
            (at + word.size() >= text.size() || !text.at(at + word.size()).isLetterOrNumber()))
            return true;
    }
    return false;
}

// An amount: a currency sign or code next to the digits, a space between them at most.
bool nextToCurrency(const QString &text, int start, int end)
{
    const int before = start - 1;
    const int after = end;
    return currencyAt(text, before) || (before >= 1 && isSpace(text.at(before)) && currencyAt(text, before - 1)) ||
           (before >= 3 && isSpace(text.at(before)) && currencyAt(text, before - 3)) || currencyAt(text, after) ||
           (after < text.size() && isSpace(text.at(after)) && currencyAt(text, after + 1));
}

bool between(int value, int low, int high)
{
    return value >= low && value <= high;
}

// The groups read so far are a date: 12/03/2024, 12.03.24, 2024-03-12, or 12/03.
bool isDate(const Run &run)
{
    const auto &length = run.groupLengths;
    const QChar mark = run.before.at(1);
    if (run.plus || run.groups < 2 || run.groups > 3 || !isMark(mark) || (run.groups == 3 && run.before.at(2) != mark))
        return false;
    if (run.groups == 2)
        return mark == QLatin1Char('/') && between(length[0], 1, 2) && between(length[1], 1, 2);
    return (between(length[0], 1, 2) && between(length[1], 1, 2) && (length[2] == 2 || length[2] == 4)) ||
           (length[0] == 4 && between(length[1], 1, 2) && between(length[2], 1, 2));
}

// Digit groups that read as a date, an IP address or a decimal amount rather than a telephone number.
bool isOtherFigure(const Run &run)
{
    const auto &length = run.groupLengths;
    const auto sameMarks = [&run](QChar mark) {
        for (int i = 1; i < run.groups; ++i) {
            if (run.before.at(i) != mark)
                return false;
        }
        return true;
    };
    if (isDate(run))
        return true;
    if (run.groups == 4 && !run.plus && sameMarks(QLatin1Char('.'))) {
        // 192.168.10.200
        bool address = true;
        int digit = 0;
        for (int i = 0; i < 4; ++i) {
            address = address && between(length[i], 1, 3) && run.digits.midRef(digit, length[i]).toInt() <= 255;
            digit += length[i];
        }
        if (address)
            return true;
    }
    if (run.groups >= 2 && run.before.at(run.groups - 1) == QLatin1Char('.') && length[run.groups - 1] <= 2) {
        // 1234567.89 or 1 234 567.89, but not 06.12.34.56.78
        bool otherDots = false;
        for (int i = 1; i < run.groups - 1; ++i)
            otherDots = otherDots || run.before.at(i) == QLatin1Char('.');
        if (!otherDots)
            return true;
    }
    return false;
}

// Reads the digits, separators and area codes from start on. Every character is read once.
Run readRun(const QString &text, int start)
{
    Run run;
    int i = start;
    if (text.at(i) == QLatin1Char('+')) {
        run.plus = true;
        ++i;
    }
    run.end = i;
    QString separator;
    bool inGroup = false;
    const auto newGroup = [&run, &separator](int digits) {
        if (run.groups == maxGroups) {
            run.tooLong = true;
            return;
        }
        QChar kind = QLatin1Char('*');
        if (separator.size() == 1)
            kind = isSpace(separator.at(0)) ? QLatin1Char(' ') : separator.at(0);
        else if (!separator.isEmpty() && std::all_of(separator.cbegin(), separator.cend(), isSpace))
            kind = QLatin1Char(' ');
        run.before.at(run.groups) = kind;
        run.groupLengths.at(run.groups) = digits;
        ++run.groups;
    };
    while (i < text.size() && !run.tooLong) {
        const QChar c = text.at(i);
        if (isAsciiDigit(c)) {
            // "on 12/03/2024 06 12 34 56 78": the date is not the number's first digits.
            if (!inGroup && !separator.isEmpty() && std::all_of(separator.cbegin(), separator.cend(), isSpace) &&
                isDate(run))
                break;
            if (!inGroup)
                newGroup(0);
            if (run.tooLong)
                break;
            inGroup = true;
            ++run.groupLengths.at(run.groups - 1);
            run.digits.append(c);
            separator.clear();
            run.end = ++i;
        } else if (c == QLatin1Char('(') && areaCodeLength(text, i) > 0) {
            const int length = areaCodeLength(text, i);
            // "+33 (0)6 ...": the trunk prefix, which a call from abroad leaves out.
            const bool trunkPrefix = length == 1 && text.at(i + 1) == QLatin1Char('0') && !run.digits.isEmpty();
            if (!trunkPrefix) {
                separator.append(c); // what stands around an area code is no date's or address's mark
                newGroup(length);
                run.digits.append(text.midRef(i + 1, length));
            }
            separator = QStringLiteral("*");
            inGroup = false;
            i += length + 2;
            run.end = i;
        } else if ((isSpace(c) || isMark(c)) && separator.size() < maxSeparatorRun) {
            separator.append(c);
            inGroup = false;
            ++i;
        } else {
            break;
        }
        if (run.digits.size() > maxDigits)
            run.tooLong = true;
    }
    // A run cut short by its length goes on to its end, so that its tail is not read as a number of its own.
    if (run.tooLong) {
        while (run.end < text.size() &&
               (isAsciiDigit(text.at(run.end)) || isSpace(text.at(run.end)) || isMark(text.at(run.end)) ||
                text.at(run.end) == QLatin1Char('(') || text.at(run.end) == QLatin1Char(')')))
            ++run.end;
    }
    return run;
}

bool gluedBefore(const QString &text, int start)
{
    if (start == 0)
        return false;
    const QChar previous = text.at(start - 1);
    if (previous.isLetterOrNumber() || previous == QLatin1Char('+'))
        return true;
    return joinsWords(previous) && previous != QLatin1Char(':') && start >= 2 && text.at(start - 2).isLetterOrNumber();
}

bool gluedAfter(const QString &text, int end)
{
    if (end >= text.size())
        return false;
    const QChar next = text.at(end);
    if (next.isLetterOrNumber() || next == QLatin1Char('+'))
        return true;
    return joinsWords(next) && end + 1 < text.size() && text.at(end + 1).isLetterOrNumber();
}

bool startsRun(const QString &text, int at)
{
    const QChar c = text.at(at);
    if (isAsciiDigit(c))
        return true;
    if (c == QLatin1Char('+'))
        return at + 1 < text.size() && (isAsciiDigit(text.at(at + 1)) || areaCodeLength(text, at + 1) > 0);
    return c == QLatin1Char('(') && areaCodeLength(text, at) > 0;
}

} // namespace

FoundNumber findNumber(const QString &selection)
{
    FoundNumber found;
    found.cleaned = cleanNumber(selection);
    if (found.cleaned.isNumber) {
        found.outcome = NumberSearch::Found;
        return found;
    }

    std::optional<CleanedNumber> first;
    int i = 0;
    while (i < selection.size()) {
        if (!startsRun(selection, i)) {
            ++i;
            continue;
        }
        if (gluedBefore(selection, i)) {
            ++i;
            continue;
        }
        const int start = i;
        const Run run = readRun(selection, start);
        // Reading goes on after the run's last digit: the separators after it are read once more at most.
        i = std::max(run.end, start + 1);
        if (run.tooLong || run.digits.size() < minDigits || gluedAfter(selection, run.end) || isOtherFigure(run) ||
            nextToCurrency(selection, start, run.end))
            continue;
        CleanedNumber number;
        number.isNumber = true;
        number.hadPlus = run.plus;
        number.digits = run.digits;
        if (!first) {
            first = number;
        } else if (first->number() != number.number()) {
            found.outcome = NumberSearch::SeveralNumbers;
            return found;
        }
    }
    if (first) {
        found.outcome = NumberSearch::Found;
        found.cleaned = *first;
    }
    return found;
}
