#include "ossv4.h"

#include "common/crypto.h"
#include "common/pyutil.h"
#include "common/quote.h"

#include <algorithm>
#include <mutex>

namespace cirrova::ossv4 {

std::string signing_region(std::string_view region) {
    if (region.substr(0, kRegionPrefix.size()) != kRegionPrefix) return std::string(region);
    std::string out;
    out.reserve(region.size());
    size_t pos = 0;
    for (size_t hit; (hit = region.find(kRegionPrefix, pos)) != std::string_view::npos; pos = hit + kRegionPrefix.size())
        out.append(region.substr(pos, hit - pos));
    out.append(region.substr(pos));
    return out;
}

bool is_signed_header(std::string_view lname) {
    return lname.substr(0, 6) == "x-oss-" || lname == "content-type" || lname == "content-md5";
}

std::string canonical_query(const Pairs& params) {
    if (params.empty()) return {};
    // UTF-8 byte order is code point order.
    std::vector<const std::pair<std::string_view, std::string_view>*> sorted;
    sorted.reserve(params.size());
    for (const auto& p : params) sorted.push_back(&p);
    std::sort(sorted.begin(), sorted.end(), [](auto* a, auto* b) { return a->first < b->first; });
    std::string out;
    for (auto* p : sorted) {
        if (!out.empty()) out += '&';
        out += quote_component(p->first);
        if (!p->second.empty()) {
            out += '=';
            out += quote_component(p->second);
        }
    }
    return out;
}

std::string canonical_headers(const Pairs& headers) {
    std::vector<std::pair<std::string, std::string_view>> lines;
    lines.reserve(headers.size());
    for (const auto& [name, value] : headers) {
        std::string lname = ascii_lower(name);
        if (is_signed_header(lname)) lines.emplace_back(std::move(lname), trim(value));
    }
    // By name, as the service orders them ("x-oss-meta-a" before "x-oss-meta-a-b").
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const auto& [name, value] : lines) {
        out += name;
        out += ':';
        out += value;
        out += '\n';
    }
    return out;
}

std::string canonical_request(const Request& r) {
    std::string out;
    out.reserve(256);
    out.append(r.method).append("\n/").append(r.bucket).append("/").append(quote_path(r.key)).append("\n");
    out.append(canonical_query(r.query)).append("\n");
    out.append(canonical_headers(r.headers));
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
    std::string out(kAlgorithm);
    out.append("\n").append(timestamp).append("\n").append(scope).append("\n");
    crypto::append_hex(out, crypto::sha256(canonical_request));
    return out;
}

namespace {

// The key changes once a day: the last one derived is kept.
struct KeyCache {
    std::mutex lock;
    std::string secret, date_stamp, region, key;
};

KeyCache& key_cache() {
    static KeyCache* c = new KeyCache;  // never destroyed: used until exit
    return *c;
}

std::string derive_key(std::string_view secret, std::string_view date_stamp, std::string_view signing_region) {
    std::string seed(kKeyPrefix);
    seed.append(secret);
    crypto::Digest k = crypto::hmac_sha256(seed, date_stamp);
    k = crypto::hmac_sha256(k, signing_region);
    k = crypto::hmac_sha256(k, kService);
    return std::string(crypto::hmac_sha256(k, kRequestTerminator).view());
}

}  // namespace

std::string signing_key(std::string_view secret, std::string_view date_stamp, std::string_view signing_region) {
    KeyCache& c = key_cache();
    {
        std::lock_guard<std::mutex> g(c.lock);
        if (!c.key.empty() && c.secret == secret && c.date_stamp == date_stamp && c.region == signing_region)
            return c.key;
    }
    // Derived outside the lock: the digests call into Python.
    std::string key = derive_key(secret, date_stamp, signing_region);
    std::lock_guard<std::mutex> g(c.lock);
    c.secret.assign(secret);
    c.date_stamp.assign(date_stamp);
    c.region.assign(signing_region);
    c.key = key;
    return key;
}

std::string authorization(const Request& r, std::string_view access_key_id, std::string_view access_key_secret,
                          std::string_view region) {
    std::string day = date_stamp(r.timestamp);
    std::string sregion = signing_region(region);
    std::string sc = scope(day, sregion);
    std::string sts = string_to_sign(r.timestamp, sc, canonical_request(r));
    std::string sig = crypto::hex(crypto::hmac_sha256_reused_key(signing_key(access_key_secret, day, sregion), sts));
    std::string out(kAlgorithm);
    out.append(" Credential=").append(access_key_id).append("/").append(sc).append(",Signature=").append(sig);
    return out;
}

std::string query_string_to_sign(long long expires, std::string_view bucket, std::string_view key) {
    std::string out("GET\n\n\n");
    out.append(std::to_string(expires)).append("\n/").append(bucket).append("/").append(key);
    return out;
}

std::string query_signature(std::string_view secret, std::string_view string_to_sign) {
    return crypto::base64(crypto::hmac_sha1_reused_key(secret, string_to_sign));
}

std::string shared_url(std::string_view base_url, std::string_view bucket, std::string_view key,
                       std::string_view access_key_id, std::string_view access_key_secret, long long expires) {
    std::string sig = query_signature(access_key_secret, query_string_to_sign(expires, bucket, key));
    std::string out(base_url);
    out.append("/").append(quote_path(key));
    out.append("?OSSAccessKeyId=").append(quote_component(access_key_id));
    out.append("&Expires=").append(std::to_string(expires));
    out.append("&Signature=").append(quote_component(sig));
    return out;
}

}  // namespace cirrova::ossv4
