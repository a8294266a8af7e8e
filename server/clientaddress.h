#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pushserver {

// An address as the comparisons here read it: IPv4 mapped into IPv6 as plain IPv4, IPv6 in its short form.
// Empty when `text` is no address.
std::string normalAddress(std::string_view text);

// The client of a request that came in from `peer`. From a trusted reverse proxy (one of `trustedProxies`, in
// their normalAddress form), the right-most entry of its X-Forwarded-For lines (`forwardedFor`, in the order
// received) that is not itself a trusted proxy; from any other peer, or when that entry is missing or no
// address, the peer itself: a client can put anything into the header, and only what the proxy added is read.
std::string forwardedClient(const std::string &peer, const std::vector<std::string_view> &forwardedFor,
                            const std::vector<std::string> &trustedProxies);

} // namespace pushserver
