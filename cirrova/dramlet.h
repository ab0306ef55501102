// DramletFileClient: the client of the UFile object-storage REST API.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

#include "common/pyfunc.h"

namespace cirrova::dramlet {

inline constexpr const char* kDefaultRegion = "cn-wlcb";
// Objects at least this large are streamed to disk by download().
inline constexpr long long kStreamThreshold = 5LL * 1024 * 1024 * 1024;
inline constexpr long long kDefaultChunkSize = 8LL * 1024 * 1024;
inline constexpr long long kDefaultDownloadPartSize = 8LL * 1024 * 1024;
inline constexpr long long kDefaultUploadPartSize = 4LL * 1024 * 1024;

// construction
nb::object init(Args& a);
// signature
nb::object key_sort(Args& a);
nb::object canonicalized_resource(Args& a);
nb::object canonicalized_headers(Args& a);
nb::object sign(Args& a);
nb::object make_authorization(Args& a);
nb::object build_auth_header(Args& a);
// dispatch and URLs
nb::object request(Args& a);
nb::object get_path_url(Args& a);
nb::object get_shared_url(Args& a);
// uploads
nb::object upload(Args& a);
nb::object upload_file(Args& a);
nb::object upload_with_retry(Args& a);
// downloads
nb::object download_raw(Args& a);
nb::object get_content(Args& a);
nb::object download(Args& a);
nb::object multipart_download(Args& a);
// queries, deletion, listing
nb::object head(Args& a);
nb::object is_exists(Args& a);
nb::object delete_object(Args& a);
nb::object delete_file(Args& a);
nb::object list(Args& a);
// multipart primitives and drivers
nb::object initiate_multipart_upload(Args& a);
nb::object upload_part(Args& a);
nb::object finish_multipart_upload(Args& a);
nb::object abort_multipart_upload(Args& a);
nb::object multipart_upload(Args& a);
nb::object multipart_upload_bytes(Args& a);

}  // namespace cirrova::dramlet
