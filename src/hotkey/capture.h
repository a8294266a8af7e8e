#pragma once

#include <QString>

#include <functional>

namespace hotkey {

// A number taken from the user's selection, with what its push needs.
struct CapturedNumber
{
    QString apiKey;
    QString deviceId;
    QString number; // cleaned, with its leading "+" when the selection held one ("+33612345678")
};

// One capture on the hotkey: with an api key and a default device stored, the user's clipboard is saved, the
// selection copied through it and cleaned, and the clipboard put back; a selection that reads as a number is
// handed to found before the clipboard goes back. Signed out or without a default device it does nothing at
// all, not even to the clipboard. One capture at a time: one asked for while another runs returns at once.
// Runs where the clipboard work must run (see Clipboard), never touching a window.
void captureSelection(const std::function<void(const CapturedNumber &)> &found);

} // namespace hotkey
