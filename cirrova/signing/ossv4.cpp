#include "ossv4.h"

#include "common/crypto.h"
#include "common/headers.h"
#include "common/pyutil.h"
#include "common/quote.h"

#include <algorithm>
#include <mutex>

namespace cirrova::ossv4 {

std::string signing_region(std::string_view region) {
    return region.starts_with(kRegionPrefix) ? replace_all(region, kRegionPrefix) : std::string(region);
}

bool is_signed_header(std::string_view lname) {
    return lname.substr(0, 6) == "x-oss-" || lname == "content-type" || lname == "content-md5";
}

bool is_signed_header_any_case(std::string_view name) {
    return (name.size() >= 6 && ascii_iequals(name.substr(0, 6), "x-oss-")) || ascii_iequals(name, "content-type") ||
           ascii_iequals(name, "content-md5");
}

void append_canonical_query(std::string& out, const Pairs& params) {
    // UTF-8 byte order is code point order.
    std::vector<const std::pair<std::string_view, std::string_view>*> sorted;
    sorted.reserve(params.size());
    for (const auto& p : params) sorted.push_back(&p);
    std::sort(sorted.begin(), sorted.end(), [](auto* a, auto* b) { return a->first < b->first; });
    bool first = true;
    for (auto* p : sorted) {
        if (!first) out += '&';
        first = false;
        append_quoted_component(out, p->first);
        if (!p->second.empty()) {
            out += '=';
            append_quoted_component(out, p->second);
        }
    }
}

void append_canonical_headers(std::string& out, const Pairs& headers) {
    LoweredHeaders lines(headers, is_signed_header);
    for (LoweredHeader& h : lines) h.value = trim(h.value);
    // By name, as the service orders them ("x-oss-meta-a" before "x-oss-meta-a-b"),
    // then by value.
    std::sort(lines.begin(), lines.end(), [](const LoweredHeader& a, const LoweredHeader& b) {
        return a.name != b.name ? a.name < b.name : a.value < b.value;
    });
    for (const LoweredHeader& h : lines) {
        out += h.name;
        out += ':';
        out += h.value;
        out += '\n';
    }
}

std::string canonical_request(const Request& r) {
    size_t room = r.method.size() + r.bucket.size() + 3 * r.key.size() + kUnsignedPayload.size() + 8;
    for (const auto& [name, value] : r.query) room += 3 * (name.size() + value.size()) + 2;
    for (const auto& [name, value] : r.headers) room += name.size() + value.size() + 2;
    std::string out;
    out.reserve(room);
    out.append(r.method).append("\n/").append(r.bucket).append("/");
    append_quoted_key(out, r.key);
    out += '\n';
    append_canonical_query(out, r.query);
    out += '\n';
    append_canonical_headers(out, r.headers);
    // Empty list of additional headers, then the payload hash.
    out.append("\n\n").append(kUnsignedPayload);
    return out;
}

std::string date_stamp(std::string_view timestamp) {
    // First 8 characters (code points, not bytes).
    size_t i = 0;
    for (int n = 0; n < 8 && i < timestamp.size(); ++n) {
        ++i;
        while (i < timestamp.size() && ((unsigned char)timestamp[i] & 0xC0) == 0x80) ++i;
    }
    return std::string(timestamp.substr(0, i));
}

std::string scope(std::string_view date_stamp, std::string_view signing_region) {
    std::string out(date_stamp);
    out.append("/").append(signing_region).append("/").append(kService).append("/").append(kRequestTerminator);
    return out;
}

std::string string_to_sign(std::string_view timestamp, std::string_view scope, std::string_view canonical_request) {
    std::string out;
    out.reserve(kAlgorithm.size() + timestamp.size() + scope.size() + 67);
    out += kAlgorithm;
    out.append("\n").append(timestamp).append("\n").append(scope).append("\n");
    crypto::append_hex(out, crypto::sha256(canonical_request));
    return out;
}

namespace {

// The key changes once a day: the last one derived is kept.
struct KeyCache {
    std::mutex lock;
    std::string secret, date_stamp, region;
    crypto::Digest key;
    bool set = false;
};

KeyCache& key_cache() {
    static KeyCache* c = new KeyCache;  // never destroyed: used until exit
    return *c;
}

crypto::Digest derive_key(std::string_view secret, std::string_view date_stamp, std::string_view signing_region) {
    std::string seed(kKeyPrefix);
    seed.append(secret);
    crypto::Digest k = crypto::hmac_sha256(seed, date_stamp);
    k = crypto::hmac_sha256(k, signing_region);
    k = crypto::hmac_sha256(k, kService);
    return crypto::hmac_sha256(k, kRequestTerminator);
}

}  // namespace

crypto::Digest signing_key(std::string_view secret, std::string_view date_stamp, std::string_view signing_region) {
    KeyCache& c = key_cache();
    {
        std::lock_guard<std::mutex> g(c.lock);
        if (c.set && c.secret == secret && c.date_stamp == date_stamp && c.region == signing_region)
            return c.key;
    }
    // Derived outside the lock, which only guards the table.
    crypto::Digest key = derive_key(secret, date_stamp, signing_region);
    std::lock_guard<std::mutex> g(c.lock);
    c.secret.assign(secret);
    c.date_stamp.assign(date_stamp);
    c.region.assign(signing_region);
    c.key = key;
    c.set = true;
    return key;
}

std::string authorization(const Request& r, std::string_view access_key_id, std::string_view access_key_secret,
                          std::string_view region) {
    std::string day = date_stamp(r.timestamp);
    std::string sregion = signing_region(region);
    std::string sc = scope(day, sregion);
    std::string sts = string_to_sign(r.timestamp, sc, canonical_request(r));
    crypto::Digest sig = crypto::hmac_sha256_reused_key(signing_key(access_key_secret, day, sregion), sts);
    std::string out;
    out.reserve(kAlgorithm.size() + access_key_id.size() + sc.size() + 88);
    out.append(kAlgorithm).append(" Credential=").append(access_key_id).append("/").append(sc).append(",Signature=");
    crypto::append_hex(out, sig);
    return out;
}

std::string query_string_to_sign(long long expires, std::string_view bucket, std::string_view key,
                                 std::string_view security_token) {
    std::string out("GET\n\n\n");
    out.append(std::to_string(expires)).append("\n/").append(bucket).append("/").append(key);
    if (!security_token.empty()) out.append("?security-token=").append(security_token);
    return out;
}

std::string query_signature(std::string_view secret, std::string_view string_to_sign) {
    return crypto::base64(crypto::hmac_sha1_reused_key(secret, string_to_sign));
}

std::string shared_url(std::string_view base_url, std::string_view bucket, std::string_view key,
                       std::string_view access_key_id, std::string_view access_key_secret, long long expires,
                       std::string_view security_token) {
    std::string sig = query_signature(access_key_secret, query_string_to_sign(expires, bucket, key, security_token));
    std::string out(base_url);
    out.append("/").append(quote_key(key));
    out.append("?OSSAccessKeyId=").append(quote_component(access_key_id));
    out.append("&Expires=").append(std::to_string(expires));
    out.append("&Signature=").append(quote_component(sig));
    if (!security_token.empty()) out.append("&security-token=").append(quote_component(security_token));
    return out;
}

}  // namespace cirrova::ossv4
