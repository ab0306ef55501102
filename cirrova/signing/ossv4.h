// OSS request signatures: the V4 header signature (OSS4-HMAC-SHA256 over a
// canonical request with an unsigned payload) and the older query-string
// signature (HMAC-SHA1, Base64) of shared URLs. Pure string computations;
// digests go through common/crypto.h.
#pragma once

#include "common/crypto.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cirrova::ossv4 {

inline constexpr std::string_view kAlgorithm = "OSS4-HMAC-SHA256";
inline constexpr std::string_view kKeyPrefix = "aliyun_v4";
inline constexpr std::string_view kRequestTerminator = "aliyun_v4_request";
inline constexpr std::string_view kService = "oss";
inline constexpr std::string_view kDomain = "aliyuncs.com";
inline constexpr std::string_view kUnsignedPayload = "UNSIGNED-PAYLOAD";
inline constexpr std::string_view kRegionPrefix = "oss-";

// (name, value) pairs, unencoded, in the caller's order.
using Pairs = std::vector<std::pair<std::string_view, std::string_view>>;

// "oss-cn-hangzhou" -> "cn-hangzhou": every "oss-" removed when the region
// starts with it, else the region unchanged.
std::string signing_region(std::string_view region);

// Lower-cased header names that the V4 signature covers by default.
bool is_signed_header(std::string_view lower_name);
// The same test on a name in any letter case.
bool is_signed_header_any_case(std::string_view name);

// Pairs sorted by name, both parts component-quoted, "name=value" or the bare
// name for an empty value, joined with "&"; appended to `out`.
void append_canonical_query(std::string& out, const Pairs& params);

// The signed headers among `headers` as "lname:trimmed value" lines ordered
// by header name, each followed by "\n"; appended to `out`.
void append_canonical_headers(std::string& out, const Pairs& headers);

struct Request {
    std::string_view method;
    std::string_view bucket;
    std::string_view key;        // unencoded; may be empty
    Pairs query;
    Pairs headers;               // as sent; selection happens here
    std::string_view timestamp;  // %Y%m%dT%H%M%SZ
};

std::string canonical_request(const Request& r);
std::string date_stamp(std::string_view timestamp);  // its first 8 characters
std::string scope(std::string_view date_stamp, std::string_view signing_region);
std::string string_to_sign(std::string_view timestamp, std::string_view scope,
                           std::string_view canonical_request);
// Raw 32-byte key: HMAC chain over date, region, "oss" and the terminator,
// seeded with kKeyPrefix + secret.
crypto::Digest signing_key(std::string_view secret, std::string_view date_stamp,
                           std::string_view signing_region);

// The Authorization value:
//   "OSS4-HMAC-SHA256 Credential=<id>/<scope>,Signature=<hex>"
std::string authorization(const Request& r, std::string_view access_key_id,
                          std::string_view access_key_secret, std::string_view region);

// Query-string signature of a shared GET link.
//   string to sign: "GET\n\n\n<expires>\n/<bucket>/<key>" (the key unencoded,
//   as the service rebuilds the resource from the decoded request path),
//   with "?security-token=<token>" after the key under temporary credentials:
//   the token is a sub-resource of the canonical resource.
std::string query_string_to_sign(long long expires, std::string_view bucket, std::string_view key,
                                 std::string_view security_token = {});
std::string query_signature(std::string_view secret, std::string_view string_to_sign);  // Base64
// base_url + "/" + quoted key + "?OSSAccessKeyId=..&Expires=..&Signature=.."
// (+ "&security-token=.." when a token is given)
std::string shared_url(std::string_view base_url, std::string_view bucket, std::string_view key,
                       std::string_view access_key_id, std::string_view access_key_secret,
                       long long expires, std::string_view security_token = {});

}  // namespace cirrova::ossv4
