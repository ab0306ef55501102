// The native transfer engine: many requests of one transfer call on one
// event loop, signed in C++ and written straight into their files.
//
// Each request takes a connection from the NativeTransport's own pool (so the
// pool's limits, TLS, proxy and keep-alive settings hold) and all of them are
// driven together through libcurl's socket interface on the caller's thread,
// without the interpreter lock. Nothing here touches Python except `tick`,
// which the caller supplies and which takes the lock itself.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine.h"

namespace cirrova::transport::multi {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// The request time in both spellings the services sign; refreshed from the
// wall clock (with the interpreter lock) at every tick.
struct Stamp {
    std::string amz;   // %Y%m%dT%H%M%SZ
    std::string date;  // %Y%m%d
    std::string http;  // %a, %d %b %Y %H:%M:%S GMT
};

// The query of a part upload: `encoded` is the URL's query with `{n}` where
// the part number goes; `pairs` the parameters as signed, the part number's
// value empty (filled in per part).
struct PartQuery {
    std::string encoded;
    HeaderList pairs;
    std::string number_name = "partNumber";
};

// How one client addresses and signs an object request: a snapshot of its
// configuration taken once per call, signed with the code in signing/.
struct Signer {
    enum class Kind { S3V4, S3V2, OSS, UFILE } kind = Kind::S3V4;
    std::string url_prefix;   // the URL up to the quoted key
    std::string put_prefix;   // the same for uploads (UFile sends them to another host)
    std::string host;         // the Host header the client sets ("" for none)
    std::string uri_prefix;   // S3: the signed URI up to the quoted key
    std::string access, secret, region, bucket;
    HeaderList defaults;      // the httpx.Client's own headers, in order

    // URL and header lines (as the NativeTransport hands them to libcurl) of
    // `method key` with the caller's headers `extra`, signed at `now`;
    // `content_length` >= 0 for a request with a body of that many bytes.
    void build(std::string_view method, std::string_view key, const HeaderList& extra, const Stamp& now,
               std::string& url, std::vector<std::string>& lines, long long content_length = -1,
               const PartQuery* query = nullptr, long long part_number = 0) const;
};

struct Options {
    int concurrency = 8;
    long long span = 0;       // bytes per ranged GET
    long long part_size = 0;  // progress is reported per part of this size
    bool conditional = true;  // ranged reads carry If-Match
    Timeouts timeouts;
    int attempts = 4;
    double backoff_base = 0.25, backoff_cap = 8.0, retry_after_cap = 60.0;
    // Integrity: uploads carry Content-MD5 (header values equal to kMd5Slot
    // become the body's Base64 MD5) and downloads are checked against the
    // object's MD5 before the rename. download_many learns it from the first
    // reply: the Base64 metadata `md5_header`, else an ETag that is an MD5.
    bool checksum = false;
    std::string md5_header;
    bool etag_is_md5 = true;
};

// The value that stands for the request body's Base64 MD5 in upload headers.
inline constexpr std::string_view kMd5Slot{"\0md5", 4};

// Why an item failed, in fields the Python side turns into the exception
// the Python path raises.
struct ItemError {
    std::string kind;                  // status, transport, range, first_range, md5, ... (_native.error_of)
    std::string what;                  // "下载 key" and the like
    long status = 0;
    std::string text;                  // transport: the message; etag: the replied ETag
    std::string cls;                   // transport: the httpx class
    HeaderList headers;                // status: the reply's headers
    std::string body;                  // status: the first bytes of the reply's body
    std::optional<std::string> header; // range: the Content-Range as received
    long long a = 0, b = 0, c = 0;     // kind-specific numbers (start, end, size / got, expected)
    int err = 0;                       // os: errno
};

struct Item {
    std::string key, path;
    // download: the object's size and ETag when known beforehand
    long long size = -1;
    std::string etag;
    std::string md5;  // download and copy: the object's hex MD5 when known beforehand
    // results
    bool ok = false;
    long long value = 0;
    std::optional<std::string> etag_reply;  // upload: the reply's ETag
    ItemError error;
};

// Progress, interruption and the clock: called about every `kTickSeconds`
// with (last part or item index, bytes done, the stamp to refresh, false);
// false cancels the call (a Python exception is then pending). It takes the
// interpreter lock itself. Called once more with `final` true when the loop
// has ended normally, to hand over the last progress without the lock.
using Tick = std::function<bool(long long index, long long done, Stamp& now, bool final)>;
inline constexpr double kTickSeconds = 0.05;

// download_many: each item one object, `concurrency` objects at once, each
// object's ranges one after another. Returns false when cancelled.
bool download_many(Pool& pool, const Signer& signer, const Options& opt, std::vector<Item>& items, Stamp& now,
                   const Tick& tick);

// upload_many: each item a local file of at most one part (item.path, its
// size in item.size) sent in one PUT with `headers`, `concurrency` at once.
bool upload_many(Pool& pool, const Signer& signer, const Options& opt, std::vector<Item>& items,
                 const HeaderList& headers, Stamp& now, const Tick& tick);

// upload_parts: parts of `part_size` of the file item.path (item.size
// bytes) sent as parts `first_number`, `first_number` + 1, ... of a
// multipart upload, `concurrency` at once, with `headers`. On success
// `etags` holds each part's ETag in order.
bool upload_parts(Pool& pool, const Signer& signer, const Options& opt, Item& item, const HeaderList& headers,
                  const PartQuery& query, long long first_number, std::vector<std::string>& etags, Stamp& now,
                  const Tick& tick);

// copy: the object item.key (item.size bytes, ETag item.etag) read from
// `src` in ranges and sent to `dst` as `dst_key`: one PUT with `headers`
// when `query` is null, else parts of `part_size` numbered from
// `first_number`, `concurrency` parts at once; `etags` as for upload_parts.
// The PUT's ETag lands in item.etag_reply.
bool copy_object(Pool& src_pool, const Signer& src, Pool& dst_pool, const Signer& dst, const Options& opt, Item& item,
                 const std::string& dst_key, const HeaderList& headers, const PartQuery* query, long long first_number,
                 std::vector<std::string>& etags, Stamp& now, const Tick& tick);

// download: one object of known size and ETag, its ranges `concurrency` at
// once. Returns false when cancelled; items[0].ok tells success.
bool download_one(Pool& pool, const Signer& signer, const Options& opt, Item& item, Stamp& now, const Tick& tick);

}  // namespace cirrova::transport::multi
