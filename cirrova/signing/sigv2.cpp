#include "signing/sigv2.h"

#include <algorithm>

#include "common/crypto.h"
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

}  // namespace

bool is_subresource(std::string_view name) {
    return std::find(std::begin(kSubresources), std::end(kSubresources), name) != std::end(kSubresources);
}

std::string canonical_resource(std::string_view path, const Params& params) {
    std::vector<std::pair<std::string_view, std::string_view>> sub;
    for (const auto& [name, value] : params)
        if (is_subresource(name)) sub.emplace_back(name, value.value_or(std::string_view()));
    std::sort(sub.begin(), sub.end());
    std::string out(path);
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

std::string canonical_amz_headers(const Pairs& headers) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (const auto& [name, value] : headers) {
        std::string lower = ascii_lower(name);
        if (!lower.starts_with("x-amz-")) continue;
        auto same = std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.first == lower; });
        if (same != entries.end())
            same->second.append(",").append(trim(value));
        else
            entries.emplace_back(std::move(lower), std::string(trim(value)));
    }
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string out;
    for (const auto& [name, value] : entries) {
        out += name;
        out += ':';
        out += value;
        out += '\n';
    }
    return out;
}

std::string string_to_sign(std::string_view method, const Pairs& headers, std::string_view resource) {
    std::string_view date = header(headers, "date");
    if (date.empty()) date = header(headers, "x-amz-date");
    std::string out(method);
    out += '\n';
    out += header(headers, "content-md5");
    out += '\n';
    out += header(headers, "content-type");
    out += '\n';
    out += date;
    out += '\n';
    out += canonical_amz_headers(headers);
    out += resource;
    return out;
}

std::string authorization(std::string_view access_key, std::string_view secret_key, std::string_view string_to_sign) {
    std::string out = "AWS ";
    out += access_key;
    out += ':';
    crypto::append_base64(out, crypto::hmac_sha1_reused_key(secret_key, string_to_sign));
    return out;
}

}  // namespace cirrova::sigv2
