#include "crypto.h"

#include "pyutil.h"

namespace cirrova::crypto {

namespace {

struct Funcs {
    PyObject* hmac_digest;  // hmac.digest
    PyObject* sha256;       // hashlib.sha256
    PyObject* md5;          // hashlib.md5
    PyObject* name_sha256;
    PyObject* name_sha1;
    PyObject* digest;       // "digest"
    PyObject* hmac_new;     // hmac.new
    PyObject* copy;         // "copy"
    PyObject* update;       // "update"
};

PyObject* import_attr(const char* module, const char* name) {
    nb::object m = steal_or_throw(PyImport_ImportModule(module));
    return steal_or_throw(PyObject_GetAttrString(m.ptr(), name)).release().ptr();
}

const Funcs& funcs() {
    static const Funcs f = [] {
        Funcs r;
        // hmac.digest's own OpenSSL fast path, called directly when the hmac
        // module has it; else hmac.digest itself.
        r.hmac_digest = nullptr;
        {
            nb::object hmac_mod = steal_or_throw(PyImport_ImportModule("hmac"));
            PyObject* backend = PyObject_GetAttrString(hmac_mod.ptr(), "_hashopenssl");
            if (backend && backend != Py_None) r.hmac_digest = PyObject_GetAttrString(backend, "hmac_digest");
            Py_XDECREF(backend);
            PyErr_Clear();
            if (!r.hmac_digest) r.hmac_digest = import_attr("hmac", "digest");
        }
        r.sha256 = import_attr("hashlib", "sha256");
        r.md5 = import_attr("hashlib", "md5");
        r.name_sha256 = intern_forever("sha256");
        r.name_sha1 = intern_forever("sha1");
        r.digest = intern_forever("digest");
        r.hmac_new = import_attr("hmac", "new");
        r.copy = intern_forever("copy");
        r.update = intern_forever("update");
        return r;
    }();
    return f;
}

std::string take_bytes(const nb::object& b) { return std::string(bytes_view(b)); }

std::string hmac_with(PyObject* algorithm, std::string_view key, std::string_view msg) {
    const Funcs& f = funcs();
    nb::bytes k = to_bytes(key);
    nb::bytes m = to_bytes(msg);
    return take_bytes(vcall(f.hmac_digest, {k.ptr(), m.ptr(), algorithm}));
}

// Keyed HMAC objects for recurring keys. Every use holds the GIL, which
// serialises access.
struct KeyedMac {
    std::string key;
    PyObject* algorithm = nullptr;
    PyObject* mac = nullptr;  // hmac.new(key, digestmod=algorithm)
};
constexpr size_t kKeyedMacs = 8;
KeyedMac g_macs[kKeyedMacs];
size_t g_next_mac = 0;

std::string hmac_reused(PyObject* algorithm, std::string_view key, std::string_view msg) {
    const Funcs& f = funcs();
    PyObject* mac = nullptr;
    for (KeyedMac& m : g_macs)
        if (m.mac && m.algorithm == algorithm && m.key == key) mac = m.mac;
    if (!mac) {
        nb::bytes k = to_bytes(key);
        nb::object made = vcall(f.hmac_new, {k.ptr(), algorithm}, CIRROVA_KWNAMES("digestmod"));
        KeyedMac& slot = g_macs[g_next_mac++ % kKeyedMacs];
        Py_XDECREF(slot.mac);
        slot.mac = nullptr;
        slot.key.assign(key);
        slot.algorithm = algorithm;
        slot.mac = mac = made.release().ptr();
    }
    nb::object h = call_method(mac, f.copy, {});
    nb::bytes m = to_bytes(msg);
    call_method(h, f.update, {m.ptr()});
    return take_bytes(call_method(h, f.digest, {}));
}

std::string hash_with(PyObject* ctor, std::string_view data) {
    nb::bytes d = to_bytes(data);
    nb::object h = vcall(ctor, {d.ptr()});
    return take_bytes(call_method(h, funcs().digest, {}));
}

}  // namespace

std::string hmac_sha256(std::string_view key, std::string_view msg) { return hmac_with(funcs().name_sha256, key, msg); }
std::string hmac_sha1(std::string_view key, std::string_view msg) { return hmac_with(funcs().name_sha1, key, msg); }
std::string hmac_sha256_reused_key(std::string_view key, std::string_view msg) {
    return hmac_reused(funcs().name_sha256, key, msg);
}
std::string hmac_sha1_reused_key(std::string_view key, std::string_view msg) {
    return hmac_reused(funcs().name_sha1, key, msg);
}
std::string sha256(std::string_view data) { return hash_with(funcs().sha256, data); }
std::string md5(std::string_view data) { return hash_with(funcs().md5, data); }

std::string hex(std::string_view raw) {
    static const char digits[] = "0123456789abcdef";
    std::string out(raw.size() * 2, '\0');
    for (size_t i = 0; i < raw.size(); ++i) {
        unsigned char c = (unsigned char)raw[i];
        out[2 * i] = digits[c >> 4];
        out[2 * i + 1] = digits[c & 15];
    }
    return out;
}

std::string base64(std::string_view raw) {
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((raw.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= raw.size(); i += 3) {
        unsigned v = ((unsigned char)raw[i] << 16) | ((unsigned char)raw[i + 1] << 8) | (unsigned char)raw[i + 2];
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += table[(v >> 6) & 63];
        out += table[v & 63];
    }
    size_t rest = raw.size() - i;
    if (rest) {
        unsigned v = (unsigned char)raw[i] << 16;
        if (rest == 2) v |= (unsigned char)raw[i + 1] << 8;
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += rest == 2 ? table[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

}  // namespace cirrova::crypto
