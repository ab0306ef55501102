#include "korvex.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/crypto.h"
#include "common/input.h"
#include "common/pyutil.h"
#include "common/quote.h"
#include "common/ranged_download.h"
#include "common/timeout.h"
#include "common/xmlns.h"
#include "signing/sigv2.h"
#include "signing/sigv4.h"

using namespace cirrova;

namespace cirrova::korvex {

// --- URL helpers ------------------------------------------------------------

namespace {

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_scheme_char(char c) {
    return is_alpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// urlsplit's clean-up: leading C0 controls and spaces dropped, tab, CR and
// LF removed everywhere.
std::string clean_url(std::string_view url) {
    size_t b = 0;
    while (b < url.size() && (unsigned char)url[b] <= 0x20) ++b;
    std::string out;
    out.reserve(url.size() - b);
    for (char c : url.substr(b))
        if (c != '\t' && c != '\r' && c != '\n') out += c;
    return out;
}

// Length of the scheme of a cleaned URL (0 when it has none).
size_t scheme_length(std::string_view u) {
    size_t colon = u.find(':');
    if (colon == std::string_view::npos || colon == 0 || !is_alpha(u[0])) return 0;
    for (size_t i = 0; i < colon; ++i)
        if (!is_scheme_char(u[i])) return 0;
    return colon;
}

}  // namespace

std::string endpoint_host(std::string_view endpoint) {
    std::string_view rest = endpoint;
    if (rest.starts_with("https://"))
        rest.remove_prefix(8);
    else if (rest.starts_with("http://"))
        rest.remove_prefix(7);
    // Only a leading scheme: nothing else to remove.
    if (rest.find("http") == std::string_view::npos) return std::string(rest);
    return replace_all(replace_all(endpoint, "https://"), "http://");
}

std::string url_scheme(std::string_view url) {
    std::string u = clean_url(url);
    return ascii_lower(std::string_view(u).substr(0, scheme_length(u)));
}

std::string_view before_scheme_sep(std::string_view url) {
    size_t sep = url.find("://");
    return sep == std::string_view::npos ? url : url.substr(0, sep);
}

UrlParts split_url(std::string_view url) {
    // Works on the URL as built by this client (no tab, CR or LF added).
    size_t b = 0;
    while (b < url.size() && (unsigned char)url[b] <= 0x20) ++b;
    std::string_view u = url.substr(b);
    size_t sl = scheme_length(u);
    if (sl) u = u.substr(sl + 1);
    UrlParts parts;
    if (u.starts_with("//")) {
        size_t end = u.find_first_of("/?#", 2);
        if (end == std::string_view::npos) end = u.size();
        parts.netloc = u.substr(2, end - 2);
        u = u.substr(end);
    }
    size_t end = u.find_first_of("?#");
    parts.path = end == std::string_view::npos ? u : u.substr(0, end);
    return parts;
}

std::string xml_escape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            case '\r': out += "&#13;"; break;
            default: out += c;
        }
    }
    return out;
}

// --- Python-side helpers ----------------------------------------------------

namespace {

PyObject* g_module = nullptr;  // this module, for the names bound at import

#define NAME(text) CIRROVA_STR(text)

nb::object mod_attr(PyObject* name) { return getattr(g_module, name); }

nb::object new_dict() { return steal_or_throw(PyDict_New()); }

bool nonempty(nb::handle o) { return !o.is_none() && truthy(o); }

// A shallow copy of a non-empty dict, else a new dict.
nb::object copy_or_new(nb::handle headers) {
    if (nonempty(headers)) return steal_or_throw(PyDict_Copy(headers.ptr()));
    return new_dict();
}

// The dict itself when non-empty, else a new dict.
nb::object same_or_new(nb::handle headers) {
    if (nonempty(headers)) return nb::borrow(headers);
    return new_dict();
}

void dict_set(nb::handle d, PyObject* key, nb::handle value) {
    if (PyDict_SetItem(d.ptr(), key, value.ptr()) < 0) raise_current();
}

void item_set(nb::handle m, PyObject* key, nb::handle value) {
    if (PyObject_SetItem(m.ptr(), key, value.ptr()) < 0) raise_current();
}

// Exception(prefix + "<status> <text>"), built as a Python str.
[[noreturn]] void raise_status(const char* prefix, nb::handle resp) {
    nb::object code = getattr(resp, NAME("status_code"));
    nb::object text = getattr(resp, NAME("text"));
    nb::object msg = steal_or_throw(PyUnicode_FromFormat("%s%S %S", prefix, code.ptr(), text.ptr()));
    PyErr_SetObject(PyExc_Exception, msg.ptr());
    throw nb::python_error();
}

// The (name, value) pairs of a dict of strings. `keep` holds references so
// the views stay valid. With `allow_none`, None values give nullopt.
template <class Value>
std::vector<std::pair<std::string_view, Value>> str_pairs(nb::handle d, std::vector<nb::object>& keep,
                                                          const char* what, bool allow_none = false) {
    std::vector<std::pair<std::string_view, Value>> out;
    Py_ssize_t size = PyDict_Size(d.ptr());
    if (size > 0) {
        out.reserve((size_t)size);
        keep.reserve(keep.size() + 2 * (size_t)size);
    }
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d.ptr(), &pos, &k, &v)) {
        keep.push_back(nb::borrow(k));
        keep.push_back(nb::borrow(v));
        if (!PyUnicode_Check(k))
            raise(PyExc_TypeError, std::string(what) + " names must be str, not " + py_type_name(k));
        std::string_view name = utf8(k);
        if (v == Py_None && allow_none) {
            out.emplace_back(name, Value());
            continue;
        }
        if (!PyUnicode_Check(v))
            raise(PyExc_TypeError, std::string(what) + " '" + std::string(name) +
                                       "' has incorrect type (expected str, got " + py_type_name(v) + ")");
        out.emplace_back(name, Value(utf8(v)));
    }
    return out;
}

// Client configuration read from the instance attributes.
using Attr = StrAttr;

bool is_virtual(nb::handle self) {
    nb::object style = getattr(self, NAME("addressing_style"));
    return is_str(style) && utf8(style) == "virtual";
}

bool is_v2(nb::handle self) {
    nb::object v = getattr(self, NAME("signature_version"));
    return is_str(v) && (utf8(v) == kV2Selector || utf8(v) == kV2Name);
}

std::string now_http_date() { return fmt_http_date(utc_now()); }
std::string now_amz_date() { return fmt_amz_date(utc_now()); }

// Object URL by the public-URL rules: custom domain, virtual host or path.
std::string object_url(nb::handle self, std::string_view key) {
    std::string quoted = quote_key(key);
    bool custom = truthy(getattr(self, NAME("_custom_domain")));
    if (custom) {
        Attr domain(self, NAME("domain_url"));
        return std::string(domain.view) + "/" + quoted;
    }
    Attr endpoint(self, NAME("endpoint"));
    Attr bucket(self, NAME("bucket"));
    if (is_virtual(self))
        return std::string(before_scheme_sep(endpoint.view)) + "://" + std::string(bucket.view) + "." +
               endpoint_host(endpoint.view) + "/" + quoted;
    return std::string(endpoint.view) + "/" + std::string(bucket.view) + "/" + quoted;
}

nb::object call_request(nb::handle self, nb::handle method, nb::handle url, nb::handle kwargs) {
    nb::object client = getattr(self, NAME("_client"));
    return call_method_kw(client, NAME("request"), {method.ptr(), url.ptr()}, kwargs);
}

// XML reading: ET.fromstring(resp.text) and the namespace prefix "{uri}".
struct Xml {
    nb::object root;
    std::string ns;
};

Xml parse_reply(nb::handle resp) {
    nb::object text = getattr(resp, NAME("text"));
    nb::object fromstring = getattr(mod_attr(NAME("ET")), NAME("fromstring"));
    Xml x;
    x.root = vcall(fromstring, {text.ptr()});
    x.ns = xml_namespace(x.root);
    return x;
}

nb::object path_str(const std::string& ns, std::string_view prefix, std::string_view name) {
    return to_str(std::string(prefix) + ns + std::string(name));
}

nb::object find_all(nb::handle elem, nb::handle path) {
    return call_method(elem, NAME("findall"), {path.ptr()});
}

nb::object find(nb::handle elem, nb::handle path) { return call_method(elem, NAME("find"), {path.ptr()}); }

// The first direct child of `elem` with each of the tags `names` (namespace
// prefixed). Entries stay empty for missing children. Same result as
// elem.find(tag) per tag, in one pass over the children.
template <size_t N>
std::array<nb::object, N> children(nb::handle elem, const std::string& ns, const std::array<std::string_view, N>& names) {
    std::array<std::string, N> tags;
    for (size_t i = 0; i < N; ++i) tags[i] = ns + std::string(names[i]);
    std::array<nb::object, N> found;
    size_t missing = N;
    nb::object it = steal_or_throw(PyObject_GetIter(elem.ptr()));
    while (missing) {
        PyObject* c = PyIter_Next(it.ptr());
        if (!c) break;
        nb::object child = nb::steal(c);
        nb::object tag = getattr(child, NAME("tag"));
        if (!PyUnicode_Check(tag.ptr())) continue;
        std::string_view t = utf8(tag);
        for (size_t i = 0; i < N; ++i) {
            if (!found[i].is_valid() && t == tags[i]) {
                found[i] = child;
                --missing;
                break;
            }
        }
    }
    if (PyErr_Occurred()) raise_current();
    return found;
}

// Element text: `absent` for a missing element, else its text (None when it has none).
nb::object text_or(const nb::object& elem, nb::handle absent) {
    if (!elem.is_valid() || elem.is_none()) return nb::borrow(absent);
    return getattr(elem, NAME("text"));
}

nb::object empty_str() { return nb::borrow(NAME("")); }

}  // namespace

// --- construction and addressing ------------------------------------------

nb::object init(Args& a) {
    auto [access_key, secret_key, bucket, region, internal, endpoint_arg, domain_url, timeout, http_client,
          signature_version, addressing_style] = a.names<11>();
    nb::handle self = a.self;
    setattr(self, NAME("access_key"), access_key);
    setattr(self, NAME("secret_key"), secret_key);
    setattr(self, NAME("bucket"), bucket);
    setattr(self, NAME("region"), region);
    setattr(self, NAME("internal"), internal);
    setattr(self, NAME("default_timeout"), timeout);
    setattr(self, NAME("signature_version"), call_method(signature_version, NAME("lower"), {}));
    setattr(self, NAME("addressing_style"), call_method(addressing_style, NAME("lower"), {}));

    nb::object endpoint;
    if (!endpoint_arg.is_none() && PyUnicode_GetLength(endpoint_arg.ptr()) > 0) {
        std::string_view e = utf8(endpoint_arg);
        size_t n = e.size();
        while (n && e[n - 1] == '/') --n;
        endpoint = n == e.size() ? nb::borrow(endpoint_arg) : nb::object(to_str(e.substr(0, n)));
    } else {
        endpoint = call_method(self, NAME("_get_aws_endpoint"), {region.ptr(), internal.ptr()});
    }
    setattr(self, NAME("endpoint"), endpoint);

    setattr(self, NAME("_custom_domain"), nb::bool_(!domain_url.is_none()));
    if (!domain_url.is_none() && PyUnicode_GetLength(domain_url.ptr()) > 0) {
        std::string_view d = utf8(domain_url);
        size_t n = d.size();
        while (n && d[n - 1] == '/') --n;
        setattr(self, NAME("domain_url"),
                n == d.size() ? nb::borrow(domain_url) : nb::object(to_str(d.substr(0, n))));
    } else {
        setattr(self, NAME("domain_url"), endpoint);
    }

    nb::object client;
    if (http_client.is_none()) {
        nb::object cls = getattr(mod_attr(NAME("httpx")), NAME("Client"));
        client = vcall(cls, {});
    } else {
        client = nb::borrow(http_client);
    }
    setattr(self, NAME("_client"), client);
    return nb::none();
}

nb::object get_aws_endpoint(Args& a) {
    auto [region_arg] = a.names<1>();
    std::string_view region = utf8(region_arg);
    std::string out = "https://";
    out += kHostLabel;
    out += '.';
    if (region != kGlobalRegion) {
        out += region;
        out += '.';
    }
    out += kDomain;
    return to_str(out);
}

// --- signing ----------------------------------------------------------------

nb::object sign_request(Args& a) {
    auto [method, key, headers_arg, query_params, payload_hash, service_level, bucket] = a.names<7>();
    nb::handle self = a.self;
    std::vector<nb::object> keep;
    // Room for the references of both dicts at once.
    keep.reserve(2 * (size_t)std::max<Py_ssize_t>(
                         0, PyDict_Size(headers_arg.ptr()) +
                                (query_params.is_none() ? 0 : PyDict_Size(query_params.ptr()))));
    sigv4::Pairs headers = str_pairs<std::string_view>(headers_arg, keep, "Header");
    sigv4::Pairs query;
    if (!query_params.is_none()) query = str_pairs<std::string_view>(query_params, keep, "Query parameter");

    std::string_view ts = sigv4::header_timestamp(headers);
    std::string now_amz, now_date;
    if (ts.empty() || ts.find('T') == std::string_view::npos) {
        UtcTime now = utc_now();
        now_amz = fmt_amz_date(now);
        now_date = fmt_date_stamp(now);
    }
    sigv4::RequestTime t = sigv4::request_time(headers, now_amz, now_date);

    std::string uri = "/";  // service level: the root
    uri.reserve(3 * utf8(key).size() + 66);  // a bucket name has at most 63 characters
    if (service_level.ptr() != Py_True && is_virtual(self)) {
        append_quoted_key(uri, utf8(key));
    } else if (service_level.ptr() != Py_True) {
        std::string_view bkt = utf8(bucket);
        std::optional<Attr> own;
        if (bkt.empty()) {
            own.emplace(self, NAME("bucket"));
            bkt = own->view;
        }
        uri += bkt;
        uri += '/';
        append_quoted_key(uri, utf8(key));
    }

    Attr access(self, NAME("access_key")), secret(self, NAME("secret_key")), region(self, NAME("region"));
    Attr endpoint(self, NAME("endpoint"));
    std::string host = endpoint_host(endpoint.view);
    sigv4::Credentials cred{access.view, secret.view, region.view, kService};
    sigv4::HeaderRequest req;
    req.method = utf8(method);
    req.uri = uri;
    req.query = &query;
    req.headers = &headers;
    req.payload_hash = utf8(payload_hash);
    req.fallback_host = host;
    return to_str(sigv4::authorization(cred, req, t));
}

nb::object sign_request_v2(Args& a) {
    auto [method, key, headers_arg, query_params, service_level, bucket] = a.names<6>();
    nb::handle self = a.self;
    std::vector<nb::object> keep;
    sigv2::Pairs headers = str_pairs<std::string_view>(headers_arg, keep, "Header");
    sigv2::Params query;
    if (!query_params.is_none())
        query = str_pairs<std::optional<std::string_view>>(query_params, keep, "Query parameter", true);

    // Requests always go to the endpoint (never to a custom domain), and the
    // service reads the bucket from the path or the Host: it is always part
    // of the resource.
    std::string path = "/";
    if (service_level.ptr() != Py_True) {
        std::string_view bkt = utf8(bucket);
        std::optional<Attr> own;
        if (bkt.empty()) {
            own.emplace(self, NAME("bucket"));
            bkt = own->view;
        }
        path += bkt;
        path += '/';
        append_quoted_key(path, utf8(key));
    }
    std::string to_sign = sigv2::string_to_sign(utf8(method), headers, path, query);
    Attr access(self, NAME("access_key")), secret(self, NAME("secret_key"));
    return to_str(sigv2::authorization(access.view, secret.view, to_sign));
}

nb::object presign_url(Args& a) {
    auto [method, key, expires_arg, query_params] = a.names<4>();
    nb::handle self = a.self;
    check_lifetime(expires_arg, kMaxPresignSeconds, "expires");
    UtcTime now = utc_now();
    sigv4::RequestTime t{fmt_amz_date(now), fmt_date_stamp(now)};
    std::string url = object_url(self, utf8(key));
    UrlParts parts = split_url(url);

    std::vector<nb::object> keep;
    sigv4::Pairs extra;
    if (!query_params.is_none()) extra = str_pairs<std::string_view>(query_params, keep, "Query parameter");
    nb::object expires = str_of(expires_arg);

    Attr access(self, NAME("access_key")), secret(self, NAME("secret_key")), region(self, NAME("region"));
    sigv4::Credentials cred{access.view, secret.view, region.view, kService};
    sigv4::PresignRequest req;
    req.method = utf8(method);
    req.path = parts.path;
    req.host = parts.netloc;
    req.expires = utf8(expires);
    req.extra = &extra;
    std::string query = sigv4::presign_query(cred, req, t);
    url += '?';
    url += query;
    return to_str(url);
}

// --- request dispatch -------------------------------------------------------

nb::object request(Args& a) {
    auto [method, key, query] = a.names<3>();
    nb::handle self = a.self;
    nb::dict& kw = a.kwargs();

    nb::object headers;
    PyObject* given = PyDict_GetItemWithError(kw.ptr(), NAME("headers"));
    if (given) {
        headers = nb::borrow(given);
        if (PyDict_DelItem(kw.ptr(), NAME("headers")) < 0) raise_current();
    } else {
        if (PyErr_Occurred()) raise_current();
        headers = new_dict();
    }

    Attr endpoint(self, NAME("endpoint"));
    Attr bucket(self, NAME("bucket"));
    std::string ep_host = endpoint_host(endpoint.view);
    std::string quoted = quote_key(utf8(key));
    std::string url;
    if (is_virtual(self)) {
        std::string host = std::string(bucket.view) + "." + ep_host;
        if (!has_key_ci(headers, NAME("Host"), "host")) item_set(headers, NAME("Host"), to_str(host));
        url = url_scheme(endpoint.view) + "://" + host + "/" + quoted;
    } else {
        url = std::string(endpoint.view) + "/" + std::string(bucket.view) + "/" + quoted;
        if (!has_key_ci(headers, NAME("Host"), "host")) item_set(headers, NAME("Host"), to_str(ep_host));
    }

    nb::object auth;
    if (is_v2(self)) {
        if (!has_key_ci(headers, NAME("Date"), "date")) item_set(headers, NAME("Date"), to_str(now_http_date()));
        auth = call_method(self, NAME("_sign_request_v2"), {method.ptr(), key.ptr(), headers.ptr(), query.ptr()});
    } else {
        if (!has_key_ci(headers, NAME("x-amz-date"), "x-amz-date"))
            item_set(headers, NAME("x-amz-date"), to_str(now_amz_date()));
        if (!has_key_ci(headers, NAME("x-amz-content-sha256"), "x-amz-content-sha256"))
            item_set(headers, NAME("x-amz-content-sha256"), NAME("UNSIGNED-PAYLOAD"));
        auth = call_method(self, NAME("_sign_request"), {method.ptr(), key.ptr(), headers.ptr(), query.ptr()});
    }
    item_set(headers, NAME("Authorization"), auth);

    if (!query.is_none() && PyDict_Size(query.ptr()) > 0) {
        int has = PyDict_Contains(kw.ptr(), NAME("params"));
        if (has < 0) raise_current();
        if (!has) dict_set(kw, NAME("params"), query);
    }
    nb::object default_timeout = getattr(self, NAME("default_timeout"));
    apply_default_timeout(kw, default_timeout);
    body_as_content(kw);
    dict_set(kw, NAME("headers"), headers);
    return call_request(self, method, to_str(url), kw);
}

nb::object get_path_url(Args& a) {
    auto [key] = a.names<1>();
    require_key(key);
    return to_str(object_url(a.self, utf8(key)));
}

nb::object get_shared_url(Args& a) {
    auto [key, expire_time] = a.names<2>();
    require_key(key);
    check_lifetime(expire_time, kMaxPresignSeconds, "expire_time");
    return call_method(a.self, NAME("_presign_url"), {NAME("GET"), key.ptr(), expire_time.ptr()});
}

// --- object operations ------------------------------------------------------

nb::object upload(Args& a) {
    auto [key, data_arg, content_type, content_md5, headers, timeout] = a.names<6>();
    require_key(key);
    require_body(data_arg);
    nb::object extra = copy_or_new(headers);
    if (nonempty(content_type)) set_header_replacing(extra, NAME("Content-Type"), content_type);
    if (nonempty(content_md5)) set_header_replacing(extra, NAME("Content-MD5"), content_md5);
    nb::object data = read_if_readable(data_arg);
    require_body(data);
    if (PyUnicode_Check(data.ptr())) data = steal_or_throw(PyUnicode_AsUTF8String(data.ptr()));
    return call_method(a.self, NAME("_request"), {NAME("PUT"), key.ptr(), data.ptr(), extra.ptr(), timeout.ptr()},
                       CIRROVA_KWNAMES("data", "headers", "timeout"));
}

static nb::object simple(Args& a, PyObject* method) {
    auto [key, headers_arg, timeout] = a.names<3>();
    require_key(key);
    nb::object headers = same_or_new(headers_arg);
    return call_method(a.self, NAME("_request"), {method, key.ptr(), headers.ptr(), timeout.ptr()},
                       CIRROVA_KWNAMES("headers", "timeout"));
}

nb::object download(Args& a) { return simple(a, NAME("GET")); }
nb::object head(Args& a) { return simple(a, NAME("HEAD")); }
nb::object delete_(Args& a) { return simple(a, NAME("DELETE")); }

// --- listing ----------------------------------------------------------------

nb::object list(Args& a) {
    auto [prefix, marker, limit, headers_arg, timeout] = a.names<5>();
    nb::object params = new_dict();
    dict_set(params, NAME("list-type"), NAME("2"));
    dict_set(params, NAME("prefix"), prefix);
    dict_set(params, NAME("max-keys"), str_of(limit));
    if (PyUnicode_GetLength(marker.ptr()) > 0) dict_set(params, NAME("continuation-token"), marker);
    nb::object headers = copy_or_new(headers_arg);
    nb::object resp = call_method(a.self, NAME("_request"),
                                  {NAME("GET"), NAME(""), params.ptr(), headers.ptr(), timeout.ptr()},
                                  CIRROVA_KWNAMES("query_params", "headers", "timeout"));
    // An error document would otherwise read as an empty, complete listing.
    if (status_code(resp) != 200) raise_status("列出对象失败: ", resp);

    Xml x = parse_reply(resp);
    nb::object objects = steal_or_throw(PyList_New(0));
    nb::object contents = find_all(x.root, path_str(x.ns, ".//", "Contents"));
    nb::object it = steal_or_throw(PyObject_GetIter(contents.ptr()));
    static constexpr std::array<std::string_view, 4> kFields = {"Key", "Size", "LastModified", "ETag"};
    while (PyObject* c = PyIter_Next(it.ptr())) {
        nb::object item = nb::steal(c);
        auto f = children(item, x.ns, kFields);
        nb::object entry = new_dict();
        dict_set(entry, NAME("key"), text_or(f[0], NAME("")));
        nb::object size = f[1].is_valid() ? steal_or_throw(PyNumber_Long(getattr(f[1], NAME("text")).ptr()))
                                          : steal_or_throw(PyLong_FromLong(0));
        dict_set(entry, NAME("size"), size);
        dict_set(entry, NAME("last_modified"), text_or(f[2], NAME("")));
        nb::object etag = text_or(f[3], Py_None);
        if (etag.is_none() || !truthy(etag))
            etag = empty_str();
        else
            etag = call_method(etag, NAME("strip"), {NAME("\"")});
        dict_set(entry, NAME("etag"), etag);
        if (PyList_Append(objects.ptr(), entry.ptr()) < 0) raise_current();
    }
    if (PyErr_Occurred()) raise_current();

    nb::object truncated_elem = find(x.root, path_str(x.ns, "", "IsTruncated"));
    bool truncated = false;
    if (!truncated_elem.is_none()) {
        nb::object text = getattr(truncated_elem, NAME("text"));
        truncated = is_str(text) && utf8(text) == "true";
    }
    nb::object result = new_dict();
    dict_set(result, NAME("objects"), objects);
    dict_set(result, NAME("is_truncated"), nb::bool_(truncated));
    if (truncated) {
        nb::object token = find(x.root, path_str(x.ns, "", "NextContinuationToken"));
        dict_set(result, NAME("next_marker"), text_or(token, NAME("")));
    }
    return result;
}

// --- multipart upload -------------------------------------------------------

nb::object initiate_multipart_upload(Args& a) {
    auto [key, content_type, headers_arg, timeout] = a.names<4>();
    require_key(key);
    nb::object params = new_dict();
    dict_set(params, NAME("uploads"), NAME(""));
    nb::object headers = copy_or_new(headers_arg);
    if (nonempty(content_type)) set_header_replacing(headers, NAME("Content-Type"), content_type);
    return call_method(a.self, NAME("_request"),
                       {NAME("POST"), key.ptr(), params.ptr(), headers.ptr(), timeout.ptr()},
                       CIRROVA_KWNAMES("query_params", "headers", "timeout"));
}

nb::object upload_part(Args& a) {
    auto [key, upload_id, part_number, data_arg, content_type, headers_arg, timeout] = a.names<7>();
    require_key(key);
    require_body(data_arg);
    nb::object params = new_dict();
    dict_set(params, NAME("partNumber"), str_of(part_number));
    dict_set(params, NAME("uploadId"), upload_id);
    nb::object data = read_if_readable(data_arg);
    require_body(data);
    nb::object headers = copy_or_new(headers_arg);
    if (PyUnicode_GetLength(content_type.ptr()) > 0)
        set_header_replacing(headers, NAME("Content-Type"), content_type);
    return call_method(a.self, NAME("_request"),
                       {NAME("PUT"), key.ptr(), params.ptr(), data.ptr(), headers.ptr(), timeout.ptr()},
                       CIRROVA_KWNAMES("query_params", "data", "headers", "timeout"));
}

nb::object finish_multipart_upload(Args& a) {
    auto [key, upload_id, etags, new_object, headers_arg, timeout] = a.names<6>();
    require_key(key);
    std::string xml = "<CompleteMultipartUpload>";
    for (Py_ssize_t i = 0; i < PyList_Size(etags.ptr()); ++i) {
        nb::object tag = nb::borrow(PyList_GetItem(etags.ptr(), i));
        if (!tag.is_valid()) raise_current();
        nb::object text = is_str(tag) ? tag : str_of(tag);
        xml += "<Part><PartNumber>";
        xml += std::to_string(i + 1);
        xml += "</PartNumber><ETag>";
        xml += utf8(text);
        xml += "</ETag></Part>";
    }
    xml += "</CompleteMultipartUpload>";
    nb::object params = new_dict();
    dict_set(params, NAME("uploadId"), upload_id);
    nb::object headers = copy_or_new(headers_arg);
    set_header_replacing(headers, NAME("Content-Type"), NAME("application/xml"));
    nb::object body = to_str(xml);
    return call_method(a.self, NAME("_request"),
                       {NAME("POST"), key.ptr(), params.ptr(), body.ptr(), headers.ptr(), timeout.ptr()},
                       CIRROVA_KWNAMES("query_params", "data", "headers", "timeout"));
}

nb::object abort_multipart_upload(Args& a) {
    auto [key, upload_id, headers_arg, timeout] = a.names<4>();
    require_key(key);
    nb::object params = new_dict();
    dict_set(params, NAME("uploadId"), upload_id);
    nb::object headers = same_or_new(headers_arg);
    return call_method(a.self, NAME("_request"),
                       {NAME("DELETE"), key.ptr(), params.ptr(), headers.ptr(), timeout.ptr()},
                       CIRROVA_KWNAMES("query_params", "headers", "timeout"));
}

nb::object multipart_download(Args& a) {
    auto [key, local_path, part_size, callback, timeout] = a.names<5>();
    require_key(key);
    return cirrova::multipart_download(a.self, key, local_path, part_size, callback, timeout);
}

// --- bucket operations ------------------------------------------------------

nb::object bucket_request(Args& a) {
    auto [method, bucket_name, query, data, headers_arg, timeout_arg] = a.names<6>();
    nb::handle self = a.self;
    nb::object bucket =
        PyUnicode_GetLength(bucket_name.ptr()) > 0 ? nb::borrow(bucket_name) : Attr(self, NAME("bucket")).obj;
    Attr endpoint(self, NAME("endpoint"));
    std::string ep_host = endpoint_host(endpoint.view);
    std::string host, url;
    if (is_virtual(self)) {
        host = std::string(utf8(bucket)) + "." + ep_host;
        url = std::string(before_scheme_sep(endpoint.view)) + "://" + host + "/";
    } else {
        host = ep_host;
        url = std::string(endpoint.view) + "/" + std::string(utf8(bucket)) + "/";
    }
    nb::object headers = copy_or_new(headers_arg);
    dict_set(headers, NAME("Host"), to_str(host));

    nb::object auth;
    if (is_v2(self)) {
        if (!has_key_ci(headers, NAME("date"), "date")) dict_set(headers, NAME("Date"), to_str(now_http_date()));
        auth = call_method(self, NAME("_sign_request_v2"),
                           {method.ptr(), NAME(""), headers.ptr(), query.ptr(), bucket.ptr()},
                           CIRROVA_KWNAMES("bucket"));
    } else {
        if (!has_key_ci(headers, NAME("x-amz-date"), "x-amz-date"))
            dict_set(headers, NAME("x-amz-date"), to_str(now_amz_date()));
        if (!has_key_ci(headers, NAME("x-amz-content-sha256"), "x-amz-content-sha256"))
            dict_set(headers, NAME("x-amz-content-sha256"), NAME("UNSIGNED-PAYLOAD"));
        auth = call_method(self, NAME("_sign_request"),
                           {method.ptr(), NAME(""), headers.ptr(), query.ptr(), bucket.ptr()},
                           CIRROVA_KWNAMES("bucket"));
    }
    dict_set(headers, NAME("Authorization"), auth);

    nb::object kw = new_dict();
    dict_set(kw, NAME("headers"), headers);
    dict_set(kw, NAME("content"), data);
    if (!query.is_none() && PyDict_Size(query.ptr()) > 0) dict_set(kw, NAME("params"), query);
    nb::object timeout = choose_timeout(timeout_arg, getattr(self, NAME("default_timeout")));
    if (!timeout.is_none()) dict_set(kw, NAME("timeout"), timeout);
    return call_request(self, method, to_str(url), kw);
}

static nb::object own_or(nb::handle self, nb::handle bucket_name) {
    return PyUnicode_GetLength(bucket_name.ptr()) > 0 ? nb::borrow(bucket_name) : Attr(self, NAME("bucket")).obj;
}

nb::object create_bucket(Args& a) {
    auto [bucket_name] = a.names<1>();
    nb::handle self = a.self;
    nb::object bucket = own_or(self, bucket_name);
    nb::object region = getattr(self, NAME("region"));
    if (nonempty(region) && !is_str(region)) raise_attr_type(NAME("region"), region);
    nb::object data = nb::none();
    nb::object headers = new_dict();
    if (nonempty(region) && !(is_str(region) && utf8(region) == kGlobalRegion)) {
        std::string body = "<CreateBucketConfiguration><LocationConstraint>";
        body += utf8(region);
        body += "</LocationConstraint></CreateBucketConfiguration>";
        data = to_bytes(body);
        dict_set(headers, NAME("Content-Type"), NAME("application/xml"));
    }
    nb::object resp = call_method(self, NAME("_bucket_request"), {NAME("PUT"), bucket.ptr(), data.ptr(), headers.ptr()},
                                  CIRROVA_KWNAMES("data", "headers"));
    long status = status_code(resp);
    if (status != 200 && status != 204) raise_status("创建存储桶失败: ", resp);
    return nb::bool_(true);
}

nb::object delete_bucket(Args& a) {
    auto [bucket_name] = a.names<1>();
    nb::object bucket = own_or(a.self, bucket_name);
    nb::object resp = call_method(a.self, NAME("_bucket_request"), {NAME("DELETE"), bucket.ptr()});
    long status = status_code(resp);
    if (status != 200 && status != 204) raise_status("删除存储桶失败: ", resp);
    return nb::bool_(true);
}

nb::object bucket_exists(Args& a) {
    auto [bucket_name] = a.names<1>();
    nb::object bucket = own_or(a.self, bucket_name);
    nb::object resp = call_method(a.self, NAME("_bucket_request"), {NAME("HEAD"), bucket.ptr()});
    return nb::bool_(status_code(resp) == 200);
}

nb::object list_buckets(Args& a) {
    nb::handle self = a.self;
    Attr endpoint(self, NAME("endpoint"));
    std::string url = std::string(endpoint.view) + "/";
    nb::object headers = new_dict();
    dict_set(headers, NAME("Host"), to_str(endpoint_host(endpoint.view)));
    nb::object auth;
    if (is_v2(self)) {
        dict_set(headers, NAME("Date"), to_str(now_http_date()));
        auth = call_method(self, NAME("_sign_request_v2"), {NAME("GET"), NAME(""), headers.ptr(), Py_None, Py_True},
                           CIRROVA_KWNAMES("service_level"));
    } else {
        dict_set(headers, NAME("x-amz-date"), to_str(now_amz_date()));
        dict_set(headers, NAME("x-amz-content-sha256"), NAME("UNSIGNED-PAYLOAD"));
        auth = call_method(self, NAME("_sign_request"), {NAME("GET"), NAME(""), headers.ptr(), Py_None, Py_True},
                           CIRROVA_KWNAMES("service_level"));
    }
    dict_set(headers, NAME("Authorization"), auth);
    nb::object kw = new_dict();
    dict_set(kw, NAME("headers"), headers);
    nb::object default_timeout = getattr(self, NAME("default_timeout"));
    if (!default_timeout.is_none()) dict_set(kw, NAME("timeout"), default_timeout);
    nb::object resp = call_request(self, NAME("GET"), to_str(url), kw);
    if (status_code(resp) != 200) raise_status("列出存储桶失败: ", resp);

    Xml x = parse_reply(resp);
    nb::object buckets = steal_or_throw(PyList_New(0));
    nb::object found = find_all(x.root, path_str(x.ns, ".//", "Bucket"));
    nb::object it = steal_or_throw(PyObject_GetIter(found.ptr()));
    static constexpr std::array<std::string_view, 2> kFields = {"Name", "CreationDate"};
    while (PyObject* b = PyIter_Next(it.ptr())) {
        nb::object item = nb::steal(b);
        auto f = children(item, x.ns, kFields);
        nb::object entry = new_dict();
        dict_set(entry, NAME("name"), text_or(f[0], NAME("")));
        dict_set(entry, NAME("creation_date"), text_or(f[1], NAME("")));
        if (PyList_Append(buckets.ptr(), entry.ptr()) < 0) raise_current();
    }
    if (PyErr_Occurred()) raise_current();
    return buckets;
}

// --- copy and statistics ----------------------------------------------------

// A copy can fail after its 200 status line was sent: the body is then an
// Error document instead of CopyObjectResult. A body that does not parse is
// not taken as an error.
static bool is_error_document(nb::handle resp) {
    nb::object text = getattr(resp, NAME("text"));
    if (!truthy(text)) return false;
    Xml x;
    try {
        x = parse_reply(resp);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
    nb::object tag = getattr(x.root, NAME("tag"));
    if (!PyUnicode_Check(tag.ptr())) return false;
    std::string_view name = utf8(tag);
    return name.substr(name.rfind('}') + 1) == "Error";
}

nb::object copy_object(Args& a) {
    auto [src_key, dest_key, src_bucket_arg, headers_arg, timeout] = a.names<5>();
    nb::handle self = a.self;
    require_key(src_key, "src_key");
    require_key(dest_key, "dest_key");
    nb::object src_bucket = own_or(self, src_bucket_arg);
    std::string source = "/" + std::string(utf8(src_bucket)) + "/" + quote_path(utf8(src_key));
    nb::object headers = copy_or_new(headers_arg);
    dict_set(headers, NAME("x-amz-copy-source"), to_str(source));
    nb::object resp = call_method(self, NAME("_request"),
                                  {NAME("PUT"), dest_key.ptr(), headers.ptr(), timeout.ptr()},
                                  CIRROVA_KWNAMES("headers", "timeout"));
    if (status_code(resp) != 200 || is_error_document(resp)) raise_status("复制对象失败: ", resp);
    return nb::bool_(true);
}

nb::object get_bucket_stats(Args& a) {
    nb::object objects = call_method(a.self, NAME("iter_objects"), {});
    nb::object it = steal_or_throw(PyObject_GetIter(objects.ptr()));
    nb::object zero = steal_or_throw(PyLong_FromLong(0));
    nb::object total = zero;
    long long count = 0;
    while (PyObject* o = PyIter_Next(it.ptr())) {
        nb::object obj = nb::steal(o);
        ++count;
        nb::object size = call_method(obj, NAME("get"), {NAME("size"), zero.ptr()});
        total = steal_or_throw(PyNumber_Add(total.ptr(), size.ptr()));
    }
    if (PyErr_Occurred()) raise_current();
    nb::object result = new_dict();
    dict_set(result, NAME("object_count"), steal_or_throw(PyLong_FromLongLong(count)));
    dict_set(result, NAME("total_size"), total);
    return result;
}

// --- batch and prefix deletion ----------------------------------------------

nb::object delete_objects(Args& a) {
    auto [keys, timeout] = a.names<2>();
    nb::handle self = a.self;
    constexpr Py_ssize_t kBatch = 1000;
    nb::object deleted = steal_or_throw(PyList_New(0));
    nb::object errors = steal_or_throw(PyList_New(0));
    nb::object all = steal_or_throw(PyList_GetSlice(keys.ptr(), 0, PY_SSIZE_T_MAX));  // stable snapshot
    Py_ssize_t n = PyList_Size(all.ptr());
    static constexpr std::array<std::string_view, 1> kDeletedFields = {"Key"};
    static constexpr std::array<std::string_view, 3> kErrorFields = {"Key", "Code", "Message"};
    for (Py_ssize_t i = 0; i < n; i += kBatch) {
        std::string xml = "<Delete><Quiet>false</Quiet>";
        Py_ssize_t end = i + kBatch < n ? i + kBatch : n;
        for (Py_ssize_t j = i; j < end; ++j) {
            PyObject* k = PyList_GetItem(all.ptr(), j);
            if (!k) raise_current();
            if (!PyUnicode_Check(k))
                raise(PyExc_TypeError, "keys must be str, not " + py_type_name(k));
            xml += "<Object><Key>";
            xml += xml_escape(utf8(k));
            xml += "</Key></Object>";
        }
        xml += "</Delete>";
        nb::object data = to_bytes(xml);
        nb::object headers = new_dict();
        dict_set(headers, NAME("Content-Type"), NAME("application/xml"));
        dict_set(headers, NAME("Content-MD5"), to_str(crypto::base64(crypto::md5(xml))));
        nb::object params = new_dict();
        dict_set(params, NAME("delete"), NAME(""));
        nb::object resp = call_method(
            self, NAME("_bucket_request"),
            {NAME("POST"), NAME(""), params.ptr(), data.ptr(), headers.ptr(), timeout.ptr()},
            CIRROVA_KWNAMES("bucket_name", "query_params", "data", "headers", "timeout"));
        if (status_code(resp) != 200) raise_status("批量删除失败: ", resp);

        Xml x = parse_reply(resp);
        nb::object del = find_all(x.root, path_str(x.ns, "", "Deleted"));
        nb::object it = steal_or_throw(PyObject_GetIter(del.ptr()));
        while (PyObject* d = PyIter_Next(it.ptr())) {
            nb::object item = nb::steal(d);
            auto f = children(item, x.ns, kDeletedFields);
            if (!f[0].is_valid()) continue;
            nb::object text = getattr(f[0], NAME("text"));
            if (text.is_none() || !truthy(text)) continue;
            if (PyList_Append(deleted.ptr(), text.ptr()) < 0) raise_current();
        }
        if (PyErr_Occurred()) raise_current();
        nb::object errs = find_all(x.root, path_str(x.ns, "", "Error"));
        it = steal_or_throw(PyObject_GetIter(errs.ptr()));
        while (PyObject* e = PyIter_Next(it.ptr())) {
            nb::object item = nb::steal(e);
            auto f = children(item, x.ns, kErrorFields);
            nb::object entry = new_dict();
            dict_set(entry, NAME("key"), text_or(f[0], NAME("")));
            dict_set(entry, NAME("code"), text_or(f[1], NAME("")));
            dict_set(entry, NAME("message"), text_or(f[2], NAME("")));
            if (PyList_Append(errors.ptr(), entry.ptr()) < 0) raise_current();
        }
        if (PyErr_Occurred()) raise_current();
    }
    nb::object result = new_dict();
    dict_set(result, NAME("deleted"), deleted);
    dict_set(result, NAME("errors"), errors);
    return result;
}

static bool under_prefix(nb::handle key, nb::handle prefix) {
    if (!PyUnicode_Check(key.ptr())) return false;
    Py_ssize_t r = PyUnicode_Tailmatch(key.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1);
    if (r < 0) raise_current();
    return r == 1;
}

nb::object delete_by_prefix(Args& a) {
    auto [prefix, timeout] = a.names<2>();
    nb::handle self = a.self;
    nb::object limit = steal_or_throw(PyLong_FromLong(1000));
    long long count = 0;
    nb::object previous;  // keys of the previous pass
    for (;;) {
        nb::object result = call_method(self, NAME("list"), {prefix.ptr(), limit.ptr(), timeout.ptr()},
                                        CIRROVA_KWNAMES("prefix", "limit", "timeout"));
        nb::object keys = steal_or_throw(PyList_New(0));
        nb::object objects = mapping_get(result, NAME("objects"));
        if (objects.is_valid() && !objects.is_none()) {
            nb::object it = steal_or_throw(PyObject_GetIter(objects.ptr()));
            while (PyObject* o = PyIter_Next(it.ptr())) {
                nb::object obj = nb::steal(o);
                nb::object key = steal_or_throw(PyObject_GetItem(obj.ptr(), NAME("key")));
                // A listing that ignored the prefix must not delete other keys.
                if (!under_prefix(key, prefix))
                    raise_exception("列出的对象 " + text_of(key) + " 不在前缀 " + text_of(prefix) + " 下，已停止删除");
                if (PyList_Append(keys.ptr(), key.ptr()) < 0) raise_current();
            }
            if (PyErr_Occurred()) raise_current();
        }
        if (PyList_Size(keys.ptr()) == 0) break;
        // The same page again: the previous deletions did not take effect.
        if (previous.is_valid()) {
            int same = PyObject_RichCompareBool(previous.ptr(), keys.ptr(), Py_EQ);
            if (same < 0) raise_current();
            if (same) break;
        }
        previous = keys;
        nb::object resp = call_method(self, NAME("delete_objects"), {keys.ptr(), timeout.ptr()},
                                      CIRROVA_KWNAMES("timeout"));
        nb::object deleted = mapping_get(resp, NAME("deleted"));
        Py_ssize_t removed = 0;
        if (deleted.is_valid() && !deleted.is_none()) {
            removed = PyObject_Length(deleted.ptr());
            if (removed < 0) raise_current();
        }
        count += removed;
        // A pass that removes nothing would list the same page again.
        if (removed == 0) break;
        nb::object truncated = mapping_get(result, NAME("is_truncated"));
        if (!truncated.is_valid() || !truthy(truncated)) break;
    }
    return steal_or_throw(PyLong_FromLongLong(count));
}

}  // namespace cirrova::korvex

// --- documentation ----------------------------------------------------------

namespace {

const char kClassDoc[] =
    "兼容 AWS 对象存储 REST 协议的通用客户端。\n"
    "\n"
    "默认使用 AWS Signature Version 4（AWS4-HMAC-SHA256）签名，signature_version 为 \"v2\"（不分大小写）或\n"
    "\"korvex\" 时改用"
    "AWS Signature Version 2（HMAC-SHA1）；addressing_style=\"virtual\" 时使用虚拟主机寻址\n"
    "（bucket.host），否则使用路径寻址（host/bucket）。每个请求都经由 httpx.Client 发送，\n"
    "单请求操作原样返回 httpx.Response，不检查状态码。\n"
    "\n"
    "支持的操作：\n"
    "    upload                   上传对象（PutObject）\n"
    "    _download                下载对象（GetObject）\n"
    "    head                     查询对象元数据（HeadObject）\n"
    "    delete                   删除对象（DeleteObject）\n"
    "    delete_objects           批量删除，每批至多 1000 个（DeleteObjects）\n"
    "    delete_by_prefix         按前缀删除（ListObjectsV2 + DeleteObjects）\n"
    "    list                     分页列出对象（ListObjectsV2）\n"
    "    get_path_url             对象的公开访问 URL\n"
    "    get_shared_url           带签名的临时分享 URL（预签名 GetObject）\n"
    "    initiate_multipart_upload / upload_part / finish_multipart_upload /\n"
    "    abort_multipart_upload   分片上传（CreateMultipartUpload、UploadPart、\n"
    "                             CompleteMultipartUpload、AbortMultipartUpload）\n"
    "    multipart_download       按字节范围分片下载到本地文件（HeadObject + GetObject Range）\n"
    "    copy_object              服务端复制对象（CopyObject）\n"
    "    create_bucket / delete_bucket / bucket_exists / list_buckets\n"
    "                             存储桶管理（CreateBucket、DeleteBucket、HeadBucket、ListBuckets）\n"
    "    get_bucket_stats         统计存储桶的对象数量与总大小\n"
    "\n"
    "示例：\n"
    "    client = KorvexClient(\"AK\", \"SK\", \"photos\", region=\"eu-west-1\")\n"
    "    client = KorvexClient(\"AK\", \"SK\", \"photos\", endpoint=\"http://127.0.0.1:9000\",\n"
    "                          signature_version=\"korvex\")          # Version 2，路径寻址\n"
    "    client = KorvexClient(\"AK\", \"SK\", \"photos\", endpoint=\"https://s3.example.com\",\n"
    "                          addressing_style=\"virtual\", domain_url=\"https://cdn.example.com\",\n"
    "                          timeout=30)\n"
    "    client.upload(\"a/b.txt\", b\"hello\")\n"
    "    client.get_shared_url(\"a/b.txt\", 600)\n";

const char kInitDoc[] =
    "创建客户端，不做任何网络访问。\n"
    "\n"
    "参数：\n"
    "    access_key         访问密钥 ID\n"
    "    secret_key         访问密钥\n"
    "    bucket             对象操作所针对的存储桶\n"
    "    region             地域，默认 \"us-east-1\"；进入每个 Version 4 签名的凭证范围\n"
    "    internal           保留参数，默认 False，不影响任何 URL 或请求\n"
    "    endpoint           服务地址（含协议），默认 None；为空时取 _get_aws_endpoint(region)，\n"
    "                       末尾的 \"/\" 会被去掉\n"
    "    domain_url         自定义域名，默认 None；给出（即使是空字符串）时 get_path_url 与\n"
    "                       预签名 URL 使用它且路径中不含存储桶；为空字符串时取 endpoint\n"
    "    timeout            默认超时（秒数或 httpx 接受的元组），默认 None，请求未给超时时使用\n"
    "    http_client        使用的 httpx.Client，默认 None 表示新建一个；客户端从不关闭它\n"
    "    signature_version  签名版本，默认 \"v4\"；转为小写后等于 \"v2\" 或 \"korvex\" 时使用 Version 2\n"
    "    addressing_style   寻址方式，默认 \"path\"；转为小写后等于 \"virtual\" 时使用虚拟主机寻址";

const char kGetAwsEndpointDoc[] =
    "默认服务地址。\n"
    "\n"
    "参数：\n"
    "    region    地域；\"us-east-1\" 返回全局地址 \"https://s3.amazonaws.com\"，\n"
    "              其他地域返回 \"https://s3.<region>.amazonaws.com\"\n"
    "    internal  保留参数，默认 False，不影响结果\n"
    "\n"
    "返回：地址字符串。";

const char kSignRequestDoc[] =
    "计算 AWS Signature Version 4 的 Authorization 头的值（不修改 headers）。\n"
    "\n"
    "参数：\n"
    "    method         HTTP 方法，原样进入规范请求\n"
    "    key            对象键（未编码），可为空\n"
    "    headers        将要发送的请求头（只读）；签入 host、content-type、content-md5 与\n"
    "                   所有 x-amz-* 头，值去掉首尾空白并把连续空格压成一个\n"
    "    query_params   将要发送的查询参数，默认 None\n"
    "    payload_hash   规范请求的最后一行，默认 \"UNSIGNED-PAYLOAD\"\n"
    "    service_level  面向服务本身（规范 URI 为 \"/\"），默认 False\n"
    "    bucket         路径寻址时使用的存储桶，默认 \"\" 表示客户端的存储桶\n"
    "\n"
    "时间戳取自请求头 x-amz-date（不分大小写），没有时取当前 UTC 时间。\n"
    "返回：\"AWS4-HMAC-SHA256 Credential=..., SignedHeaders=..., Signature=...\"。";

const char kSignRequestV2Doc[] =
    "计算 AWS Signature Version 2 的 Authorization 头的值（不修改 headers）。\n"
    "\n"
    "参数：\n"
    "    method         HTTP 方法\n"
    "    key            对象键（未编码），可为空\n"
    "    headers        将要发送的请求头（只读）；Content-MD5、Content-Type、Date 不分大小写读取，\n"
    "                   没有 Date 时用 x-amz-date；所有 x-amz-* 头按名称排序签入\n"
    "    query_params   将要发送的查询参数，默认 None；只有子资源（如 uploads、uploadId、\n"
    "                   partNumber、acl、delete 及 response-* 覆盖参数）进入规范资源\n"
    "    service_level  面向服务本身（规范资源为 \"/\"），默认 False\n"
    "    bucket         存储桶，默认 \"\" 表示客户端的存储桶\n"
    "\n"
    "返回：\"AWS \" + access_key + \":\" + Base64 签名。";

const char kPresignUrlDoc[] =
    "生成 AWS Signature Version 4 查询串形式的预签名 URL（与 signature_version 无关）。\n"
    "\n"
    "参数：\n"
    "    method        HTTP 方法\n"
    "    key           对象键（未编码）\n"
    "    expires       有效期（秒），默认 3600；非整数按 int() 截断；须在 1 到 604800（7 天）之间，\n"
    "                  否则抛出 ValueError\n"
    "    query_params  额外的查询参数，默认 None；同名时覆盖固定的 X-Amz-* 参数\n"
    "\n"
    "只签 host 头，负载声明为 UNSIGNED-PAYLOAD；X-Amz-Signature 总在最后。\n"
    "返回：完整 URL。";

const char kRequestDoc[] =
    "构造、签名并发送一个针对对象的请求，原样返回 httpx.Response（不检查状态码）。\n"
    "\n"
    "参数：\n"
    "    method        HTTP 方法（大写）\n"
    "    key           对象键（未编码），为空时指向存储桶根\n"
    "    query_params  查询参数，默认 None；既参与签名也随请求发送（调用方给了 params 时\n"
    "                  发送调用方的 params）\n"
    "    **kwargs      传给 httpx.Client.request 的其余参数：headers（会被就地加入 Host、日期头\n"
    "                  与 Authorization）、data、params、timeout 等；timeout 为 None 或未给时\n"
    "                  使用 default_timeout；字节或文本的 data 以 httpx 的 content 发送\n"
    "\n"
    "连接错误、超时等 httpx 异常原样抛出。";

const char kGetPathUrlDoc[] =
    "对象的公开访问 URL（不带签名）。\n"
    "\n"
    "参数：\n"
    "    key  对象键（未编码），按 URL 路径进行百分号编码（保留 \"/\"）\n"
    "\n"
    "有自定义域名时为 domain_url + \"/\" + key；虚拟主机寻址时为\n"
    "协议://bucket.主机/key；否则为 endpoint/bucket/key。";

const char kGetSharedUrlDoc[] =
    "对象的限时分享 URL（预签名 GET，始终为 Signature Version 4）。\n"
    "\n"
    "参数：\n"
    "    key          对象键（未编码）\n"
    "    expire_time  有效期（秒），默认 3600；须在 1 到 604800（7 天）之间，否则抛出 ValueError\n"
    "\n"
    "key 为空时抛出 ValueError。返回：URL 字符串。";

const char kUploadDoc[] =
    "上传对象（PutObject），原样返回 httpx.Response。\n"
    "\n"
    "参数：\n"
    "    key           对象键（未编码），不能为空（ValueError）\n"
    "    data          bytes、bytearray、memoryview、str（按 UTF-8 编码）或文件对象（一次读完全部\n"
    "                  剩余内容）；None 抛出 TypeError\n"
    "    content_type  Content-Type，默认 None；为空时不发送；非空时替换 headers 中任意大小写的同名头\n"
    "    content_md5   Content-MD5（Base64 的 MD5 摘要，由调用方计算），默认 None；为空时不发送；\n"
    "                  非空时替换 headers 中任意大小写的同名头\n"
    "    headers       额外请求头，默认 None；会复制，不修改调用方的字典\n"
    "    timeout       超时，默认 None 表示使用 default_timeout";

const char kDownloadDoc[] =
    "下载对象（GetObject），原样返回 httpx.Response，响应体为对象的全部内容。\n"
    "\n"
    "参数：\n"
    "    key      对象键（未编码）\n"
    "    headers  请求头，默认 None；例如 Range 可做部分读取；非空时直接使用该字典，\n"
    "             签名所需的头会写入其中\n"
    "    timeout  超时，默认 None 表示使用 default_timeout";

const char kHeadDoc[] =
    "查询对象元数据（HeadObject），原样返回 httpx.Response。\n"
    "\n"
    "参数：\n"
    "    key      对象键（未编码）\n"
    "    headers  请求头，默认 None；非空时直接使用该字典，签名所需的头会写入其中\n"
    "    timeout  超时，默认 10 秒；显式传 None 时使用 default_timeout";

const char kDeleteDoc[] =
    "删除对象（DeleteObject），原样返回 httpx.Response。\n"
    "\n"
    "参数：\n"
    "    key      对象键（未编码）\n"
    "    headers  请求头，默认 None；非空时直接使用该字典，签名所需的头会写入其中\n"
    "    timeout  超时，默认 None 表示使用 default_timeout";

const char kListDoc[] =
    "列出存储桶中的一页对象（ListObjectsV2）。\n"
    "\n"
    "参数：\n"
    "    prefix   键前缀，默认 \"\"\n"
    "    marker   上一页结果的 next_marker（续页标记），默认 \"\"\n"
    "    limit    每页最多对象数，默认 20\n"
    "    headers  额外请求头，默认 None；会复制\n"
    "    timeout  超时，默认 None 表示使用 default_timeout\n"
    "\n"
    "返回：{\"objects\": [{\"key\", \"size\", \"last_modified\", \"etag\"}, ...], \"is_truncated\": bool}，\n"
    "截断时另有 \"next_marker\"。\n"
    "状态码不是 200 时抛出 Exception(\"列出对象失败: <状态码> <响应文本>\")；响应不是合法 XML 时抛出 ParseError。";

const char kInitiateDoc[] =
    "初始化分片上传（CreateMultipartUpload），原样返回 httpx.Response。\n"
    "\n"
    "参数：\n"
    "    key           对象键（未编码）\n"
    "    content_type  最终对象的 Content-Type，默认 None；为空时不发送\n"
    "    headers       额外请求头，默认 None；会复制\n"
    "    timeout       超时，默认 None 表示使用 default_timeout\n"
    "\n"
    "上传 ID 在响应 XML 的 UploadId 元素中，由调用方读取。";

const char kUploadPartDoc[] =
    "上传一个分片（UploadPart），原样返回 httpx.Response；ETag 在响应头中。\n"
    "\n"
    "参数：\n"
    "    key           对象键（未编码）\n"
    "    upload_id     初始化时得到的上传 ID\n"
    "    part_number   分片号，从 1 开始\n"
    "    data          分片内容：bytes 或文件对象（读取剩余全部内容）\n"
    "    content_type  Content-Type，默认 \"application/octet-stream\"；为空时不发送\n"
    "    headers       额外请求头，默认 None；会复制\n"
    "    timeout       超时，默认 None 表示使用 default_timeout";

const char kFinishDoc[] =
    "完成分片上传（CompleteMultipartUpload），原样返回 httpx.Response。\n"
    "\n"
    "参数：\n"
    "    key         对象键（未编码）\n"
    "    upload_id   上传 ID\n"
    "    etags       各分片的 ETag 列表，第 n 个对应分片号 n\n"
    "    new_object  保留参数，默认 None，不使用\n"
    "    headers     额外请求头，默认 None；会复制，Content-Type 固定为 \"application/xml\"\n"
    "    timeout     超时，默认 None 表示使用 default_timeout";

const char kAbortDoc[] =
    "放弃分片上传（AbortMultipartUpload），原样返回 httpx.Response。\n"
    "\n"
    "参数：\n"
    "    key        对象键（未编码）\n"
    "    upload_id  上传 ID\n"
    "    headers    请求头，默认 None；非空时直接使用该字典，签名所需的头会写入其中\n"
    "    timeout    超时，默认 None 表示使用 default_timeout";

const char kMultipartDownloadDoc[] =
    "按字节范围分片把对象下载到本地文件（HeadObject + 多次 GetObject Range），顺序执行。\n"
    "\n"
    "参数：\n"
    "    key         对象键（未编码）\n"
    "    local_path  目标文件路径；所在目录不存在时自动创建。先写入同目录的临时文件，\n"
    "                全部完成后才替换已有文件；失败时已有文件保持原样\n"
    "    part_size   每个分片的字节数，默认 8388608（8 MiB）\n"
    "    callback    进度回调，默认 None；每写完一个分片调用\n"
    "                callback(分片序号(从 0 起), 总分片数, 已下载字节数, 文件总大小)\n"
    "    timeout     每个请求的超时，默认 None 表示使用 default_timeout\n"
    "\n"
    "每个范围请求带 If-Match（HEAD 得到的 ETag），对象中途被替换时下载失败。\n"
    "返回 True。元数据请求失败抛出 \"获取文件信息失败: ...\"，对象为空抛出 \"文件大小为 0\"，\n"
    "分片状态码不是 200/206、206 的 Content-Range 不是所请求的范围与对象大小、\n"
    "长度与范围不符或 200 不是整个对象时抛出 \"下载分片 N 失败: ...\"。";

const char kBucketRequestDoc[] =
    "发送一个针对整个存储桶的签名请求，原样返回 httpx.Response。\n"
    "\n"
    "参数：\n"
    "    method        HTTP 方法\n"
    "    bucket_name   存储桶，默认 \"\" 表示客户端的存储桶\n"
    "    query_params  查询参数，默认 None；参与签名并随请求发送\n"
    "    data          请求体（bytes），默认 None 表示无请求体；不计算其哈希\n"
    "    headers       额外请求头，默认 None；会复制\n"
    "    timeout       超时，默认 None 表示使用 default_timeout";

const char kCreateBucketDoc[] =
    "创建存储桶（CreateBucket）。\n"
    "\n"
    "参数：\n"
    "    bucket_name  存储桶，默认 \"\" 表示客户端的存储桶\n"
    "\n"
    "地域不是 \"us-east-1\" 时发送 CreateBucketConfiguration/LocationConstraint。\n"
    "返回 True（状态码 200 或 204）；否则抛出 Exception(\"创建存储桶失败: 状态码 响应文本\")。";

const char kDeleteBucketDoc[] =
    "删除存储桶（DeleteBucket），存储桶须为空（由服务端检查）。\n"
    "\n"
    "参数：\n"
    "    bucket_name  存储桶，默认 \"\" 表示客户端的存储桶\n"
    "\n"
    "返回 True（状态码 200 或 204）；否则抛出 Exception(\"删除存储桶失败: 状态码 响应文本\")。";

const char kBucketExistsDoc[] =
    "判断存储桶是否存在且可访问（HeadBucket）。\n"
    "\n"
    "参数：\n"
    "    bucket_name  存储桶，默认 \"\" 表示客户端的存储桶\n"
    "\n"
    "返回：状态码为 200 时 True，其他状态码（含 403、301）为 False。";

const char kListBucketsDoc[] =
    "列出账户下的全部存储桶（ListBuckets），与寻址方式无关。\n"
    "\n"
    "返回：[{\"name\": 名称, \"creation_date\": 创建时间文本}, ...]；状态码不是 200 时抛出\n"
    "Exception(\"列出存储桶失败: 状态码 响应文本\")。";

const char kCopyObjectDoc[] =
    "服务端复制对象到客户端的存储桶（CopyObject）。\n"
    "\n"
    "参数：\n"
    "    src_key     源对象键（未编码）\n"
    "    dest_key    目标对象键（未编码），位于客户端的存储桶\n"
    "    src_bucket  源存储桶，默认 \"\" 表示客户端的存储桶\n"
    "    headers     额外请求头，默认 None；会复制\n"
    "    timeout     超时，默认 None 表示使用 default_timeout\n"
    "\n"
    "返回 True（状态码 200）；否则抛出 Exception(\"复制对象失败: 状态码 响应文本\")。\n"
    "状态码 200 而响应体是 Error 文档（复制在开始应答后失败）同样抛出该异常。";

const char kBucketStatsDoc[] =
    "统计存储桶的对象数量与总字节数（遍历 iter_objects）。\n"
    "\n"
    "返回：{\"object_count\": 对象数, \"total_size\": 总字节数}。";

const char kDeleteObjectsDoc[] =
    "批量删除对象（DeleteObjects），每个请求至多 1000 个键。\n"
    "\n"
    "参数：\n"
    "    keys     对象键列表（未编码）；每个键按原样作为 XML 文本发送（只做 XML 转义，不做百分号编码）\n"
    "    timeout  每个请求的超时，默认 None 表示使用 default_timeout\n"
    "\n"
    "返回：{\"deleted\": 已删除的键, \"errors\": [{\"key\", \"code\", \"message\"}, ...]}；\n"
    "某批状态码不是 200 时抛出 Exception(\"批量删除失败: 状态码 响应文本\")。";

const char kDeleteByPrefixDoc[] =
    "删除键以 prefix 开头的全部对象（交替列出与批量删除）。\n"
    "\n"
    "参数：\n"
    "    prefix   键前缀；\"\" 表示存储桶中的全部对象\n"
    "    timeout  每个请求的超时，默认 None 表示使用 default_timeout\n"
    "\n"
    "某一轮没有删除任何对象（例如服务端拒绝删除）时停止；列出的一页中有不以 prefix 开头的键\n"
    "时不删除该页并抛出 Exception。返回：服务端报告已删除的键数。";

}  // namespace

using namespace cirrova::korvex;

CIRROVA_MODULE(korvex, m) {
    bind_imports(m, {{"hmac", "hmac"},
                     {"hashlib", "hashlib"},
                     {"os", "os"},
                     {"base64", "base64"},
                     {"httpx", "httpx"},
                     {"ET", "xml.etree.ElementTree"},
                     {"datetime", "datetime", "datetime"},
                     {"Union", "typing", "Union"},
                     {"Optional", "typing", "Optional"},
                     {"Dict", "typing", "Dict"},
                     {"List", "typing", "List"},
                     {"Callable", "typing", "Callable"},
                     {"BinaryIO", "typing", "BinaryIO"},
                     {"quote", "urllib.parse", "quote"},
                     {"urlsplit", "urllib.parse", "urlsplit"},
                     {"BaseStorageClient", "base", "BaseStorageClient", 1}});
    // A strong reference: clients outlive a module dropped from sys.modules.
    Py_XDECREF(g_module);
    g_module = nb::borrow(m).release().ptr();
    constexpr const char* kTimeout = "Optional[Union[float, tuple]]";
    constexpr const char* kHeaders = "Optional[Dict[str, str]]";
    constexpr const char* kResponse = "httpx.Response";
    nb::tuple bases = nb::make_tuple(module_attr(m, "BaseStorageClient"));
    make_class(
        m, "KorvexClient", bases, kClassDoc,
        {
            {"__init__", init,
             {{"access_key", "str"},
              {"secret_key", "str"},
              {"bucket", "str"},
              {"region", "str", def_str("us-east-1")},
              {"internal", "bool", def_bool(false)},
              {"endpoint", "Optional[str]", none},
              {"domain_url", "Optional[str]", none},
              {"timeout", kTimeout, none},
              {"http_client", "Optional[httpx.Client]", none},
              {"signature_version", "str", def_str("v4")},
              {"addressing_style", "str", def_str("path")}},
             nullptr, kInitDoc},
            {"_get_aws_endpoint", get_aws_endpoint, {{"region", "str"}, {"internal", "bool", def_bool(false)}}, "str",
             kGetAwsEndpointDoc},
            {"_sign_request", sign_request,
             {{"method", "str"},
              {"key", "str"},
              {"headers", "Dict[str, str]"},
              {"query_params", "Optional[Dict[str, str]]", none},
              {"payload_hash", "str", def_str("UNSIGNED-PAYLOAD")},
              {"service_level", "bool", def_bool(false)},
              {"bucket", "str", def_str("")}},
             "str", kSignRequestDoc},
            {"_sign_request_v2", sign_request_v2,
             {{"method", "str"},
              {"key", "str"},
              {"headers", "Dict[str, str]"},
              {"query_params", "Optional[Dict[str, str]]", none},
              {"service_level", "bool", def_bool(false)},
              {"bucket", "str", def_str("")}},
             "str", kSignRequestV2Doc},
            {"_presign_url", presign_url,
             {{"method", "str"},
              {"key", "str"},
              {"expires", "int", def_int(3600)},
              {"query_params", "Optional[Dict[str, str]]", none}},
             "str", kPresignUrlDoc},
            {"_request", request,
             {{"method", "str"}, {"key", "str"}, {"query_params", "Optional[Dict[str, str]]", none}}, kResponse,
             kRequestDoc, /*varkw=*/true},
            {"get_path_url", get_path_url, {{"key", "str"}}, "str", kGetPathUrlDoc},
            {"get_shared_url", get_shared_url, {{"key", "str"}, {"expire_time", "int", def_int(3600)}}, "str",
             kGetSharedUrlDoc},
            {"upload", upload,
             {{"key", "str"},
              {"data", "Union[bytes, str, BinaryIO]"},
              {"content_type", "Optional[str]", none},
              {"content_md5", "Optional[str]", none},
              {"headers", kHeaders, none},
              {"timeout", kTimeout, none}},
             kResponse, kUploadDoc},
            {"_download", download, {{"key", "str"}, {"headers", kHeaders, none}, {"timeout", kTimeout, none}},
             kResponse, kDownloadDoc},
            {"head", head, {{"key", "str"}, {"headers", kHeaders, none}, {"timeout", kTimeout, def_int(10)}},
             kResponse, kHeadDoc},
            {"delete", delete_, {{"key", "str"}, {"headers", kHeaders, none}, {"timeout", kTimeout, none}},
             kResponse, kDeleteDoc},
            {"list", list,
             {{"prefix", "str", def_str("")},
              {"marker", "str", def_str("")},
              {"limit", "int", def_int(20)},
              {"headers", kHeaders, none},
              {"timeout", kTimeout, none}},
             "Dict", kListDoc},
            {"initiate_multipart_upload", initiate_multipart_upload,
             {{"key", "str"}, {"content_type", "Optional[str]", none}, {"headers", kHeaders, none},
              {"timeout", kTimeout, none}},
             kResponse, kInitiateDoc},
            {"upload_part", upload_part,
             {{"key", "str"},
              {"upload_id", "str"},
              {"part_number", "int"},
              {"data", "Union[bytes, BinaryIO]"},
              {"content_type", "str", def_str("application/octet-stream")},
              {"headers", kHeaders, none},
              {"timeout", kTimeout, none}},
             kResponse, kUploadPartDoc},
            {"finish_multipart_upload", finish_multipart_upload,
             {{"key", "str"},
              {"upload_id", "str"},
              {"etags", "List[str]"},
              {"new_object", "Optional[str]", none},
              {"headers", kHeaders, none},
              {"timeout", kTimeout, none}},
             kResponse, kFinishDoc},
            {"abort_multipart_upload", abort_multipart_upload,
             {{"key", "str"}, {"upload_id", "str"}, {"headers", kHeaders, none}, {"timeout", kTimeout, none}},
             kResponse, kAbortDoc},
            {"multipart_download", multipart_download,
             {{"key", "str"},
              {"local_path", "str"},
              {"part_size", "int", def_int(8388608)},
              {"callback", "Optional[Callable[[int, int, int, int], None]]", none},
              {"timeout", kTimeout, none}},
             "bool", kMultipartDownloadDoc},
            {"_bucket_request", bucket_request,
             {{"method", "str"},
              {"bucket_name", "str", def_str("")},
              {"query_params", "Optional[Dict[str, str]]", none},
              {"data", "Optional[bytes]", none},
              {"headers", kHeaders, none},
              {"timeout", kTimeout, none}},
             kResponse, kBucketRequestDoc},
            {"create_bucket", create_bucket, {{"bucket_name", "str", def_str("")}}, "bool", kCreateBucketDoc},
            {"delete_bucket", delete_bucket, {{"bucket_name", "str", def_str("")}}, "bool", kDeleteBucketDoc},
            {"bucket_exists", bucket_exists, {{"bucket_name", "str", def_str("")}}, "bool", kBucketExistsDoc},
            {"list_buckets", list_buckets, {}, "List[Dict]", kListBucketsDoc},
            {"copy_object", copy_object,
             {{"src_key", "str"},
              {"dest_key", "str"},
              {"src_bucket", "str", def_str("")},
              {"headers", kHeaders, none},
              {"timeout", kTimeout, none}},
             "bool", kCopyObjectDoc},
            {"get_bucket_stats", get_bucket_stats, {}, "Dict", kBucketStatsDoc},
            {"delete_objects", delete_objects, {{"keys", "List[str]"}, {"timeout", kTimeout, none}}, "Dict",
             kDeleteObjectsDoc},
            {"delete_by_prefix", delete_by_prefix, {{"prefix", "str"}, {"timeout", kTimeout, none}}, "int",
             kDeleteByPrefixDoc},
        });
}
