// The UFile request signature: HMAC-SHA1 over a canonical string, Base64.
//
//   StringToSign = Method "\n" Content-MD5 "\n" Content-Type "\n" Date "\n"
//                  CanonicalizedUCloudHeaders CanonicalizedResource
//
// The Date slot is empty for header authentication and holds the expiry time
// (decimal seconds) for shared URLs.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cirrova::ufile {

// Authorization value: kAuthScheme " " public_key ":" signature.
inline constexpr std::string_view kAuthScheme = "UCloud";
// Headers whose lower-cased name starts with this prefix are signed.
inline constexpr std::string_view kHeaderPrefix = "x-ucloud-";
// Public-key parameter of shared URLs.
inline constexpr std::string_view kPublicKeyParam = "UCloudPublicKey";
// Suffix of the native hosts after the region label.
inline constexpr std::string_view kDomain = ".ufileos.com";

// "/" bucket "/" key (raw key, no query).
std::string canonical_resource(std::string_view bucket, std::string_view key);

// True when the already lower-cased header name is a signed vendor header.
bool is_vendor_header(std::string_view lower_name);

// (name, value) pairs in the caller's order.
using Pairs = std::vector<std::pair<std::string_view, std::string_view>>;

// One "name:value\n" line per vendor header (name lower-cased, value as
// given), ordered by name; of names equal once lower-cased, the last wins.
std::string canonical_headers(const Pairs& headers);

std::string string_to_sign(std::string_view method, std::string_view content_md5,
                           std::string_view content_type, std::string_view date,
                           std::string_view canonical_headers, std::string_view resource);

// Base64 of HMAC-SHA1(private_key, string_to_sign): 28 characters.
std::string sign(std::string_view private_key, std::string_view string_to_sign);

// kAuthScheme " " public_key ":" signature.
std::string authorization(std::string_view public_key, std::string_view signature);

}  // namespace cirrova::ufile
