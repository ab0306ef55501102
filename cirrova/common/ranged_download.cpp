#include "ranged_download.h"

#include "pyutil.h"
#include "replacing_file.h"

#include <algorithm>
#include <string>

namespace cirrova {

namespace {

constexpr long long kHoldPreviousUpTo = 16LL << 20;

long long to_ll(nb::handle o) {
    long long v = PyLong_AsLongLong(o.ptr());
    if (v == -1 && PyErr_Occurred()) raise_current();
    return v;
}

// "bytes START-END/SIZE": the only Content-Range a part may carry.
std::string content_range(long long start, long long end, long long size) {
    return "bytes " + std::to_string(start) + "-" + std::to_string(end) + "/" + std::to_string(size);
}

}  // namespace

void download_ranges(const RangedDownload& d) {
    const long long size = d.size;
    const long long part = std::min(d.part_size, size);  // same parts, no overflow
    if (size <= 0 || part <= 0) raise(PyExc_ValueError, "download_ranges: size and part_size must be positive");
    const long long total = size / part + (size % part != 0);
    nb::object total_obj = steal_or_throw(PyLong_FromLongLong(total));
    nb::object size_obj = steal_or_throw(PyLong_FromLongLong(size));

    ReplacingFile out(d.local_path);
    // Reading a reply takes two bodies' worth at once (httpx joins its pieces).
    // Up to kHoldPreviousUpTo a part's reply is dropped only once the next body
    // is in memory, which a third body still fits beside within two parts and
    // 16 MiB: freeing it first would let the allocator hand the pages back to
    // the system and fault them in again for every part. Larger replies are
    // dropped before the next request.
    const bool hold_previous = part <= kHoldPreviousUpTo;
    nb::object previous;
    for (long long i = 0; i < total; ++i) {
        const long long start = i * part;
        const long long stop = start + std::min(part, size - start);  // exclusive
        long long done = stop;
        {
            nb::object resp = d.fetch(start, stop - 1);
            previous.reset();
            nb::object status = getattr(resp, CIRROVA_STR("status_code"));
            long long code = PyLong_Check(status.ptr()) ? to_ll(status) : -1;
            auto fail = [&](const std::string& details) {
                raise_exception(std::string(d.part_error_prefix) + std::to_string(i + 1) +
                                std::string(d.part_error_infix) + details);
            };
            if (code != 200 && code != 206) fail(status_and_text(resp));
            // A 206 must name exactly the range asked for, within an object of
            // the size found at the start: another range or another version
            // of the object would be written as this part.
            if (code == 206) {
                const std::string expected = content_range(start, stop - 1, size);
                nb::object headers = getattr(resp, CIRROVA_STR("headers"));
                nb::object got = call_method(headers, CIRROVA_STR("get"), {CIRROVA_STR("Content-Range")});
                if (got.is_none() || !PyUnicode_Check(got.ptr()) || utf8(got) != expected)
                    fail("206 Content-Range " + (got.is_none() ? std::string("(none)") : text_of(got)) +
                         " 与请求的 " + expected + " 不符");
            }

            nb::object body = getattr(resp, CIRROVA_STR("content"));
            Py_ssize_t n = PyObject_Length(body.ptr());
            if (n < 0) raise_current();
            // A 200 is the whole object, never one part of it.
            const long long expected_length = code == 200 ? size : stop - start;
            if (n != expected_length)
                fail(text_of(status) + " 响应长度 " + std::to_string(n) + " 与" +
                     (code == 200 ? std::string("对象大小 ")
                                  : "范围 bytes=" + std::to_string(start) + "-" + std::to_string(stop - 1) +
                                        " 的长度 ") +
                     std::to_string(expected_length) + " 不符");
            if (code == 200) {
                out.rewrite(body);
                i = total - 1;
                done = size;
            } else {
                out.write(body);
            }
            body.reset();
            release_reply(resp);
            if (hold_previous) previous = std::move(resp);
        }
        if (d.callback.is_valid() && truthy(d.callback)) {
            nb::object idx = steal_or_throw(PyLong_FromLongLong(i));
            nb::object got = steal_or_throw(PyLong_FromLongLong(done));
            vcall(d.callback, {idx.ptr(), total_obj.ptr(), got.ptr(), size_obj.ptr()});
        }
    }
    previous.reset();
    out.commit();
}

nb::object multipart_download(nb::handle self, nb::handle key, nb::handle local_path,
                              nb::handle part_size, nb::handle callback, nb::handle timeout) {
    // 1. the directory of the file
    make_parent_dirs(steal_or_throw(PyImport_ImportModule("os")), local_path);

    // 2.-3. the object's size
    long long size = 0;
    nb::object etag;
    {
        nb::object head = call_method(self, CIRROVA_STR("head"), {key.ptr(), timeout.ptr()},
                                      CIRROVA_KWNAMES("timeout"));
        nb::object status = getattr(head, CIRROVA_STR("status_code"));
        if (!PyLong_Check(status.ptr()) || to_ll(status) != 200)
            raise_exception("获取文件信息失败: " + status_and_text(head));
        nb::object headers = getattr(head, CIRROVA_STR("headers"));
        nb::object length = call_method(headers, CIRROVA_STR("get"),
                                        {CIRROVA_STR("Content-Length"), nb::int_(0).ptr()});
        nb::object n = steal_or_throw(PyNumber_Long(length.ptr()));
        int overflow = 0;
        size = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
        if (size == -1 && PyErr_Occurred()) raise_current();
        if (overflow) raise(PyExc_OverflowError, "文件大小超出范围: " + text_of(n));
        if (size == 0) raise_exception("文件大小为 0");
        if (size < 0) raise_exception("文件大小无效: " + std::to_string(size));
        nb::object tag = call_method(headers, CIRROVA_STR("get"), {CIRROVA_STR("ETag")});
        if (PyUnicode_Check(tag.ptr()) && PyUnicode_GetLength(tag.ptr()) > 0) etag = std::move(tag);
    }

    // 4. the part size (an int, already converted by the argument check)
    nb::object ps = steal_or_throw(PyNumber_Long(part_size.ptr()));
    int overflow = 0;
    long long part = PyLong_AsLongLongAndOverflow(ps.ptr(), &overflow);
    if (part == -1 && PyErr_Occurred()) raise_current();
    if (overflow > 0) part = size;  // one part either way
    if (overflow < 0 || part < 0) raise(PyExc_ValueError, "part_size 必须大于 0: " + text_of(ps));
    if (part == 0) {
        nb::object s = steal_or_throw(PyLong_FromLongLong(size));
        steal_or_throw(PyNumber_FloorDivide(s.ptr(), ps.ptr()));  // ZeroDivisionError
    }

    // 5. the parts
    RangedDownload d;
    d.local_path = local_path;
    d.size = size;
    d.part_size = part;
    d.callback = callback;
    d.fetch = [&](long long start, long long end) {
        std::string range = "bytes=" + std::to_string(start) + "-" + std::to_string(end);
        nb::object headers = steal_or_throw(PyDict_New());
        nb::object value = to_str(range);
        if (PyDict_SetItem(headers.ptr(), CIRROVA_STR("Range"), value.ptr()) < 0) raise_current();
        // An object replaced after the head fails its ranges (412) instead of
        // mixing two versions in one file.
        if (etag.is_valid() && PyDict_SetItem(headers.ptr(), CIRROVA_STR("If-Match"), etag.ptr()) < 0)
            raise_current();
        return call_method(self, CIRROVA_STR("_request"),
                           {CIRROVA_STR("GET"), key.ptr(), headers.ptr(), timeout.ptr()},
                           CIRROVA_KWNAMES("headers", "timeout"));
    };
    download_ranges(d);
    return nb::borrow(Py_True);
}

}  // namespace cirrova
