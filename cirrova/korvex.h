// KorvexClient: the client for services that speak the AWS object-storage
// REST protocol, signing with AWS Signature Version 4 or Version 2.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

#include "common/pyfunc.h"

namespace cirrova::korvex {

// Default endpoints: "https://s3.amazonaws.com" for us-east-1, else
// "https://s3.<region>.amazonaws.com".
inline constexpr std::string_view kHostLabel = "s3";
inline constexpr std::string_view kDomain = "amazonaws.com";
inline constexpr std::string_view kGlobalRegion = "us-east-1";
// Service code of the Version 4 credential scope.
inline constexpr std::string_view kService = "s3";
// signature_version values (lower-cased) that select Version 2.
inline constexpr std::string_view kV2Selector = "korvex";
inline constexpr std::string_view kV2Name = "v2";
// The longest lifetime that the protocol accepts for a presigned URL (7 days).
inline constexpr long long kMaxPresignSeconds = 604800;

// URL helpers over the stored endpoint.
std::string endpoint_host(std::string_view endpoint);     // "https://"/"http://" removed
std::string url_scheme(std::string_view url);             // as urllib.parse.urlsplit reads it
std::string_view before_scheme_sep(std::string_view url); // text before the first "://"

// Network location and path of a URL, as urlsplit gives them.
struct UrlParts {
    std::string_view netloc;
    std::string_view path;
};
UrlParts split_url(std::string_view url);

// XML text escaping for element content (&, <, >, quotes, CR).
std::string xml_escape(std::string_view s);

// Method bodies, in the order the class defines them.
nb::object init(Args& a);
nb::object get_aws_endpoint(Args& a);
nb::object sign_request(Args& a);
nb::object sign_request_v2(Args& a);
nb::object presign_url(Args& a);
nb::object request(Args& a);
nb::object get_path_url(Args& a);
nb::object get_shared_url(Args& a);
nb::object upload(Args& a);
nb::object download(Args& a);
nb::object head(Args& a);
nb::object delete_(Args& a);
nb::object list(Args& a);
nb::object initiate_multipart_upload(Args& a);
nb::object upload_part(Args& a);
nb::object finish_multipart_upload(Args& a);
nb::object abort_multipart_upload(Args& a);
nb::object multipart_download(Args& a);
nb::object bucket_request(Args& a);
nb::object create_bucket(Args& a);
nb::object delete_bucket(Args& a);
nb::object bucket_exists(Args& a);
nb::object list_buckets(Args& a);
nb::object copy_object(Args& a);
nb::object get_bucket_stats(Args& a);
nb::object delete_objects(Args& a);
nb::object delete_by_prefix(Args& a);

}  // namespace cirrova::korvex
