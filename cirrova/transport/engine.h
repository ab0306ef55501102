// The libcurl side of the native transport: a pool of connections and one
// request/response exchange over a pooled connection. Nothing here touches
// Python except through `BodySource`, whose implementation takes the
// interpreter lock itself; every other call is made with the lock released.
#pragma once

#include <curl/curl.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace cirrova::transport {

using Clock = std::chrono::steady_clock;

// The longest single wait: every wait is cut into slices of this length, and
// between two slices the exchange checks whether it must stop (its stream
// closed, its cancel flag, a signal on the main thread).
constexpr auto kWaitSlice = std::chrono::milliseconds(50);

// The cancel flag of one token, shared by the token and every exchange tied
// to it (the exchange may outlive the token).
struct CancelState {
    std::atomic<bool> cancelled{false};
};

// Asked between two wait slices, without the interpreter lock: true when the
// wait must end because a signal handler raised (its error is kept by the
// implementation). Set once by the Python side; null: never.
using SignalCheck = bool (*)();
void set_signal_check(SignalCheck check);

// The httpx exception class (its name) for a libcurl failure: `connected`
// once the connection to the origin or proxy stood, `connect_code` the
// proxy's CONNECT status, `head_done` once the response head was read,
// `message` libcurl's own words. One mapping for the transport and the engine.
const char* curl_failure_class(CURLcode rc, bool connected, long connect_code, bool head_done,
                               std::string_view message);

// Settings shared by every connection of one transport.
struct Settings {
    bool verify = true;
    std::string ca_file, ca_dir;
    std::string cert_file, key_file, key_password;
    std::string proxy_http, proxy_https;  // "" when direct
    std::string no_proxy;
    bool http2 = false;
    int retries = 0;
    long max_connections = -1;  // -1: unbounded
    long max_keepalive = -1;
    long keepalive_seconds = -1;  // idle connections older than this are not reused
};

// One pooled connection: an easy handle driven through a multi handle of its
// own, whose connection cache keeps the socket open between requests.
struct Connection {
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
    std::string origin;  // scheme://host:port of the last request
    pid_t pid;            // of the process that opened it
    long generation = 0;  // of the pool when taken: close() outdates it
    char error[CURL_ERROR_SIZE] = {};
    curl_slist* proxy_headers = nullptr;
    curl_socket_t socket = CURL_SOCKET_BAD;  // of the kept-alive connection, when idle

    // An idle connection the server has written to (a stray or late reply)
    // or closed: reusing it would hand those bytes to the next request.
    bool unfit_for_reuse() const;

    explicit Connection(const Settings& s);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    // Drops the handles without closing their sockets (a forked child must
    // not shut down its parent's TLS sessions).
    void abandon();
};

class Pool {
public:
    explicit Pool(Settings s);
    ~Pool();
    const Settings& settings() const { return settings_; }

    // A connection for `origin`, preferring an idle one to the same origin.
    // Waits up to `timeout` seconds (< 0: no bound) for a free slot, in
    // slices, between which `stop` may end the wait; null on time-out or
    // stop. Call without the interpreter lock.
    std::unique_ptr<Connection> acquire(const std::string& origin, double timeout,
                                        const std::function<bool()>& stop);
    // Returns a connection; one that is not reusable is closed.
    void release(std::unique_ptr<Connection> c, bool reusable);
    // Closes every idle connection; connections in use close on release.
    void close();

private:
    void forget_parent_locked();  // in a forked child

    Settings settings_;
    std::mutex mu_;
    std::condition_variable freed_;
    std::vector<std::unique_ptr<Connection>> idle_;
    long active_ = 0;
    long generation_ = 0;
    pid_t pid_;
};

enum class Failure {
    None,
    Curl,           // see curl_code()
    PoolTimeout,
    ConnectTimeout,
    ReadTimeout,
    WriteTimeout,
    BodySource,     // the request body raised; the source keeps the error
    Closed,         // the stream was closed while a read was under way
    ShortBody,      // the request body ended before its Content-Length
    LongBody,       // the request body goes on past its Content-Length
    BadResponse,    // the response breaks HTTP framing (see message())
    Dropped,        // the server hung up on a request that may not be sent again
    Cancelled,      // the cancel flag tied to the request was set
    Interrupted,    // a signal handler raised (kept by the signal check)
};

// The request body, pulled piece by piece while curl sends.
class BodySource {
public:
    virtual ~BodySource() = default;
    // Sets the next piece (valid until the following call): 1, or 0 at the
    // end, or -1 when the source failed. Called without the interpreter lock.
    virtual int next(const char** data, size_t* size) = 0;
};

struct Timeouts {
    double connect = -1, read = -1, write = -1, pool = -1;  // seconds, < 0: none
};

struct Request {
    std::string method, url, origin;
    std::vector<std::string> header_lines;  // as libcurl takes them
    bool has_body = false;
    long long content_length = -1;  // -1: chunked
    // libcurl sends a request again when a reused connection dies before any
    // reply: allowed only for idempotent methods without a body.
    bool resendable = false;
    Timeouts timeouts;
};

class Exchange {
public:
    Exchange(std::shared_ptr<Pool> pool, Request req, std::unique_ptr<BodySource> body);
    ~Exchange();
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    // Takes a connection, sends the request and waits for the head of the
    // final response. False on failure.
    bool start();
    // Fills up to `cap` bytes of the body into `buf`. Returns fewer once the
    // socket has gone quiet with some bytes at hand (or the first of them
    // has waited long), at the end of the body, or on failure.
    size_t read_some(char* buf, size_t cap);
    // Runs the transfer to its end (the body already taken whole).
    void finish();
    // Gives the connection back: to the pool after a complete exchange,
    // closed otherwise.
    void release();
    // A flag, owned by the caller, that stops the transfer at its next wait.
    void watch(const std::atomic<bool>* abort) { abort_ = abort; }
    // Ties the exchange to a cancel flag: every wait, now and while the body
    // is read, ends with Failure::Cancelled once it is set.
    void tie(std::shared_ptr<const CancelState> cancel) { cancel_ = std::move(cancel); }
    bool cancelled() const { return cancel_ && cancel_->cancelled.load(); }
    // Fails the exchange as cancelled (the connection is not reused).
    void cancel() { fail(Failure::Cancelled); }

    bool done() const { return done_; }
    bool body_pending() const { return !overflow_.empty() || paused_; }
    Failure failure() const { return failure_; }
    CURLcode curl_code() const { return result_; }
    bool connected() const { return connected_; }
    bool head_done() const { return head_done_; }
    bool proxy_refused() const;
    long connect_code() const { return connect_code_; }  // the proxy's CONNECT status; 0 without one
    std::string message() const;
    BodySource* body_source() { return body_.get(); }

    // The response head.
    long status = 0;
    std::string status_line;  // "HTTP/1.1 200 OK"
    long long content_length = -1;  // of the response body, -1 unknown
    long long delivered = 0;        // body bytes handed out so far
    CURL* easy() const { return conn_ ? conn_->easy : nullptr; }

private:
    static size_t on_header(char* p, size_t size, size_t n, void* self);
    static size_t on_body(char* p, size_t size, size_t n, void* self);
    static size_t on_read(char* buf, size_t size, size_t n, void* self);
    static int on_connected(void* self, char*, char*, int, int);
    // Pulls the next piece of the request body (BodySource::next's result).
    int next_piece();

    bool configure();
    bool attempt();
    // Drives the transfer until `stop()`, the end or a failure; with `early`,
    // also once the body bytes at hand have waited as read_some allows.
    template <class Stop>
    void pump(Stop stop, bool early = false);
    bool check_content_length(std::string_view value);
    void fail(Failure f);
    void detach();
    // Why the current wait must end now, or Failure::None.
    Failure interruption();
    // Sleeps `seconds` in slices; false when interrupted (failure set).
    bool pause_for(double seconds);

    std::shared_ptr<Pool> pool_;
    Request req_;
    std::unique_ptr<BodySource> body_;
    std::unique_ptr<Connection> conn_;
    curl_slist* headers_ = nullptr;
    bool added_ = false;

    // Request body in flight.
    const char* piece_ = nullptr;
    size_t piece_left_ = 0;
    long long sent_ = 0;
    bool body_sent_ = false;

    // Response.
    bool head_done_ = false;
    int sends_ = 0;  // times libcurl was about to send the request on this attempt
    std::string content_length_seen_;  // the response's Content-Length value, once seen
    char* sink_ = nullptr;
    size_t sink_cap_ = 0, sink_len_ = 0;
    Clock::time_point sink_first_;  // when the sink's first byte arrived
    std::string overflow_;
    bool paused_ = false;

    bool connected_ = false;
    bool done_ = false;
    Failure failure_ = Failure::None;
    CURLcode result_ = CURLE_OK;
    std::string message_;
    long connect_code_ = 0;  // a proxy's answer to CONNECT
    Clock::time_point last_read_, last_write_;
    const std::atomic<bool>* abort_ = nullptr;
    std::shared_ptr<const CancelState> cancel_;
    Clock::time_point next_signal_check_{};
};

}  // namespace cirrova::transport
