#pragma once

#include <string_view>

namespace pushserver {

// True when `extra` is a telephone link that the page may offer as a "Call" button: "tel:", an optional "+",
// then digits and the visual separators of RFC 3966. Anything else (javascript:, data:, quotes, spaces) is shown
// inert, since the push's sender chooses it. The phone page and the Web Push message both ask this, so that a
// number that the page would not call never reaches a notification either.
bool isCallableTel(std::string_view extra);

} // namespace pushserver
