#include "hotkey/numbercleaning.h"

#include <QElapsedTimer>
#include <QString>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <utility>
#include <vector>

// The number search on the press's path, against 64 KiB selections built to make it slow: the fastest of a few
// runs of each, in milliseconds.
int main()
{
    constexpr int size = 64 * 1024;
    const auto repeated = [](const QString &piece) {
        QString text;
        while (text.size() + piece.size() <= size)
            text += piece;
        return text;
    };
    const std::vector<std::pair<const char *, QString>> selections = {
        {"prose with dates", repeated(QStringLiteral("Lorem ipsum dolor 12/03/2024 sit amet. "))},
        {"opening parentheses", repeated(QStringLiteral("("))},
        {"a closing then opening parentheses", QLatin1Char(')') + repeated(QStringLiteral("("))},
        {"unclosed area codes", repeated(QStringLiteral("(12345"))},
        {"area codes", repeated(QStringLiteral("(1)"))},
        {"digits and spaces", repeated(QStringLiteral("1 "))},
        {"plus signs", repeated(QStringLiteral("+1"))},
        {"rejected numbers", repeated(QStringLiteral("a 06 12 34 56 78b "))},
        {"dates", repeated(QStringLiteral("12/03/2024 "))},
        {"day and month, then digits", repeated(QStringLiteral("on 12/03 4 "))},
        {"amounts", repeated(QStringLiteral("1 234 567 \u20ac "))},
        {"separators", repeated(QStringLiteral("1 - / . "))},
        {"one number, repeated", repeated(QStringLiteral("Tel: 06 12 34 56 78 "))},
    };
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    for (const auto &[name, text] : selections) {
        qint64 fastest = -1;
        NumberSearch outcome = NumberSearch::NoNumber;
        for (int run = 0; run < 3; ++run) {
            QElapsedTimer clock;
            clock.start();
            outcome = findNumber(text).outcome;
            const qint64 elapsed = clock.nsecsElapsed();
            fastest = fastest < 0 ? elapsed : std::min(fastest, elapsed);
        }
        std::printf("%-36s %8.2f ms  (%d)\n", name, static_cast<double>(fastest) / 1e6, static_cast<int>(outcome));
    }
    return 0;
}
