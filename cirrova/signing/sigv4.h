// AWS Signature Version 4 (AWS4-HMAC-SHA256): header form and presigned
// query form. Plain strings in, plain strings out; digests go through
// common/crypto.h.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/crypto.h"

namespace cirrova::sigv4 {

inline constexpr std::string_view kAlgorithm = "AWS4-HMAC-SHA256";
inline constexpr std::string_view kUnsignedPayload = "UNSIGNED-PAYLOAD";
inline constexpr std::string_view kTerminator = "aws4_request";

// (name, value) pairs in the order of the caller's mapping.
using Pairs = std::vector<std::pair<std::string_view, std::string_view>>;

struct Credentials {
    std::string_view access_key;
    std::string_view secret_key;
    std::string_view region;
    std::string_view service;
};

// Timestamp ("%Y%m%dT%H%M%SZ") and date stamp ("%Y%m%d") of a request.
struct RequestTime {
    std::string timestamp;
    std::string date;
};

// The value of the first header named x-amz-date (any letter case), or "".
std::string_view header_timestamp(const Pairs& headers);

// The request time: header_timestamp() when it is non-empty, else
// `now_amz`. The date stamp is the part before "T" of the timestamp, or
// `now_date` when it has none. (`now_*` are only read when needed.)
RequestTime request_time(const Pairs& headers, std::string_view now_amz, std::string_view now_date);

// Names and values percent-encoded (only A-Z a-z 0-9 _ . - ~ kept), pairs
// ordered by encoded name, then value, joined with "&".
std::string canonical_query(const Pairs& params);

struct CanonicalHeaders {
    std::string lines;   // "name:value\n" per signed header, ordered by name
    std::string names;   // signed names joined with ";"
};

// Signs host, content-type, content-md5 and x-amz-*. Names are lower-cased,
// values trimmed with inner runs of spaces collapsed to one; repeated names
// (differing in case) become one line with the values joined by ",".
// Without a host header, "host:" + fallback_host is signed. The lines are
// appended to `lines`, the signed names joined with ";" to `names`.
void append_canonical_headers(std::string& lines, std::string& names, const Pairs& headers,
                              std::string_view fallback_host);

std::string canonical_request(std::string_view method, std::string_view uri, std::string_view query,
                              const CanonicalHeaders& headers, std::string_view payload_hash);

// date + "/" + region + "/" + service + "/aws4_request"
std::string credential_scope(std::string_view date, std::string_view region, std::string_view service);

std::string string_to_sign(std::string_view timestamp, std::string_view scope, std::string_view canonical_request);

// The derived key HMAC(HMAC(HMAC(HMAC("AWS4" + secret, date), region),
// service), "aws4_request"); remembered per (secret, date, region, service).
crypto::Digest signing_key(std::string_view secret, std::string_view date, std::string_view region,
                           std::string_view service);

// Lower-case hexadecimal HMAC-SHA256 of the string to sign.
std::string signature(std::string_view key, std::string_view string_to_sign);

struct HeaderRequest {
    std::string_view method;
    std::string_view uri;           // canonical URI, already encoded
    const Pairs* query = nullptr;   // may be null
    const Pairs* headers = nullptr;
    std::string_view payload_hash = kUnsignedPayload;
    std::string_view fallback_host;
};

// The Authorization header value:
// "AWS4-HMAC-SHA256 Credential=<ak>/<scope>, SignedHeaders=<names>, Signature=<hex>".
std::string authorization(const Credentials& c, const HeaderRequest& r, const RequestTime& t);

struct PresignRequest {
    std::string_view method;
    std::string_view path;          // URL path, already encoded
    std::string_view host;          // host[:port] as in the URL
    std::string_view expires;       // lifetime in seconds, decimal
    const Pairs* extra = nullptr;   // caller's parameters; replace fixed ones of the same name
};

// The query string of a presigned URL, "X-Amz-Signature=<hex>" last.
std::string presign_query(const Credentials& c, const PresignRequest& r, const RequestTime& t);

}  // namespace cirrova::sigv4
