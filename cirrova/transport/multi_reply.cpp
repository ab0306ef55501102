// Replies: their headers as the Python path reads them, and what the head of
// each reply decides for its body (status, Content-Range, ETag, length).
#include "multi_internal.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include <openssl/evp.h>

#include "common/crypto.h"
#include "common/pyutil.h"

namespace cirrova::transport::multi::detail {

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

static bool is_hex_md5(std::string_view s) {
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

// Whether the body of a complete reply has the expected length.
bool Loop::check_length(Req& r) {
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

// Fails the attempt with a status error; 5xx and 429 may be retried. An error's body explains it and
// is kept for the message; the body of an unexpected success is not read (false: stop the transfer).
bool Loop::status_error(Req& r, CURL* e) {
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
bool Loop::decide(Req& r) {
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

}  // namespace cirrova::transport::multi::detail
