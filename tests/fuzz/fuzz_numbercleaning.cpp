#include "fuzzcheck.h"
#include "hotkey/numbercleaning.h"

#include <cstddef>
#include <cstdint>

// The copied selection is whatever the user selected in any application.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString selection = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const FoundNumber found = findNumber(selection);
    if (found.outcome == NumberSearch::Found) {
        // Whatever the search found is a number that cleanNumber accepts as it is pushed.
        require(found.cleaned.isNumber, "a found number is a number");
        const CleanedNumber again = cleanNumber(found.cleaned.number());
        require(again.isNumber && again.number() == found.cleaned.number(), "a found number cleans to itself");
    } else {
        require(!found.cleaned.isNumber, "nothing found is no number");
    }
    const CleanedNumber cleaned = cleanNumber(selection);
    require(!cleaned.digits.contains(QLatin1Char('+')), "the plus sign is removed");
    for (const QChar c : cleaned.digits)
        require(c.category() != QChar::Separator_Space, "no space is left");
    if (!cleaned.isNumber)
        return 0;
    require(found.outcome == NumberSearch::Found && found.cleaned.number() == cleaned.number(),
            "a selection that cleans into a number is pushed as before");
    // The number goes into the push as it stands: no white space of any kind.
    for (const QChar c : cleaned.digits)
        require(!c.isSpace(), "a number holds no white space");
    bool hasDigit = false;
    for (const QChar c : cleaned.digits)
        hasDigit = hasDigit || (c >= QLatin1Char('0') && c <= QLatin1Char('9'));
    require(hasDigit, "a number holds a digit");
    return 0;
}
