#pragma once

#include "hotkey/numbercleaning.h"

#include <QString>

#include <functional>
#include <optional>

namespace hotkey {

// A number taken from the user's selection, with what its push needs.
struct CapturedNumber
{
    QString apiKey;
    QString deviceId;
    QString number; // cleaned, with its leading "+" when the selection held one ("+33612345678")
};

// One capture on the hotkey: with an api key and a default device stored, the user's clipboard is saved, the
// selection copied through it and searched for a number (findNumber), and the clipboard put back; a number found
// is handed to found before the clipboard goes back. Answers what the search found, or nothing when no capture
// ran: signed out or without a default device it does nothing at all, not even to the clipboard, one asked for
// while another runs returns at once, and a clipboard that could not be saved ends it before any key. Runs where the
// clipboard work must run (see Clipboard), never touching a window.
std::optional<NumberSearch> captureSelection(const std::function<void(const CapturedNumber &)> &found);

} // namespace hotkey
