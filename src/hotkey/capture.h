#pragma once

#include "hotkey/numbercleaning.h"

#include <QString>

#include <functional>
#include <optional>

namespace hotkey {

// One capture on the hotkey: the user's clipboard is saved, the selection copied through it and searched for a
// number (findNumber), and the clipboard put back; a number found is handed to found, cleaned and with its leading
// "+" when the selection held one ("+33612345678"), before the clipboard goes back. Answers what the search found,
// or nothing when no capture ran: one asked for while another runs returns at once, and a clipboard that could not
// be saved ends it before any key. Whether a push could go at all is the caller's to ask first: a capture that
// runs always touches the clipboard. Runs where the clipboard work must run (see Clipboard), never touching a
// window.
std::optional<NumberSearch> captureSelection(const std::function<void(const QString &number)> &found);

} // namespace hotkey
