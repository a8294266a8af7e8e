#include "query.h"

#include <algorithm>

namespace pushserver {

namespace {

constexpr std::size_t maxParameters = 32;

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::optional<std::string> percentDecode(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return out;
}

std::optional<Query> Query::parse(std::string_view rawQuery, std::string *error)
{
    Query query;
    std::size_t start = 0;
    while (start <= rawQuery.size()) {
        std::size_t end = rawQuery.find('&', start);
        if (end == std::string_view::npos)
            end = rawQuery.size();
        const std::string_view segment = rawQuery.substr(start, end - start);
        start = end + 1;
        if (segment.empty())
            continue;
        const std::size_t equals = segment.find('=');
        const std::string_view rawName = segment.substr(0, equals);
        const std::string_view rawValue =
            equals == std::string_view::npos ? std::string_view() : segment.substr(equals + 1);
        auto name = percentDecode(rawName);
        auto value = percentDecode(rawValue);
        if (!name || !value) {
            *error = "malformed percent-escape in the query (a \"%\" must be followed by two hexadecimal digits)";
            return std::nullopt;
        }
        if (query.find(*name)) {
            *error = "parameter given twice: " + *name;
            return std::nullopt;
        }
        if (query.m_items.size() == maxParameters) {
            *error = "too many parameters";
            return std::nullopt;
        }
        query.m_items.emplace_back(std::move(*name), std::move(*value));
    }
    return query;
}

std::string_view Query::ofTarget(std::string_view target)
{
    const std::size_t mark = target.find('?');
    return mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
}

const std::string *Query::find(std::string_view name) const
{
    const auto it = std::find_if(m_items.begin(), m_items.end(), [&](const auto &item) { return item.first == name; });
    return it == m_items.end() ? nullptr : &it->second;
}

bool isValidUtf8(std::string_view text)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length;
        unsigned int codePoint;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            codePoint = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            codePoint = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            codePoint = lead & 0x07;
        } else {
            return false;
        }
        if (size - i < length)
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (bytes[i + k] & 0x3F);
        }
        const bool overlong = (length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000);
        const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
        if (overlong || surrogate || codePoint > 0x10FFFF)
            return false;
        i += length;
    }
    return true;
}

std::size_t codePointCount(std::string_view text)
{
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

bool hasControlCharacters(std::string_view text, bool allowLineBreaks)
{
    return std::any_of(text.begin(), text.end(), [allowLineBreaks](char c) {
        const auto byte = static_cast<unsigned char>(c);
        if (allowLineBreaks && (c == '\t' || c == '\n' || c == '\r'))
            return false;
        return byte < 0x20 || byte == 0x7F;
    });
}

std::string deviceNameProblem(std::string_view name)
{
    constexpr std::size_t maxCodePoints = 64;
    if (name.empty())
        return "name must not be empty";
    if (name.size() > maxDeviceNameBytes || !isValidUtf8(name))
        return "name must be UTF-8 text of at most " + std::to_string(maxCodePoints) + " characters";
    if (codePointCount(name) > maxCodePoints)
        return "name too long (at most " + std::to_string(maxCodePoints) + " characters)";
    if (hasControlCharacters(name, false))
        return "name holds control characters";
    return {};
}

} // namespace pushserver
