// Digests through the standard library's hmac and hashlib (OpenSSL).
#pragma once

#include <string>
#include <string_view>

namespace cirrova::crypto {

std::string hmac_sha256(std::string_view key, std::string_view msg);  // raw 32 bytes
std::string hmac_sha1(std::string_view key, std::string_view msg);    // raw 20 bytes
// The same digests for keys that recur (a day's signing key, a secret): the
// keyed state is kept for a few keys and copied per message, which skips
// OpenSSL's per-call key setup.
std::string hmac_sha256_reused_key(std::string_view key, std::string_view msg);
std::string hmac_sha1_reused_key(std::string_view key, std::string_view msg);
std::string sha256(std::string_view data);                            // raw 32 bytes
std::string md5(std::string_view data);                               // raw 16 bytes

std::string hex(std::string_view raw);      // lower-case hexadecimal
std::string base64(std::string_view raw);   // RFC 4648 standard alphabet, padded

}  // namespace cirrova::crypto
