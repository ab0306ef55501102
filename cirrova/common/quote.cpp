#include "quote.h"

namespace cirrova {

namespace {

inline bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '-' || c == '~';
}

template <class Keep>
void append_quoted(std::string& out, std::string_view s, Keep keep) {
    static const char hexd[] = "0123456789ABCDEF";
    size_t escaped = 0;
    for (unsigned char c : s) escaped += !keep(c);
    size_t at = out.size();
    out.resize(at + s.size() + 2 * escaped);
    char* p = out.data() + at;
    if (!escaped) {
        s.copy(p, s.size());
        return;
    }
    for (unsigned char c : s) {
        if (keep(c)) {
            *p++ = (char)c;
        } else {
            *p++ = '%';
            *p++ = hexd[c >> 4];
            *p++ = hexd[c & 15];
        }
    }
}

bool path_safe(unsigned char c) { return unreserved(c) || c == '/'; }

}  // namespace

void append_quoted_path(std::string& out, std::string_view s) { append_quoted(out, s, path_safe); }
void append_quoted_component(std::string& out, std::string_view s) { append_quoted(out, s, unreserved); }

std::string quote_path(std::string_view s) {
    std::string out;
    append_quoted(out, s, path_safe);
    return out;
}

std::string quote_component(std::string_view s) {
    std::string out;
    append_quoted(out, s, unreserved);
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
