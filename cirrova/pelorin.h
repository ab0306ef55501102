// cirrova.pelorin: PelorinOSSClient, the client of the OSS object-storage API.
#pragma once

#include "common/pyfunc.h"

namespace cirrova::pelorin {

// Construction, endpoints and request dispatch.
nb::object init(Args& a);
nb::object get_path_url(Args& a);
nb::object request(Args& a);
// V4 header signature of one request.
nb::object sign_request(Args& a);
// Shared URLs and single-object operations.
nb::object get_shared_url(Args& a);
nb::object upload(Args& a);
nb::object download(Args& a);
nb::object head(Args& a);
nb::object delete_(Args& a);
// Listing.
nb::object list(Args& a);
// Multipart upload and ranged download.
nb::object initiate_multipart_upload(Args& a);
nb::object upload_part(Args& a);
nb::object finish_multipart_upload(Args& a);
nb::object abort_multipart_upload(Args& a);
nb::object multipart_download(Args& a);

}  // namespace cirrova::pelorin
