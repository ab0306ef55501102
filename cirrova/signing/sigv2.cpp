#include "signing/sigv2.h"

#include <algorithm>

#include "common/crypto.h"
#include "common/headers.h"
#include "common/pyutil.h"

namespace cirrova::sigv2 {

namespace {

constexpr std::string_view kSubresources[] = {
    "acl",          "cors",           "delete",      "lifecycle", "location", "logging",
    "notification", "partNumber",     "policy",      "requestPayment", "tagging", "torrent",
    "uploadId",     "uploads",        "versionId",   "versioning",     "versions", "website",
    "response-cache-control",   "response-content-disposition", "response-content-encoding",
    "response-content-language", "response-content-type",       "response-expires",
};

// The headers the string to sign names, each the first of its name in any
// letter case, found in one pass.
struct NamedHeaders {
    std::string_view date, amz_date, md5, type;

    explicit NamedHeaders(const Pairs& headers) {
        // The four names differ in length: at most one comparison per header.
        for (const auto& [name, value] : headers) {
            switch (name.size()) {
                case 4: take(name, value, "date", date, 0); break;
                case 10: take(name, value, "x-amz-date", amz_date, 1); break;
                case 11: take(name, value, "content-md5", md5, 2); break;
                case 12: take(name, value, "content-type", type, 3); break;
                default: break;
            }
        }
    }

private:
    bool seen_[4] = {};
    void take(std::string_view name, std::string_view value, std::string_view lower, std::string_view& slot, int i) {
        if (!seen_[i] && ascii_iequals(name, lower)) {
            slot = value;
            seen_[i] = true;
        }
    }
};

bool is_amz(std::string_view lower) { return lower.starts_with("x-amz-"); }

}  // namespace

bool is_subresource(std::string_view name) {
    return std::find(std::begin(kSubresources), std::end(kSubresources), name) != std::end(kSubresources);
}

void append_canonical_resource(std::string& out, std::string_view path, const Params& params) {
    // The sub-resources among the parameters, on the stack for usual requests.
    using Entry = std::pair<std::string_view, std::string_view>;
    constexpr size_t kSmall = 16;
    Entry small[kSmall];
    std::vector<Entry> big;  // used past kSmall, holding all of them
    size_t n = 0;
    for (const auto& [name, value] : params) {
        if (!is_subresource(name)) continue;
        Entry e{name, value.value_or(std::string_view())};
        if (n < kSmall) {
            small[n++] = e;
            continue;
        }
        if (big.empty()) big.assign(small, small + n);
        big.push_back(e);
        ++n;
    }
    Entry* sub = big.empty() ? small : big.data();
    std::sort(sub, sub + n);
    out += path;
    char sep = '?';
    for (size_t i = 0; i < n; ++i) {
        const auto& [name, value] = sub[i];
        out += sep;
        sep = '&';
        out += name;
        if (!value.empty()) {
            out += '=';
            out += value;
        }
    }
}

std::string canonical_resource(std::string_view path, const Params& params) {
    std::string out;
    append_canonical_resource(out, path, params);
    return out;
}

void append_amz_headers(std::string& out, const Pairs& headers) {
    LoweredHeaders entries(headers, is_amz);
    std::sort(entries.begin(), entries.end(), by_name_then_order);
    for (size_t i = 0; i < entries.size(); ++i) {
        const LoweredHeader& e = entries[i];
        if (i && e.name == entries[i - 1].name) {
            out.back() = ',';  // the same name in another letter case: values joined
        } else {
            out += e.name;
            out += ':';
        }
        out += trim(e.value);
        out += '\n';
    }
}

namespace {

void append_lines(std::string& out, std::string_view method, const Pairs& headers) {
    NamedHeaders named(headers);
    std::string_view date = named.date.empty() ? named.amz_date : named.date;
    out += method;
    out += '\n';
    out += named.md5;
    out += '\n';
    out += named.type;
    out += '\n';
    out += date;
    out += '\n';
    append_amz_headers(out, headers);
}

size_t room(std::string_view method, const Pairs& headers, size_t resource) {
    size_t n = method.size() + resource + 4;
    for (const auto& [name, value] : headers) n += name.size() + value.size() + 2;  // covers the named lines too
    return n;
}

}  // namespace

std::string string_to_sign(std::string_view method, const Pairs& headers, std::string_view resource) {
    std::string out;
    out.reserve(room(method, headers, resource.size()));
    append_lines(out, method, headers);
    out += resource;
    return out;
}

std::string string_to_sign(std::string_view method, const Pairs& headers, std::string_view path,
                           const Params& params) {
    size_t resource = path.size();
    for (const auto& [name, value] : params) resource += name.size() + (value ? value->size() : 0) + 2;
    std::string out;
    out.reserve(room(method, headers, resource));
    append_lines(out, method, headers);
    append_canonical_resource(out, path, params);
    return out;
}

std::string authorization(std::string_view access_key, std::string_view secret_key, std::string_view string_to_sign) {
    std::string out;
    out.reserve(access_key.size() + 33);
    out += "AWS ";
    out += access_key;
    out += ':';
    crypto::append_base64(out, crypto::hmac_sha1_reused_key(secret_key, string_to_sign));
    return out;
}

}  // namespace cirrova::sigv2
