#include "webpush_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace pushserver::webpush {

namespace {

using Bytes16 = std::array<std::uint8_t, 16>;

struct Ipv4Range
{
    std::uint32_t base;
    int bits;
};

// Everything that is not an ordinary address on the internet (IANA's special-purpose registry).
constexpr Ipv4Range nonPublicIpv4[] = {
    {0x00000000, 8},  // "this network", the unspecified address
    {0x0A000000, 8},  // private
    {0x64400000, 10}, // shared address space of carrier-grade NAT
    {0x7F000000, 8},  // loopback
    {0xA9FE0000, 16}, // link-local
    {0xAC100000, 12}, // private
    {0xC0000000, 24}, // IETF protocol assignments
    {0xC0000200, 24}, // documentation
    {0xC0586300, 24}, // former 6to4 relay anycast
    {0xC0A80000, 16}, // private
    {0xC6120000, 15}, // benchmarking
    {0xC6336400, 24}, // documentation
    {0xCB007100, 24}, // documentation
    {0xE0000000, 4},  // multicast
    {0xF0000000, 4},  // reserved, and the limited broadcast address
};

struct Ipv6Range
{
    Bytes16 base;
    int bits;
};

// Inside the global unicast block 2000::/3, the parts that are not ordinary internet hosts.
const Ipv6Range nonPublicIpv6[] = {
    {{0x20, 0x01, 0x00, 0x00}, 32}, // Teredo: its tunnels end at addresses it hides
    {{0x20, 0x01, 0x00, 0x02}, 48}, // benchmarking
    {{0x20, 0x01, 0x00, 0x10}, 28}, // ORCHID
    {{0x20, 0x01, 0x00, 0x20}, 28}, // ORCHIDv2
    {{0x20, 0x01, 0x0d, 0xb8}, 32}, // documentation
    {{0x3f, 0xff, 0x00, 0x00}, 20}, // documentation
};

bool within(const Bytes16 &address, const Bytes16 &base, int bits)
{
    for (std::size_t i = 0; i < address.size() && bits > 0; ++i, bits -= 8) {
        const auto mask = static_cast<std::uint8_t>(bits >= 8 ? 0xff : 0xff << (8 - bits));
        if ((address[i] & mask) != base[i])
            return false;
    }
    return true;
}

std::uint32_t ipv4At(const Bytes16 &address, std::size_t offset)
{
    return std::uint32_t{address[offset]} << 24 | std::uint32_t{address[offset + 1]} << 16 |
           std::uint32_t{address[offset + 2]} << 8 | address[offset + 3];
}

} // namespace

std::string endpointRefusal(const Endpoint &endpoint, bool allowLoopbackHttp)
{
    const bool loopbackAllowed = isAllowedLoopback(endpoint, allowLoopbackHttp);
    if (endpoint.scheme != "https" && !loopbackAllowed)
        return "the endpoint is not an https URL";
    std::string host = endpoint.host;
    if (!host.empty() && host.back() == '.')
        host.pop_back();
    if (host == "localhost" || (host.size() > 10 && host.compare(host.size() - 10, 10, ".localhost") == 0))
        return "the endpoint names this computer";
    if (const auto isPublic = literalIsPublic(endpoint.host); isPublic && !*isPublic && !loopbackAllowed)
        return "the endpoint's address is not a public one";
    return {};
}

bool isAllowedLoopback(const Endpoint &endpoint, bool allowLoopbackHttp)
{
    return allowLoopbackHttp && (endpoint.host == "127.0.0.1" || endpoint.host == "::1");
}

std::optional<bool> literalIsPublic(const std::string &host)
{
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1)
        return isPublicIpv4(ntohl(v4.s_addr));
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        Bytes16 bytes{};
        std::memcpy(bytes.data(), &v6, bytes.size());
        return isPublicIpv6(bytes);
    }
    return std::nullopt;
}

bool isPublicIpv4(std::uint32_t address)
{
    for (const Ipv4Range &range : nonPublicIpv4) {
        const std::uint32_t mask = ~std::uint32_t{0} << (32 - range.bits);
        if ((address & mask) == range.base)
            return false;
    }
    return true;
}

bool isPublicIpv6(const Bytes16 &address)
{
    // Forms that carry an IPv4 address reach that address: judge it instead.
    if (within(address, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff}, 96)) // IPv4-mapped
        return isPublicIpv4(ipv4At(address, 12));
    if (within(address, {0x00, 0x64, 0xff, 0x9b}, 96)) // NAT64 well-known prefix
        return isPublicIpv4(ipv4At(address, 12));
    if (within(address, {0x20, 0x02}, 16)) // 6to4
        return isPublicIpv4(ipv4At(address, 2));
    // Only global unicast is public. This leaves out in one rule the unspecified address, loopback, the
    // deprecated IPv4-compatible ::/96, local-use NAT64, discard-only, unique-local, link-local, site-local
    // and multicast.
    if (!within(address, {0x20}, 3))
        return false;
    for (const Ipv6Range &range : nonPublicIpv6) {
        if (within(address, range.base, range.bits))
            return false;
    }
    return true;
}

bool isPublicAddress(const sockaddr_storage &address)
{
    if (address.ss_family == AF_INET) {
        const auto &ipv4 = reinterpret_cast<const sockaddr_in &>(address);
        return isPublicIpv4(ntohl(ipv4.sin_addr.s_addr));
    }
    if (address.ss_family == AF_INET6) {
        const auto &ipv6 = reinterpret_cast<const sockaddr_in6 &>(address);
        Bytes16 bytes;
        std::memcpy(bytes.data(), ipv6.sin6_addr.s6_addr, bytes.size());
        return isPublicIpv6(bytes);
    }
    return false;
}

std::string addressText(const sockaddr_storage &address)
{
    char text[INET6_ADDRSTRLEN] = {};
    const void *raw = nullptr;
    if (address.ss_family == AF_INET)
        raw = &reinterpret_cast<const sockaddr_in &>(address).sin_addr;
    else if (address.ss_family == AF_INET6)
        raw = &reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr;
    if (!raw || !inet_ntop(address.ss_family, raw, text, sizeof text))
        return "(address of family " + std::to_string(address.ss_family) + ")";
    return text;
}

// All of a name's addresses must be public, not just one: the caller may fall back from one address to the
// next, a name that mixes internal and public addresses is either a mistake or a probe (DNS rebinding
// answers exactly so), and a refusal that does not depend on the order of the answers is one that an
// operator can reproduce. No real push service publishes an internal address.
Outcome<std::vector<ResolvedAddress>> resolvePublic(std::string_view host, std::uint16_t port, bool *notPublic)
{
    if (notPublic)
        *notPublic = false;
    using Failure = Outcome<std::vector<ResolvedAddress>>;
    std::string name(host);
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    if (name.empty() || name.find('\0') != std::string::npos)
        return Failure::failure("no host name");
    if (port == 0)
        return Failure::failure("port 0");

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const int status = getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (status != 0) {
        const char *why = status == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(status);
        return Failure::failure("cannot resolve " + name + ": " + why);
    }
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, &freeaddrinfo);

    std::vector<ResolvedAddress> addresses;
    for (const addrinfo *entry = list.get(); entry; entry = entry->ai_next) {
        ResolvedAddress resolved;
        if (entry->ai_addrlen > sizeof resolved.address)
            continue;
        std::memcpy(&resolved.address, entry->ai_addr, entry->ai_addrlen);
        resolved.length = entry->ai_addrlen;
        if (!isPublicAddress(resolved.address)) {
            if (notPublic)
                *notPublic = true;
            return Failure::failure(name + " resolves to " + addressText(resolved.address) +
                                    ", which is not a public address");
        }
        addresses.push_back(resolved);
    }
    if (addresses.empty())
        return Failure::failure(name + " has no address");
    return {addresses, {}};
}

Outcome<std::vector<ResolvedAddress>> endpointAddresses(const Endpoint &endpoint, bool allowLoopbackHttp,
                                                        bool *notPublic)
{
    if (!isAllowedLoopback(endpoint, allowLoopbackHttp))
        return resolvePublic(endpoint.host, endpoint.port, notPublic);
    if (notPublic)
        *notPublic = false;
    ResolvedAddress resolved;
    if (endpoint.host == "::1") {
        auto &ipv6 = reinterpret_cast<sockaddr_in6 &>(resolved.address);
        ipv6.sin6_family = AF_INET6;
        ipv6.sin6_port = htons(endpoint.port);
        ipv6.sin6_addr = in6addr_loopback;
        resolved.length = sizeof ipv6;
    } else {
        auto &ipv4 = reinterpret_cast<sockaddr_in &>(resolved.address);
        ipv4.sin_family = AF_INET;
        ipv4.sin_port = htons(endpoint.port);
        ipv4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        resolved.length = sizeof ipv4;
    }
    return {{resolved}, {}};
}

} // namespace pushserver::webpush
