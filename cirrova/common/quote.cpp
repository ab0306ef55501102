#include "quote.h"

namespace cirrova {

namespace {

inline bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '-' || c == '~';
}

template <class Keep>
std::string quote_impl(std::string_view s, Keep keep) {
    static const char hexd[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(s.size() + s.size() / 2);
    for (unsigned char c : s) {
        if (keep(c)) {
            out += (char)c;
        } else {
            out += '%';
            out += hexd[c >> 4];
            out += hexd[c & 15];
        }
    }
    return out;
}

}  // namespace

std::string quote_path(std::string_view s) {
    return quote_impl(s, [](unsigned char c) { return unreserved(c) || c == '/'; });
}

std::string quote_component(std::string_view s) { return quote_impl(s, unreserved); }

std::string quote_with_safe(std::string_view s, std::string_view safe) {
    return quote_impl(s, [safe](unsigned char c) { return unreserved(c) || (c < 128 && safe.find((char)c) != std::string_view::npos); });
}

}  // namespace cirrova
