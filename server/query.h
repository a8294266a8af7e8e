#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pushserver {

// Decodes RFC 3986 percent-escapes. A "+" stays a plus sign: phone numbers arrive as "%2B33..." or "+33..."
// and both must mean the same. Returns nothing when a "%" is not followed by two hexadecimal digits.
std::optional<std::string> percentDecode(std::string_view text);

// The decoded parameters of a request's query, in their order of arrival.
class Query final
{
public:
    // Splits the raw query (the part of the request target after "?") at "&" and "=" and decodes each name and
    // value. Empty segments are skipped, a segment without "=" is a name with an empty value. Fails, with a
    // message for the client, on a malformed escape, a repeated name or too many parameters.
    static std::optional<Query> parse(std::string_view rawQuery, std::string *error);

    // The query part of a raw request target ("/all/api.php?apikey=..."), empty when there is none.
    static std::string_view ofTarget(std::string_view target);

    const std::string *find(std::string_view name) const;

private:
    std::vector<std::pair<std::string, std::string>> m_items;
};

// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
bool isValidUtf8(std::string_view text);

// Number of code points of well-formed UTF-8 text.
std::size_t codePointCount(std::string_view text);

// True when the text holds a C0 control character or DEL; `allowLineBreaks` lets tab, CR and LF through.
bool hasControlCharacters(std::string_view text, bool allowLineBreaks);

constexpr std::size_t maxDeviceNameBytes = 256;

// Why a device name cannot be used (empty, longer than 64 characters, not UTF-8, control characters), or the
// empty text when it can.
std::string deviceNameProblem(std::string_view name);

} // namespace pushserver
