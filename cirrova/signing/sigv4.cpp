#include "signing/sigv4.h"

#include <algorithm>
#include <mutex>

#include "common/crypto.h"
#include "common/headers.h"
#include "common/pyutil.h"
#include "common/quote.h"

namespace cirrova::sigv4 {

namespace {

bool is_signed(std::string_view lower) {
    return lower == "host" || lower == "content-type" || lower == "content-md5" || lower.starts_with("x-amz-");
}

// Trimmed, with every run of inner spaces written as one space.
void append_value(std::string& out, std::string_view v) {
    v = trim(v);
    if (v.find("  ") == std::string_view::npos) {
        out += v;
        return;
    }
    bool space = false;
    for (char c : v) {
        if (c == ' ') {
            if (!space) out += ' ';
            space = true;
        } else {
            out += c;
            space = false;
        }
    }
}

struct CachedKey {
    std::string secret, date, region, service;
    crypto::Digest key;
};

std::mutex g_cache_mutex;
std::vector<CachedKey> g_cache;  // most recent last
constexpr size_t kCacheSize = 8;

}  // namespace

std::string_view header_timestamp(const Pairs& headers) {
    for (const auto& [name, value] : headers)
        if (ascii_iequals(name, "x-amz-date")) return value;
    return {};
}

RequestTime request_time(const Pairs& headers, std::string_view now_amz, std::string_view now_date) {
    RequestTime t;
    t.timestamp = header_timestamp(headers);
    if (t.timestamp.empty()) t.timestamp = now_amz;
    size_t tpos = t.timestamp.find('T');
    t.date = tpos == std::string::npos ? std::string(now_date) : t.timestamp.substr(0, tpos);
    return t;
}

namespace {

void append_canonical_query(std::string& out, const Pairs& params) {
    if (params.empty()) return;
    size_t room = 0;
    for (const auto& [name, value] : params) room += 3 * (name.size() + value.size());
    // Encoded names and values, in one buffer reserved up front so that
    // views into it stay valid.
    std::string encoded;
    encoded.reserve(room);
    std::vector<std::pair<std::string_view, std::string_view>> enc;
    enc.reserve(params.size());
    for (const auto& [name, value] : params) {
        size_t n0 = encoded.size();
        append_quoted_component(encoded, name);
        size_t v0 = encoded.size();
        append_quoted_component(encoded, value);
        enc.emplace_back(std::string_view(encoded).substr(n0, v0 - n0), std::string_view(encoded).substr(v0));
    }
    std::sort(enc.begin(), enc.end());
    bool first = true;
    for (const auto& [name, value] : enc) {
        if (!first) out += '&';
        first = false;
        out += name;
        out += '=';
        out += value;
    }
}

size_t pairs_room(const Pairs& pairs, size_t factor) {
    size_t room = 0;
    for (const auto& [name, value] : pairs) room += factor * (name.size() + value.size()) + 2;
    return room;
}

}  // namespace

std::string canonical_query(const Pairs& params) {
    std::string out;
    append_canonical_query(out, params);
    return out;
}

void append_canonical_headers(std::string& lines, std::string& names, const Pairs& headers,
                              std::string_view fallback_host) {
    LoweredHeaders entries(headers, is_signed, 1);
    if (std::none_of(entries.begin(), entries.end(), [](const LoweredHeader& e) { return e.name == "host"; }))
        entries.push_back({"host", fallback_host, headers.size()});  // order past the given ones
    std::sort(entries.begin(), entries.end(), by_name_then_order);

    size_t name_room = 0;
    for (const LoweredHeader& e : entries) name_room += e.name.size() + 1;
    names.reserve(names.size() + name_room);
    for (size_t i = 0; i < entries.size(); ++i) {
        const LoweredHeader& e = entries[i];
        if (i && e.name == entries[i - 1].name) {
            // The same name in another letter case: one line, values joined.
            lines.back() = ',';
        } else {
            if (i) names += ';';
            names += e.name;
            lines += e.name;
            lines += ':';
        }
        if (e.order == headers.size())
            lines += e.value;  // the fallback host, as given
        else
            append_value(lines, e.value);
        lines += '\n';
    }
}

std::string canonical_request(std::string_view method, std::string_view uri, std::string_view query,
                              const CanonicalHeaders& headers, std::string_view payload_hash) {
    std::string out;
    out.reserve(method.size() + uri.size() + query.size() + headers.lines.size() + headers.names.size() +
                payload_hash.size() + 5);
    out += method;
    out += '\n';
    out += uri;
    out += '\n';
    out += query;
    out += '\n';
    out += headers.lines;
    out += '\n';
    out += headers.names;
    out += '\n';
    out += payload_hash;
    return out;
}

std::string credential_scope(std::string_view date, std::string_view region, std::string_view service) {
    std::string out;
    out.reserve(date.size() + region.size() + service.size() + kTerminator.size() + 3);
    out += date;
    out += '/';
    out += region;
    out += '/';
    out += service;
    out += '/';
    out += kTerminator;
    return out;
}

std::string string_to_sign(std::string_view timestamp, std::string_view scope, std::string_view canonical_request) {
    std::string out;
    out.reserve(kAlgorithm.size() + timestamp.size() + scope.size() + 67);
    out += kAlgorithm;
    out += '\n';
    out += timestamp;
    out += '\n';
    out += scope;
    out += '\n';
    crypto::append_hex(out, crypto::sha256(canonical_request));
    return out;
}

crypto::Digest signing_key(std::string_view secret, std::string_view date, std::string_view region,
                           std::string_view service) {
    {
        std::lock_guard<std::mutex> lock(g_cache_mutex);
        for (const CachedKey& c : g_cache)
            if (c.date == date && c.region == region && c.service == service && c.secret == secret) return c.key;
    }
    // Derived outside the lock, which only guards the table.
    crypto::Digest d = crypto::hmac_sha256(std::string("AWS4").append(secret), date);
    d = crypto::hmac_sha256(d, region);
    d = crypto::hmac_sha256(d, service);
    crypto::Digest k = crypto::hmac_sha256(d, kTerminator);
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    if (g_cache.size() >= kCacheSize) g_cache.erase(g_cache.begin());
    g_cache.push_back({std::string(secret), std::string(date), std::string(region), std::string(service), k});
    return k;
}

std::string signature(std::string_view key, std::string_view string_to_sign) {
    return crypto::hex(crypto::hmac_sha256_reused_key(key, string_to_sign));
}

std::string authorization(const Credentials& c, const HeaderRequest& r, const RequestTime& t) {
    static const Pairs kNoPairs;
    const Pairs& query = r.query ? *r.query : kNoPairs;
    const Pairs& headers = r.headers ? *r.headers : kNoPairs;
    // The canonical request, written in one buffer.
    std::string creq, names;
    creq.reserve(r.method.size() + r.uri.size() + pairs_room(query, 3) + 2 * pairs_room(headers, 1) +
                 r.fallback_host.size() + r.payload_hash.size() + 16);
    creq += r.method;
    creq += '\n';
    creq += r.uri;
    creq += '\n';
    append_canonical_query(creq, query);
    creq += '\n';
    append_canonical_headers(creq, names, headers, r.fallback_host);
    creq += '\n';
    creq += names;
    creq += '\n';
    creq += r.payload_hash;

    std::string scope = credential_scope(t.date, c.region, c.service);
    crypto::Digest sig = crypto::hmac_sha256_reused_key(signing_key(c.secret_key, t.date, c.region, c.service),
                                                        string_to_sign(t.timestamp, scope, creq));
    std::string out;
    out.reserve(kAlgorithm.size() + c.access_key.size() + scope.size() + names.size() + 112);
    out += kAlgorithm;
    out += " Credential=";
    out += c.access_key;
    out += '/';
    out += scope;
    out += ", SignedHeaders=";
    out += names;
    out += ", Signature=";
    crypto::append_hex(out, sig);
    return out;
}

std::string presign_query(const Credentials& c, const PresignRequest& r, const RequestTime& t) {
    std::string scope = credential_scope(t.date, c.region, c.service);
    std::string credential = std::string(c.access_key) + "/" + scope;
    Pairs params = {{"X-Amz-Algorithm", kAlgorithm},
                    {"X-Amz-Credential", credential},
                    {"X-Amz-Date", t.timestamp},
                    {"X-Amz-Expires", r.expires},
                    {"X-Amz-SignedHeaders", "host"}};
    if (r.extra) {
        for (const auto& kv : *r.extra) {
            auto same = std::find_if(params.begin(), params.end(), [&](const auto& p) { return p.first == kv.first; });
            if (same != params.end())
                same->second = kv.second;
            else
                params.push_back(kv);
        }
    }
    std::string query = canonical_query(params);
    CanonicalHeaders headers;
    headers.lines = "host:" + std::string(r.host) + "\n";
    headers.names = "host";
    std::string creq = canonical_request(r.method, r.path, query, headers, kUnsignedPayload);
    std::string sig = signature(signing_key(c.secret_key, t.date, c.region, c.service),
                                string_to_sign(t.timestamp, scope, creq));
    query += "&X-Amz-Signature=";
    query += sig;
    return query;
}

}  // namespace cirrova::sigv4
