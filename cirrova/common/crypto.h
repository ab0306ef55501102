// Digests and HMAC from OpenSSL's libcrypto. No Python object is touched:
// these may run with or without the GIL, from any thread.
#pragma once

#include <string>
#include <string_view>

namespace cirrova::crypto {

// A raw digest of at most 64 bytes, held without a heap allocation.
class Digest {
public:
    Digest() = default;
    Digest(std::string_view raw);
    std::string_view view() const { return {data_, size_}; }
    operator std::string_view() const { return view(); }

private:
    char data_[64] = {};
    size_t size_ = 0;
};

Digest hmac_sha256(std::string_view key, std::string_view msg);  // raw 32 bytes
// The same digests for keys that recur (a day's signing key, a secret): each
// thread keeps the keyed HMAC states of a few keys and reuses them.
Digest hmac_sha256_reused_key(std::string_view key, std::string_view msg);
Digest hmac_sha1_reused_key(std::string_view key, std::string_view msg);
Digest sha256(std::string_view data);                            // raw 32 bytes
Digest md5(std::string_view data);                               // raw 16 bytes

// An MD5 taken piece by piece, as a file is read in chunks.
class Md5 {
public:
    Md5();
    ~Md5();
    Md5(const Md5&) = delete;
    Md5& operator=(const Md5&) = delete;
    void update(std::string_view data);
    Digest finish();  // raw 16 bytes; the state is spent

private:
    void* ctx_;  // EVP_MD_CTX, kept out of this header
};

std::string hex(std::string_view raw);      // lower-case hexadecimal
std::string base64(std::string_view raw);   // RFC 4648 standard alphabet, padded
void append_hex(std::string& out, std::string_view raw);
void append_base64(std::string& out, std::string_view raw);

}  // namespace cirrova::crypto
