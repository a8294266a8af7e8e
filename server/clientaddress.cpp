#include "clientaddress.h"

#include <boost/asio/ip/address.hpp>

#include <algorithm>

namespace pushserver {

namespace {

bool parse(std::string_view text, boost::asio::ip::address *address)
{
    boost::system::error_code ec;
    *address = boost::asio::ip::make_address(std::string(text), ec);
    if (ec)
        return false;
    if (address->is_v6() && address->to_v6().is_v4_mapped())
        *address = address->to_v6().to_v4();
    return true;
}

std::string_view trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

} // namespace

std::string normalAddress(std::string_view text)
{
    boost::asio::ip::address parsed;
    return parse(text, &parsed) ? parsed.to_string() : std::string();
}

std::string forwardedClient(const std::string &peer, const std::vector<std::string_view> &forwardedFor,
                            const std::vector<std::string> &trustedProxies)
{
    const auto trusted = [&](const std::string &address) {
        return std::find(trustedProxies.begin(), trustedProxies.end(), address) != trustedProxies.end();
    };
    if (trustedProxies.empty() || !trusted(normalAddress(peer)))
        return peer;
    // Right to left: each proxy appends the address it was reached from.
    for (auto line = forwardedFor.rbegin(); line != forwardedFor.rend(); ++line) {
        std::string_view rest = *line;
        while (!rest.empty()) {
            const auto comma = rest.rfind(',');
            const std::string_view entry = trimmed(comma == std::string_view::npos ? rest : rest.substr(comma + 1));
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(0, comma);
            if (entry.empty())
                continue;
            const std::string address = normalAddress(entry);
            if (address.empty())
                return peer;
            if (!trusted(address))
                return address;
        }
    }
    return peer;
}

} // namespace pushserver
