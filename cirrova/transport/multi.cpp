// The event loop of the native transfer engine and the download state
// machines that run on it (see multi.h).
#include "multi.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <list>
#include <random>

#include <openssl/evp.h>
#include <unordered_map>

#include "common/crypto.h"
#include "common/pyutil.h"

namespace cirrova::transport::multi {

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// The bytes of an error reply that its message quotes.
constexpr size_t kExcerpt = 300;
constexpr size_t kErrorBody = kExcerpt;

Clock::duration dur(double seconds) { return std::chrono::duration_cast<Clock::duration>(Seconds(seconds)); }

long millis(double seconds) {
    if (seconds < 0) return 0x7fffffffL;
    double ms = std::ceil(seconds * 1000.0);
    return ms < 1 ? 1 : ms > 0x7fffffff ? 0x7fffffffL : long(ms);
}

// ---------------------------------------------------------------------------
// Reply headers
// ---------------------------------------------------------------------------

std::optional<std::string> header(CURL* e, const char* name) {
    curl_header* h = nullptr;
    if (curl_easy_header(e, name, 0, CURLH_HEADER, -1, &h) != CURLHE_OK || !h) return std::nullopt;
    return std::string(h->value);
}

HeaderList all_headers(CURL* e) {
    HeaderList out;
    curl_header* prev = nullptr;
    while (curl_header* h = curl_easy_nextheader(e, CURLH_HEADER, -1, prev)) {
        out.emplace_back(h->name, h->value);
        prev = h;
    }
    return out;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// "bytes S-E/T" as the Python path's pattern reads it: (start, end, total;
// total -1 for "*"). Numbers too large to hold never match any range.
struct ContentRange {
    long long start = 0, end = 0, total = -1;
};

std::optional<ContentRange> parse_content_range(const std::optional<std::string>& value) {
    if (!value) return std::nullopt;
    std::string_view s = *value;
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    if (!s.starts_with("bytes")) return std::nullopt;
    s.remove_prefix(5);
    if (s.empty() || !is_space(s.front())) return std::nullopt;
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    auto number = [&](long long& out) {
        size_t n = 0;
        out = 0;
        while (n < s.size() && s[n] >= '0' && s[n] <= '9') {
            out = out > (1LL << 58) ? (1LL << 60) : out * 10 + (s[n] - '0');
            ++n;
        }
        s.remove_prefix(n);
        return n > 0;
    };
    ContentRange r;
    if (!number(r.start) || !s.starts_with('-')) return std::nullopt;
    s.remove_prefix(1);
    if (!number(r.end) || !s.starts_with('/')) return std::nullopt;
    s.remove_prefix(1);
    if (s == "*") return r;
    if (!number(r.total) || !s.empty()) return std::nullopt;
    return r;
}

// Retry-After in seconds (its delta form), capped; -1 when absent or a date.
double retry_after(CURL* e, double cap) {
    std::optional<std::string> v = header(e, "Retry-After");
    if (!v) return -1;
    std::string t(trim(*v));
    if (t.empty()) return -1;
    char* end = nullptr;
    double s = std::strtod(t.c_str(), &end);
    if (end != t.c_str() + t.size() || std::isnan(s)) return -1;
    return std::min(std::max(s, 0.0), cap);
}

// The Content-Length when it is a number, as the Python path reads it.
std::optional<long long> content_length(CURL* e) {
    std::optional<std::string> v = header(e, "Content-Length");
    if (!v) return std::nullopt;
    std::string_view t = trim(*v);
    if (t.empty() || t.size() > 18 || !std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return std::stoll(std::string(t));
}

std::string strip_etag(std::string_view s) {
    auto strip = [](char c) { return c == '"' || c == ' '; };
    while (!s.empty() && strip(s.front())) s.remove_prefix(1);
    while (!s.empty() && strip(s.back())) s.remove_suffix(1);
    return std::string(s);
}

// The raw MD5 of `length` bytes of `fd` from `start` (fewer when the file
// ends sooner); false with `err` set when reading fails.
bool md5_of_file(int fd, long long start, long long length, std::string& raw, int& err) {
    crypto::Md5 md5;
    std::vector<char> buf(size_t(std::min<long long>(std::max<long long>(length, 1), 1 << 20)));
    long long done = 0;
    while (done < length) {
        ssize_t got = ::pread(fd, buf.data(), size_t(std::min<long long>(length - done, (long long)buf.size())),
                              off_t(start + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            err = errno;
            return false;
        }
        if (got == 0) break;
        md5.update({buf.data(), size_t(got)});
        done += got;
    }
    raw = std::string(md5.finish().view());
    return true;
}

bool is_hex_md5(std::string_view s) {
    return s.size() == 32 && std::all_of(s.begin(), s.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

// The hex MD5 of the content that a reply states, as the Python path's Service.known_md5 reads it: the
// stored checksum metadata (Base64 of 16 bytes), else an ETag that is a plain MD5; "" when neither tells.
std::string known_md5(CURL* e, const Options& opt) {
    if (std::optional<std::string> stored = opt.md5_header.empty() ? std::nullopt : header(e, opt.md5_header.c_str())) {
        std::string_view t = *stored;
        while (!t.empty() && is_space(t.front())) t.remove_prefix(1);
        while (!t.empty() && is_space(t.back())) t.remove_suffix(1);
        auto b64 = [](char c) { return std::isalnum((unsigned char)c) || c == '+' || c == '/'; };
        if (t.size() == 24 && t.ends_with("==") && std::all_of(t.begin(), t.end() - 2, b64)) {
            unsigned char raw[18];
            if (EVP_DecodeBlock(raw, (const unsigned char*)t.data(), 24) == 18)
                return crypto::hex({(const char*)raw, 16});
        }
    }
    std::string etag = strip_etag(header(e, "ETag").value_or(""));
    if (!opt.etag_is_md5 || !is_hex_md5(etag)) return {};
    std::transform(etag.begin(), etag.end(), etag.begin(), [](char c) { return char(std::tolower(c)); });
    return etag;
}

// The httpx class of a libcurl failure, as the NativeTransport maps it.
const char* transport_class(CURLcode rc, bool connected, long connect_code) {
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
    if (!connected) return rc == CURLE_OPERATION_TIMEDOUT ? "ConnectTimeout" : "ConnectError";
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
        default:
            return "ReadError";
    }
}

// ---------------------------------------------------------------------------
// Temporary files
// ---------------------------------------------------------------------------

// A temporary file beside `path`: "." name "." 12 hex digits ".part", the
// name shortened (at a character boundary) so that the whole fits NAME_MAX.
int open_temp(const std::string& path, std::string& temp, int& err) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    constexpr size_t kExtra = 1 + 1 + 12 + 5;
    size_t room = 255 - kExtra;
    if (name.size() > room) {
        size_t n = room;
        while (n > 0 && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80) --n;
        name.resize(n);
    }
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    for (int tries = 0; tries < 100; ++tries) {
        char hex[13];
        std::snprintf(hex, sizeof hex, "%012llx", (unsigned long long)(rng() & 0xFFFFFFFFFFFFULL));
        temp = dir + "." + name + "." + hex + ".part";
        int fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno == EEXIST) continue;
        if (errno == ENOENT && !dir.empty()) {  // the directory, created as os.makedirs would
            std::string partial;
            for (size_t i = 0; i < dir.size(); ++i) {
                partial += dir[i];
                if ((dir[i] == '/' && i > 0) || i + 1 == dir.size())
                    if (::mkdir(partial.c_str(), 0777) < 0 && errno != EEXIST) {
                        err = errno;
                        temp = partial;
                        return -1;
                    }
            }
            fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) return fd;
            if (errno == EEXIST) continue;
        }
        err = errno;
        return -1;
    }
    err = EEXIST;
    return -1;
}

// ---------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------

enum class Step { First, Range, Whole, Head, Put };
enum class Mode { Discard, Write, Count, Capture };

struct Object;
class Loop;

struct Req {
    Loop* loop = nullptr;
    Object* obj = nullptr;
    Step step = Step::Range;
    long long start = 0, end = -1;  // upload: the bytes of the file sent
    long long part = -1;             // upload: the part's index, -1 for a whole object
    std::string key;                 // when not the object's own key (a copy's destination)
    char* mem = nullptr;             // a copy's part buffer: written by a GET, read by a PUT
    std::string content_md5;         // upload: the body's Base64 MD5, taken once for all attempts
    int attempt = 0;

    std::unique_ptr<Connection> conn;
    curl_slist* slist = nullptr;
    bool added = false;
    Clock::time_point not_before{}, queued{}, last_io{};
    std::optional<Clock::time_point> timer;

    // The reply of the current attempt.
    bool connected = false, head_done = false, stopped = false, over = false;
    long status = 0;
    Mode mode = Mode::Discard;
    long long received = 0, limit = -1, offset = 0;
    long long sent = 0;  // upload: body bytes handed to libcurl
    int sends = 0;       // times libcurl was about to send this attempt
    std::string etag;    // a part's ETag
    std::string body;
    bool failed = false, retry = false;  // decided while the reply arrived
    double wait = -1;                    // Retry-After
    ItemError error;
    int os_err = 0;

    void reset_reply() {
        connected = head_done = stopped = over = failed = retry = false;
        status = 0;
        mode = Mode::Discard;
        received = offset = sent = 0;
        sends = 0;
        limit = -1;
        body.clear();
        wait = -1;
        error = ItemError{};
        os_err = 0;
        etag.clear();
    }
};

// One object being downloaded: its temporary file and what is known of it.
struct Object {
    Item* item = nullptr;
    long long index = 0;
    std::string temp;
    int fd = -1;
    int src = -1;  // upload: the source file
    long long size = -1;
    std::optional<std::string> etag;
    std::string md5;     // download: the content's hex MD5 to check before the rename ("" for none)
    long long next = 0;  // download_many: the next range's start
    std::deque<std::pair<long long, long long>> todo;  // download: ranges not yet started
    int running = 0;
    bool failed = false;

    void discard() {
        if (src >= 0) ::close(src);
        src = -1;
        if (fd >= 0) ::close(fd);
        fd = -1;
        if (!temp.empty()) ::unlink(temp.c_str());
        temp.clear();
    }
    // Whether the temporary file holds the content whose MD5 is known (read back once, all writes done).
    bool verify(ItemError& error) {
        if (md5.empty()) return true;
        std::string raw;
        int err = 0;
        if (!md5_of_file(fd, 0, std::numeric_limits<long long>::max(), raw, err)) {
            error = ItemError{};
            error.kind = "os";
            error.err = err;
            error.text = temp;
            return false;
        }
        std::string got = crypto::hex(raw);
        if (got == md5) return true;
        error = ItemError{};
        error.kind = "md5";
        error.what = "下载 " + item->key;
        error.text = got;
        error.header = md5;
        return false;
    }
    bool commit(ItemError& error) {
        if (!verify(error)) {
            discard();
            return false;
        }
        int fd_ = fd;
        fd = -1;
        if (::close(fd_) < 0 || ::rename(temp.c_str(), item->path.c_str()) < 0) {
            error = ItemError{};
            error.kind = "os";
            error.err = errno;
            error.text = temp;
            ::unlink(temp.c_str());
            temp.clear();
            return false;
        }
        temp.clear();
        return true;
    }
};

const std::string& key_of(const Req& r) { return r.key.empty() ? r.obj->item->key : r.key; }

std::string what_of(const Req& r) {
    const std::string& key = key_of(r);
    switch (r.step) {
        case Step::First:
        case Step::Whole: return "下载 " + key;
        case Step::Head: return "获取 " + key + " 的信息";
        case Step::Put: return r.part < 0 ? "上传 " + key : "上传 " + key + " 的分片 " + std::to_string(r.part + 1);
        case Step::Range: return "下载 " + key + " 的字节 " + std::to_string(r.start) + "-" + std::to_string(r.end);
    }
    return {};
}

// ---------------------------------------------------------------------------
// The loop
// ---------------------------------------------------------------------------

class Loop {
public:
    Loop(Pool& pool, const Signer& signer, const Options& opt, Stamp& now, const Tick& tick)
        : pool_(pool), signer_(signer), opt_(opt), now_(now), tick_(tick), put_pool_(&pool), put_signer_(&signer) {}

    // Uploads go elsewhere (a copy's destination).
    void put_to(Pool& pool, const Signer& signer, std::string put_origin) {
        put_pool_ = &pool;
        put_signer_ = &signer;
        this->put_origin = std::move(put_origin);
    }
    ~Loop() {
        for (auto& r : reqs_) detach(*r, false);
    }

    // Called when a request's last attempt ended; `ok` tells success.
    std::function<void(Req&, bool ok)> on_done;
    long long progress_index = 0, progress_done = 0;
    std::string origin, put_origin;
    const HeaderList* put_headers = nullptr;
    const PartQuery* part_query = nullptr;
    long long first_number = 1;

    Req& add(Object* obj, Step step, long long start, long long end) {
        auto r = std::make_unique<Req>();
        r->loop = this;
        r->obj = obj;
        r->step = step;
        r->start = start;
        r->end = end;
        r->queued = Clock::now();
        ++obj->running;
        reqs_.push_back(std::move(r));
        return *reqs_.back();
    }

    // Runs until no request is left; false when the tick cancelled.
    bool run() {
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

    void cancel_all() {
        for (auto& r : reqs_) detach(*r, false);
        reqs_.clear();
    }

    // Stops every request of `obj` (its item failed).
    void cancel(Object* obj) {
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

private:
    // --- starting ----------------------------------------------------------

    void start_ready(Clock::time_point now) {
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

    bool wants_md5() const {
        return put_headers && std::any_of(put_headers->begin(), put_headers->end(),
                                          [](auto& h) { return h.second == kMd5Slot; });
    }

    // The Base64 MD5 of the request's body, from the copy's buffer or read from the source file.
    static bool take_md5(Req& r) {
        long long length = std::max(0LL, r.end - r.start + 1);
        std::string raw;
        if (r.mem)
            raw = std::string(crypto::md5({r.mem, size_t(length)}).view());
        else if (!md5_of_file(r.obj->src, r.start, length, raw, r.os_err))
            return false;
        r.content_md5 = crypto::base64(raw);
        return true;
    }

    bool configure(Req& r) {
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
    void detach(Req& r, bool reusable) {
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

    // --- waiting and acting -------------------------------------------------

    void wait(Clock::time_point last_tick) {
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

    void act() {
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

    static bool sending_body(const Req& r) {
        return r.step == Step::Put && r.sent < r.end - r.start + 1 && !r.head_done;
    }
    // httpx's write time-out bounds each wait while the body goes out, its read time-out every other.
    double idle_limit(const Req& r) const { return sending_body(r) ? opt_.timeouts.write : opt_.timeouts.read; }

    // Ends the attempts that finished and hands on their outcome.
    void collect() {
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

    double backoff(int attempt) {
        double ceiling = std::min(opt_.backoff_cap, opt_.backoff_base * std::pow(2.0, attempt));
        std::uniform_real_distribution<double> jitter(0, ceiling / 2);
        return ceiling / 2 + jitter(rng_);
    }

    // Settles an attempt that ended: releases its connection and says whether
    // it succeeded; on failure r.error is set and r.retry says if another
    // attempt may help.
    bool outcome(Req& r, CURLcode result) {
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
            r.error.cls = transport_class(result, r.connected, connect_code);
            if (std::string_view(r.error.cls) == "ReadError" && result == CURLE_RECV_ERROR &&
                curl_message.find("hunk") != std::string::npos)
                r.error.cls = "RemoteProtocolError";
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

public:
    // --- the reply ----------------------------------------------------------

    // Whether the body of a complete reply has the expected length.
    bool check_length(Req& r) {
        if (r.step == Step::Put || r.step == Step::Head) return true;
        if (r.over) {  // more than the reply may hold: read no further, try again
            r.error = ItemError{};
            r.error.kind = "too_long";
            r.error.a = r.limit;
            r.retry = true;
            return false;
        }
        if (r.step == Step::First && r.status == 416) return true;
        if (r.limit >= 0) {
            long long expected = r.limit;
            if (r.received != expected) {
                r.error = ItemError{};
                r.error.kind = "short";
                r.error.what = what_of(r);
                r.error.status = r.status;
                r.error.a = r.received;
                r.error.b = expected;
                r.retry = true;
                return false;
            }
        }
        return true;
    }

private:
    // Fails the attempt with a status error; 5xx and 429 may be retried. An error's body explains it and
    // is kept for the message; the body of an unexpected success is not read (false: stop the transfer).
    bool status_error(Req& r, CURL* e) {
        r.failed = true;
        r.error = ItemError{};
        r.error.kind = "status";
        r.error.what = what_of(r);
        r.error.status = r.status;
        r.retry = r.status >= 500 || r.status == 429;
        if (r.retry) r.wait = retry_after(e, opt_.retry_after_cap);
        r.mode = Mode::Capture;
        return r.status >= 300;
    }

    // What to do with the body, decided from the head, as the Python path
    // checks status, Content-Range and ETag before it reads a body. Returns
    // false to stop the transfer at once.
    bool decide(Req& r) {
        CURL* e = r.conn->easy;
        Object& o = *r.obj;
        auto fail = [&](const char* kind) {
            r.failed = true;
            r.error = ItemError{};
            r.error.kind = kind;
            r.error.what = what_of(r);
            r.error.status = r.status;
        };
        switch (r.step) {
            case Step::Put: {
                if (r.status != 200) {
                    return status_error(r, e);
                }
                if (r.part < 0) {
                    o.item->etag_reply = header(e, "ETag");
                } else {
                    r.etag = header(e, "ETag").value_or("");
                    if (r.etag.empty()) fail("no_etag");  // finishing the upload needs it
                }
                r.mode = Mode::Discard;
                return true;
            }
            case Step::Head: {
                if (r.status != 200) {
                    return status_error(r, e);
                }
                std::optional<std::string> length = header(e, "Content-Length");
                bool digits = length && !length->empty() &&
                              std::all_of(length->begin(), length->end(), [](char c) { return c >= '0' && c <= '9'; });
                if (!digits) {
                    fail("no_length");
                    return true;
                }
                long long size = length->size() > 18 ? (1LL << 60) : std::stoll(*length);
                if (opt_.checksum) o.md5 = known_md5(e, opt_);
                if (size != 0) {
                    fail("empty_416");
                    r.error.a = size;
                }
                return true;
            }
            case Step::First: {
                if (r.status == 416) {  // a range of an empty object; its body is not wanted
                    r.mode = Mode::Count;
                    r.limit = kExcerpt;
                    return true;
                }
                if (r.status != 200 && r.status != 206) {
                    return status_error(r, e);
                }
                std::optional<long long> length = content_length(e);
                if (opt_.checksum) o.md5 = known_md5(e, opt_);
                if (r.status == 200) {  // the whole object
                    o.etag.reset();
                    o.size = length.value_or(-1);
                    r.mode = Mode::Write;
                    r.limit = length.value_or(-1);
                    return true;
                }
                std::optional<std::string> value = header(e, "Content-Range");
                std::optional<ContentRange> got = parse_content_range(value);
                if (!got || got->start != 0 || got->total < 0 || got->end != std::min(opt_.span, got->total) - 1 ||
                    (length && *length != got->end + 1)) {
                    fail("first_range");
                    r.error.header = value;
                    r.error.text = length ? std::to_string(*length) : "None";
                    return false;
                }
                o.size = got->total;
                o.etag = header(e, "ETag");
                r.mode = Mode::Write;
                r.limit = got->end + 1;
                return true;
            }
            case Step::Range:
            case Step::Whole: {
                if (r.status == 412) {
                    fail("412");
                    r.error.text = o.etag.value_or("");
                    return false;
                }
                bool whole = r.step == Step::Whole ||
                             (r.start == 0 && r.end == o.size - 1 && r.status == 200);
                long long expected;
                if (whole) {
                    if (r.status != 200) {
                        return status_error(r, e);
                    }
                    expected = o.size;
                } else {
                    if (r.status != 206) {
                        return status_error(r, e);
                    }
                    std::optional<std::string> value = header(e, "Content-Range");
                    std::optional<ContentRange> got = parse_content_range(value);
                    if (!got || got->start != r.start || got->end != r.end ||
                        (got->total != o.size && got->total != -1)) {
                        fail("range");
                        r.error.header = value;
                        r.error.a = r.start;
                        r.error.b = r.end;
                        r.error.c = o.size;
                        return false;
                    }
                    expected = r.end - r.start + 1;
                }
                std::optional<std::string> replied = header(e, "ETag");
                if (o.etag && !o.etag->empty() && replied && !replied->empty() &&
                    strip_etag(*replied) != strip_etag(*o.etag)) {
                    fail("etag");
                    r.error.text = *replied;
                    r.error.header = o.etag;
                    return false;
                }
                std::optional<std::string> length = header(e, "Content-Length");
                if (length && std::string(trim(*length)) != std::to_string(expected)) {
                    fail("length");
                    r.retry = true;
                    r.error.text = *length;
                    r.error.b = expected;
                    return false;
                }
                r.mode = Mode::Write;
                r.limit = expected;
                r.offset = r.step == Step::Whole ? 0 : r.start;
                return true;
            }
        }
        return true;
    }

    // --- libcurl callbacks --------------------------------------------------

    static int on_connected(void* self, char*, char*, int, int) {
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

    static size_t on_header(char* p, size_t size, size_t n, void* self) {
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

    static size_t on_read(char* buf, size_t size, size_t n, void* self) {
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

    static int on_seek(void* self, curl_off_t offset, int origin) {
        auto* r = static_cast<Req*>(self);
        if (origin != SEEK_SET || offset < 0 || offset > r->end - r->start + 1) return CURL_SEEKFUNC_CANTSEEK;
        r->sent = offset;
        return CURL_SEEKFUNC_OK;
    }

    static size_t on_body(char* p, size_t size, size_t n, void* self) {
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
                long long at = r->offset + r->received;
                size_t done = 0;
                if (r->mem) {
                    std::memcpy(r->mem + r->received, p, take);
                    done = take;
                }
                while (done < take) {
                    ssize_t w = ::pwrite(r->obj->fd, p + done, take - done, off_t(at + (long long)done));
                    if (w < 0) {
                        if (errno == EINTR) continue;
                        r->os_err = errno;
                        return 0;
                    }
                    done += size_t(w);
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

    struct Watch {
        Req* req;
        int what;
    };

    static int on_socket(CURL*, curl_socket_t s, int what, void* userp, void*) {
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

    static int on_timer(CURLM*, long ms, void* userp) {
        auto* r = static_cast<Req*>(userp);
        if (ms < 0)
            r->timer.reset();
        else
            r->timer = Clock::now() + std::chrono::milliseconds(ms);
        return 0;
    }

    Pool& pool_of(const Req& r) { return r.step == Step::Put ? *put_pool_ : pool_; }

    Pool& pool_;
    const Signer& signer_;
    const Options& opt_;
    Stamp& now_;
    const Tick& tick_;
    std::list<std::unique_ptr<Req>> reqs_;
    std::unordered_map<curl_socket_t, Watch> watches_;
    std::vector<pollfd> fds_;
    std::mt19937_64 rng_{std::random_device{}()};
    Pool* put_pool_;
    const Signer* put_signer_;
};

std::string origin_of(const Signer& s) {
    std::string_view u = s.url_prefix;
    size_t sep = u.find("://");
    size_t end = u.find('/', sep == std::string_view::npos ? 0 : sep + 3);
    return std::string(u.substr(0, end));
}

bool open_object(Object& o, Item& item) {
    int err = 0;
    o.fd = open_temp(item.path, o.temp, err);
    if (o.fd >= 0) return true;
    item.error = ItemError{};
    item.error.kind = "os";
    item.error.err = err;
    item.error.text = o.temp;
    o.temp.clear();
    return false;
}

}  // namespace

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
        if (!ok) {
            if (!failed) item.error = r.error;
            failed = true;
            loop.cancel(&o);
            return;
        }
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
        if (!ok) {
            if (!failed) item.error = r.error;
            failed = true;
            loop.cancel(&o);
            return;
        }
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
        if (!ok) {
            if (!failed) item.error = r.error;
            failed = true;
            loop.cancel(&o);
            return;
        }
        if (r.step != Step::Range) return;
        long long part = r.start / opt.part_size;
        long long part_end = std::min((part + 1) * opt.part_size, o.size) - 1;
        if (r.end < part_end) {  // the part's next span, in the same slot
            loop.add(&o, Step::Range, r.end + 1, span_at(r.end + 1));
            return;
        }
        loop.progress_index = part;
        loop.progress_done += part_end + 1 - part * opt.part_size;
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
