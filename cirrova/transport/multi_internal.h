// The internals of the native transfer engine (see multi.h), shared by its
// units: multi_loop.cpp drives requests on libcurl's multi interface,
// multi_io.cpp holds libcurl's callbacks, multi_reply.cpp judges replies,
// multi_files.cpp the files, and multi_download.cpp / multi_upload.cpp the
// state machines of the calls.
#pragma once

#include <poll.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/crypto.h"
#include "multi.h"

namespace cirrova::transport::multi::detail {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// The bytes of an error reply that its message quotes.
inline constexpr size_t kExcerpt = 300;
inline constexpr size_t kErrorBody = kExcerpt;
// Body bytes held per request before they are written: a small object takes
// one write instead of one per piece libcurl hands over.
inline constexpr size_t kWriteBatch = 256 * 1024;

inline Clock::duration dur(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(Seconds(seconds));
}

// libcurl's milliseconds of a time-out in seconds (-1: none).
inline long millis(double seconds) {
    if (seconds < 0) return 0x7fffffffL;
    double ms = std::ceil(seconds * 1000.0);
    return ms < 1 ? 1 : ms > 0x7fffffff ? 0x7fffffffL : long(ms);
}

// --- replies (multi_reply.cpp) ----------------------------------------------

std::optional<std::string> header(CURL* e, const char* name);
HeaderList all_headers(CURL* e);
inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
// "bytes S-E/T" as the Python path's pattern reads it: (start, end, total;
// total -1 for "*"). Numbers too large to hold never match any range.
struct ContentRange {
    long long start = 0, end = 0, total = -1;
};
std::optional<ContentRange> parse_content_range(const std::optional<std::string>& value);
// Retry-After in seconds (its delta form), capped; -1 when absent or a date.
double retry_after(CURL* e, double cap);
// The Content-Length when it is a number, as the Python path reads it.
std::optional<long long> content_length(CURL* e);
std::string strip_etag(std::string_view s);
// The hex MD5 of the content that a reply states ("" when it states none).
std::string known_md5(CURL* e, const Options& opt);
// The httpx class of a libcurl failure, as the NativeTransport maps it.

// --- files (multi_files.cpp) -------------------------------------------------

// A new temporary file beside `path` (its name in `temp`), opened for
// reading and writing; -1 with `err` set on failure.
int open_temp(const std::string& path, std::string& temp, int& err);
// Adds `length` bytes of `fd` from `start` (fewer when the file ends
// sooner) to `md5`; returns the bytes read, -1 with `err` set on failure.
long long md5_update_file(crypto::Md5& md5, int fd, long long start, long long length, int& err);
// The raw MD5 of such a range; false with `err` set when reading fails.
bool md5_of_file(int fd, long long start, long long length, std::string& raw, int& err);
// All of `data` written at `at`; false with `err` set.
bool write_all(int fd, std::string_view data, long long at, int& err);

// --- requests and objects -----------------------------------------------------

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
    std::string pending;      // body bytes not yet written, from offset pending_at
    long long pending_at = 0;
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
        pending.clear();
        wait = -1;
        error = ItemError{};
        os_err = 0;
        etag.clear();
    }
};

// One object being moved: its temporary file (download) or source file
// (upload) and what is known of it.
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
    int running = 0;
    // The MD5 of the file's first `digested` bytes, taken as they are complete.
    std::unique_ptr<crypto::Md5> digest;
    long long digested = 0;
    int digest_err = 0;

    // Closes the files and removes the temporary one.
    void discard();
    // Digests the file up to `end` (the bytes before it all written), when
    // there is an MD5 to check.
    void digest_upto(long long end);
    // Whether the temporary file holds the content whose MD5 is known (the
    // bytes not digested yet read back now, all writes done).
    bool verify(ItemError& error);
    // Checks, closes and renames the temporary file into place; on failure
    // nothing is left and `error` says why.
    bool commit(ItemError& error);
};

// The temporary file of a download; on failure the item's error is set.
bool open_object(Object& o, Item& item);

inline const std::string& key_of(const Req& r) { return r.key.empty() ? r.obj->item->key : r.key; }
// "下载 key" and the like: what the Python path calls the request in messages.
std::string what_of(const Req& r);
// scheme://host[:port] of the signer's URLs, the pool's key for connections.
std::string origin_of(const Signer& s);

// --- the loop (multi_loop.cpp, multi_io.cpp, multi_reply.cpp) ------------------

// Runs the requests added to it together, each on its own connection from
// the pool, with retries; `on_done` hears each request's final outcome and
// may add more.
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
    bool run();
    void cancel_all();
    // Stops every request of `obj` (its item failed).
    void cancel(Object* obj);
    // Records the first failure of `obj`'s item and stops its other requests.
    void fail(Object* obj, const ItemError& error, bool& failed) {
        if (!failed) obj->item->error = error;
        failed = true;
        cancel(obj);
    }
    // Whether the body of a complete reply has the expected length.
    bool check_length(Req& r);

private:
    // multi_loop.cpp: starting, waiting, acting, collecting.
    void start_ready(Clock::time_point now);
    bool wants_md5() const;
    static bool take_md5(Req& r);
    bool configure(Req& r);
    void detach(Req& r, bool reusable);
    void wait(Clock::time_point last_tick);
    void act();
    static bool sending_body(const Req& r);
    double idle_limit(const Req& r) const;
    void collect();
    double backoff(int attempt);
    bool outcome(Req& r, CURLcode result);

    // multi_reply.cpp: what a reply's head decides.
    bool status_error(Req& r, CURL* e);
    bool decide(Req& r);

    // multi_io.cpp: libcurl's callbacks.
    static int on_connected(void* self, char*, char*, int, int);
    static size_t on_header(char* p, size_t size, size_t n, void* self);
    static size_t on_read(char* buf, size_t size, size_t n, void* self);
    static int on_seek(void* self, curl_off_t offset, int origin);
    static size_t on_body(char* p, size_t size, size_t n, void* self);
    static int on_socket(CURL*, curl_socket_t s, int what, void* userp, void*);
    static int on_timer(CURLM*, long ms, void* userp);
    // Writes the bytes on_body held back; false with r.os_err set.
    static bool flush(Req& r);

    struct Watch {
        Req* req;
        int what;
    };

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

}  // namespace cirrova::transport::multi::detail
