// The Python face of the native transfer engine: `_native_download`, called
// by cirrova.transfer once per call with plain tuples, never per request.
#include <nanobind/nanobind.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cxxabi.h>

#include "common/clock.h"
#include "common/thread_exit.h"
#include "common/pyutil.h"
#include "multi.h"
#include "transport.h"

namespace cirrova::transport {

namespace nb = nanobind;

namespace {

using multi::HeaderList;

multi::Signer signer_of(nb::tuple c) {
    multi::Signer s;
    std::string kind = nb::cast<std::string>(c[0]);
    s.kind = kind == "s3v4"  ? multi::Signer::Kind::S3V4
             : kind == "s3v2" ? multi::Signer::Kind::S3V2
             : kind == "oss"  ? multi::Signer::Kind::OSS
                              : multi::Signer::Kind::UFILE;
    s.url_prefix = nb::cast<std::string>(c[1]);
    s.put_prefix = nb::cast<std::string>(c[2]);
    s.host = nb::cast<std::string>(c[3]);
    s.uri_prefix = nb::cast<std::string>(c[4]);
    s.access = nb::cast<std::string>(c[5]);
    s.secret = nb::cast<std::string>(c[6]);
    s.region = nb::cast<std::string>(c[7]);
    s.bucket = nb::cast<std::string>(c[8]);
    s.defaults = nb::cast<HeaderList>(c[9]);
    return s;
}

double seconds_or_none(nb::handle v) { return v.is_none() ? -1.0 : std::max(0.0, nb::cast<double>(v)); }

multi::Options options_of(nb::tuple o) {
    multi::Options opt;
    opt.concurrency = nb::cast<int>(o[0]);
    opt.span = nb::cast<long long>(o[1]);
    opt.part_size = nb::cast<long long>(o[2]);
    opt.conditional = nb::cast<bool>(o[3]);
    opt.timeouts = {seconds_or_none(o[4]), seconds_or_none(o[5]), seconds_or_none(o[6]), seconds_or_none(o[7])};
    opt.attempts = nb::cast<int>(o[8]);
    opt.backoff_base = nb::cast<double>(o[9]);
    opt.backoff_cap = nb::cast<double>(o[10]);
    opt.retry_after_cap = nb::cast<double>(o[11]);
    opt.checksum = nb::cast<bool>(o[12]);
    opt.md5_header = nb::cast<std::string>(o[13]);
    opt.etag_is_md5 = nb::cast<bool>(o[14]);
    return opt;
}

void stamp_now(multi::Stamp& s) {
    UtcTime t = utc_now();
    s.amz = fmt_amz_date(t);
    s.date = fmt_date_stamp(t);
    s.http = fmt_http_date(t);
}

nb::object bytes_of(std::string_view s) { return nb::steal(PyBytes_FromStringAndSize(s.data(), Py_ssize_t(s.size()))); }

nb::object str_or_none(const std::optional<std::string>& s) {
    return s ? nb::object(nb::str(s->data(), s->size())) : nb::none();
}

// (kind, what, status, text, cls, headers, body, header, a, b, c, errno)
nb::object error_tuple(const multi::ItemError& e) {
    nb::list headers;
    for (auto& [name, value] : e.headers) headers.append(nb::make_tuple(bytes_of(name), bytes_of(value)));
    return nb::make_tuple(e.kind, nb::str(e.what.data(), e.what.size()), e.status,
                          nb::str(e.text.data(), e.text.size()), e.cls, headers, bytes_of(e.body),
                          str_or_none(e.header), e.a, e.b, e.c, e.err);
}

// Progress for the caller's callback, at most every tick, plus the clock and
// pending signals (Ctrl-C on the main thread).
struct Ticker {
    nb::object callback;
    long long count = 0, total = 0;  // the callback's second and fourth arguments
    std::shared_ptr<const CancelState> token;  // a CancelToken the caller's thread is bound to
    long long reported = 0;
    long long last_index = 0, done = 0;
    bool called = false;

    bool operator()(long long index, long long d, multi::Stamp& now, bool final) {
        if (final) {
            last_index = index;
            done = d;
            return true;
        }
        // This thread's own state taken back; parked if the interpreter ends the thread at exit.
        return with_gil_again([&] { return locked(index, d, now); });
    }

    bool locked(long long index, long long d, multi::Stamp& now) {
        try {
            if (PyErr_CheckSignals() < 0) return false;
            if (token && token->cancelled.load()) {
                nb::object cls = getattr(nb::module_::import_("cirrova.transport"), CIRROVA_STR("RequestCancelled"));
                PyErr_SetString(cls.ptr(), "the request was cancelled");
                return false;
            }
            stamp_now(now);
            last_index = index;
            done = d;
            if (callback.is_valid() && !callback.is_none() && d != reported) report();
            return true;
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (nb::python_error& e) {
            e.restore();
            return false;
        } catch (std::exception& e) {
            PyErr_SetString(PyExc_RuntimeError, e.what());
            return false;
        }
    }

    void report() {
        reported = done;
        called = true;
        callback(last_index, count, done, total);
    }
};

// What the caller's thread raises once the loop has cleaned up after a tick
// that cancelled it.
[[noreturn]] void raise_pending() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "the transfer was cancelled");
    raise_current();
}

enum class Op { DownloadMany, Download, UploadMany, UploadParts, Copy };

// A multipart upload's part requests: the query and the first part number.
struct Parts {
    multi::PartQuery query;
    long long first_number = 1;
    std::vector<std::string> etags;
    bool whole = false;  // copy: one PUT, no query
    // copy: the destination
    std::shared_ptr<Pool> dst_pool;
    multi::Signer dst;
    std::string dst_key;
};

nb::object run(Op op, nb::handle transport, nb::tuple config, nb::list items_arg, nb::tuple options,
               nb::object callback, long long count, long long total, const HeaderList& headers,
               Parts* parts = nullptr) {
    Core& core = nb::cast<Core&>(getattr(transport, CIRROVA_STR("_pool")));
    std::shared_ptr<Pool> pool = core.pool;
    multi::Signer signer = signer_of(config);
    multi::Options opt = options_of(options);
    // Never more requests than the pool has connections: they all come from it.
    for (Pool* p : {pool.get(), parts && parts->dst_pool ? parts->dst_pool.get() : nullptr}) {
        long most = p ? p->settings().max_connections : -1;
        if (most >= 0) opt.concurrency = int(std::max(1L, std::min(long(opt.concurrency), most)));
    }
    std::vector<multi::Item> items;
    items.reserve(nb::len(items_arg));
    for (nb::handle h : items_arg) {
        nb::tuple t = nb::borrow<nb::tuple>(h);
        multi::Item it;
        it.key = nb::cast<std::string>(t[0]);
        it.path = nb::cast<std::string>(nb::str(t[1]));
        if (nb::len(t) > 2) {
            it.size = nb::cast<long long>(t[2]);
            it.etag = t[3].is_none() ? std::string() : nb::cast<std::string>(t[3]);
            if (nb::len(t) > 4 && !t[4].is_none()) it.md5 = nb::cast<std::string>(t[4]);
        }
        items.push_back(std::move(it));
    }
    multi::Stamp now;
    stamp_now(now);
    Ticker ticker{callback, count, total, bound_cancel_state()};
    multi::Tick tick = [&](long long index, long long done, multi::Stamp& s, bool final) {
        return ticker(index, done, s, final);
    };
    bool completed = without_gil([&] {
        switch (op) {
            case Op::DownloadMany: return multi::download_many(*pool, signer, opt, items, now, tick);
            case Op::Download: return multi::download_one(*pool, signer, opt, items[0], now, tick);
            case Op::Copy:
                return multi::copy_object(*pool, signer, *parts->dst_pool, parts->dst, opt, items[0], parts->dst_key,
                                          headers, parts->whole ? nullptr : &parts->query, parts->first_number,
                                          parts->etags, now, tick);
            case Op::UploadParts:
                return multi::upload_parts(*pool, signer, opt, items[0], headers, parts->query, parts->first_number,
                                           parts->etags, now, tick);
            default: return multi::upload_many(*pool, signer, opt, items, headers, now, tick);
        }
    });
    if (!completed) raise_pending();
    nb::list out;
    for (auto& it : items) {
        if (!it.ok)
            out.append(nb::make_tuple(false, error_tuple(it.error)));
        else if (op == Op::UploadMany)
            out.append(nb::make_tuple(true, str_or_none(it.etag_reply)));
        else if (op == Op::UploadParts || (op == Op::Copy && !parts->whole))
            out.append(nb::make_tuple(true, nb::cast(parts->etags)));
        else if (op == Op::Copy)
            out.append(nb::make_tuple(true, str_or_none(it.etag_reply)));
        else
            out.append(nb::make_tuple(true, it.value));
    }
    // The progress the callback has not heard yet is the caller's to report.
    return nb::make_tuple(out, ticker.called, ticker.reported, ticker.last_index, ticker.done);
}

nb::object native_download(nb::handle transport, nb::tuple config, nb::list items, nb::tuple options,
                           nb::object callback, bool many, long long count, long long total) {
    return run(many ? Op::DownloadMany : Op::Download, transport, config, items, options, callback, count, total, {});
}

nb::object native_upload(nb::handle transport, nb::tuple config, nb::list items, nb::tuple options,
                         nb::object callback, long long count, long long total, nb::list headers) {
    return run(Op::UploadMany, transport, config, items, options, callback, count, total,
               nb::cast<HeaderList>(headers));
}

nb::object native_upload_parts(nb::handle transport, nb::tuple config, nb::tuple item, nb::tuple options,
                               nb::object callback, long long count, nb::list headers, nb::tuple query) {
    Parts parts;
    parts.query.encoded = nb::cast<std::string>(query[0]);
    parts.query.pairs = nb::cast<HeaderList>(query[1]);
    parts.query.number_name = nb::cast<std::string>(query[2]);
    parts.first_number = nb::cast<long long>(query[3]);
    nb::list items;
    items.append(item);
    long long total = nb::cast<long long>(item[2]);
    return run(Op::UploadParts, transport, config, items, options, callback, count, total,
               nb::cast<HeaderList>(headers), &parts);
}

nb::object native_copy(nb::handle transport, nb::tuple config, nb::handle dst_transport, nb::tuple dst_config,
                       nb::tuple item, nb::tuple options, nb::object callback, long long count, nb::list headers,
                       nb::object query) {
    Parts parts;
    parts.whole = query.is_none();
    if (!parts.whole) {
        nb::tuple q = nb::borrow<nb::tuple>(query);
        parts.query.encoded = nb::cast<std::string>(q[0]);
        parts.query.pairs = nb::cast<HeaderList>(q[1]);
        parts.query.number_name = nb::cast<std::string>(q[2]);
        parts.first_number = nb::cast<long long>(q[3]);
    }
    parts.dst_pool = nb::cast<Core&>(getattr(dst_transport, CIRROVA_STR("_pool"))).pool;
    parts.dst = signer_of(dst_config);
    parts.dst_key = nb::cast<std::string>(item[1]);
    // (source key, "" (no local path), size, ETag)
    nb::list items;
    items.append(nb::make_tuple(item[0], "", item[2], item[3], nb::len(item) > 4 ? item[4] : nb::none()));
    long long total = nb::cast<long long>(item[2]);
    return run(Op::Copy, transport, config, items, options, callback, count, total, nb::cast<HeaderList>(headers),
               &parts);
}

}  // namespace

void bind_multi(nb::module_& m) {
    m.def("_native_download", &native_download, nb::arg("transport"), nb::arg("config"), nb::arg("items"),
          nb::arg("options"), nb::arg("callback").none(), nb::arg("many"), nb::arg("count"), nb::arg("total"),
          "cirrova.transfer 的原生下载引擎（内部使用）：一次调用的全部请求在一个事件循环中完成。");
    m.def("_native_upload", &native_upload, nb::arg("transport"), nb::arg("config"), nb::arg("items"),
          nb::arg("options"), nb::arg("callback").none(), nb::arg("count"), nb::arg("total"), nb::arg("headers"),
          "cirrova.transfer 的原生上传引擎（内部使用）：每项一个本地文件，一次 PUT。");
    m.def("_native_upload_parts", &native_upload_parts, nb::arg("transport"), nb::arg("config"), nb::arg("item"),
          nb::arg("options"), nb::arg("callback").none(), nb::arg("count"), nb::arg("headers"), nb::arg("query"),
          "cirrova.transfer 的原生分片上传（内部使用）：一个本地文件的全部分片，由文件直接读出。");
    m.def("_native_copy", &native_copy, nb::arg("transport"), nb::arg("config"), nb::arg("dst_transport"),
          nb::arg("dst_config"), nb::arg("item"), nb::arg("options"), nb::arg("callback").none(), nb::arg("count"),
          nb::arg("headers"), nb::arg("query").none(),
          "cirrova.transfer 的原生复制（内部使用）：按范围读出源对象，经内存作为目标的分片发出。");
}

}  // namespace cirrova::transport
