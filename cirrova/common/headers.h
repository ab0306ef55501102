// Selection of the headers a signature covers, without a string per header.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cirrova {

struct LoweredHeader {
    std::string_view name;   // ASCII lower case, pointing into the caller's buffer
    std::string_view value;  // as given
    size_t order;            // position among the given headers
};

// The headers whose lower-cased name `keep` accepts, in the given order.
// The lower-cased names are written into `lowered`, which must outlive the
// result and not be changed while it is used.
template <class Keep>
std::vector<LoweredHeader> lowered_headers(const std::vector<std::pair<std::string_view, std::string_view>>& headers,
                                           Keep keep, std::string& lowered, size_t extra = 0) {
    size_t room = 0;
    for (const auto& h : headers) room += h.first.size();
    lowered.assign(room, '\0');  // sized once: views into it stay valid
    char* p = lowered.data();
    std::vector<LoweredHeader> out;
    out.reserve(headers.size() + extra);
    for (size_t i = 0; i < headers.size(); ++i) {
        char* at = p;
        for (char c : headers[i].first) *p++ = (c >= 'A' && c <= 'Z') ? (char)(c + 32) : c;
        std::string_view name(at, (size_t)(p - at));
        if (keep(name))
            out.push_back({name, headers[i].second, i});
        else
            p = at;
    }
    return out;
}

// By name, then by position: repeated names keep the caller's order.
inline bool by_name_then_order(const LoweredHeader& a, const LoweredHeader& b) {
    return a.name != b.name ? a.name < b.name : a.order < b.order;
}

}  // namespace cirrova
