#include "hotkey/numbercleaning.h"

#include <QRegExp>

CleanedNumber cleanNumber(const QString &selection)
{
    QString text = selection.trimmed();

    // Spaces between the digits, of any width: line breaks and tabs are kept, so two numbers on two lines
    // or in two table cells are never glued into one.
    QString spaceless;
    spaceless.reserve(text.size());
    for (const QChar c : text) {
        if (c.category() != QChar::Separator_Space)
            spaceless.append(c);
    }
    text = spaceless;

    for (const QChar c : {'.', '-', ',', '/', ';', ':', '<', '>', '[', ']', '*', '{', '}'})
        text.remove(c);

    // An empty pair, or from the first "(" to the last ")": "+33 (0)6..." loses its "(0)".
    text.remove(QRegExp(QStringLiteral("\\(\\)|\\(.*\\)")));

    CleanedNumber cleaned;
    cleaned.hadPlus = text.contains(QLatin1Char('+'));
    text.remove(QLatin1Char('+'));
    // A label in parentheses or a plus may have stood between a line break and the digits: such white space is
    // at an end now, where the conversion would accept it and the push would carry it.
    text = text.trimmed();

    bool converted = false;
    text.toDouble(&converted);
    bool hasDigit = false;
    for (const QChar c : text)
        hasDigit = hasDigit || (c >= QLatin1Char('0') && c <= QLatin1Char('9'));
    cleaned.isNumber = converted && hasDigit;
    cleaned.digits = text;
    return cleaned;
}
