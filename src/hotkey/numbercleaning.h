#pragma once

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
// read as a number and hold a digit ("inf" and "nan" read as numbers but are no telephone numbers).
CleanedNumber cleanNumber(const QString &selection);
