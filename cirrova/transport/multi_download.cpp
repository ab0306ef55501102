// Downloads: download_many (objects at once, each one's ranges in turn) and
// download_one (one object's parts at once).
#include "multi_internal.h"

#include <algorithm>

namespace cirrova::transport::multi {

using namespace detail;

bool download_many(Pool& pool, const Signer& signer, const Options& opt, std::vector<Item>& items, Stamp& now,
                   const Tick& tick) {
    std::vector<Object> objects(items.size());
    Loop loop(pool, signer, opt, now, tick);
    loop.origin = origin_of(signer);
    size_t next = 0;
    int active = 0;

    auto finish = [&](Object& o, bool ok, const ItemError* error) {
        if (ok) {
            o.item->ok = o.commit(o.item->error);
            o.item->value = o.size;
        } else {
            o.discard();
            o.item->ok = false;
            o.item->error = *error;
        }
        --active;
    };
    auto start_items = [&] {
        while (active < opt.concurrency && next < items.size()) {
            Object& o = objects[next];
            o.item = &items[next];
            o.index = (long long)next;
            ++next;
            if (!open_object(o, *o.item)) continue;
            ++active;
            loop.add(&o, Step::First, 0, opt.span - 1);
        }
    };
    loop.on_done = [&](Req& r, bool ok) {
        Object& o = *r.obj;
        if (!ok) {
            finish(o, false, &r.error);
            start_items();
            return;
        }
        long long got = r.received;
        switch (r.step) {
            case Step::First:
                if (r.status == 416) {
                    loop.add(&o, Step::Head, 0, -1);
                    return;
                }
                if (r.status == 200) o.size = got;
                o.next = got;
                break;
            case Step::Head:
                o.size = 0;
                o.next = 0;
                break;
            default:
                o.next = r.end + 1;
                break;
        }
        loop.progress_index = o.index;
        loop.progress_done += got;
        if (o.next < o.size) {
            loop.add(&o, Step::Range, o.next, std::min(o.next + opt.span, o.size) - 1);
            return;
        }
        finish(o, true, nullptr);
        start_items();
    };
    start_items();
    bool completed = loop.run();
    for (Object& o : objects) o.discard();
    return completed;
}

bool download_one(Pool& pool, const Signer& signer, const Options& opt, Item& item, Stamp& now, const Tick& tick) {
    Object o;
    o.item = &item;
    o.size = item.size;
    o.md5 = item.md5;
    if (!item.etag.empty()) o.etag = item.etag;
    if (!open_object(o, item)) return true;
    Loop loop(pool, signer, opt, now, tick);
    loop.origin = origin_of(signer);
    // As on the Python path: up to `concurrency` parts at once, the spans of each part one after another
    // (so a part that never ends holds one slot, and a failing part is met as soon as it starts).
    long long parts = std::max(1LL, (o.size + opt.part_size - 1) / opt.part_size), next_part = 0;
    int active = 0;
    bool failed = false;
    // With an MD5 to check, each part is read back as soon as it and every part before it are written, while
    // later parts still arrive: little is left to read when the last one lands.
    std::vector<char> written(o.md5.empty() ? 0 : size_t(parts));
    long long in_order = 0;
    auto span_at = [&](long long first) {
        long long part_end = std::min((first / opt.part_size + 1) * opt.part_size, o.size);
        return std::min(first + opt.span, part_end) - 1;
    };
    auto start_more = [&] {
        while (!failed && active < opt.concurrency && next_part < parts && o.size > 0) {
            long long first = next_part++ * opt.part_size;
            ++active;
            loop.add(&o, Step::Range, first, span_at(first));
        }
    };
    loop.on_done = [&](Req& r, bool ok) {
        if (!ok) return loop.fail(&o, r.error, failed);
        if (r.step != Step::Range) return;
        long long part = r.start / opt.part_size;
        long long part_end = std::min((part + 1) * opt.part_size, o.size) - 1;
        if (r.end < part_end) {  // the part's next span, in the same slot
            loop.add(&o, Step::Range, r.end + 1, span_at(r.end + 1));
            return;
        }
        loop.progress_index = part;
        loop.progress_done += part_end + 1 - part * opt.part_size;
        if (!written.empty()) {
            written[size_t(part)] = 1;
            while (in_order < parts && written[size_t(in_order)]) ++in_order;
            o.digest_upto(std::min(in_order * opt.part_size, o.size));
        }
        --active;
        start_more();
    };
    if (o.size == 0)
        loop.add(&o, Step::Whole, 0, -1);
    else
        start_more();
    bool completed = loop.run();
    if (!completed || failed) {
        o.discard();
        item.ok = false;
        return completed;
    }
    item.ok = o.commit(item.error);
    item.value = o.size;
    return true;
}

}  // namespace cirrova::transport::multi
