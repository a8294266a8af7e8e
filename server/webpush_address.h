#pragma once

// Which addresses a push may be sent to. The endpoint comes from a phone page, so anyone with a page can
// name any host: without these rules the server would make requests into its own network for them.

#include "webpush.h"

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pushserver::webpush {

// `address` in host byte order.
bool isPublicIpv4(std::uint32_t address);
bool isPublicIpv6(const std::array<std::uint8_t, 16> &address);
// False for any family but AF_INET and AF_INET6.
bool isPublicAddress(const sockaddr_storage &address);

// The numeric form, for log lines.
std::string addressText(const sockaddr_storage &address);

struct ResolvedAddress
{
    sockaddr_storage address{};
    socklen_t length = 0;
};

// Every address of `host` (a name or a literal, an IPv6 one with or without brackets) with `port` set, for
// the caller to connect to directly so that a second lookup cannot answer differently. Fails when the
// name does not resolve or when any one of its addresses is not public; `notPublic` (when given) tells the second
// case, which asking again will not mend, from the first.
Outcome<std::vector<ResolvedAddress>> resolvePublic(std::string_view host, std::uint16_t port,
                                                    bool *notPublic = nullptr);

} // namespace pushserver::webpush
