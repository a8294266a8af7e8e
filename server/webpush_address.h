#pragma once

// Which endpoints and addresses a push may be sent to: the one place for these rules, asked when a page hands
// in a subscription and again before each delivery. The endpoint comes from a phone page, so anyone with a
// page can name any host: without these rules the server would make requests into its own network for them.

#include "webpush.h"

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pushserver::webpush {

// The reason the endpoint's URL may not be sent to, or empty. It must be https; it may not name this computer
// ("localhost" and every name under it) nor a literal address that is not public; any port will do, since
// UnifiedPush distributors listen where their operator chose. What a name leads to is judged after its lookup
// (resolvePublic). `allowLoopbackHttp`, for tests only, lets the literals 127.0.0.1 and ::1 through, over http
// or https, where a fake push service listens; never a name, which could lead anywhere.
std::string endpointRefusal(const Endpoint &endpoint, bool allowLoopbackHttp);

// True for the tests' loopback literal that endpointRefusal lets through under `allowLoopbackHttp`: there is
// nothing to look up, it is connected to as it is.
bool isAllowedLoopback(const Endpoint &endpoint, bool allowLoopbackHttp);

// Whether `host` (an IPv6 one without brackets) is a literal address that is public; nothing for a name.
std::optional<bool> literalIsPublic(const std::string &host);

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

// Where to connect for an endpoint that endpointRefusal lets through: the tests' loopback literal as it is,
// otherwise resolvePublic's answer. Blocks in the lookup unless isAllowedLoopback.
Outcome<std::vector<ResolvedAddress>> endpointAddresses(const Endpoint &endpoint, bool allowLoopbackHttp,
                                                        bool *notPublic = nullptr);

} // namespace pushserver::webpush
