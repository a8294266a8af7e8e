#include "webpush.h"

#include "webpush_address.h"

#include <nlohmann/json.hpp>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <sodium.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <stdexcept>

namespace pushserver::webpush {

namespace {

// Failures of the crypto library end the operation; the public functions turn them into an Outcome.
class CryptoError final : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

void check(bool success, const char *what)
{
    if (!success)
        throw CryptoError(what);
}

template <auto Free> struct Freer
{
    template <typename T> void operator()(T *p) const { Free(p); }
};
template <typename T, auto Free> using Owned = std::unique_ptr<T, Freer<Free>>;

using PKey = Owned<EVP_PKEY, EVP_PKEY_free>;
using PKeyContext = Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using BigNum = Owned<BIGNUM, BN_free>;
using Group = Owned<EC_GROUP, EC_GROUP_free>;
using Point = Owned<EC_POINT, EC_POINT_free>;

constexpr std::size_t publicKeySize = 65;
constexpr std::size_t privateKeySize = 32;
constexpr std::size_t authSize = 16;
constexpr std::size_t saltSize = 16;
constexpr std::uint32_t recordSize = 4096;
constexpr long vapidLifetime = 12 * 3600;

const unsigned char *bytes(std::string_view s)
{
    return reinterpret_cast<const unsigned char *>(s.data());
}

// An EVP key from the uncompressed public point and, for our own keys, the private scalar.
PKey makeKey(std::string_view publicKey, const BIGNUM *privateKey)
{
    Owned<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free> builder(OSSL_PARAM_BLD_new());
    check(builder != nullptr, "out of memory");
    check(OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, SN_X9_62_prime256v1, 0) == 1 &&
              OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, publicKey.data(),
                                               publicKey.size()) == 1 &&
              (!privateKey || OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, privateKey) == 1),
          "cannot describe the key");
    Owned<OSSL_PARAM, OSSL_PARAM_free> params(OSSL_PARAM_BLD_to_param(builder.get()));
    PKeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    check(params && context && EVP_PKEY_fromdata_init(context.get()) == 1, "cannot import the key");
    EVP_PKEY *key = nullptr;
    check(EVP_PKEY_fromdata(context.get(), &key, privateKey ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.get()) ==
              1,
          "cannot import the key");
    return PKey(key);
}

// P-256 made once for the whole process: making the curve computes its constants again, 16 µs each time, and a
// body would make it three times. Both are only read after, from any thread.
struct Curve
{
    Group group;
    PKey prototype; // a public key on the curve, whose copies take a body's keys
};

const Curve &p256()
{
    static const Curve curve = [] {
        Curve made{Group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1)), nullptr};
        check(made.group != nullptr, "P-256 is not available");
        std::string generator(publicKeySize, '\0');
        check(EC_POINT_point2oct(made.group.get(), EC_GROUP_get0_generator(made.group.get()),
                                 POINT_CONVERSION_UNCOMPRESSED, reinterpret_cast<unsigned char *>(generator.data()),
                                 generator.size(), nullptr) == publicKeySize,
              "cannot encode the curve's generator");
        made.prototype = makeKey(generator, nullptr);
        return made;
    }();
    return curve;
}

bool isP256Point(std::string_view key)
{
    if (key.size() != publicKeySize || key[0] != 0x04)
        return false;
    const EC_GROUP *group = p256().group.get();
    Point point(EC_POINT_new(group));
    check(point != nullptr, "out of memory");
    return EC_POINT_oct2point(group, point.get(), bytes(key), key.size(), nullptr) == 1 &&
           EC_POINT_is_on_curve(group, point.get(), nullptr) == 1;
}

// The public key of a point already checked to lie on the curve: a copy of the prototype with the point set,
// which costs a quarter of an import.
PKey peerKey(std::string_view publicKey)
{
    PKey key(EVP_PKEY_dup(p256().prototype.get()));
    check(key && EVP_PKEY_set1_encoded_public_key(key.get(), bytes(publicKey), publicKey.size()) == 1,
          "cannot import the key");
    return key;
}

struct KeyPair
{
    PKey key;
    std::string publicKey;
};

// The stored form holds only the scalar; the public point is derived again so that both halves always agree.
KeyPair keyFromPrivate(std::string_view privateKey)
{
    if (privateKey.size() != privateKeySize)
        throw CryptoError("a private key is 32 bytes");
    const EC_GROUP *group = p256().group.get();
    BigNum scalar(BN_bin2bn(bytes(privateKey), static_cast<int>(privateKey.size()), nullptr));
    check(scalar != nullptr, "out of memory");
    if (BN_is_zero(scalar.get()) || BN_cmp(scalar.get(), EC_GROUP_get0_order(group)) >= 0)
        throw CryptoError("the private key is outside the curve's range");
    Point point(EC_POINT_new(group));
    check(point && EC_POINT_mul(group, point.get(), scalar.get(), nullptr, nullptr, nullptr) == 1,
          "cannot derive the public key");
    std::string publicKey(publicKeySize, '\0');
    check(EC_POINT_point2oct(group, point.get(), POINT_CONVERSION_UNCOMPRESSED,
                             reinterpret_cast<unsigned char *>(publicKey.data()), publicKey.size(),
                             nullptr) == publicKeySize,
          "cannot encode the public key");
    return {makeKey(publicKey, scalar.get()), publicKey};
}

// A fresh key pair, with its public point in the uncompressed form.
KeyPair freshKeyPair()
{
    // Made from the prototype's curve rather than by the curve's name, which would make the curve again.
    PKeyContext context(EVP_PKEY_CTX_new(p256().prototype.get(), nullptr));
    EVP_PKEY *made = nullptr;
    check(context && EVP_PKEY_keygen_init(context.get()) == 1 && EVP_PKEY_keygen(context.get(), &made) == 1,
          "cannot make a P-256 key");
    KeyPair pair{PKey(made), std::string(publicKeySize, '\0')};
    std::size_t length = 0;
    check(EVP_PKEY_get_octet_string_param(pair.key.get(), OSSL_PKEY_PARAM_PUB_KEY,
                                          reinterpret_cast<unsigned char *>(pair.publicKey.data()),
                                          pair.publicKey.size(), &length) == 1 &&
              length == publicKeySize && pair.publicKey[0] == 0x04,
          "cannot export the public key");
    return pair;
}

VapidKeys generateKeys()
{
    KeyPair pair = freshKeyPair();
    BIGNUM *scalar = nullptr;
    check(EVP_PKEY_get_bn_param(pair.key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &scalar) == 1, "cannot read the private key");
    const Owned<BIGNUM, BN_clear_free> owned(scalar);
    VapidKeys keys{std::string(privateKeySize, '\0'), std::move(pair.publicKey)};
    check(BN_bn2binpad(scalar, reinterpret_cast<unsigned char *>(keys.privateKey.data()), privateKeySize) ==
              static_cast<int>(privateKeySize),
          "cannot export the private key");
    return keys;
}

std::string ecdh(EVP_PKEY *own, EVP_PKEY *peer)
{
    PKeyContext context(EVP_PKEY_CTX_new(own, nullptr));
    std::size_t length = 0;
    // The peer's point was checked to lie on the curve when it was read, and P-256's points all have its prime
    // order: the library's own check would multiply the point by that order again, a third of a body's cost.
    check(context && EVP_PKEY_derive_init(context.get()) == 1 &&
              EVP_PKEY_derive_set_peer_ex(context.get(), peer, 0) == 1 &&
              EVP_PKEY_derive(context.get(), nullptr, &length) == 1,
          "key agreement failed");
    std::string secret(length, '\0');
    check(EVP_PKEY_derive(context.get(), reinterpret_cast<unsigned char *>(secret.data()), &length) == 1,
          "key agreement failed");
    secret.resize(length);
    return secret;
}

std::string hmacSha256(std::string_view key, std::string_view data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    check(HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), bytes(data), data.size(), digest, &length),
          "HMAC-SHA-256 failed");
    return std::string(reinterpret_cast<const char *>(digest), length);
}

std::string aes128GcmSeal(std::string_view key, std::string_view nonce, std::string_view plaintext)
{
    Owned<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free> context(EVP_CIPHER_CTX_new());
    std::string sealed(plaintext.size() + 16, '\0');
    auto *out = reinterpret_cast<unsigned char *>(sealed.data());
    int written = 0;
    int finalWritten = 0;
    check(context && EVP_EncryptInit_ex(context.get(), EVP_aes_128_gcm(), nullptr, bytes(key), bytes(nonce)) == 1 &&
              EVP_EncryptUpdate(context.get(), out, &written, bytes(plaintext), static_cast<int>(plaintext.size())) ==
                  1 &&
              EVP_EncryptFinal_ex(context.get(), out + written, &finalWritten) == 1 &&
              static_cast<std::size_t>(written + finalWritten) == plaintext.size() &&
              EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, 16, out + plaintext.size()) == 1,
          "AES-128-GCM failed");
    return sealed;
}

// ES256 wants r || s, 32 bytes each; OpenSSL signs in DER.
std::string signEs256(EVP_PKEY *key, std::string_view data)
{
    Owned<EVP_MD_CTX, EVP_MD_CTX_free> context(EVP_MD_CTX_new());
    std::size_t length = 0;
    check(context && EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
              EVP_DigestSign(context.get(), nullptr, &length, bytes(data), data.size()) == 1,
          "cannot sign");
    std::string der(length, '\0');
    check(EVP_DigestSign(context.get(), reinterpret_cast<unsigned char *>(der.data()), &length, bytes(data),
                         data.size()) == 1,
          "cannot sign");
    const unsigned char *cursor = bytes(der);
    Owned<ECDSA_SIG, ECDSA_SIG_free> signature(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(length)));
    check(signature != nullptr, "cannot read the signature");
    const BIGNUM *r = nullptr;
    const BIGNUM *s = nullptr;
    ECDSA_SIG_get0(signature.get(), &r, &s);
    std::string raw(64, '\0');
    auto *out = reinterpret_cast<unsigned char *>(raw.data());
    check(BN_bn2binpad(r, out, 32) == 32 && BN_bn2binpad(s, out + 32, 32) == 32, "cannot convert the signature");
    return raw;
}

std::string lowercase(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

bool isHostName(std::string_view host)
{
    return !host.empty() && std::all_of(host.begin(), host.end(), [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
    });
}

std::optional<std::uint16_t> portNumber(std::string_view text)
{
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const unsigned long port = std::stoul(std::string(text));
    if (port == 0 || port > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(port);
}

} // namespace

std::string base64UrlEncode(std::string_view data)
{
    constexpr int variant = sodium_base64_VARIANT_URLSAFE_NO_PADDING;
    std::string text(sodium_base64_ENCODED_LEN(data.size(), variant), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes(data), data.size(), variant);
    text.resize(text.find('\0'));
    return text;
}

std::optional<std::string> base64UrlDecode(std::string_view text)
{
    std::string data(text.size() * 3 / 4 + 1, '\0');
    std::size_t length = 0;
    if (sodium_base642bin(reinterpret_cast<unsigned char *>(data.data()), data.size(), text.data(), text.size(),
                          nullptr, &length, nullptr, sodium_base64_VARIANT_URLSAFE_NO_PADDING) != 0)
        return std::nullopt;
    data.resize(length);
    return data;
}

namespace {

// One record for `uaPublic`, from the sender's private key `asPrivate` or, without one, from a fresh key pair.
Outcome<std::string> seal(std::string_view plaintext, std::string_view uaPublic, std::string_view auth,
                          std::size_t paddedSize, std::optional<std::string_view> asPrivate, std::string_view salt)
{
    using Failure = Outcome<std::string>;
    if (paddedSize > maxBodySize)
        return Failure::failure("a body may not exceed " + std::to_string(maxBodySize) + " bytes");
    if (paddedSize < bodyOverhead || plaintext.size() > paddedSize - bodyOverhead)
        return Failure::failure("the message is too long for a body of " + std::to_string(paddedSize) + " bytes");
    if (auth.size() != authSize || salt.size() != saltSize)
        return Failure::failure("the auth secret and the salt are 16 bytes");
    try {
        if (!isP256Point(uaPublic))
            return Failure::failure("the subscription's key is not a P-256 public key");
        const KeyPair sender = asPrivate ? keyFromPrivate(*asPrivate) : freshKeyPair();
        const PKey peer = peerKey(uaPublic);

        const std::string prkKey = hmacSha256(auth, ecdh(sender.key.get(), peer.get()));
        const std::string keyInfo =
            std::string("WebPush: info", 14) + std::string(uaPublic) + sender.publicKey + '\x01';
        const std::string ikm = hmacSha256(prkKey, keyInfo);
        const std::string prk = hmacSha256(salt, ikm);
        const std::string cek = hmacSha256(prk, std::string("Content-Encoding: aes128gcm\0\x01", 29)).substr(0, 16);
        const std::string nonce = hmacSha256(prk, std::string("Content-Encoding: nonce\0\x01", 25)).substr(0, 12);

        std::string record(plaintext);
        record += '\x02';
        record.resize(paddedSize - bodyOverhead + 1, '\0');

        std::string body(salt);
        body += static_cast<char>(recordSize >> 24);
        body += static_cast<char>((recordSize >> 16) & 0xff);
        body += static_cast<char>((recordSize >> 8) & 0xff);
        body += static_cast<char>(recordSize & 0xff);
        body += static_cast<char>(publicKeySize);
        body += sender.publicKey;
        body += aes128GcmSeal(cek, nonce, record);
        return {body, {}};
    } catch (const CryptoError &error) {
        return Failure::failure(error.what());
    }
}

} // namespace

Outcome<std::string> encryptPayload(std::string_view plaintext, std::string_view uaPublic, std::string_view auth,
                                    std::size_t paddedSize)
{
    // The fresh private key never leaves the library, which clears it when the key is freed.
    std::string salt(saltSize, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char *>(salt.data()), static_cast<int>(salt.size())) != 1)
        return Outcome<std::string>::failure("no random salt");
    return seal(plaintext, uaPublic, auth, paddedSize, std::nullopt, salt);
}

Outcome<std::string> encryptPayload(std::string_view plaintext, std::string_view uaPublic, std::string_view auth,
                                    std::size_t paddedSize, std::string_view asPrivate, std::string_view salt)
{
    return seal(plaintext, uaPublic, auth, paddedSize, asPrivate, salt);
}

Outcome<VapidKeys> makeVapidKeys()
{
    try {
        return {generateKeys(), {}};
    } catch (const CryptoError &error) {
        return Outcome<VapidKeys>::failure(error.what());
    }
}

Outcome<std::string> vapidPublicKey(std::string_view privateKey)
{
    try {
        return {keyFromPrivate(privateKey).publicKey, {}};
    } catch (const CryptoError &error) {
        return Outcome<std::string>::failure(error.what());
    }
}

Outcome<std::string> vapidAuthorization(std::string_view endpointUrl, std::string_view subject,
                                        std::string_view privateKey, std::time_t now)
{
    using Failure = Outcome<std::string>;
    const Outcome<Endpoint> endpoint = parseEndpoint(endpointUrl);
    if (!endpoint.ok())
        return Failure::failure("endpoint " + endpoint.error);
    // Push services refuse a token without a way to reach its sender.
    if (subject.rfind("mailto:", 0) != 0 && subject.rfind("https:", 0) != 0)
        return Failure::failure("the VAPID subject is not a mailto: or https: URL");
    try {
        const KeyPair signer = keyFromPrivate(privateKey);
        const nlohmann::json claims = {{"aud", endpoint.value.origin},
                                       {"exp", static_cast<std::int64_t>(now) + vapidLifetime},
                                       {"sub", std::string(subject)}};
        const std::string signingInput =
            base64UrlEncode(R"({"typ":"JWT","alg":"ES256"})") + '.' + base64UrlEncode(claims.dump());
        return {"vapid t=" + signingInput + '.' + base64UrlEncode(signEs256(signer.key.get(), signingInput)) +
                    ", k=" + base64UrlEncode(signer.publicKey),
                {}};
    } catch (const CryptoError &error) {
        return Failure::failure(error.what());
    } catch (const nlohmann::json::exception &) {
        return Failure::failure("the VAPID subject is not UTF-8");
    }
}

Outcome<Endpoint> parseEndpoint(std::string_view url)
{
    using Failure = Outcome<Endpoint>;
    if (url.size() > maxEndpointSize)
        return Failure::failure("is longer than " + std::to_string(maxEndpointSize) + " bytes");
    if (!std::all_of(url.begin(), url.end(), [](unsigned char c) { return c > 0x20 && c < 0x7f; }))
        return Failure::failure("holds a space, a control or a non-ASCII character");
    const std::size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string_view::npos)
        return Failure::failure("is not an absolute URL");
    Endpoint endpoint;
    endpoint.scheme = lowercase(url.substr(0, schemeEnd));
    if (endpoint.scheme != "https" && endpoint.scheme != "http")
        return Failure::failure("is not an https URL");
    const std::string_view rest = url.substr(schemeEnd + 3);
    const std::size_t authorityEnd = std::min(rest.find_first_of("/?#"), rest.size());
    const std::string_view authority = rest.substr(0, authorityEnd);
    endpoint.target = std::string(rest.substr(authorityEnd));
    if (endpoint.target.find('#') != std::string::npos)
        return Failure::failure("holds a fragment");
    if (authority.find('@') != std::string_view::npos)
        return Failure::failure("holds user information");
    if (endpoint.target.empty() || endpoint.target[0] == '?')
        endpoint.target.insert(0, "/");

    std::string_view portText;
    bool ipv6 = false;
    if (!authority.empty() && authority[0] == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return Failure::failure("has an unclosed IPv6 address");
        endpoint.host = lowercase(authority.substr(1, close - 1));
        in6_addr unused{};
        if (inet_pton(AF_INET6, endpoint.host.c_str(), &unused) != 1)
            return Failure::failure("has an invalid IPv6 address");
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty() && after[0] != ':')
            return Failure::failure("has text after its IPv6 address");
        portText = after.empty() ? after : after.substr(1);
        ipv6 = true;
    } else {
        const std::size_t colon = authority.find(':');
        endpoint.host = lowercase(authority.substr(0, colon));
        if (colon != std::string_view::npos)
            portText = authority.substr(colon + 1);
        if (endpoint.host.empty())
            return Failure::failure("has no host");
        if (!isHostName(endpoint.host))
            return Failure::failure("has an invalid host name");
    }
    const std::uint16_t defaultPort = endpoint.scheme == "https" ? 443 : 80;
    endpoint.port = defaultPort;
    if (!portText.empty()) {
        const std::optional<std::uint16_t> port = portNumber(portText);
        if (!port)
            return Failure::failure("has an invalid port");
        endpoint.port = *port;
    }
    endpoint.origin = endpoint.scheme + "://" + (ipv6 ? '[' + endpoint.host + ']' : endpoint.host);
    if (endpoint.port != defaultPort)
        endpoint.origin += ':' + std::to_string(endpoint.port);
    return {endpoint, {}};
}

Outcome<Subscription> validateSubscription(std::string_view endpointUrl, std::string_view p256dhText,
                                           std::string_view authText, SubscriptionRules rules)
{
    using Failure = Outcome<Subscription>;
    const Outcome<Endpoint> endpoint = parseEndpoint(endpointUrl);
    if (!endpoint.ok())
        return Failure::failure("the endpoint " + endpoint.error);
    if (const std::string refusal = endpointRefusal(endpoint.value, rules.allowLoopbackHttp); !refusal.empty())
        return Failure::failure(refusal);

    Subscription subscription{std::string(endpointUrl), {}, {}};
    const std::optional<std::string> p256dh = base64UrlDecode(p256dhText);
    if (!p256dh)
        return Failure::failure("keys.p256dh is not base64url");
    try {
        if (!isP256Point(*p256dh))
            return Failure::failure("keys.p256dh is not an uncompressed P-256 public key");
    } catch (const CryptoError &error) {
        return Failure::failure(error.what());
    }
    const std::optional<std::string> auth = base64UrlDecode(authText);
    if (!auth)
        return Failure::failure("keys.auth is not base64url");
    if (auth->size() != authSize)
        return Failure::failure("keys.auth is not 16 bytes");
    subscription.p256dh = *p256dh;
    subscription.auth = *auth;
    return {subscription, {}};
}

} // namespace pushserver::webpush
