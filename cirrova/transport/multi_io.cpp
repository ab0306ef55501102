// libcurl's callbacks: connection, reply head and body, upload reads, and
// the sockets and timer that the loop polls.
#include "multi_internal.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace cirrova::transport::multi::detail {

int Loop::on_connected(void* self, char*, char*, int, int) {
    auto* r = static_cast<Req*>(self);
    // libcurl sends again when a reused connection died before any reply: not a PUT, whose
    // server may have acted on it (the transport's rule).
    if (++r->sends > 1 && r->step == Step::Put) {
        r->failed = true;
        r->retry = true;
        r->error = ItemError{};
        r->error.kind = "transport";
        r->error.cls = "RemoteProtocolError";
        r->error.text = "Server disconnected without sending a response.";
        return CURL_PREREQFUNC_ABORT;
    }
    r->connected = true;
    r->last_io = Clock::now();
    return CURL_PREREQFUNC_OK;
}

size_t Loop::on_header(char* p, size_t size, size_t n, void* self) {
    auto* r = static_cast<Req*>(self);
    size_t len = size * n;
    r->last_io = Clock::now();
    std::string_view line(p, len);
    if (line == "\r\n" || line == "\n") {
        long code = 0;
        curl_easy_getinfo(r->conn->easy, CURLINFO_RESPONSE_CODE, &code);
        if (code >= 200) {
            r->head_done = true;
            r->status = code;
            if (!r->loop->decide(*r)) return 0;
        }
    }
    return len;
}

size_t Loop::on_read(char* buf, size_t size, size_t n, void* self) {
    auto* r = static_cast<Req*>(self);
    r->last_io = Clock::now();
    long long left = r->end - r->start + 1 - r->sent;
    size_t want = size_t(std::min<long long>(left, (long long)(size * n)));
    if (want == 0) return 0;
    if (r->mem) {
        std::memcpy(buf, r->mem + r->sent, want);
        r->sent += (long long)want;
        return want;
    }
    for (;;) {
        ssize_t got = ::pread(r->obj->src, buf, want, off_t(r->start + r->sent));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {  // an error, or the file became shorter
            r->os_err = got < 0 ? errno : 0;
            if (got == 0) {
                r->failed = true;
                r->error = ItemError{};
                r->error.kind = "size_changed";
                r->error.a = r->obj->size;
                r->error.b = r->sent;
            }
            return CURL_READFUNC_ABORT;
        }
        r->sent += got;
        return size_t(got);
    }
}

int Loop::on_seek(void* self, curl_off_t offset, int origin) {
    auto* r = static_cast<Req*>(self);
    if (origin != SEEK_SET || offset < 0 || offset > r->end - r->start + 1) return CURL_SEEKFUNC_CANTSEEK;
    r->sent = offset;
    return CURL_SEEKFUNC_OK;
}

size_t Loop::on_body(char* p, size_t size, size_t n, void* self) {
    auto* r = static_cast<Req*>(self);
    size_t len = size * n;
    r->last_io = Clock::now();
    switch (r->mode) {
        case Mode::Discard:
            return len;
        case Mode::Count:
            r->received += (long long)len;
            if (r->limit >= 0 && r->received > r->limit) {
                r->over = true;
                return 0;
            }
            return len;
        case Mode::Capture: {
            size_t take = std::min(len, kErrorBody - r->body.size());
            r->body.append(p, take);
            return r->body.size() >= kErrorBody ? 0 : len;
        }
        case Mode::Write: {
            size_t take = len;
            bool over = false;
            if (r->limit >= 0 && r->received + (long long)len > r->limit) {
                take = size_t(r->limit - r->received);
                over = true;
            }
            if (r->mem) {
                std::memcpy(r->mem + r->received, p, take);
            } else {
                if (r->pending.empty()) {
                    r->pending_at = r->offset + r->received;
                    if (r->limit > 0) r->pending.reserve(size_t(std::min<long long>(r->limit, kWriteBatch)));
                }
                r->pending.append(p, take);
                if (r->pending.size() >= kWriteBatch && !flush(*r)) return 0;
            }
            r->received += (long long)len;
            if (over) {  // more than the range: not read further
                r->over = true;
                return 0;
            }
            return len;
        }
    }
    return len;
}

bool Loop::flush(Req& r) {
    if (r.pending.empty()) return true;
    bool ok = write_all(r.obj->fd, r.pending, r.pending_at, r.os_err);
    r.pending.clear();
    return ok;
}

int Loop::on_socket(CURL*, curl_socket_t s, int what, void* userp, void*) {
    auto* r = static_cast<Req*>(userp);
    Loop* loop = r->loop;
    if (what == CURL_POLL_REMOVE) {
        auto it = loop->watches_.find(s);
        if (it != loop->watches_.end() && it->second.req == r) loop->watches_.erase(it);
    } else {
        loop->watches_[s] = Watch{r, what};
    }
    return 0;
}

int Loop::on_timer(CURLM*, long ms, void* userp) {
    auto* r = static_cast<Req*>(userp);
    if (ms < 0)
        r->timer.reset();
    else
        r->timer = Clock::now() + std::chrono::milliseconds(ms);
    return 0;
}

}  // namespace cirrova::transport::multi::detail
