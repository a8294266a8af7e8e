#pragma once

// The cryptographic core of Web Push delivery: message encryption (RFC 8291, "aes128gcm" content coding),
// the VAPID Authorization header (RFC 8292) and the checks on a subscription that a phone page hands in.
// Byte strings are std::string holding raw bytes.

#include "outcome.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace pushserver::webpush {

using pushserver::Outcome;

// RFC 4648 §5 without padding. Decoding refuses padding, characters outside the alphabet and stray bits.
std::string base64UrlEncode(std::string_view bytes);
std::optional<std::string> base64UrlDecode(std::string_view text);

// RFC 8030 only promises 4096 bytes of body; every body is padded to one size so that its length tells
// nothing about the message.
constexpr std::size_t maxBodySize = 4096;
// salt(16) + rs(4) + idlen(1) + key(65) + delimiter(1) + tag(16)
constexpr std::size_t bodyOverhead = 103;

// Encrypts `plaintext` for the subscription's key (`uaPublic`, 65 bytes uncompressed) and auth secret
// (16 bytes) as one record padded to a body of exactly `paddedSize` bytes, with a fresh key pair and salt.
// Fails when the plaintext does not fit or paddedSize is beyond maxBodySize.
Outcome<std::string> encryptPayload(std::string_view plaintext, std::string_view uaPublic, std::string_view auth,
                                    std::size_t paddedSize);

// The same with the sender's private key (32 bytes) and salt given: only for reproducing known bodies.
Outcome<std::string> encryptPayload(std::string_view plaintext, std::string_view uaPublic, std::string_view auth,
                                    std::size_t paddedSize, std::string_view asPrivate, std::string_view salt);

struct VapidKeys
{
    std::string privateKey; // 32 bytes, the scalar: what the database keeps
    std::string publicKey;  // 65 bytes uncompressed: the page's applicationServerKey and the header's k=
};

Outcome<VapidKeys> makeVapidKeys();

// The public key that belongs to a stored private key.
Outcome<std::string> vapidPublicKey(std::string_view privateKey);

// "vapid t=<JWT>, k=<public key>" for a request to `endpointUrl`, valid for 12 hours from `now`.
// `subject` is the operator's contact, a "mailto:" or "https:" URL.
Outcome<std::string> vapidAuthorization(std::string_view endpointUrl, std::string_view subject,
                                        std::string_view privateKey, std::time_t now);

constexpr std::size_t maxEndpointSize = 1024;

struct Endpoint
{
    std::string scheme; // "https", or "http" where allowed
    std::string host;   // lowercase; an IPv6 literal without its brackets
    std::uint16_t port = 0;
    std::string target; // path and query, at least "/"
    std::string origin; // scheme://host[:port], the port only when it is not the scheme's default
};

// Splits an absolute http(s) URL, refusing what a push endpoint never holds and a request line must not
// carry: user information, fragments, spaces, control and non-ASCII characters.
Outcome<Endpoint> parseEndpoint(std::string_view url);

struct Subscription
{
    std::string endpoint;
    std::string p256dh; // 65 bytes, a point on P-256
    std::string auth;   // 16 bytes
};

struct SubscriptionRules
{
    // Tests run a fake push service on plain http on this machine.
    bool allowLoopbackHttp = false;
};

// Checks the parts of a browser's PushSubscription as its page hands them in: the endpoint URL and the keys
// p256dh and auth in base64url.
Outcome<Subscription> validateSubscription(std::string_view endpoint, std::string_view p256dh, std::string_view auth,
                                           SubscriptionRules rules = {});

} // namespace pushserver::webpush
