#include "secrets.h"

#include <openssl/evp.h>
#include <sodium.h>

#include <stdexcept>
#include <vector>

namespace pushserver {

bool initSecrets()
{
    return sodium_init() >= 0;
}

std::string randomHex(std::size_t bytes)
{
    std::vector<unsigned char> raw(bytes);
    randombytes_buf(raw.data(), raw.size());
    std::string hex(bytes * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), raw.data(), raw.size());
    hex.pop_back();
    return hex;
}

std::string randomUrlToken(std::size_t bytes)
{
    constexpr int variant = sodium_base64_VARIANT_URLSAFE_NO_PADDING;
    std::vector<unsigned char> raw(bytes);
    randombytes_buf(raw.data(), raw.size());
    std::string token(sodium_base64_ENCODED_LEN(bytes, variant), '\0');
    sodium_bin2base64(token.data(), token.size(), raw.data(), raw.size(), variant);
    token.resize(token.find('\0'));
    return token;
}

std::string sha256(std::string_view text)
{
    std::string digest(crypto_hash_sha256_BYTES, '\0');
    crypto_hash_sha256(reinterpret_cast<unsigned char *>(digest.data()),
                       reinterpret_cast<const unsigned char *>(text.data()), text.size());
    return digest;
}

std::string sha1Hex(std::string_view text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha1(), nullptr) != 1)
        throw std::runtime_error("SHA-1 is not available");
    std::string hex(length * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), digest, length);
    hex.pop_back();
    return hex;
}

std::string hashPassword(std::string_view digest)
{
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, digest.data(), digest.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        return {};
    return hash;
}

bool verifyPassword(const std::string &storedHash, std::string_view digest)
{
    return crypto_pwhash_str_verify(storedHash.c_str(), digest.data(), digest.size()) == 0;
}

} // namespace pushserver
