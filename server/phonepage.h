#pragma once

#include "store.h"

#include <string>
#include <string_view>
#include <vector>

namespace pushserver {

// Escapes the five characters that carry meaning in HTML text and attribute values.
std::string htmlEscape(std::string_view text);

// True when `extra` is a telephone link that the page may offer as a "Call" button: "tel:", an optional "+",
// then digits and the visual separators of RFC 3966. Anything else (javascript:, data:, quotes, spaces) is shown
// inert, since the push's sender chooses it.
bool isCallableTel(std::string_view extra);

// The device's page: its pushes newest first, each with its message and a large "Call" link, kept live by
// the script through the events stream. `nonce` authorises the page's own inline script and style under its
// Content-Security-Policy.
std::string renderPhonePage(const Device &device, const std::vector<Push> &newestFirst, const std::string &nonce);

// One push as the events stream sends it: {"id":…,"msg":…,"extra":…,"time":…}, a single line.
std::string pushJson(const Push &push);

} // namespace pushserver
