#include "crypto.h"

#include "pyutil.h"

#include <array>
#include <cstring>

namespace cirrova::crypto {

namespace {

PyObject* method_of(PyObject* obj, const char* name) {
    return steal_or_throw(PyObject_GetAttrString((PyObject*)Py_TYPE(obj), name)).release().ptr();
}

// A hashlib constructor and the unbound methods of its hash type, called
// through vectorcall without a per-call method lookup.
struct Algorithm {
    PyObject* ctor;
    PyObject* copy;
    PyObject* update;
    PyObject* digest;
    size_t block;  // HMAC block size in bytes

    explicit Algorithm(const char* name) {
        ctor = import_attr("hashlib", name).release().ptr();
        nb::object h = steal_or_throw(PyObject_CallNoArgs(ctor));
        copy = method_of(h.ptr(), "copy");
        update = method_of(h.ptr(), "update");
        digest = method_of(h.ptr(), "digest");
        nb::object b = steal_or_throw(PyObject_GetAttrString(h.ptr(), "block_size"));
        block = (size_t)PyLong_AsSsize_t(b.ptr());
        if (PyErr_Occurred()) raise_current();
    }

    nb::object make(std::string_view data) const {
        nb::bytes d = to_bytes(data);
        return vcall(ctor, {d.ptr()});
    }
    nb::object clone(nb::handle h) const { return vcall(copy, {h.ptr()}); }
    void feed(nb::handle h, std::string_view data) const {
        nb::bytes d = to_bytes(data);
        vcall(update, {h.ptr(), d.ptr()});
    }
    nb::object feed(nb::handle h, nb::handle data) const { return vcall(update, {h.ptr(), data.ptr()}); }
    nb::object finish(nb::handle h) const { return vcall(digest, {h.ptr()}); }
};

const Algorithm& sha256_algo() {
    static const Algorithm a("sha256");
    return a;
}
const Algorithm& sha1_algo() {
    static const Algorithm a("sha1");
    return a;
}
const Algorithm& md5_algo() {
    static const Algorithm a("md5");
    return a;
}

Digest take_bytes(const nb::object& b) { return Digest(bytes_view(b)); }

// HMAC (RFC 2104) over hashlib's digests: H((K ^ opad) || H((K ^ ipad) || m)),
// the key first hashed when longer than a block, then zero-padded.
std::string pad(const Algorithm& a, std::string_view key, unsigned char with) {
    std::string k(key.size() > a.block ? take_bytes(a.finish(a.make(key))).view() : key);
    k.resize(a.block, '\0');
    for (char& c : k) c = (char)((unsigned char)c ^ with);
    return k;
}

Digest hmac_once(const Algorithm& a, std::string_view key, std::string_view msg) {
    std::string inner = pad(a, key, 0x36);
    inner.append(msg);
    nb::object d = a.finish(a.make(inner));
    std::string outer = pad(a, key, 0x5c);
    outer.append(bytes_view(d));
    return take_bytes(a.finish(a.make(outer)));
}

// The inner and outer states of recurring keys, copied per message. The
// table is only touched with the GIL held.
struct KeyedPads {
    std::string key;
    const Algorithm* algo = nullptr;
    PyObject* inner = nullptr;
    PyObject* outer = nullptr;
};
constexpr size_t kKeyedPads = 8;
KeyedPads g_pads[kKeyedPads];
size_t g_next_pads = 0;

Digest hmac_reused(const Algorithm& a, std::string_view key, std::string_view msg) {
    KeyedPads* slot = nullptr;
    for (KeyedPads& p : g_pads)
        if (p.inner && p.algo == &a && p.key == key) slot = &p;
    if (!slot) {
        nb::object inner = a.make(pad(a, key, 0x36));
        nb::object outer = a.make(pad(a, key, 0x5c));
        slot = &g_pads[g_next_pads++ % kKeyedPads];
        Py_CLEAR(slot->inner);
        Py_CLEAR(slot->outer);
        slot->key.assign(key);
        slot->algo = &a;
        slot->inner = inner.release().ptr();
        slot->outer = outer.release().ptr();
    }
    // Both states are taken before any call that may release the GIL (a long
    // update does), so another thread reusing the slot cannot mix keys.
    nb::object h = a.clone(slot->inner);
    nb::object o = a.clone(slot->outer);
    a.feed(h, msg);
    nb::object d = a.finish(h);
    a.feed(o, d);
    return take_bytes(a.finish(o));
}

Digest hash_of(const Algorithm& a, std::string_view data) { return take_bytes(a.finish(a.make(data))); }

}  // namespace

Digest::Digest(std::string_view raw) : size_(raw.size() < sizeof data_ ? raw.size() : sizeof data_) {
    raw.copy(data_, size_);
}

Digest hmac_sha256(std::string_view key, std::string_view msg) { return hmac_once(sha256_algo(), key, msg); }
Digest hmac_sha256_reused_key(std::string_view key, std::string_view msg) {
    return hmac_reused(sha256_algo(), key, msg);
}
Digest hmac_sha1_reused_key(std::string_view key, std::string_view msg) {
    return hmac_reused(sha1_algo(), key, msg);
}
Digest sha256(std::string_view data) { return hash_of(sha256_algo(), data); }
Digest md5(std::string_view data) { return hash_of(md5_algo(), data); }
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
