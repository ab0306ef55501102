#include "quote.h"

namespace cirrova {

namespace {

constexpr bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '-' || c == '~';
}

// Byte classes: bit 1 kept in components, bit 2 kept in paths.
struct Table {
    unsigned char keep[256] = {};
    constexpr Table() {
        for (int c = 0; c < 256; ++c) {
            if (unreserved((unsigned char)c)) keep[c] = 3;
        }
        keep[(unsigned char)'/'] = 2;
    }
};
constexpr Table kTable;

template <class Keep>
void append_quoted(std::string& out, std::string_view s, Keep keep) {
    static const char hexd[] = "0123456789ABCDEF";
    const unsigned char* p = (const unsigned char*)s.data();
    const unsigned char* end = p + s.size();
    // The leading run of kept bytes (usually the whole text) in one copy.
    const unsigned char* q = p;
    while (q < end && keep(*q)) ++q;
    out.append((const char*)p, (size_t)(q - p));
    if (q == end) return;
    size_t escaped = 0;
    for (const unsigned char* r = q; r < end; ++r) escaped += !keep(*r);
    size_t at = out.size();
    out.resize(at + (size_t)(end - q) + 2 * escaped);
    char* w = out.data() + at;
    for (; q < end; ++q) {
        unsigned char c = *q;
        if (keep(c)) {
            *w++ = (char)c;
        } else {
            *w++ = '%';
            *w++ = hexd[c >> 4];
            *w++ = hexd[c & 15];
        }
    }
}

constexpr auto path_safe = [](unsigned char c) { return (kTable.keep[c] & 2) != 0; };
constexpr auto component_safe = [](unsigned char c) { return (kTable.keep[c] & 1) != 0; };

}  // namespace

void append_quoted_path(std::string& out, std::string_view s) { append_quoted(out, s, path_safe); }
void append_quoted_component(std::string& out, std::string_view s) { append_quoted(out, s, component_safe); }

std::string quote_path(std::string_view s) {
    std::string out;
    append_quoted(out, s, path_safe);
    return out;
}

std::string quote_component(std::string_view s) {
    std::string out;
    append_quoted(out, s, component_safe);
    return out;
}

void append_quoted_key(std::string& out, std::string_view key) {
    const size_t at = out.size();
    append_quoted(out, key, path_safe);
    if (out.find('.', at) == std::string::npos) return;
    std::string quoted = out.substr(at);
    out.resize(at);
    size_t pos = 0;
    while (true) {
        size_t slash = quoted.find('/', pos);
        std::string_view seg = std::string_view(quoted).substr(pos, slash == std::string::npos ? slash : slash - pos);
        if (seg == ".")
            out += "%2E";
        else if (seg == "..")
            out += "%2E%2E";
        else
            out += seg;
        if (slash == std::string::npos) break;
        out += '/';
        pos = slash + 1;
    }
}

std::string quote_key(std::string_view key) {
    std::string out;
    append_quoted_key(out, key);
    return out;
}

std::string quote_with_safe(std::string_view s, std::string_view safe) {
    std::string out;
    append_quoted(out, s, [safe](unsigned char c) {
        return unreserved(c) || (c < 128 && safe.find((char)c) != std::string_view::npos);
    });
    return out;
}

}  // namespace cirrova
