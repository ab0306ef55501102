// AWS Signature Version 2 (HMAC-SHA1). Plain strings in, plain strings out;
// digests come from common/crypto.h.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cirrova::sigv2 {

// (name, value) pairs in the order of the caller's mapping.
using Pairs = std::vector<std::pair<std::string_view, std::string_view>>;
// Query parameters; an absent value (None) signs like an empty one.
using Params = std::vector<std::pair<std::string_view, std::optional<std::string_view>>>;

// The query names that take part in the canonical resource: the signed
// sub-resources and the response-* overrides.
bool is_subresource(std::string_view name);

// `path` + "?" + the sub-resources among `params`, ordered by name, each as
// name=value or the bare name for an empty value; `path` alone when there
// is none. Nothing is encoded.
std::string canonical_resource(std::string_view path, const Params& params);
void append_canonical_resource(std::string& out, std::string_view path, const Params& params);

// One "name:value\n" line per x-amz-* header (name lower-cased, value
// trimmed), ordered by name; repeated names (differing in case) become one
// line with the values joined by ","; appended to `out`.
void append_amz_headers(std::string& out, const Pairs& headers);

// method, Content-MD5, Content-Type, Date (else x-amz-date) lines, the amz
// headers and the resource. The three header lines are looked up by name
// whatever its letter case.
std::string string_to_sign(std::string_view method, const Pairs& headers, std::string_view resource);
// The same with the canonical resource of `path` and `params` written in place.
std::string string_to_sign(std::string_view method, const Pairs& headers, std::string_view path,
                           const Params& params);

// "AWS " + access_key + ":" + Base64(HMAC-SHA1(secret_key, string_to_sign)).
std::string authorization(std::string_view access_key, std::string_view secret_key, std::string_view string_to_sign);

}  // namespace cirrova::sigv2
