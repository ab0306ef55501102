// PelorinOSSClient: requests to the OSS REST API signed with the V4 header
// signature, shared links signed with the query-string signature.
#include "pelorin.h"

#include "common/clock.h"
#include "common/input.h"
#include "common/pyutil.h"
#include "common/quote.h"
#include "common/ranged_download.h"
#include "common/timeout.h"
#include "common/xmlns.h"
#include "signing/ossv4.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

using namespace cirrova;

namespace cirrova::pelorin {

namespace {

PyObject* g_module = nullptr;  // this module, for the names bound at import

void dict_set(nb::handle d, PyObject* key, nb::handle value) {
    if (PyDict_SetItem(d.ptr(), key, value.ptr()) < 0) raise_current();
}

// A new dict copied from `headers` when it is a non-empty dict, else empty.
nb::dict copy_headers(nb::handle headers) {
    if (headers.is_none() || PyDict_Size(headers.ptr()) == 0) return nb::dict();
    return nb::steal<nb::dict>(steal_or_throw(PyDict_Copy(headers.ptr())).release());
}

// `headers` itself when it is a non-empty dict, else a new empty dict.
nb::object own_or_new_headers(nb::handle headers) {
    if (headers.is_none() || PyDict_Size(headers.ptr()) == 0) return nb::dict();
    return nb::borrow(headers);
}

// Text content escaping for XML documents built by hand.
void append_xml_text(std::string& out, std::string_view s) {
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default: out += c;
        }
    }
}

nb::object send(nb::handle self, PyObject* method, nb::handle key, std::initializer_list<PyObject*> kwvalues,
                nb::handle kwnames) {
    // self._request(method, key, **kw) with the keyword values in kwnames order.
    PyObject* buf[8];
    if (kwvalues.size() + 2 > 8) raise(PyExc_SystemError, "too many keywords");
    size_t n = 0;
    buf[n++] = method;
    buf[n++] = key.ptr();
    for (PyObject* v : kwvalues) buf[n++] = v;
    return call_method(self, CIRROVA_STR("_request"), buf, n, kwnames);
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction, endpoints and request dispatch

nb::object init(Args& a) {
    auto [access_key_id, access_key_secret, bucket_arg, region_arg, internal, domain, timeout, http_client,
          session_token_arg] = a.names<9>();
    nb::handle self = a.self;
    setattr(self, CIRROVA_STR("access_key_id"), access_key_id);
    setattr(self, CIRROVA_STR("access_key_secret"), access_key_secret);
    setattr(self, CIRROVA_STR("bucket"), bucket_arg);
    setattr(self, CIRROVA_STR("region"), region_arg);
    setattr(self, CIRROVA_STR("internal"), internal);
    setattr(self, CIRROVA_STR("default_timeout"), timeout);

    std::string_view bucket = utf8(bucket_arg), region = utf8(region_arg);
    std::string external = "https://";
    external.append(bucket).append(".").append(region).append(".").append(ossv4::kDomain);
    std::string intranet = "https://";
    intranet.append(bucket).append(".").append(region).append("-internal.").append(ossv4::kDomain);
    nb::str external_s = to_str(external), intranet_s = to_str(intranet);
    setattr(self, CIRROVA_STR("external_url"), external_s);
    setattr(self, CIRROVA_STR("intranet_url"), intranet_s);
    nb::handle host = internal.ptr() == Py_True ? intranet_s : external_s;
    setattr(self, CIRROVA_STR("host"), host);

    setattr(self, CIRROVA_STR("_custom_domain"), domain.is_none() ? Py_False : Py_True);
    if (!domain.is_none() && PyUnicode_GetLength(domain.ptr()) > 0) {
        std::string_view d = utf8(domain);
        while (!d.empty() && d.back() == '/') d.remove_suffix(1);
        setattr(self, CIRROVA_STR("domain_url"), to_str(d));
    } else {
        setattr(self, CIRROVA_STR("domain_url"), host);
    }

    if (http_client.is_none()) {
        nb::object httpx = module_attr(g_module, "httpx");
        nb::object client = vcall(getattr(httpx, CIRROVA_STR("Client")), {});
        setattr(self, CIRROVA_STR("_client"), client);
    } else {
        setattr(self, CIRROVA_STR("_client"), http_client);
    }
    setattr(self, CIRROVA_STR("session_token"), session_token_arg);
    return nb::none();
}

nb::object get_path_url(Args& a) {
    auto [key] = a.names<1>();
    require_key(key);
    StrAttr domain = str_attr(a.self, CIRROVA_STR("domain_url"));
    std::string url(domain.view);
    url += '/';
    url += quote_key(utf8(key));
    return to_str(url);
}

nb::object request(Args& a) {
    auto [method, key, query] = a.names<3>();
    nb::handle self = a.self;
    nb::dict& kw = a.kwargs();

    StrAttr host = str_attr(self, CIRROVA_STR("host"));
    std::string url(host.view);
    url += '/';
    url += quote_key(utf8(key));

    PyObject* headers_name = CIRROVA_STR("headers");
    nb::object headers;
    if (PyObject* h = PyDict_GetItemWithError(kw.ptr(), headers_name)) {
        headers = nb::borrow(h);
        if (PyDict_DelItem(kw.ptr(), headers_name) < 0) raise_current();
    } else {
        if (PyErr_Occurred()) raise_current();
        headers = nb::dict();
    }

    auto set_header = [&](PyObject* name, nb::handle value) {
        if (PyObject_SetItem(headers.ptr(), name, value.ptr()) < 0) raise_current();
    };
    if (!has_key_ci(headers, CIRROVA_STR("Host"), "host"))
        set_header(CIRROVA_STR("Host"), to_str(replace_all(host.view, "https://")));
    PyObject* sha_name = CIRROVA_STR("x-oss-content-sha256");
    if (!has_key_ci(headers, sha_name, "x-oss-content-sha256"))
        set_header(sha_name, nb::handle(CIRROVA_STR("UNSIGNED-PAYLOAD")));
    // Temporary credentials: an x-oss-* header, so the V4 signature covers it.
    nb::object token = session_token(self);
    if (token.is_valid() && !has_key_ci(headers, CIRROVA_STR("x-oss-security-token"), "x-oss-security-token"))
        set_header(CIRROVA_STR("x-oss-security-token"), token);
    PyObject* date_name = CIRROVA_STR("x-oss-date");
    if (!has_key_ci(headers, date_name, "x-oss-date")) set_header(date_name, to_str(fmt_amz_date(utc_now())));

    nb::object auth = call_method(self, CIRROVA_STR("_sign_request"), {method.ptr(), key.ptr(), headers.ptr(), query.ptr()});
    set_header(CIRROVA_STR("Authorization"), auth);

    if (!query.is_none() && PyDict_Size(query.ptr()) > 0) {
        PyObject* params_name = CIRROVA_STR("params");
        int has = PyDict_Contains(kw.ptr(), params_name);
        if (has < 0) raise_current();
        if (!has) dict_set(kw, params_name, query);
    }
    nb::object default_timeout = getattr(self, CIRROVA_STR("default_timeout"));
    apply_default_timeout(kw, default_timeout);
    body_as_content(kw);
    dict_set(kw, headers_name, headers);

    nb::object client = getattr(self, CIRROVA_STR("_client"));
    nb::object url_s = to_str(url);
    return call_method_kw(client, CIRROVA_STR("request"), {method.ptr(), url_s.ptr()}, kw);
}

// ---------------------------------------------------------------------------
// V4 header signature

nb::object sign_request(Args& a) {
    auto [method, key, headers, query] = a.names<4>();
    nb::handle self = a.self;
    // References held while the views below are in use.
    std::vector<nb::object> keep;
    Py_ssize_t nh = PyDict_Size(headers.ptr()), nq = query.is_none() ? 0 : PyDict_Size(query.ptr());
    keep.reserve(2 * (size_t)std::max<Py_ssize_t>(0, nh + nq));

    ossv4::Request r;
    r.method = utf8(method);
    r.key = utf8(key);
    r.headers.reserve((size_t)std::max<Py_ssize_t>(0, nh));
    r.query.reserve((size_t)std::max<Py_ssize_t>(0, nq));

    std::string_view exact_date, any_date;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(headers.ptr(), &pos, &k, &v)) {
        if (!PyUnicode_Check(k)) raise(PyExc_TypeError, "header names must be str, got " + py_type_name(k));
        std::string_view name = utf8(k);
        if (!ossv4::is_signed_header_any_case(name)) continue;
        if (!PyUnicode_Check(v))
            raise(PyExc_TypeError, "value of header '" + std::string(name) + "' must be str, got " + py_type_name(v));
        keep.push_back(nb::borrow(k));
        keep.push_back(nb::borrow(v));
        std::string_view value = utf8(v);
        r.headers.emplace_back(name, value);
        if (ascii_iequals(name, "x-oss-date") && !value.empty()) {
            if (name == "x-oss-date") exact_date = value;
            else if (any_date.empty()) any_date = value;
        }
    }
    std::string now;
    if (!exact_date.empty()) {
        r.timestamp = exact_date;
    } else if (!any_date.empty()) {
        r.timestamp = any_date;
    } else {
        now = fmt_amz_date(utc_now());
        r.timestamp = now;
    }

    if (!query.is_none()) {
        pos = 0;
        while (PyDict_Next(query.ptr(), &pos, &k, &v)) {
            if (!PyUnicode_Check(k) || !PyUnicode_Check(v))
                raise(PyExc_TypeError, "query parameter names and values must be str, got " +
                                           py_type_name(PyUnicode_Check(k) ? v : k));
            keep.push_back(nb::borrow(k));
            keep.push_back(nb::borrow(v));
            r.query.emplace_back(utf8(k), utf8(v));
        }
    }

    StrAttr id = str_attr(self, CIRROVA_STR("access_key_id"));
    StrAttr secret = str_attr(self, CIRROVA_STR("access_key_secret"));
    StrAttr region = str_attr(self, CIRROVA_STR("region"));
    StrAttr bucket = str_attr(self, CIRROVA_STR("bucket"));
    r.bucket = bucket.view;
    return to_str(ossv4::authorization(r, id.view, secret.view, region.view));
}

// ---------------------------------------------------------------------------
// Shared URLs and object operations

nb::object get_shared_url(Args& a) {
    auto [key, expire_time] = a.names<2>();
    require_key(key);
    check_lifetime(expire_time, 0, "expire_time");
    long long lifetime = PyLong_AsLongLong(expire_time.ptr());
    if (lifetime == -1 && PyErr_Occurred()) raise_current();
    double now = now_seconds();
    if (!std::isfinite(now) || std::fabs(now) >= 9.0e18) raise(PyExc_OverflowError, "clock value out of range");
    long long expires = 0;
    if (__builtin_add_overflow((long long)now, lifetime, &expires))
        raise(PyExc_OverflowError, "expire_time out of range");

    nb::handle self = a.self;
    bool custom = truthy(getattr(self, CIRROVA_STR("_custom_domain")));
    StrAttr base = str_attr(self, custom ? CIRROVA_STR("domain_url") : CIRROVA_STR("external_url"));
    StrAttr id = str_attr(self, CIRROVA_STR("access_key_id"));
    StrAttr secret = str_attr(self, CIRROVA_STR("access_key_secret"));
    StrAttr bucket = str_attr(self, CIRROVA_STR("bucket"));
    nb::object token = session_token(self);
    return to_str(ossv4::shared_url(base.view, bucket.view, utf8(key), id.view, secret.view, expires,
                                    token.is_valid() ? utf8(token) : std::string_view()));
}

nb::object upload(Args& a) {
    auto [key, data, content_type, content_md5, headers, timeout] = a.names<6>();
    require_key(key);
    require_body(data);
    nb::dict extra = copy_headers(headers);
    if (!content_type.is_none() && PyUnicode_GetLength(content_type.ptr()) > 0)
        set_header_replacing(extra, CIRROVA_STR("Content-Type"), content_type);
    if (!content_md5.is_none() && PyUnicode_GetLength(content_md5.ptr()) > 0)
        set_header_replacing(extra, CIRROVA_STR("Content-MD5"), content_md5);
    nb::object body = read_if_readable(data);
    require_body(body);
    return send(a.self, CIRROVA_STR("PUT"), key, {body.ptr(), extra.ptr(), timeout.ptr()},
                CIRROVA_KWNAMES("data", "headers", "timeout"));
}

static nb::object simple(Args& a, PyObject* method) {
    auto [key, headers_arg, timeout] = a.names<3>();
    require_key(key);
    nb::object headers = own_or_new_headers(headers_arg);
    return send(a.self, method, key, {headers.ptr(), timeout.ptr()}, CIRROVA_KWNAMES("headers", "timeout"));
}

nb::object download(Args& a) { return simple(a, CIRROVA_STR("GET")); }
nb::object head(Args& a) { return simple(a, CIRROVA_STR("HEAD")); }
nb::object delete_(Args& a) { return simple(a, CIRROVA_STR("DELETE")); }

// ---------------------------------------------------------------------------
// Listing

nb::object list(Args& a) {
    auto [prefix, marker, limit, headers, timeout] = a.names<5>();
    nb::dict params;
    dict_set(params, CIRROVA_STR("prefix"), prefix);
    dict_set(params, CIRROVA_STR("marker"), marker);
    dict_set(params, CIRROVA_STR("max-keys"), steal_or_throw(PyObject_Str(limit.ptr())));
    nb::dict req_headers = copy_headers(headers);
    nb::object resp = send(a.self, CIRROVA_STR("GET"), nb::handle(CIRROVA_STR("")),
                           {params.ptr(), req_headers.ptr(), timeout.ptr()},
                           CIRROVA_KWNAMES("query_params", "headers", "timeout"));
    // An error document would read as an empty bucket.
    if (status_code(resp) != 200) raise_exception("列举文件失败: " + status_and_text(resp));

    nb::object et = module_attr(g_module, "ET");
    nb::object text = getattr(resp, CIRROVA_STR("text"));
    nb::object root = vcall(getattr(et, CIRROVA_STR("fromstring")), {text.ptr()});

    std::string ns = xml_namespace(root);
    auto tag = [&](PyObject* plain, const char* name) -> nb::object {
        if (ns.empty()) return nb::borrow(plain);
        return to_str(ns + name);
    };
    nb::object t_key = tag(CIRROVA_STR("Key"), "Key");
    nb::object t_size = tag(CIRROVA_STR("Size"), "Size");
    nb::object t_modified = tag(CIRROVA_STR("LastModified"), "LastModified");
    nb::object t_etag = tag(CIRROVA_STR("ETag"), "ETag");
    nb::object t_truncated = tag(CIRROVA_STR("IsTruncated"), "IsTruncated");
    nb::object t_next = tag(CIRROVA_STR("NextMarker"), "NextMarker");
    nb::object contents_path = ns.empty() ? nb::borrow(CIRROVA_STR(".//Contents")) : to_str(".//" + ns + "Contents");

    PyObject* find = CIRROVA_STR("find");
    PyObject* text_name = CIRROVA_STR("text");
    auto child = [&](nb::handle elem, nb::handle t) { return call_method(elem, find, {t.ptr()}); };
    // Text of a child: `missing` when absent, else its text (None kept).
    auto child_text = [&](nb::handle elem, nb::handle t, nb::handle missing) -> nb::object {
        nb::object c = child(elem, t);
        if (c.is_none()) return nb::borrow(missing);
        return getattr(c, text_name);
    };
    nb::handle empty = CIRROVA_STR("");

    nb::list objects;
    nb::object found = call_method(root, CIRROVA_STR("findall"), {contents_path.ptr()});
    nb::object it = steal_or_throw(PyObject_GetIter(found.ptr()));
    while (PyObject* item = PyIter_Next(it.ptr())) {
        nb::object entry_elem = nb::steal(item);
        nb::dict entry;
        dict_set(entry, CIRROVA_STR("key"), child_text(entry_elem, t_key, empty));
        nb::object size_elem = child(entry_elem, t_size);
        nb::object size = size_elem.is_none() ? nb::int_(0)
                                              : steal_or_throw(PyNumber_Long(getattr(size_elem, text_name).ptr()));
        dict_set(entry, CIRROVA_STR("size"), size);
        dict_set(entry, CIRROVA_STR("last_modified"), child_text(entry_elem, t_modified, empty));
        nb::object etag = child_text(entry_elem, t_etag, Py_None);
        if (etag.is_none()) {
            etag = nb::borrow(empty);
        } else {
            std::string_view e = utf8(etag);
            size_t b = e.find_first_not_of('"');
            e = b == std::string_view::npos ? std::string_view() : e.substr(b, e.find_last_not_of('"') - b + 1);
            etag = to_str(e);
        }
        dict_set(entry, CIRROVA_STR("etag"), etag);
        if (PyList_Append(objects.ptr(), entry.ptr()) < 0) raise_current();
    }
    if (PyErr_Occurred()) raise_current();

    nb::object truncated_elem = child(root, t_truncated);
    bool truncated = false;
    if (!truncated_elem.is_none()) {
        nb::object t = getattr(truncated_elem, text_name);
        truncated = PyUnicode_Check(t.ptr()) && utf8(t) == "true";
    }
    nb::dict result;
    dict_set(result, CIRROVA_STR("objects"), objects);
    dict_set(result, CIRROVA_STR("is_truncated"), truncated ? Py_True : Py_False);
    if (truncated) dict_set(result, CIRROVA_STR("next_marker"), child_text(root, t_next, empty));
    return std::move(result);
}

// ---------------------------------------------------------------------------
// Multipart upload and ranged download

nb::object initiate_multipart_upload(Args& a) {
    auto [key, content_type, headers, timeout] = a.names<4>();
    require_key(key);
    nb::dict params;
    dict_set(params, CIRROVA_STR("uploads"), nb::handle(CIRROVA_STR("")));
    nb::dict extra = copy_headers(headers);
    if (!content_type.is_none() && PyUnicode_GetLength(content_type.ptr()) > 0)
        set_header_replacing(extra, CIRROVA_STR("Content-Type"), content_type);
    return send(a.self, CIRROVA_STR("POST"), key, {params.ptr(), extra.ptr(), timeout.ptr()},
                CIRROVA_KWNAMES("query_params", "headers", "timeout"));
}

nb::object upload_part(Args& a) {
    auto [key, upload_id, part_number, data, content_type, headers, timeout] = a.names<7>();
    require_key(key);
    require_body(data);
    nb::dict params;
    dict_set(params, CIRROVA_STR("partNumber"), steal_or_throw(PyObject_Str(part_number.ptr())));
    dict_set(params, CIRROVA_STR("uploadId"), upload_id);
    nb::object body = read_if_readable(data);
    require_body(body);
    nb::dict extra = copy_headers(headers);
    if (PyUnicode_GetLength(content_type.ptr()) > 0)
        set_header_replacing(extra, CIRROVA_STR("Content-Type"), content_type);
    return send(a.self, CIRROVA_STR("PUT"), key, {params.ptr(), body.ptr(), extra.ptr(), timeout.ptr()},
                CIRROVA_KWNAMES("query_params", "data", "headers", "timeout"));
}

nb::object finish_multipart_upload(Args& a) {
    auto [key, upload_id, etags, new_object, headers, timeout] = a.names<6>();
    require_key(key);
    std::string body = "<CompleteMultipartUpload>";
    Py_ssize_t n = PyList_Size(etags.ptr());
    if (n < 0) raise_current();
    for (Py_ssize_t i = 0; i < n && i < PyList_Size(etags.ptr()); ++i) {
        nb::object item = nb::borrow(PyList_GetItem(etags.ptr(), i));
        if (!item) raise_current();
        nb::object text = PyUnicode_Check(item.ptr()) ? item : steal_or_throw(PyObject_Str(item.ptr()));
        body += "<Part><PartNumber>";
        body += std::to_string(i + 1);
        body += "</PartNumber><ETag>";
        append_xml_text(body, utf8(text));
        body += "</ETag></Part>";
    }
    body += "</CompleteMultipartUpload>";

    nb::dict params;
    dict_set(params, CIRROVA_STR("uploadId"), upload_id);
    nb::dict extra = copy_headers(headers);
    set_header_replacing(extra, CIRROVA_STR("Content-Type"), nb::handle(CIRROVA_STR("application/xml")));
    nb::str xml = to_str(body);
    return send(a.self, CIRROVA_STR("POST"), key, {params.ptr(), xml.ptr(), extra.ptr(), timeout.ptr()},
                CIRROVA_KWNAMES("query_params", "data", "headers", "timeout"));
}

nb::object abort_multipart_upload(Args& a) {
    auto [key, upload_id, headers_arg, timeout] = a.names<4>();
    require_key(key);
    nb::dict params;
    dict_set(params, CIRROVA_STR("uploadId"), upload_id);
    nb::object headers = own_or_new_headers(headers_arg);
    return send(a.self, CIRROVA_STR("DELETE"), key, {params.ptr(), headers.ptr(), timeout.ptr()},
                CIRROVA_KWNAMES("query_params", "headers", "timeout"));
}

nb::object multipart_download(Args& a) {
    auto [key, local_path, part_size, callback, timeout] = a.names<5>();
    require_key(key);
    return cirrova::multipart_download(a.self, key, local_path, part_size, callback, timeout);
}

}  // namespace cirrova::pelorin

// ---------------------------------------------------------------------------
// Documentation

namespace {

const char kClassDoc[] = R"doc(OSS 对象存储客户端。

请求使用 OSS V4 签名（OSS4-HMAC-SHA256，载荷不签名）放在 Authorization 头中；
分享链接使用查询串签名（HMAC-SHA1）。

支持的操作：
    upload                     上传对象（PutObject）
    _download                  下载对象（GetObject）
    head                       查询对象元信息（HeadObject）
    delete                     删除对象（DeleteObject）
    list                       分页列举对象（ListObjects）
    get_path_url               对象的公开访问地址
    get_shared_url             带签名的限时分享链接
    initiate_multipart_upload  初始化分片上传（InitiateMultipartUpload）
    upload_part                上传分片（UploadPart）
    finish_multipart_upload    完成分片上传（CompleteMultipartUpload）
    abort_multipart_upload     取消分片上传（AbortMultipartUpload）
    multipart_download         按字节范围分片下载到本地文件（GetObject + Range）

示例：
    client = PelorinOSSClient("AK", "SK", "my-bucket")                    # 杭州外网
    client = PelorinOSSClient("AK", "SK", "my-bucket", region="oss-cn-beijing", internal=True)
    client = PelorinOSSClient("AK", "SK", "my-bucket", domain_url="https://cdn.example.com/",
                              timeout=30, http_client=httpx.Client())
)doc";

const char kInitDoc[] = R"doc(创建客户端，不发出任何请求。

参数：
    access_key_id: AccessKey ID。
    access_key_secret: AccessKey Secret。
    bucket: 存储空间名称。
    region: 带 "oss-" 前缀的地域，默认 "oss-cn-hangzhou"。
    internal: 为真时所有请求走内网地址，默认 False。
    domain_url: 自定义域名（末尾的 "/" 会被去掉），用于公开地址和分享链接；默认 None。
    timeout: 默认超时（秒数或 (连接, 读取) 元组），请求未指定超时时使用；默认 None。
    http_client: 使用的 httpx.Client；默认 None 时自行创建一个。
    session_token: 仅限关键字；临时凭证（STS）的安全令牌，默认 None。给出时每个请求带
        x-oss-security-token 头并计入 V4 签名，分享链接带 security-token 参数并计入签名。
)doc";

const char kGetPathUrlDoc[] = R"doc(返回对象的公开访问地址（不带签名）。

参数：
    key: 对象名，按 URL 路径编码（保留 "/"）。
返回：
    自定义域名（或请求主机）+ "/" + 编码后的对象名。
)doc";

const char kRequestDoc[] = R"doc(构造、签名并发送一个对象请求，原样返回响应。

参数：
    method: 大写的 HTTP 方法。
    key: 对象名；空串表示存储空间根。
    query_params: 查询参数，既参与签名也随请求发送；默认 None。
    **kwargs: 传给 httpx.Client.request 的其他参数（headers、data、timeout 等）。
        headers 会被就地补上 Host、x-oss-content-sha256、x-oss-date 和 Authorization。
返回：
    httpx.Response，不检查状态码。
)doc";

const char kSignRequestDoc[] = R"doc(计算请求的 OSS V4 签名，返回 Authorization 头的值。

参数：
    method: HTTP 方法。
    key: 未编码的对象名。
    headers: 将要发送的请求头（只读）；时间戳取自 x-oss-date（不区分大小写）。
    query_params: 将要发送的查询参数；默认 None。
返回：
    "OSS4-HMAC-SHA256 Credential=<AccessKeyId>/<scope>,Signature=<签名>"。
)doc";

const char kSharedUrlDoc[] = R"doc(生成限时的 GET 分享链接（查询串签名，HMAC-SHA1），不发出请求。

参数：
    key: 对象名，不能为空（ValueError）。
    expire_time: 有效期秒数，默认 1200；不大于 0 时抛出 ValueError。
返回：
    带 OSSAccessKeyId、Expires 和 Signature 参数的链接（有 session_token 时另带 security-token，
    它作为子资源计入签名）；有自定义域名时使用自定义域名，否则使用外网地址。
)doc";

const char kUploadDoc[] = R"doc(上传对象（PutObject）。

参数：
    key: 对象名，不能为空（ValueError）。
    data: bytes、bytearray、memoryview、str 或可读的文件对象（整体读入内存）；None 抛出 TypeError。
    content_type: Content-Type，默认 None（不发送）；非空时替换 headers 中任意大小写的同名头。
    content_md5: 由调用方计算的 Base64 MD5，默认 None（不发送）；非空时同样替换同名头。
    headers: 额外请求头，不会被修改；默认 None。
    timeout: 超时，默认 None（使用客户端默认超时）。
返回：
    httpx.Response。
)doc";

const char kDownloadDoc[] = R"doc(下载对象（GetObject），返回整个响应。

参数：
    key: 对象名。
    headers: 额外请求头（如 Range），会被就地补上签名头；默认 None。
    timeout: 超时，默认 None（使用客户端默认超时）。
返回：
    httpx.Response，正文为对象内容。
)doc";

const char kHeadDoc[] = R"doc(查询对象元信息（HeadObject）。

参数：
    key: 对象名。
    headers: 额外请求头，会被就地补上签名头；默认 None。
    timeout: 超时，默认 10 秒；传 None 时使用客户端默认超时。
返回：
    httpx.Response。
)doc";

const char kDeleteDoc[] = R"doc(删除对象（DeleteObject）。

参数：
    key: 对象名。
    headers: 额外请求头，会被就地补上签名头；默认 None。
    timeout: 超时，默认 None（使用客户端默认超时）。
返回：
    httpx.Response，不检查状态码。
)doc";

const char kListDoc[] = R"doc(列举一页对象（ListObjects）。

参数：
    prefix: 对象名前缀，默认 ""。
    marker: 从该对象名之后开始，通常为上一页的 "next_marker"；默认 ""。
    limit: 每页最多对象数（max-keys），默认 20。
    headers: 额外请求头，不会被修改；默认 None。
    timeout: 超时，默认 None（使用客户端默认超时）。
返回：
    {"objects": [{"key", "size", "last_modified", "etag"}, ...], "is_truncated": bool}，
    截断时另有 "next_marker"。
异常：
    状态码不是 200 时抛出 Exception("列举文件失败: <状态码> <响应文本>")。
)doc";

const char kInitiateDoc[] = R"doc(初始化分片上传（InitiateMultipartUpload）。

参数：
    key: 对象名。
    content_type: 最终对象的 Content-Type，默认 None（不发送）。
    headers: 额外请求头，不会被修改；默认 None。
    timeout: 超时，默认 None（使用客户端默认超时）。
返回：
    httpx.Response，其中的 XML 含 UploadId。
)doc";

const char kUploadPartDoc[] = R"doc(上传一个分片（UploadPart）。

参数：
    key: 对象名。
    upload_id: 初始化返回的 UploadId。
    part_number: 分片号，从 1 开始。
    data: bytes 或可读的文件对象（读取剩余全部内容）。
    content_type: Content-Type，默认 "application/octet-stream"；空串表示不发送。
    headers: 额外请求头，不会被修改；默认 None。
    timeout: 超时，默认 None（使用客户端默认超时）。
返回：
    httpx.Response，其 ETag 头用于完成上传。
)doc";

const char kFinishDoc[] = R"doc(完成分片上传（CompleteMultipartUpload）。

参数：
    key: 对象名。
    upload_id: 初始化返回的 UploadId。
    etags: 分片 1、2、3…… 的 ETag 列表，按顺序。
    new_object: 保留参数，不使用；默认 None。
    headers: 额外请求头，不会被修改；Content-Type 固定为 "application/xml"。默认 None。
    timeout: 超时，默认 None（使用客户端默认超时）。
返回：
    httpx.Response。
)doc";

const char kAbortDoc[] = R"doc(取消分片上传（AbortMultipartUpload）。

参数：
    key: 对象名。
    upload_id: 初始化返回的 UploadId。
    headers: 额外请求头；非空时就地补上签名头。默认 None。
    timeout: 超时，默认 None（使用客户端默认超时）。
返回：
    httpx.Response。
)doc";

const char kMultipartDownloadDoc[] = R"doc(按字节范围分片下载对象到本地文件。

先用 head 取得对象大小，再按顺序逐片 GET（Range，带 If-Match 为 head 的 ETag）并写入
同目录的临时文件，全部完成后才替换 local_path；失败时 local_path 保持原样。

参数：
    key: 对象名。
    local_path: 本地文件路径，缺失的目录会被创建，已有文件在下载完成后被替换。
    part_size: 每片字节数，默认 8388608（8 MiB）。
    callback: 进度回调 callback(分片序号(从 0 起), 总片数, 已下载字节, 总字节)；默认 None。
    timeout: 每个请求的超时，默认 None（使用客户端默认超时）。
返回：
    成功时返回 True。
异常：
    元信息请求失败、对象大小为 0、分片请求失败、Content-Range 或分片长度不符时抛出 Exception；
    网络错误和回调的异常原样抛出。
)doc";

}  // namespace

CIRROVA_MODULE(pelorin, m) {
    // A strong reference: clients outlive a module dropped from sys.modules.
    Py_XDECREF(pelorin::g_module);
    pelorin::g_module = nb::borrow(m).release().ptr();
    bind_imports(m, {{"hmac", "hmac"},
                     {"hashlib", "hashlib"},
                     {"base64", "base64"},
                     {"time", "time"},
                     {"os", "os"},
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
                     {"BaseStorageClient", "base", "BaseStorageClient", 1}});
    nb::tuple bases = nb::make_tuple(module_attr(m, "BaseStorageClient"));
    const char* H = "Optional[Dict[str, str]]";
    const char* T = "Optional[Union[float, tuple]]";
    const char* R = "httpx.Response";
    make_class(m, "PelorinOSSClient", bases, kClassDoc, {
        {"__init__", pelorin::init,
         {{"access_key_id", "str"}, {"access_key_secret", "str"}, {"bucket", "str"},
          {"region", "str", def_str("oss-cn-hangzhou")}, {"internal", "bool", def_bool(false)},
          {"domain_url", "Optional[str]", none}, {"timeout", T, none},
          {"http_client", "Optional[httpx.Client]", none},
          {"session_token", "Optional[str]", none, /*kw_only=*/true}},
         nullptr, kInitDoc},
        {"get_path_url", pelorin::get_path_url, {{"key", "str"}}, "str", kGetPathUrlDoc},
        {"_request", pelorin::request,
         {{"method", "str"}, {"key", "str"}, {"query_params", H, none}}, R, kRequestDoc, /*varkw=*/true},
        {"_sign_request", pelorin::sign_request,
         {{"method", "str"}, {"key", "str"}, {"headers", "Dict[str, str]"}, {"query_params", H, none}},
         "str", kSignRequestDoc},
        {"get_shared_url", pelorin::get_shared_url, {{"key", "str"}, {"expire_time", "int", def_int(1200)}},
         "str", kSharedUrlDoc},
        {"upload", pelorin::upload,
         {{"key", "str"}, {"data", "Union[bytes, str, BinaryIO]"}, {"content_type", "Optional[str]", none},
          {"content_md5", "Optional[str]", none}, {"headers", H, none}, {"timeout", T, none}},
         R, kUploadDoc},
        {"_download", pelorin::download, {{"key", "str"}, {"headers", H, none}, {"timeout", T, none}}, R,
         kDownloadDoc},
        {"head", pelorin::head, {{"key", "str"}, {"headers", H, none}, {"timeout", T, def_int(10)}}, R, kHeadDoc},
        {"delete", pelorin::delete_, {{"key", "str"}, {"headers", H, none}, {"timeout", T, none}}, R,
         kDeleteDoc},
        {"list", pelorin::list,
         {{"prefix", "str", def_str("")}, {"marker", "str", def_str("")}, {"limit", "int", def_int(20)},
          {"headers", H, none}, {"timeout", T, none}},
         "Dict", kListDoc},
        {"initiate_multipart_upload", pelorin::initiate_multipart_upload,
         {{"key", "str"}, {"content_type", "Optional[str]", none}, {"headers", H, none}, {"timeout", T, none}},
         R, kInitiateDoc},
        {"upload_part", pelorin::upload_part,
         {{"key", "str"}, {"upload_id", "str"}, {"part_number", "int"}, {"data", "Union[bytes, BinaryIO]"},
          {"content_type", "str", def_str("application/octet-stream")}, {"headers", H, none},
          {"timeout", T, none}},
         R, kUploadPartDoc},
        {"finish_multipart_upload", pelorin::finish_multipart_upload,
         {{"key", "str"}, {"upload_id", "str"}, {"etags", "List[str]"}, {"new_object", "Optional[str]", none},
          {"headers", H, none}, {"timeout", T, none}},
         R, kFinishDoc},
        {"abort_multipart_upload", pelorin::abort_multipart_upload,
         {{"key", "str"}, {"upload_id", "str"}, {"headers", H, none}, {"timeout", T, none}}, R, kAbortDoc},
        {"multipart_download", pelorin::multipart_download,
         {{"key", "str"}, {"local_path", "str"}, {"part_size", "int", def_int(8388608)},
          {"callback", "Optional[Callable[[int, int, int, int], None]]", none}, {"timeout", T, none}},
         "bool", kMultipartDownloadDoc},
    });
}
