// The event loop: requests started on connections from the pool, driven
// through libcurl's socket interface with one poll, retried with back-off.
#include "multi_internal.h"

#include <algorithm>

#include "common/crypto.h"
#include "common/pyutil.h"

namespace cirrova::transport::multi::detail {

// Runs until no request is left; false when the tick cancelled.
bool Loop::run() {
    auto last_tick = Clock::now() - dur(1);
    while (!reqs_.empty()) {
        auto now = Clock::now();
        if (now - last_tick >= dur(kTickSeconds)) {
            last_tick = now;
            if (!tick_(progress_index, progress_done, now_, false)) {
                cancel_all();
                return false;
            }
        }
        start_ready(now);
        wait(last_tick);
        act();
        collect();
    }
    tick_(progress_index, progress_done, now_, true);
    return true;
}

void Loop::cancel_all() {
    for (auto& r : reqs_) detach(*r, false);
    reqs_.clear();
}

// Stops every request of `obj` (its item failed).
void Loop::cancel(Object* obj) {
    for (auto it = reqs_.begin(); it != reqs_.end();) {
        if ((*it)->obj == obj) {
            detach(**it, false);
            --obj->running;
            it = reqs_.erase(it);
        } else {
            ++it;
        }
    }
}

void Loop::start_ready(Clock::time_point now) {
    for (auto& rp : reqs_) {
        Req& r = *rp;
        if (r.added || r.stopped || now < r.not_before) continue;
        if (!r.conn) {
            bool put = r.step == Step::Put;
            r.conn = pool_of(r).acquire(put && !put_origin.empty() ? put_origin : origin, 0.0,
                                        [] { return false; });
            if (!r.conn) {
                if (opt_.timeouts.pool >= 0 && now - r.queued >= dur(opt_.timeouts.pool)) {
                    r.error = ItemError{};
                    r.error.kind = "transport";
                    r.error.cls = "PoolTimeout";
                    r.error.text = "timed out waiting for a free connection";
                    r.stopped = true;
                    r.retry = true;
                }
                continue;
            }
        }
        if (r.step == Step::Put && r.content_md5.empty() && wants_md5() && !take_md5(r)) {
            r.stopped = true;
            continue;
        }
        if (!configure(r)) {
            r.error = ItemError{};
            r.error.kind = "transport";
            r.error.cls = "ReadError";
            r.error.text = "could not start the transfer";
            r.stopped = true;
            continue;
        }
    }
}

bool Loop::wants_md5() const {
    return put_headers && std::any_of(put_headers->begin(), put_headers->end(),
                                      [](auto& h) { return h.second == kMd5Slot; });
}

// The Base64 MD5 of the request's body, from the copy's buffer or read from the source file.
bool Loop::take_md5(Req& r) {
    long long length = std::max(0LL, r.end - r.start + 1);
    std::string raw;
    if (r.mem)
        raw = std::string(crypto::md5({r.mem, size_t(length)}).view());
    else if (!md5_of_file(r.obj->src, r.start, length, raw, r.os_err))
        return false;
    r.content_md5 = crypto::base64(raw);
    return true;
}

bool Loop::configure(Req& r) {
    r.reset_reply();
    bool put = r.step == Step::Put;
    const char* method = r.step == Step::Head ? "HEAD" : put ? "PUT" : "GET";
    HeaderList extra;
    if (put) {
        extra = *put_headers;
        for (auto& h : extra)
            if (h.second == kMd5Slot) h.second = r.content_md5;
    }
    else  // the stored bytes, never decoded
        extra.emplace_back("Accept-Encoding", "identity");
    if (r.step == Step::First) {
        extra.emplace_back("Range", "bytes=0-" + std::to_string(opt_.span - 1));
    } else if (r.step == Step::Range) {
        extra.emplace_back("Range", "bytes=" + std::to_string(r.start) + "-" + std::to_string(r.end));
    }
    if ((r.step == Step::Range || r.step == Step::Whole) && r.obj->etag && !r.obj->etag->empty() &&
        opt_.conditional)
        extra.emplace_back("If-Match", *r.obj->etag);
    std::string url;
    std::vector<std::string> lines;
    long long length = put ? r.end - r.start + 1 : -1;
    (put ? *put_signer_ : signer_).build(method, key_of(r), extra, now_, url, lines, length,
                                         put && r.part >= 0 ? part_query : nullptr, first_number + r.part);
    bool has_accept = false;
    for (auto& l : lines) {
        if (l.size() > 6 && ascii_iequals(std::string_view(l).substr(0, 6), "accept") &&
            (l[6] == ':' || l[6] == ';'))
            has_accept = true;
        r.slist = curl_slist_append(r.slist, l.c_str());
    }
    if (!has_accept) r.slist = curl_slist_append(r.slist, "Accept:");
    r.slist = curl_slist_append(r.slist, "Expect:");
    if (!r.slist) return false;

    CURL* e = r.conn->easy;
    r.conn->error[0] = 0;
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_UPLOAD, length > 0 ? 1L : 0L);
    curl_easy_setopt(e, CURLOPT_NOBODY, r.step == Step::Head ? 1L : 0L);
    curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method);
    curl_easy_setopt(e, CURLOPT_INFILESIZE_LARGE, curl_off_t(length > 0 ? length : -1));
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, r.slist);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Loop::on_header);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &r);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Loop::on_body);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &r);
    curl_easy_setopt(e, CURLOPT_READFUNCTION, length > 0 ? &Loop::on_read : nullptr);
    curl_easy_setopt(e, CURLOPT_READDATA, length > 0 ? &r : nullptr);
    curl_easy_setopt(e, CURLOPT_SEEKFUNCTION, length > 0 ? &Loop::on_seek : nullptr);
    curl_easy_setopt(e, CURLOPT_SEEKDATA, length > 0 ? &r : nullptr);
    curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &Loop::on_connected);
    curl_easy_setopt(e, CURLOPT_PREREQDATA, &r);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, millis(opt_.timeouts.connect));
    const Settings& s = pool_of(r).settings();
    const std::string& proxy = url.starts_with("https:") ? s.proxy_https : s.proxy_http;
    curl_easy_setopt(e, CURLOPT_PROXY, proxy.c_str());
    CURLM* m = r.conn->multi;
    curl_multi_setopt(m, CURLMOPT_SOCKETFUNCTION, &Loop::on_socket);
    curl_multi_setopt(m, CURLMOPT_SOCKETDATA, &r);
    curl_multi_setopt(m, CURLMOPT_TIMERFUNCTION, &Loop::on_timer);
    curl_multi_setopt(m, CURLMOPT_TIMERDATA, &r);
    r.last_io = Clock::now();
    if (curl_multi_add_handle(m, e) != CURLM_OK) return false;
    r.added = true;
    return true;
}

// Takes the request off its connection and gives the connection back.
void Loop::detach(Req& r, bool reusable) {
    if (r.conn) {
        CURLM* m = r.conn->multi;
        // The pool looks at an idle connection's socket before it hands it out again.
        r.conn->socket = CURL_SOCKET_BAD;
        if (reusable) curl_easy_getinfo(r.conn->easy, CURLINFO_ACTIVESOCKET, &r.conn->socket);
        if (r.added) curl_multi_remove_handle(m, r.conn->easy);
        curl_multi_setopt(m, CURLMOPT_SOCKETFUNCTION, nullptr);
        curl_multi_setopt(m, CURLMOPT_SOCKETDATA, nullptr);
        curl_multi_setopt(m, CURLMOPT_TIMERFUNCTION, nullptr);
        curl_multi_setopt(m, CURLMOPT_TIMERDATA, nullptr);
        CURL* e = r.conn->easy;
        curl_easy_setopt(e, CURLOPT_HTTPHEADER, nullptr);
        curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, nullptr);
        curl_easy_setopt(e, CURLOPT_PREREQDATA, nullptr);
        curl_easy_setopt(e, CURLOPT_HEADERDATA, nullptr);
        curl_easy_setopt(e, CURLOPT_WRITEDATA, nullptr);
        curl_easy_setopt(e, CURLOPT_READDATA, nullptr);
        curl_easy_setopt(e, CURLOPT_SEEKFUNCTION, nullptr);
        curl_easy_setopt(e, CURLOPT_SEEKDATA, nullptr);
        pool_of(r).release(std::move(r.conn), reusable);
    }
    for (auto it = watches_.begin(); it != watches_.end();)
        it = it->second.req == &r ? watches_.erase(it) : std::next(it);
    r.added = false;
    r.timer.reset();
    curl_slist_free_all(r.slist);
    r.slist = nullptr;
}

void Loop::wait(Clock::time_point last_tick) {
    auto now = Clock::now();
    auto deadline = last_tick + dur(kTickSeconds);
    for (auto& r : reqs_) {
        if (r->timer) deadline = std::min(deadline, *r->timer);
        if (!r->added && !r->stopped) deadline = std::min(deadline, std::max(r->not_before, now));
        double limit = idle_limit(*r);
        if (r->added && limit >= 0) deadline = std::min(deadline, r->last_io + dur(limit));
    }
    fds_.clear();
    for (auto& [fd, w] : watches_) {
        short ev = 0;
        if (w.what & CURL_POLL_IN) ev |= POLLIN;
        if (w.what & CURL_POLL_OUT) ev |= POLLOUT;
        fds_.push_back(pollfd{fd, ev, 0});
    }
    long ms = deadline <= now ? 0
                              : long(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()) + 1;
    ::poll(fds_.data(), fds_.size(), int(ms));
}

void Loop::act() {
    int running = 0;
    for (pollfd& p : fds_) {
        if (!p.revents) continue;
        auto it = watches_.find(p.fd);
        if (it == watches_.end()) continue;
        int ev = 0;
        if (p.revents & (POLLIN | POLLHUP)) ev |= CURL_CSELECT_IN;
        if (p.revents & POLLOUT) ev |= CURL_CSELECT_OUT;
        if (p.revents & (POLLERR | POLLNVAL)) ev |= CURL_CSELECT_ERR;
        curl_multi_socket_action(it->second.req->conn->multi, p.fd, ev, &running);
    }
    auto now = Clock::now();
    for (auto& r : reqs_) {
        if (!r->added) continue;
        if (r->timer && *r->timer <= now) {
            r->timer.reset();
            curl_multi_socket_action(r->conn->multi, CURL_SOCKET_TIMEOUT, 0, &running);
        }
        double limit = idle_limit(*r);
        if (r->added && r->connected && limit >= 0 && now - r->last_io >= dur(limit) && !r->failed) {
            bool sending = sending_body(*r);
            r->error = ItemError{};
            r->error.kind = "transport";
            r->error.cls = sending ? "WriteTimeout" : "ReadTimeout";
            r->error.text = sending ? "timed out while sending data to the host"
                                    : "timed out while receiving data from the host";
            r->retry = true;
            r->stopped = true;
        }
    }
}

bool Loop::sending_body(const Req& r) {
    return r.step == Step::Put && r.sent < r.end - r.start + 1 && !r.head_done;
}

// httpx's write time-out bounds each wait while the body goes out, its read time-out every other.
double Loop::idle_limit(const Req& r) const { return sending_body(r) ? opt_.timeouts.write : opt_.timeouts.read; }

// Ends the attempts that finished and hands on their outcome.
void Loop::collect() {
    for (auto it = reqs_.begin(); it != reqs_.end();) {
        Req& r = **it;
        bool ended = r.stopped;
        CURLcode result = CURLE_OK;
        if (r.added && !ended) {
            int left = 0;
            while (CURLMsg* m = curl_multi_info_read(r.conn->multi, &left)) {
                if (m->msg == CURLMSG_DONE) {
                    ended = true;
                    result = m->data.result;
                }
            }
        }
        if (!ended) {
            ++it;
            continue;
        }
        bool ok = outcome(r, result);
        if (!ok && r.retry && r.attempt + 1 < opt_.attempts) {
            double delay = backoff(r.attempt);
            r.attempt += 1;
            r.not_before = Clock::now() + dur(r.wait < 0 ? delay : std::max(r.wait, delay));
            r.queued = r.not_before;
            r.stopped = false;
            ++it;
            continue;
        }
        Object* obj = r.obj;
        std::unique_ptr<Req> done = std::move(*it);
        it = reqs_.erase(it);
        --obj->running;
        on_done(*done, ok);  // may add requests, or cancel those of obj
        // The list changed: start over; requests already looked at have nothing new.
        it = reqs_.begin();
    }
}

double Loop::backoff(int attempt) {
    double ceiling = std::min(opt_.backoff_cap, opt_.backoff_base * std::pow(2.0, attempt));
    std::uniform_real_distribution<double> jitter(0, ceiling / 2);
    return ceiling / 2 + jitter(rng_);
}

// Settles an attempt that ended: releases its connection and says whether
// it succeeded; on failure r.error is set and r.retry says if another
// attempt may help.
bool Loop::outcome(Req& r, CURLcode result) {
    CURL* e = r.conn ? r.conn->easy : nullptr;
    bool complete = r.added && !r.stopped && result == CURLE_OK && r.head_done && !r.failed && !r.over;
    long connect_code = 0;
    std::string curl_message;
    if (e && result != CURLE_OK) {
        curl_easy_getinfo(e, CURLINFO_HTTP_CONNECTCODE, &connect_code);
        curl_message = r.conn->error[0] ? r.conn->error : curl_easy_strerror(result);
    }
    if (r.failed && r.error.kind == "status" && e) {
        r.error.headers = all_headers(e);
        r.error.body = r.body;
    }
    detach(r, complete);
    if (complete)
        flush(r);  // the last bytes, before anything reads the file or renames it
    else
        r.pending.clear();
    if (r.os_err) {
        r.error = ItemError{};
        r.error.kind = "os";
        r.error.err = r.os_err;
        r.error.text = r.step == Step::Put ? r.obj->item->path : r.obj->temp;
        r.retry = false;
        return false;
    }
    if (r.failed || r.stopped) return false;
    if (r.over) return check_length(r);
    if (result != CURLE_OK) {
        r.error = ItemError{};
        r.error.kind = "transport";
        r.error.cls = curl_failure_class(result, r.connected, connect_code, r.head_done, curl_message);
        r.error.text = curl_message;
        r.retry = true;
        return false;
    }
    if (!r.head_done) {
        r.error = ItemError{};
        r.error.kind = "transport";
        r.error.cls = "RemoteProtocolError";
        r.error.text = "Server disconnected without sending a response.";
        r.retry = true;
        return false;
    }
    return r.loop->check_length(r);
}

std::string origin_of(const Signer& s) {
    std::string_view u = s.url_prefix;
    size_t sep = u.find("://");
    size_t end = u.find('/', sep == std::string_view::npos ? 0 : sep + 3);
    return std::string(u.substr(0, end));
}

}  // namespace cirrova::transport::multi::detail
