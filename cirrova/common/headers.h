// Selection of the headers a signature covers, without a string per header.
#pragma once

#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cirrova {

struct LoweredHeader {
    std::string_view name;   // ASCII lower case, pointing into the LoweredHeaders' buffer
    std::string_view value;  // as given
    size_t order;            // position among the given headers
};

// The headers whose lower-cased name `keep` accepts, in the given order, with
// room for `extra` more. Names are lower-cased into a buffer of the object's
// own; a usual request's headers fit in it and the entries without a heap
// allocation. Not copyable: the entries point into the object.
class LoweredHeaders {
public:
    template <class Keep>
    LoweredHeaders(const std::vector<std::pair<std::string_view, std::string_view>>& headers, Keep keep,
                   size_t extra = 0) {
        size_t room = 0;
        for (const auto& h : headers) room += h.first.size();
        char* p = room <= sizeof small_names_ ? small_names_ : (big_names_ = std::make_unique<char[]>(room)).get();
        size_t cap = headers.size() + extra;
        if (cap > kSmall) {
            big_items_.resize(cap);
            items_ = big_items_.data();
        }
        for (size_t i = 0; i < headers.size(); ++i) {
            char* at = p;
            for (char c : headers[i].first) *p++ = (c >= 'A' && c <= 'Z') ? (char)(c + 32) : c;
            std::string_view name(at, (size_t)(p - at));
            if (keep(name))
                push_back({name, headers[i].second, i});
            else
                p = at;
        }
    }
    LoweredHeaders(const LoweredHeaders&) = delete;
    LoweredHeaders& operator=(const LoweredHeaders&) = delete;

    // One of the `extra` entries.
    void push_back(const LoweredHeader& h) { new (items_ + n_++) LoweredHeader(h); }
    LoweredHeader* begin() { return items_; }
    LoweredHeader* end() { return items_ + n_; }
    const LoweredHeader& operator[](size_t i) const { return items_[i]; }
    size_t size() const { return n_; }

private:
    static constexpr size_t kSmall = 24;
    char small_names_[512];
    std::unique_ptr<char[]> big_names_;
    // Raw room: entries are constructed as they are added.
    alignas(LoweredHeader) unsigned char small_items_[kSmall * sizeof(LoweredHeader)];
    std::vector<LoweredHeader> big_items_;
    LoweredHeader* items_ = reinterpret_cast<LoweredHeader*>(small_items_);
    size_t n_ = 0;
};

// By name, then by position: repeated names keep the caller's order.
inline bool by_name_then_order(const LoweredHeader& a, const LoweredHeader& b) {
    return a.name != b.name ? a.name < b.name : a.order < b.order;
}

}  // namespace cirrova
