#include "engine.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <string_view>
#include <thread>

namespace cirrova::transport {

namespace {

// libcurl's receive buffer; bigger reads mean fewer callbacks per MiB.
constexpr long kReceiveBuffer = 512 * 1024;
constexpr long kUploadBuffer = 512 * 1024;
// A body read returns what has arrived once no byte came for this long, or
// once its first byte has waited this long: a slow stream is delivered as it
// comes, while a body at full speed still fills whole chunks.
constexpr auto kQuiet = std::chrono::milliseconds(20);
constexpr auto kMaxHold = std::chrono::milliseconds(500);

bool starts_with_ci(std::string_view line, std::string_view lower_name) {
    if (line.size() <= lower_name.size()) return false;
    for (size_t i = 0; i < lower_name.size(); ++i) {
        char c = line[i];
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        if (c != lower_name[i]) return false;
    }
    char sep = line[lower_name.size()];
    return sep == ':' || sep == ';';
}

long millis(double seconds) {
    if (seconds < 0) return 0x7fffffffL;  // no bound (0 would mean libcurl's 300 s)
    double ms = std::ceil(seconds * 1000.0);
    return ms < 1 ? 1 : ms > 0x7fffffff ? 0x7fffffffL : long(ms);
}

std::atomic<SignalCheck> g_signal_check{nullptr};

}  // namespace

const char* curl_failure_class(CURLcode rc, bool connected, long connect_code, bool head_done,
                               std::string_view message) {
    switch (rc) {
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
            return connected ? "RemoteProtocolError" : "UnsupportedProtocol";
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_PROXY:
            return "ProxyError";
        default:
            break;
    }
    if (connect_code >= 300) return "ProxyError";
    // Refused, unresolved, TLS handshake or verification.
    if (!connected) return rc == CURLE_OPERATION_TIMEDOUT ? "ConnectTimeout" : "ConnectError";
    // libcurl refuses a response header past its limit (as httpx does past its own) as out of memory; 8.6 and
    // later say CURLE_TOO_LARGE (100), compared as a number since the build's headers may be older.
    if ((!head_done && rc == CURLE_OUT_OF_MEMORY) || static_cast<int>(rc) == 100) return "RemoteProtocolError";
    switch (rc) {
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_BAD_CONTENT_ENCODING:
            return "RemoteProtocolError";
        case CURLE_SEND_ERROR:
            return "WriteError";
        case CURLE_OPERATION_TIMEDOUT:
            return "ReadTimeout";
        case CURLE_RECV_ERROR:
            // libcurl reports a malformed chunked body as a receive error.
            return message.find("hunk") != std::string_view::npos ? "RemoteProtocolError" : "ReadError";
        default:
            return "ReadError";
    }
}

void set_signal_check(SignalCheck check) { g_signal_check.store(check); }

// ---------------------------------------------------------------------------
// Connection
// ---------------------------------------------------------------------------

Connection::Connection(const Settings& s) : pid(getpid()) {
    multi = curl_multi_init();
    easy = curl_easy_init();
    if (!multi || !easy) {
        if (easy) curl_easy_cleanup(easy);
        if (multi) curl_multi_cleanup(multi);
        throw std::bad_alloc();
    }
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, 1L);
    CURL* e = easy;
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, s.http2 ? CURL_HTTP_VERSION_2TLS : CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kReceiveBuffer);
    curl_easy_setopt(e, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBuffer);
    curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(e, CURLOPT_TCP_NODELAY, 1L);
    if (s.keepalive_seconds >= 0) curl_easy_setopt(e, CURLOPT_MAXAGE_CONN, s.keepalive_seconds);
    if (s.verify) {
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!s.ca_file.empty()) curl_easy_setopt(e, CURLOPT_CAINFO, s.ca_file.c_str());
        if (!s.ca_dir.empty()) curl_easy_setopt(e, CURLOPT_CAPATH, s.ca_dir.c_str());
    } else {
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    if (!s.cert_file.empty()) curl_easy_setopt(e, CURLOPT_SSLCERT, s.cert_file.c_str());
    if (!s.key_file.empty()) curl_easy_setopt(e, CURLOPT_SSLKEY, s.key_file.c_str());
    if (!s.key_password.empty()) curl_easy_setopt(e, CURLOPT_KEYPASSWD, s.key_password.c_str());
    curl_easy_setopt(e, CURLOPT_NOPROXY, s.no_proxy.empty() ? nullptr : s.no_proxy.c_str());
    // The caller's headers go to the origin only, never into a CONNECT; to a
    // proxy libcurl adds nothing of its own either.
    curl_easy_setopt(e, CURLOPT_HEADEROPT, CURLHEADER_SEPARATE);
    proxy_headers = curl_slist_append(nullptr, "Proxy-Connection:");
    if (!proxy_headers) {
        curl_easy_cleanup(easy);
        curl_multi_cleanup(multi);
        throw std::bad_alloc();
    }
    curl_easy_setopt(e, CURLOPT_PROXYHEADER, proxy_headers);
}

Connection::~Connection() {
    if (easy) curl_easy_cleanup(easy);
    if (multi) curl_multi_cleanup(multi);
    curl_slist_free_all(proxy_headers);
}

bool Connection::unfit_for_reuse() const {
    if (socket == CURL_SOCKET_BAD) return false;
    pollfd p{socket, POLLIN | POLLRDHUP, 0};
    return ::poll(&p, 1, 0) != 0;  // readable means bytes or end of stream; an error counts too
}

void Connection::abandon() {
    easy = nullptr;
    multi = nullptr;
}

// ---------------------------------------------------------------------------
// Pool
// ---------------------------------------------------------------------------

Pool::Pool(Settings s) : settings_(std::move(s)), pid_(getpid()) {}

Pool::~Pool() {
    std::lock_guard lk(mu_);
    if (getpid() != pid_) forget_parent_locked();
    idle_.clear();
}

void Pool::forget_parent_locked() {
    for (auto& c : idle_) c->abandon();
    idle_.clear();
    active_ = 0;
    ++generation_;
    pid_ = getpid();
}

std::unique_ptr<Connection> Pool::acquire(const std::string& origin, double timeout,
                                          const std::function<bool()>& stop) {
    std::unique_ptr<Connection> c;
    std::unique_lock lk(mu_);
    if (getpid() != pid_) forget_parent_locked();
    auto free_slot = [&] { return settings_.max_connections < 0 || active_ < settings_.max_connections; };
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(timeout < 0 ? 0 : timeout));
    while (!free_slot()) {
        auto now = Clock::now();
        if (timeout >= 0 && now >= deadline) return nullptr;
        auto slice = now + kWaitSlice;
        freed_.wait_until(lk, timeout >= 0 ? std::min(slice, deadline) : slice);
        if (free_slot()) break;
        lk.unlock();
        bool stopping = stop();  // may take the interpreter lock: never under the pool's
        lk.lock();
        if (stopping) return nullptr;
    }
    ++active_;
    // The most recently used connection to the same origin, else any idle
    // one (libcurl replaces its connection), else a new one. One with unread
    // bytes or closed by the server is dropped.
    std::vector<std::unique_ptr<Connection>> unfit;
    while (!c && !idle_.empty()) {
        auto same = std::find_if(idle_.rbegin(), idle_.rend(), [&](auto& p) { return p->origin == origin; });
        if (same != idle_.rend()) {
            c = std::move(*same);
            idle_.erase(std::next(same).base());
        } else {
            c = std::move(idle_.front());
            idle_.erase(idle_.begin());
        }
        if (c->unfit_for_reuse()) unfit.push_back(std::move(c));
    }
    long generation = generation_;
    lk.unlock();
    unfit.clear();  // closed outside the lock
    if (!c) {
        try {
            c = std::make_unique<Connection>(settings_);
        } catch (...) {
            lk.lock();
            --active_;
            freed_.notify_one();
            throw;
        }
    }
    c->origin = origin;
    c->generation = generation;
    return c;
}

void Pool::release(std::unique_ptr<Connection> c, bool reusable) {
    if (!c) return;
    std::unique_lock lk(mu_);
    if (getpid() != pid_) forget_parent_locked();
    if (c->pid != pid_) {  // the parent's connection, seen in a forked child
        c->abandon();
        return;
    }
    --active_;
    bool keep = reusable && c->generation == generation_ &&
                (settings_.max_keepalive < 0 || long(idle_.size()) < settings_.max_keepalive);
    if (keep) idle_.push_back(std::move(c));
    freed_.notify_one();
    lk.unlock();
    c.reset();  // closes a connection not kept, outside the lock
}

void Pool::close() {
    std::vector<std::unique_ptr<Connection>> closing;
    {
        std::lock_guard lk(mu_);
        if (getpid() != pid_) forget_parent_locked();
        closing.swap(idle_);
        ++generation_;
    }
}

// ---------------------------------------------------------------------------
// Exchange
// ---------------------------------------------------------------------------

Exchange::Exchange(std::shared_ptr<Pool> pool, Request req, std::unique_ptr<BodySource> body)
    : pool_(std::move(pool)),
      req_(std::move(req)),
      body_(std::move(body)),
      next_signal_check_(Clock::now() + kWaitSlice) {}

Exchange::~Exchange() { release(); }

void Exchange::fail(Failure f) {
    if (failure_ == Failure::None) failure_ = f;
    done_ = true;
}

std::string Exchange::message() const {
    switch (failure_) {
        case Failure::PoolTimeout: return "timed out waiting for a free connection";
        case Failure::ConnectTimeout: return message_.empty() ? "timed out while connecting" : message_;
        case Failure::ReadTimeout: return "timed out while receiving data from the host";
        case Failure::WriteTimeout: return "timed out while sending data to the host";
        case Failure::Closed: return "the response stream was closed while being read";
        case Failure::ShortBody: return "Too little data for declared Content-Length";
        case Failure::LongBody: return "Too much data for declared Content-Length";
        case Failure::Dropped: return "Server disconnected without sending a response.";
        default: return message_;
    }
}

bool Exchange::configure() {
    CURL* e = conn_->easy;
    conn_->error[0] = 0;
    bool has_accept = false, has_expect = false;
    for (const std::string& line : req_.header_lines) {
        has_accept = has_accept || starts_with_ci(line, "accept");
        has_expect = has_expect || starts_with_ci(line, "expect");
        curl_slist* next = curl_slist_append(headers_, line.c_str());
        if (!next) return false;
        headers_ = next;
    }
    // libcurl's own request headers are removed unless the caller sent them.
    for (const char* own : {"Accept:", "Expect:"}) {
        if ((own[1] == 'c' && has_accept) || (own[1] == 'x' && has_expect)) continue;
        curl_slist* next = curl_slist_append(headers_, own);
        if (!next) return false;
        headers_ = next;
    }
    bool head = req_.method == "HEAD";
    bool upload = req_.has_body && !head;
    curl_easy_setopt(e, CURLOPT_URL, req_.url.c_str());
    curl_easy_setopt(e, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(e, CURLOPT_UPLOAD, upload ? 1L : 0L);
    if (head) curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, req_.method.c_str());
    curl_easy_setopt(e, CURLOPT_INFILESIZE_LARGE, curl_off_t(upload ? req_.content_length : -1));
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers_);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Exchange::on_header);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Exchange::on_body);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(e, CURLOPT_READFUNCTION, &Exchange::on_read);
    curl_easy_setopt(e, CURLOPT_READDATA, this);
    curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &Exchange::on_connected);
    curl_easy_setopt(e, CURLOPT_PREREQDATA, this);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, millis(req_.timeouts.connect));
    const Settings& s = pool_->settings();
    const std::string& proxy = req_.url.starts_with("https:") ? s.proxy_https : s.proxy_http;
    curl_easy_setopt(e, CURLOPT_PROXY, proxy.c_str());  // "" also stops libcurl reading the environment
    return true;
}

Failure Exchange::interruption() {
    if (abort_ && abort_->load()) return Failure::Closed;
    if (cancelled()) return Failure::Cancelled;
    SignalCheck check = g_signal_check.load(std::memory_order_relaxed);
    if (check) {
        // At most once a slice: the check may take the interpreter lock.
        auto now = Clock::now();
        if (now >= next_signal_check_) {
            next_signal_check_ = now + kWaitSlice;
            if (check()) return Failure::Interrupted;
        }
    }
    return Failure::None;
}

bool Exchange::pause_for(double seconds) {
    auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (;;) {
        if (Failure f = interruption(); f != Failure::None) {
            fail(f);
            return false;
        }
        auto now = Clock::now();
        if (now >= end) return true;
        std::this_thread::sleep_for(std::min<Clock::duration>(end - now, kWaitSlice));
    }
}

bool Exchange::start() {
    if (Failure f = interruption(); f != Failure::None) {
        fail(f);
        return false;
    }
    Failure stopped = Failure::None;
    conn_ = pool_->acquire(req_.origin, req_.timeouts.pool, [&] {
        stopped = interruption();
        return stopped != Failure::None;
    });
    if (!conn_) {
        fail(stopped != Failure::None ? stopped : Failure::PoolTimeout);
        return false;
    }
    if (!configure()) {
        message_ = "out of memory";
        fail(Failure::Curl);
        result_ = CURLE_OUT_OF_MEMORY;
        return false;
    }
    double delay = 0;
    for (int tries = 0;; ++tries) {
        if (attempt()) return true;
        bool connect_failure =
            !connected_ && (failure_ == Failure::ConnectTimeout ||
                            (failure_ == Failure::Curl &&
                             (result_ == CURLE_COULDNT_CONNECT || result_ == CURLE_COULDNT_RESOLVE_HOST)));
        if (!connect_failure || tries >= pool_->settings().retries) return false;
        // Backs off as httpx does: at once, then 0.5 s doubling.
        if (!pause_for(delay)) return false;
        delay = delay == 0 ? 0.5 : delay * 2;
        detach();
        failure_ = Failure::None;
        result_ = CURLE_OK;
        done_ = false;
        message_.clear();
    }
}

bool Exchange::attempt() {
    connected_ = head_done_ = false;
    sends_ = 0;
    content_length_seen_.clear();
    status = 0;
    status_line.clear();
    last_read_ = last_write_ = Clock::now();
    if (curl_multi_add_handle(conn_->multi, conn_->easy) != CURLM_OK) {
        message_ = "could not start the transfer";
        fail(Failure::Curl);
        return false;
    }
    added_ = true;
    pump([this] { return head_done_; });
    if (failure_ != Failure::None) return false;
    if (!head_done_) {
        message_ = "Server disconnected without sending a response.";
        result_ = CURLE_GOT_NOTHING;
        fail(Failure::Curl);
        return false;
    }
    curl_off_t length = -1;
    if (curl_easy_getinfo(conn_->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK) {
        content_length = length;
    }
    // These carry no body whatever their Content-Length says.
    if (req_.method == "HEAD" || status == 204 || status == 304 || status < 200) content_length = 0;
    return true;
}

template <class Stop>
void Exchange::pump(Stop stop, bool early) {
    CURLM* multi = conn_->multi;
    // Signals are looked at only in a wait that lasts: a short exchange never takes the interpreter lock.
    next_signal_check_ = Clock::now() + kWaitSlice;
    while (!done_ && !stop()) {
        if (Failure f = interruption(); f != Failure::None) {
            fail(f);
            return;
        }
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            message_ = "transfer failed";
            fail(Failure::Curl);
            return;
        }
        int left = 0;
        while (CURLMsg* m = curl_multi_info_read(multi, &left)) {
            if (m->msg != CURLMSG_DONE) continue;
            done_ = true;
            result_ = m->data.result;
            if (result_ == CURLE_SEND_FAIL_REWIND && failure_ == Failure::None) {
                // libcurl's retry after a reused connection died, of a body it cannot replay.
                failure_ = Failure::Dropped;
            }
            if (result_ != CURLE_OK && failure_ == Failure::None) {
                failure_ = (result_ == CURLE_OPERATION_TIMEDOUT && !connected_) ? Failure::ConnectTimeout
                                                                               : Failure::Curl;
                message_ = conn_->error[0] ? conn_->error : curl_easy_strerror(result_);
                long code = 0;
                curl_easy_getinfo(conn_->easy, CURLINFO_HTTP_CONNECTCODE, &code);
                connect_code_ = code;
            }
        }
        if (done_ || stop()) return;
        long wait_ms = long(kWaitSlice.count());
        if (early && sink_len_ > 0) {
            auto now = Clock::now();
            auto due = std::min(last_read_ + kQuiet, sink_first_ + kMaxHold);
            if (now >= due) return;
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count() + 1;
            wait_ms = std::min(wait_ms, long(ms));
        }
        if (connected_) {
            // httpx's read and write time-outs bound each wait for progress.
            bool sending = req_.has_body && !body_sent_;
            double limit = sending ? req_.timeouts.write : req_.timeouts.read;
            if (limit >= 0) {
                auto deadline = (sending ? last_write_ : last_read_) +
                                std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(limit));
                auto now = Clock::now();
                if (now >= deadline) {
                    fail(sending ? Failure::WriteTimeout : Failure::ReadTimeout);
                    return;
                }
                auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
                wait_ms = std::min(wait_ms, long(ms));
            }
        }
        curl_multi_poll(multi, nullptr, 0, int(wait_ms), nullptr);
    }
}

size_t Exchange::read_some(char* buf, size_t cap) {
    sink_ = buf;
    sink_cap_ = cap;
    sink_len_ = 0;
    if (!overflow_.empty()) {
        size_t take = std::min(cap, overflow_.size());
        std::memcpy(buf, overflow_.data(), take);
        overflow_.erase(0, take);
        sink_len_ = take;
        sink_first_ = Clock::now();
    }
    if (sink_len_ < sink_cap_ && paused_ && !done_) {
        paused_ = false;
        last_read_ = Clock::now();  // the caller's own pause is no wait for the host
        // May hand over the data held back at once, through on_body.
        if (curl_easy_pause(conn_->easy, CURLPAUSE_CONT) != CURLE_OK) {
            message_ = "could not resume the transfer";
            fail(Failure::Curl);
        }
    }
    if (!done_) {
        last_read_ = std::max(last_read_, Clock::now());
        pump([this] { return sink_len_ == sink_cap_; }, true);
    }
    size_t got = sink_len_;
    sink_ = nullptr;
    sink_cap_ = sink_len_ = 0;
    return got;
}

void Exchange::finish() {
    // Body data still held back means more than the caller expected: the
    // connection is not reused then, and nothing is waited for.
    if (done_ || !conn_ || paused_ || !overflow_.empty()) return;
    pump([this] { return paused_; });
}

bool Exchange::proxy_refused() const { return connect_code_ >= 300; }

void Exchange::detach() {
    if (added_ && conn_) curl_multi_remove_handle(conn_->multi, conn_->easy);
    added_ = false;
}

void Exchange::release() {
    if (!conn_) return;
    bool reusable = done_ && failure_ == Failure::None && result_ == CURLE_OK && overflow_.empty() && !paused_;
    conn_->socket = CURL_SOCKET_BAD;
    long version = 0;
    // An HTTP/2 connection carries frames of its own while idle (libcurl reads them): only an
    // HTTP/1 connection must stay silent until its next request.
    if (reusable && conn_->easy && curl_easy_getinfo(conn_->easy, CURLINFO_HTTP_VERSION, &version) == CURLE_OK &&
        version < CURL_HTTP_VERSION_2_0)
        curl_easy_getinfo(conn_->easy, CURLINFO_ACTIVESOCKET, &conn_->socket);
    detach();
    if (conn_->easy) curl_easy_setopt(conn_->easy, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers_);
    headers_ = nullptr;
    pool_->release(std::move(conn_), reusable);
}

// ---------------------------------------------------------------------------
// libcurl callbacks
// ---------------------------------------------------------------------------

int Exchange::on_connected(void* self, char*, char*, int, int) {
    auto* x = static_cast<Exchange*>(self);
    // A second send in one attempt is libcurl's retry after a reused
    // connection died: only a request that may go twice goes again.
    if (++x->sends_ > 1 && !x->req_.resendable) {
        x->failure_ = Failure::Dropped;
        return CURL_PREREQFUNC_ABORT;
    }
    x->connected_ = true;
    x->last_read_ = x->last_write_ = Clock::now();
    if (!x->req_.has_body) x->body_sent_ = true;
    return CURL_PREREQFUNC_OK;
}

size_t Exchange::on_header(char* p, size_t size, size_t n, void* self) {
    auto* x = static_cast<Exchange*>(self);
    size_t len = size * n;
    x->last_read_ = Clock::now();
    std::string_view line(p, len);
    if (line.starts_with("HTTP/")) {
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
        x->status_line.assign(line);
        x->content_length_seen_.clear();
    } else if (starts_with_ci(line, "content-length")) {
        if (!x->check_content_length(line.substr(line.find(':') + 1))) {
            x->failure_ = Failure::BadResponse;
            return 0;  // libcurl stops the transfer
        }
    } else if (line == "\r\n" || line == "\n") {
        long code = 0;
        curl_easy_getinfo(x->conn_->easy, CURLINFO_RESPONSE_CODE, &code);
        if (code >= 200 || code == 101) {  // an informational head is followed by the real one
            x->head_done_ = true;
            x->status = code;
        }
    }
    return len;
}

bool Exchange::check_content_length(std::string_view value) {
    // As httpx: every comma-separated value of every Content-Length line is
    // the same number.
    for (;;) {
        size_t comma = value.find(',');
        std::string_view v = value.substr(0, comma);
        while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
        while (!v.empty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\r' || v.back() == '\n'))
            v.remove_suffix(1);
        if (v.empty() || v.find_first_not_of("0123456789") != std::string_view::npos) {
            message_ = "bad Content-Length";
            return false;
        }
        if (content_length_seen_.empty()) {
            content_length_seen_.assign(v);
        } else if (content_length_seen_ != v) {
            message_ = "conflicting Content-Length headers";
            return false;
        }
        if (comma == std::string_view::npos) return true;
        value.remove_prefix(comma + 1);
    }
}

size_t Exchange::on_body(char* p, size_t size, size_t n, void* self) {
    auto* x = static_cast<Exchange*>(self);
    size_t len = size * n;
    if (!x->sink_ || x->sink_len_ == x->sink_cap_) {
        // Nobody is reading: libcurl holds the data and stops receiving.
        x->paused_ = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    x->last_read_ = Clock::now();
    if (x->sink_len_ == 0) x->sink_first_ = x->last_read_;
    size_t take = std::min(len, x->sink_cap_ - x->sink_len_);
    std::memcpy(x->sink_ + x->sink_len_, p, take);
    x->sink_len_ += take;
    if (take < len) x->overflow_.append(p + take, len - take);
    x->delivered += (long long)len;
    return len;
}

size_t Exchange::on_read(char* buf, size_t size, size_t n, void* self) {
    auto* x = static_cast<Exchange*>(self);
    size_t cap = size * n;
    x->last_write_ = Clock::now();
    long long declared = x->req_.content_length;
    while (x->piece_left_ == 0) {
        if (x->body_sent_) return 0;
        int r = x->next_piece();
        if (r < 0) return CURL_READFUNC_ABORT;
        if (r == 0) {
            if (declared >= 0 && x->sent_ < declared) {
                x->failure_ = Failure::ShortBody;
                return CURL_READFUNC_ABORT;
            }
            x->body_sent_ = true;
            x->last_read_ = Clock::now();
            return 0;
        }
    }
    if (declared >= 0 && (long long)x->piece_left_ > declared - x->sent_) {
        x->failure_ = Failure::LongBody;
        return CURL_READFUNC_ABORT;
    }
    size_t take = std::min(cap, x->piece_left_);
    std::memcpy(buf, x->piece_, take);
    x->piece_ += take;
    x->piece_left_ -= take;
    x->sent_ += (long long)take;
    if (declared >= 0 && x->sent_ >= declared) {
        // The declared length is sent: the source must have nothing more.
        for (int r; (r = x->next_piece()) != 0;) {
            if (r < 0) return CURL_READFUNC_ABORT;
            if (x->piece_left_) {
                x->failure_ = Failure::LongBody;
                return CURL_READFUNC_ABORT;
            }
        }
        x->body_sent_ = true;
        x->last_read_ = Clock::now();
    }
    return take;
}

int Exchange::next_piece() {
    const char* data = nullptr;
    size_t got = 0;
    int r = body_->next(&data, &got);
    if (r < 0) failure_ = Failure::BodySource;
    piece_ = r > 0 ? data : nullptr;
    piece_left_ = r > 0 ? got : 0;
    return r;
}

}  // namespace cirrova::transport
