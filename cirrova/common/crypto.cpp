#include "crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <array>
#include <cstring>
#include <stdexcept>

namespace cirrova::crypto {

namespace {

[[noreturn]] void failed(const char* what) { throw std::runtime_error(std::string("OpenSSL: ") + what + " failed"); }

// Algorithms fetched once: an explicit fetch spares the provider lookup that
// EVP_sha256() and friends repeat at every initialisation. Kept until exit.
const EVP_MD* fetch_md(const char* name) {
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    if (!md) failed("EVP_MD_fetch");
    return md;
}
const EVP_MD* sha256_md() {
    static const EVP_MD* md = fetch_md("SHA256");
    return md;
}
const EVP_MD* sha1_md() {
    static const EVP_MD* md = fetch_md("SHA1");
    return md;
}
const EVP_MD* md5_md() {
    static const EVP_MD* md = fetch_md("MD5");
    return md;
}
EVP_MAC* hmac_mac() {
    static EVP_MAC* mac = [] {
        EVP_MAC* m = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        if (!m) failed("EVP_MAC_fetch");
        return m;
    }();
    return mac;
}

struct MdCtx {
    EVP_MD_CTX* p = EVP_MD_CTX_new();
    MdCtx() {
        if (!p) failed("EVP_MD_CTX_new");
    }
    ~MdCtx() { EVP_MD_CTX_free(p); }
    MdCtx(const MdCtx&) = delete;
    MdCtx& operator=(const MdCtx&) = delete;
};

// An HMAC context bound to one digest; the key is given at init.
struct MacCtx {
    EVP_MAC_CTX* p = nullptr;
    void bind(const EVP_MD* md) {
        if (!p && !(p = EVP_MAC_CTX_new(hmac_mac()))) failed("EVP_MAC_CTX_new");
        OSSL_PARAM params[] = {
            OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(EVP_MD_get0_name(md)), 0),
            OSSL_PARAM_construct_end()};
        if (!EVP_MAC_CTX_set_params(p, params)) failed("EVP_MAC_CTX_set_params");
    }
    ~MacCtx() { EVP_MAC_CTX_free(p); }
};

Digest finish_mac(EVP_MAC_CTX* ctx, std::string_view msg) {
    unsigned char out[EVP_MAX_MD_SIZE];
    size_t n = 0;
    if (!EVP_MAC_update(ctx, (const unsigned char*)msg.data(), msg.size()) ||
        !EVP_MAC_final(ctx, out, &n, sizeof out))
        failed("HMAC");
    return Digest({(const char*)out, n});
}

Digest hash_of(const EVP_MD* md, std::string_view data) {
    thread_local MdCtx ctx;  // one context per thread, reinitialised per call
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    if (!EVP_DigestInit_ex2(ctx.p, md, nullptr) || !EVP_DigestUpdate(ctx.p, data.data(), data.size()) ||
        !EVP_DigestFinal_ex(ctx.p, out, &n))
        failed("digest");
    return Digest({(const char*)out, n});
}

Digest hmac_once(const EVP_MD* md, std::string_view key, std::string_view msg) {
    struct Bound {
        MacCtx ctx;
        const EVP_MD* md = nullptr;
    };
    thread_local Bound b;
    if (b.md != md) {
        b.ctx.bind(md);
        b.md = md;
    }
    // An empty key still needs a non-null pointer: null means "keep the last key".
    static const unsigned char kNone = 0;
    const unsigned char* k = key.empty() ? &kNone : (const unsigned char*)key.data();
    if (!EVP_MAC_init(b.ctx.p, k, key.size(), nullptr)) failed("EVP_MAC_init");
    return finish_mac(b.ctx.p, msg);
}

// Keyed HMAC states of recurring keys, per thread (no lock, no sharing):
// the digest states after the inner and the outer padded key (RFC 2104),
// copied per message so that the key is not hashed again. Copying a digest
// context costs less than re-initialising an EVP_MAC context, which copies
// the same states through more layers.
struct KeyedState {
    std::string key;
    const EVP_MD* md = nullptr;
    MdCtx inner, outer;
    ~KeyedState() { OPENSSL_cleanse(key.data(), key.size()); }
};
constexpr size_t kKeyedStates = 8;
struct KeyedStates {
    std::array<KeyedState, kKeyedStates> slots;
    size_t next = 0;
    MdCtx work;
};

// A key longer than a block is hashed first; then it is zero-padded.
void set_key(KeyedState& s, const EVP_MD* md, std::string_view key) {
    unsigned char block[256] = {};
    size_t size = (size_t)EVP_MD_get_block_size(md);
    if (size == 0 || size > sizeof block) failed("HMAC block size");
    if (key.size() > size) {
        Digest d = hash_of(md, key);
        std::memcpy(block, d.view().data(), d.view().size());
    } else {
        std::memcpy(block, key.data(), key.size());
    }
    unsigned char pad[sizeof block];
    for (size_t i = 0; i < size; ++i) pad[i] = block[i] ^ 0x36;
    bool ok = EVP_DigestInit_ex2(s.inner.p, md, nullptr) && EVP_DigestUpdate(s.inner.p, pad, size);
    for (size_t i = 0; i < size; ++i) pad[i] = block[i] ^ 0x5c;
    ok = ok && EVP_DigestInit_ex2(s.outer.p, md, nullptr) && EVP_DigestUpdate(s.outer.p, pad, size);
    OPENSSL_cleanse(block, sizeof block);
    OPENSSL_cleanse(pad, sizeof pad);
    if (!ok) failed("HMAC key");
}

Digest hmac_reused(const EVP_MD* md, std::string_view key, std::string_view msg) {
    thread_local KeyedStates states;
    KeyedState* s = nullptr;
    for (KeyedState& candidate : states.slots)
        if (candidate.md == md && candidate.key == key) s = &candidate;
    if (!s) {
        s = &states.slots[states.next++ % kKeyedStates];
        OPENSSL_cleanse(s->key.data(), s->key.size());
        s->md = nullptr;  // matches nothing until keyed
        set_key(*s, md, key);
        s->key.assign(key);
        s->md = md;
    }
    EVP_MD_CTX* w = states.work.p;
    unsigned char inner[EVP_MAX_MD_SIZE], out[EVP_MAX_MD_SIZE];
    unsigned n = 0, m = 0;
    if (!EVP_MD_CTX_copy_ex(w, s->inner.p) || !EVP_DigestUpdate(w, msg.data(), msg.size()) ||
        !EVP_DigestFinal_ex(w, inner, &n) || !EVP_MD_CTX_copy_ex(w, s->outer.p) || !EVP_DigestUpdate(w, inner, n) ||
        !EVP_DigestFinal_ex(w, out, &m))
        failed("HMAC");
    return Digest({(const char*)out, m});
}

}  // namespace

Digest::Digest(std::string_view raw) : size_(raw.size() < sizeof data_ ? raw.size() : sizeof data_) {
    raw.copy(data_, size_);
}

Digest hmac_sha256(std::string_view key, std::string_view msg) { return hmac_once(sha256_md(), key, msg); }
Digest hmac_sha256_reused_key(std::string_view key, std::string_view msg) {
    return hmac_reused(sha256_md(), key, msg);
}
Digest hmac_sha1_reused_key(std::string_view key, std::string_view msg) { return hmac_reused(sha1_md(), key, msg); }
Digest sha256(std::string_view data) { return hash_of(sha256_md(), data); }
Digest md5(std::string_view data) { return hash_of(md5_md(), data); }

Md5::Md5() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_ || !EVP_DigestInit_ex2(static_cast<EVP_MD_CTX*>(ctx_), md5_md(), nullptr)) {
        EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_));
        failed("MD5");
    }
}
Md5::~Md5() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_)); }
void Md5::update(std::string_view data) {
    if (!EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_), data.data(), data.size())) failed("MD5");
}
Digest Md5::finish() {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    if (!EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(ctx_), out, &n)) failed("MD5");
    return Digest({(const char*)out, n});
}

void append_hex(std::string& out, std::string_view raw) {
    // Both digits of every byte value, looked up at once.
    static constexpr auto kPairs = [] {
        std::array<char, 512> t{};
        const char* digits = "0123456789abcdef";
        for (int i = 0; i < 256; ++i) {
            t[2 * i] = digits[i >> 4];
            t[2 * i + 1] = digits[i & 15];
        }
        return t;
    }();
    size_t at = out.size();
    out.resize(at + raw.size() * 2);
    char* p = out.data() + at;
    for (unsigned char c : raw) {
        std::memcpy(p, &kPairs[2 * c], 2);
        p += 2;
    }
}

void append_base64(std::string& out, std::string_view raw) {
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t at = out.size();
    out.resize(at + (raw.size() + 2) / 3 * 4);
    char* p = out.data() + at;
    const unsigned char* s = (const unsigned char*)raw.data();
    size_t i = 0;
    for (; i + 3 <= raw.size(); i += 3) {
        unsigned v = (s[i] << 16) | (s[i + 1] << 8) | s[i + 2];
        *p++ = table[(v >> 18) & 63];
        *p++ = table[(v >> 12) & 63];
        *p++ = table[(v >> 6) & 63];
        *p++ = table[v & 63];
    }
    size_t rest = raw.size() - i;
    if (rest) {
        unsigned v = s[i] << 16;
        if (rest == 2) v |= s[i + 1] << 8;
        *p++ = table[(v >> 18) & 63];
        *p++ = table[(v >> 12) & 63];
        *p++ = rest == 2 ? table[(v >> 6) & 63] : '=';
        *p++ = '=';
    }
}

std::string hex(std::string_view raw) {
    std::string out;
    append_hex(out, raw);
    return out;
}

std::string base64(std::string_view raw) {
    std::string out;
    append_base64(out, raw);
    return out;
}

}  // namespace cirrova::crypto
