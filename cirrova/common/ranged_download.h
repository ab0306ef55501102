// Ranged multipart download into a local file, shared by the clients whose
// multipart_download fetches an object in consecutive byte ranges.
//
// Two layers:
//
//   multipart_download(self, key, local_path, part_size, callback, timeout)
//     The whole operation for a client object that answers
//       self.head(key, timeout=timeout)                        -> httpx.Response
//       self._request("GET", key, headers={"Range": ...}, timeout=timeout)
//     (both looked up as attributes, so subclasses and patches apply):
//       1. os.makedirs(os.path.dirname(local_path), exist_ok=True) when the
//          directory part is non-empty;
//       2. head; a status other than 200 raises
//          Exception("获取文件信息失败: <status> <text>");
//       3. size = int(headers.get("Content-Length", 0)); 0 raises
//          Exception("文件大小为 0"); a negative size raises
//          Exception("文件大小无效: <size>");
//       4. part_size 0 raises ZeroDivisionError, a negative one ValueError,
//          both before the file is opened;
//       5. download_ranges() below; every range request also carries
//          If-Match with the head's ETag when it had one.
//     Returns True. A method body can return its result directly:
//       return multipart_download(a.self, key, local_path, part_size, callback, timeout);
//
//   download_ranges(const RangedDownload&)
//     The loop alone, for a caller that found the size itself. Writes into a
//     new temporary file next to local_path and, for each part i (0-based)
//     with start = i * part_size and end = min(start + part_size, size) - 1,
//     calls fetch(start, end) and checks the reply:
//       - status other than 200/206      -> Exception(prefix + (i+1) + infix
//                                            + "<status> <text>")
//       - 206 whose Content-Range is not exactly "bytes START-END/SIZE"
//         (this range, the size given) -> Exception(prefix + (i+1) + ...)
//       - 206 and body length == end - start + 1 -> the part; appended
//       - 200 and body length == size    -> the whole object: the file is
//                                            rewritten from offset 0 with it
//                                            and the download is complete
//       - any other length               -> Exception(prefix + (i+1) + infix
//                                            + "<status> " + length details)
//     After each written part, when `callback` is truthy:
//       callback(i, total_parts, min((i+1) * part_size, size), size)
//     (after a whole-object reply: i = total_parts - 1, done = size).
//     Once every part is written the temporary file is renamed over
//     local_path. On any failure (of fetch, of a check, of the callback or
//     of a write) it is closed and removed and the error propagates
//     unchanged: local_path is left as it was.
//
// Memory: reading one reply holds two bodies' worth at its peak (httpx joins
// the pieces it read). For parts up to 16 MiB the previous reply is released
// once the next part's body has arrived (releasing it earlier makes the
// allocator give the pages back and fault them in again for every part): at
// most three bodies, within two parts and 16 MiB. Larger parts release each
// reply before the next request. The body object itself (resp.content) is
// handed to the file's write: no copy is made here.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <string_view>

namespace cirrova {

namespace nb = nanobind;

struct RangedDownload {
    nb::handle local_path;   // str: the file to replace once complete
    long long size = 0;      // object size in bytes, > 0
    long long part_size = 0; // bytes per part, > 0 (larger than size is fine)
    nb::handle callback;     // any object; called when truthy; may be empty
    // Performs the ranged GET for the inclusive byte range [start, end] and
    // returns the httpx.Response (status_code, content, text).
    std::function<nb::object(long long start, long long end)> fetch;
    // Failure message of a part: prefix + part number (from 1) + infix + details.
    std::string_view part_error_prefix = "下载分片 ";
    std::string_view part_error_infix = " 失败: ";
};

void download_ranges(const RangedDownload& d);

// The whole operation described above; returns Python True.
nb::object multipart_download(nb::handle self, nb::handle key, nb::handle local_path,
                              nb::handle part_size, nb::handle callback, nb::handle timeout);

}  // namespace cirrova
