#include "fuzzcheck.h"
#include "query.h"
#include "service.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

std::string percentEncodedWhole(std::string_view bytes, bool lowerCase)
{
    const char *digits = lowerCase ? "0123456789abcdef" : "0123456789ABCDEF";
    std::string out;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        out += '%';
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
    return out;
}

} // namespace

// A request target is whatever a client sends.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view target(reinterpret_cast<const char *>(data), size);
    std::string error;
    const auto query = pushserver::Query::parse(pushserver::Query::ofTarget(target), &error);
    require(query.has_value() || !error.empty(), "a refused query says why");

    if (const auto decoded = pushserver::percentDecode(target))
        require(decoded->size() <= target.size(), "decoding never lengthens");
    require(pushserver::percentDecode(percentEncodedWhole(target, size % 2 == 0)) == std::string(target),
            "every byte comes back from its escape");
    const auto named = pushserver::Query::parse("a=1&name=" + percentEncodedWhole(target, false) + "&b", &error);
    require(named && named->find("name") && *named->find("name") == target && named->find("b"),
            "an escaped value comes back whole");

    const bool utf8 = pushserver::isValidUtf8(target);
    if (utf8)
        require(pushserver::codePointCount(target) <= target.size(), "no more characters than bytes");
    if (pushserver::deviceNameProblem(target).empty())
        require(!target.empty() && utf8 && pushserver::codePointCount(target) <= 64 &&
                    !pushserver::hasControlCharacters(target, false),
                "a name that is stored is short, UTF-8 text without control characters");
    // A Host header that a page address is built from.
    if (pushserver::isPlainHost(target))
        require(target.size() <= 261 && target.find_first_of("/\\@?#%&\"'<> \t\r\n") == std::string_view::npos,
                "a host taken for a page address is short and has no path, user part or markup");
    return 0;
}
