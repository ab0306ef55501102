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

// The first header named `lower` whatever its case, or "".
std::string_view header(const Pairs& headers, std::string_view lower) {
    for (const auto& [name, value] : headers)
        if (ascii_iequals(name, lower)) return value;
    return {};
}

bool is_amz(std::string_view lower) { return lower.starts_with("x-amz-"); }

}  // namespace

bool is_subresource(std::string_view name) {
    return std::find(std::begin(kSubresources), std::end(kSubresources), name) != std::end(kSubresources);
}

std::string canonical_resource(std::string_view path, const Params& params) {
    std::vector<std::pair<std::string_view, std::string_view>> sub;
    size_t room = path.size();
    for (const auto& [name, value] : params) {
        if (!is_subresource(name)) continue;
        sub.emplace_back(name, value.value_or(std::string_view()));
        room += name.size() + sub.back().second.size() + 2;
    }
    std::sort(sub.begin(), sub.end());
    std::string out;
    out.reserve(room);
    out += path;
    char sep = '?';
    for (const auto& [name, value] : sub) {
        out += sep;
        sep = '&';
        out += name;
        if (!value.empty()) {
            out += '=';
            out += value;
        }
    }
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

std::string string_to_sign(std::string_view method, const Pairs& headers, std::string_view resource) {
    std::string_view date = header(headers, "date");
    if (date.empty()) date = header(headers, "x-amz-date");
    std::string_view md5 = header(headers, "content-md5"), type = header(headers, "content-type");
    size_t room = method.size() + md5.size() + type.size() + date.size() + resource.size() + 4;
    for (const auto& [name, value] : headers) room += name.size() + value.size() + 2;
    std::string out;
    out.reserve(room);
    out += method;
    out += '\n';
    out += md5;
    out += '\n';
    out += type;
    out += '\n';
    out += date;
    out += '\n';
    append_amz_headers(out, headers);
    out += resource;
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
