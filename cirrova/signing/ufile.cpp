#include "signing/ufile.h"

#include "common/crypto.h"
#include "common/headers.h"

#include <algorithm>

namespace cirrova::ufile {

std::string canonical_resource(std::string_view bucket, std::string_view key) {
    std::string out;
    out.reserve(bucket.size() + key.size() + 2);
    out += '/';
    out += bucket;
    out += '/';
    out += key;
    return out;
}

bool is_vendor_header(std::string_view lower_name) {
    return lower_name.starts_with(kHeaderPrefix);
}

std::string canonical_headers(const Pairs& headers) {
    LoweredHeaders lines(headers, is_vendor_header);
    std::sort(lines.begin(), lines.end(), by_name_then_order);
    size_t room = 0;
    for (const LoweredHeader& h : lines) room += h.name.size() + h.value.size() + 2;
    std::string out;
    out.reserve(room);
    for (size_t i = 0; i < lines.size(); ++i) {
        const auto& [name, value, order] = lines[i];
        if (i + 1 < lines.size() && lines[i + 1].name == name) continue;  // a later one wins
        out += name;
        out += ':';
        out += value;
        out += '\n';
    }
    return out;
}

std::string string_to_sign(std::string_view method, std::string_view content_md5,
                           std::string_view content_type, std::string_view date,
                           std::string_view canonical_headers, std::string_view resource) {
    std::string out;
    out.reserve(method.size() + content_md5.size() + content_type.size() + date.size() +
                canonical_headers.size() + resource.size() + 4);
    out += method;
    out += '\n';
    out += content_md5;
    out += '\n';
    out += content_type;
    out += '\n';
    out += date;
    out += '\n';
    out += canonical_headers;
    out += resource;
    return out;
}

std::string sign(std::string_view private_key, std::string_view string_to_sign) {
    return crypto::base64(crypto::hmac_sha1_reused_key(private_key, string_to_sign));
}

std::string authorization(std::string_view public_key, std::string_view signature) {
    std::string out;
    out.reserve(kAuthScheme.size() + public_key.size() + signature.size() + 2);
    out += kAuthScheme;
    out += ' ';
    out += public_key;
    out += ':';
    out += signature;
    return out;
}

}  // namespace cirrova::ufile
