#pragma once

#include <string>
#include <string_view>

namespace pushserver {

// Must be called once before anything below; false when libsodium cannot start.
bool initSecrets();

// `bytes` random bytes written as lowercase hexadecimal (api keys, device ids).
std::string randomHex(std::size_t bytes);

// `bytes` random bytes in URL-safe base64 without padding (the phone pages' addresses).
std::string randomUrlToken(std::size_t bytes);

// SHA-256 of the text, as 32 raw bytes. Api keys are long random strings, so a fast hash is enough to make a
// stolen database useless while a key lookup stays a single index probe.
std::string sha256(std::string_view text);

// SHA-1 of the text as 40 lowercase hexadecimal digits: the form in which the desktop program sends a password.
std::string sha1Hex(std::string_view text);

// Salted, deliberately slow hash of a password digest (Argon2id, libsodium's interactive limits).
// Empty on failure (out of memory).
std::string hashPassword(std::string_view digest);

// True when `digest` matches a hash made by hashPassword.
bool verifyPassword(const std::string &storedHash, std::string_view digest);

} // namespace pushserver
