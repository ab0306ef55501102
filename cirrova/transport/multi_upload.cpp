// Uploads: whole files, the parts of one file, and copies whose parts pass
// through memory from a ranged GET to a PUT.
#include "multi_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/crypto.h"

namespace cirrova::transport::multi {

using namespace detail;

bool upload_many(Pool& pool, const Signer& signer, const Options& opt, std::vector<Item>& items,
                 const HeaderList& headers, Stamp& now, const Tick& tick) {
    std::vector<Object> objects(items.size());
    Loop loop(pool, signer, opt, now, tick);
    loop.origin = origin_of(signer);
    loop.put_headers = &headers;
    size_t next = 0;
    int active = 0;
    auto start_items = [&] {
        while (active < opt.concurrency && next < items.size()) {
            Object& o = objects[next];
            Item& item = items[next];
            o.item = &item;
            o.index = (long long)next;
            ++next;
            o.src = ::open(item.path.c_str(), O_RDONLY | O_CLOEXEC);
            struct stat st;
            if (o.src < 0 || ::fstat(o.src, &st) < 0) {
                item.error = ItemError{};
                item.error.kind = "os";
                item.error.err = errno;
                item.error.text = item.path;
                o.discard();
                continue;
            }
            o.size = st.st_size;
            ++active;
            loop.add(&o, Step::Put, 0, o.size - 1);
        }
    };
    loop.on_done = [&](Req& r, bool ok) {
        Object& o = *r.obj;
        o.item->ok = ok;
        if (ok) {
            o.item->value = o.size;
            loop.progress_index = o.index;
            loop.progress_done += o.size;
        } else {
            o.item->error = r.error;
        }
        o.discard();
        --active;
        start_items();
    };
    start_items();
    bool completed = loop.run();
    for (Object& o : objects) o.discard();
    return completed;
}

bool upload_parts(Pool& pool, const Signer& signer, const Options& opt, Item& item, const HeaderList& headers,
                  const PartQuery& query, long long first_number, std::vector<std::string>& etags, Stamp& now,
                  const Tick& tick) {
    Object o;
    o.item = &item;
    o.src = ::open(item.path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (o.src < 0 || ::fstat(o.src, &st) < 0 || st.st_size != item.size) {
        item.error = ItemError{};
        item.error.kind = o.src < 0 || st.st_size == item.size ? "os" : "size_changed";
        item.error.err = errno;
        item.error.text = item.path;
        item.error.a = item.size;
        item.error.b = o.src < 0 ? 0 : st.st_size;
        o.discard();
        return true;
    }
    o.size = item.size;
    Loop loop(pool, signer, opt, now, tick);
    loop.origin = origin_of(signer);
    loop.put_headers = &headers;
    loop.part_query = &query;
    loop.first_number = first_number;
    long long parts = (o.size + opt.part_size - 1) / opt.part_size, next = 0;
    etags.assign(size_t(parts), std::string());
    bool failed = false;
    auto start_more = [&] {
        while (!failed && o.running < opt.concurrency && next < parts) {
            long long start = next * opt.part_size;
            Req& r = loop.add(&o, Step::Put, start, std::min(start + opt.part_size, o.size) - 1);
            r.part = next++;
        }
    };
    loop.on_done = [&](Req& r, bool ok) {
        if (!ok) return loop.fail(&o, r.error, failed);
        etags[size_t(r.part)] = r.etag;
        loop.progress_index = r.part;
        loop.progress_done += r.end - r.start + 1;
        start_more();
    };
    start_more();
    bool completed = loop.run();
    o.discard();
    item.ok = completed && !failed;
    return completed;
}

bool copy_object(Pool& src_pool, const Signer& src, Pool& dst_pool, const Signer& dst, const Options& opt, Item& item,
                 const std::string& dst_key, const HeaderList& headers, const PartQuery* query, long long first_number,
                 std::vector<std::string>& etags, Stamp& now, const Tick& tick) {
    Object o;
    o.item = &item;
    o.size = item.size;
    if (!item.etag.empty()) o.etag = item.etag;
    bool whole = query == nullptr;
    long long parts = whole ? 1 : (o.size + opt.part_size - 1) / opt.part_size, next = 0;
    // A part's bytes live from its GET to the end of its PUT: at most `concurrency` parts at once. Declared
    // before the loop, so that they outlive every request that points into them.
    std::vector<std::unique_ptr<char[]>> buffers{size_t(parts)};
    Loop loop(src_pool, src, opt, now, tick);
    loop.origin = origin_of(src);
    Signer put_side = dst;
    put_side.url_prefix = dst.put_prefix;
    loop.put_to(dst_pool, dst, origin_of(put_side));
    loop.put_headers = &headers;
    loop.part_query = query;
    loop.first_number = first_number;
    etags.assign(size_t(parts), std::string());
    bool failed = false;
    auto start_more = [&] {
        while (!failed && o.running < opt.concurrency && next < parts) {
            long long index = next++;
            long long start = index * opt.part_size;
            long long end = whole ? o.size - 1 : std::min(start + opt.part_size, o.size) - 1;
            buffers[size_t(index)].reset(new char[size_t(std::max(1LL, end - start + 1))]);
            Req& r = o.size == 0 ? loop.add(&o, Step::Whole, 0, -1) : loop.add(&o, Step::Range, start, end);
            r.part = whole ? -1 : index;
            r.mem = buffers[size_t(index)].get();
        }
    };
    loop.on_done = [&](Req& r, bool ok) {
        if (!ok) return loop.fail(&o, r.error, failed);
        if (r.step != Step::Put) {  // the part is in memory: send it
            if (whole && opt.checksum && !item.md5.empty()) {  // what was read is checked before it is sent
                std::string got = crypto::hex(crypto::md5({r.mem, size_t(o.size)}).view());
                if (got != item.md5) {
                    failed = true;
                    item.error = ItemError{};
                    item.error.kind = "copy_md5";
                    item.error.what = "复制 " + item.key;
                    item.error.text = got;
                    item.error.header = item.md5;
                    loop.cancel(&o);
                    return;
                }
            }
            Req& put = loop.add(&o, Step::Put, r.step == Step::Whole ? 0 : r.start, r.step == Step::Whole ? -1 : r.end);
            put.part = r.part;
            put.mem = r.mem;
            put.key = dst_key;
            return;
        }
        if (r.part >= 0) etags[size_t(r.part)] = r.etag;
        buffers[size_t(std::max(0LL, r.part))].reset();
        loop.progress_index = std::max(0LL, r.part);
        loop.progress_done += r.end - r.start + 1;
        start_more();
    };
    start_more();
    bool completed = loop.run();
    item.ok = completed && !failed;
    return completed;
}

}  // namespace cirrova::transport::multi
