#pragma once

#include <QMetaType>
#include <QString>

// The selection turned into a telephone number, or the reason it is none.
struct CleanedNumber
{
    bool isNumber = false;
    bool hadPlus = false; // the text held a "+" outside parentheses
    QString digits;       // the cleaned text: the number without its "+", or the rejected text

    // The number as pushed: "+" and the digits when the selection held a "+".
    QString number() const { return hadPlus ? QLatin1Char('+') + digits : digits; }
};

// Cleans a copied selection: white space trimmed; spaces (every Unicode space character, the no-break ones
// of web pages included) and the characters . - , / ; : < > [ ] * { } removed; an empty pair of parentheses
// and everything from the first "(" to the last ")" dropped; a "+" remembered and removed. What is left must
// be digits only, with at most one "+" before them ("12e3", "inf" and "3+3" are no telephone numbers).
CleanedNumber cleanNumber(const QString &selection);

enum class NumberSearch {
    Found,         // one number: pushed
    NoNumber,      // nothing that reads as a telephone number
    SeveralNumbers // two different ones or more: we do not guess which one the user meant
};

Q_DECLARE_METATYPE(NumberSearch)

struct FoundNumber
{
    NumberSearch outcome = NumberSearch::NoNumber;
    // Found: the number to push. Otherwise what cleanNumber made of the whole selection (its rejected text).
    CleanedNumber cleaned;
};

// The number a selection stands for: the whole selection when cleanNumber accepts it; otherwise the one
// telephone number written inside it, such as the number of "Tel: 06 12 34 56 78" or of a sentence, a table
// row or a signature. A number found inside is an optional "+", then 6 to 15 digits with the separators people
// write between them (spaces of any width, ".", "-", "/", an area code in parentheses; a "(0)" after the
// country code is dropped), not glued to letters or other digits. Dates, amounts (a currency sign or decimals)
// and IP addresses are not taken for numbers. Linear in the selection's length.
FoundNumber findNumber(const QString &selection);
