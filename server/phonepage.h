#pragma once

#include "store.h"

#include <string>
#include <string_view>
#include <vector>

namespace pushserver {

// Escapes the five characters that carry meaning in HTML text and attribute values.
std::string htmlEscape(std::string_view text);

enum class PageLanguage { English, French };

// The language of the phone page from a request's Accept-Language: French when a French range (fr, fr-CA, ...)
// weighs more than every English one, or as much and comes first; English otherwise, also for an empty or
// garbled header. A range with q=0 is refused; "*" stands for the languages that the header does not name.
PageLanguage pageLanguage(std::string_view acceptLanguage);

// The device's page: its pushes newest first, each with its message and a large "Call" link, kept live by
// the script through the events stream. `nonce` authorises the page's own inline script and style under its
// Content-Security-Policy. `ownFolder` is how the page's links reach /d/<token>/ from where it was asked:
// relative, so that a proxy may serve the service under a path of its own.
std::string renderPhonePage(const Device &device, const std::vector<Push> &newestFirst, const std::string &nonce,
                            PageLanguage language = PageLanguage::English, const std::string &ownFolder = "./");

// The web app manifest of a device's page, as served at /d/<token>/manifest.webmanifest: every address in it is
// relative to that one.
std::string webAppManifest(const Device &device, PageLanguage language);

// The service worker of every page, served at /d/<token>/sw.js: it shows the pushes that reach the phone while
// its page is closed. It learns its language from its own address (sw.js?lang=fr).
std::string_view serviceWorkerScript();

// The home-screen icon as PNG, drawn like the program's icon; empty for a size that is not drawn (192 and 512
// are).
std::string_view homeScreenIcon(int size);

// One push as the events stream sends it: {"id":…,"msg":…,"extra":…,"time":…}, a single line.
std::string pushJson(const Push &push);

} // namespace pushserver
