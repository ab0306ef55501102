#include "dramlet.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "common/input.h"
#include "common/pyutil.h"
#include "common/quote.h"
#include "common/ranged_download.h"
#include "common/replacing_file.h"
#include "common/timeout.h"
#include "signing/ufile.h"

using namespace cirrova;

namespace {

// ---------------------------------------------------------------------------
// Module state and small helpers
// ---------------------------------------------------------------------------

PyObject* g_module = nullptr;    // cirrova.dramlet: the names bound at import
PyObject* g_builtins = nullptr;  // builtins: print and open, looked up per call

nb::object mod_attr(PyObject* name) { return getattr(g_module, name); }
nb::object builtin(PyObject* name) { return getattr(g_builtins, name); }

nb::object py_ll(long long v) { return steal_or_throw(PyLong_FromLongLong(v)); }

// An int as long long, saturating instead of overflowing.
long long ll_clamped(nb::handle o) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
    if (v == -1 && !overflow && PyErr_Occurred()) raise_current();
    if (overflow > 0) return LLONG_MAX;
    if (overflow < 0) return LLONG_MIN;
    return v;
}

// An int as long long; OverflowError when it does not fit.
long long ll_exact(nb::handle o) {
    long long v = PyLong_AsLongLong(o.ptr());
    if (v == -1 && PyErr_Occurred()) raise_current();
    return v;
}

// o == v, as Python compares.
bool equals(nb::handle o, long v) {
    nb::object n = steal_or_throw(PyLong_FromLong(v));
    int r = PyObject_RichCompareBool(o.ptr(), n.ptr(), Py_EQ);
    if (r < 0) raise_current();
    return r != 0;
}

nb::object status_of(nb::handle resp) { return getattr(resp, CIRROVA_STR("status_code")); }
bool status_is(nb::handle resp, long code) { return equals(status_of(resp), code); }

nb::object new_dict() { return steal_or_throw(PyDict_New()); }

bool nonempty_dict(nb::handle h) { return is_dict(h) && PyDict_Size(h.ptr()) > 0; }
bool nonempty_str(nb::handle h) { return is_str(h) && PyUnicode_GetLength(h.ptr()) > 0; }

// The caller's header dict itself when it is a non-empty dict, else a new one.
nb::object headers_or_new(nb::handle h) { return nonempty_dict(h) ? nb::borrow(h) : new_dict(); }

// A copy of the caller's header dict (never modified), or a new one.
nb::object headers_copy(nb::handle h) {
    return nonempty_dict(h) ? steal_or_throw(PyDict_Copy(h.ptr())) : new_dict();
}

void set_item(nb::handle mapping, PyObject* key, nb::handle value) {
    if (PyObject_SetItem(mapping.ptr(), key, value.ptr()) < 0) raise_current();
}

// mapping.get(name, default) through the object's own get().
nb::object get_member(nb::handle o, PyObject* name, nb::handle def) {
    return call_method(o, CIRROVA_STR("get"), {name, def.ptr()});
}

bool ordinary(const nb::python_error& e) { return e.matches(PyExc_Exception); }

// Runs `body`; an exception of the ordinary kind becomes the result False.
template <class F>
nb::object false_on_error(F&& body) {
    try {
        return body();
    } catch (nb::python_error& e) {
        if (!ordinary(e)) throw;
    }
    return nb::borrow(Py_False);
}

nb::object py_bool(bool v) { return nb::borrow(v ? Py_True : Py_False); }

// Calls `closer` on every way out; on the success path call done() so that
// its errors propagate, otherwise they are dropped and the pending error
// stays.
class Closer {
public:
    Closer(nb::object target, PyObject* method, std::initializer_list<PyObject*> args = {})
        : target_(std::move(target)), method_(method), args_(args) {}
    Closer(const Closer&) = delete;
    Closer& operator=(const Closer&) = delete;
    ~Closer() {
        if (target_.is_valid()) run_keeping_error([this] { done(); });
    }
    void done() {
        nb::object t = std::move(target_);
        call_method(t, method_, args_.data(), args_.size());
    }

private:
    nb::object target_;
    PyObject* method_;
    std::vector<PyObject*> args_;  // borrowed singletons (None)
};

nb::object open_file(nb::handle path, PyObject* mode) {
    nb::object open = builtin(CIRROVA_STR("open"));
    return vcall(open, {path.ptr(), mode});
}

// int(resp.headers.get("Content-Length", 0))
nb::object content_length(nb::handle resp) {
    nb::object headers = getattr(resp, CIRROVA_STR("headers"));
    nb::object zero = py_ll(0);
    nb::object v = get_member(headers, CIRROVA_STR("Content-Length"), zero);
    return steal_or_throw(PyNumber_Long(v.ptr()));
}

nb::object attr(nb::handle self, PyObject* name) { return getattr(self, name); }

// The Authorization value of header authentication, built from a signature.
nb::object auth_value(nb::handle self, nb::handle signature) {
    StrAttr pk(self, CIRROVA_STR("public_key"));
    return to_str(ufile::authorization(pk.view, text_of(signature)));
}

// {"Authorization": self._build_auth_header(key, "GET")}
nb::object get_auth_headers(nb::handle self, nb::handle key) {
    nb::object auth = call_method(self, CIRROVA_STR("_build_auth_header"), {key.ptr(), CIRROVA_STR("GET")});
    nb::object h = new_dict();
    set_item(h, CIRROVA_STR("Authorization"), auth);
    return h;
}

// base + "/" + the quoted key, base being the text of a URL attribute.
nb::object object_url(nb::handle base, nb::handle key) {
    std::string url(utf8(base));
    url += '/';
    append_quoted_key(url, utf8(key));
    return to_str(url);
}

// ---------------------------------------------------------------------------
// Docstrings
// ---------------------------------------------------------------------------

const char kClassDoc[] =
    "UCloud 对象存储（UFile）客户端。\n"
    "\n"
    "每个请求都用 UFile 的 HMAC-SHA1 签名（Authorization: UCloud <公钥>:<签名>），经 httpx.Client\n"
    "发送；_request 发出的每个请求的 URL 会打印到标准输出。对象键在 URL 中按 UTF-8 百分号编码\n"
    "（保留 \"/\"），签名则覆盖原始键。\n"
    "\n"
    "支持的操作：\n"
    "    upload / upload_file / upload_with_retry\n"
    "                             上传对象（PutFile），可重试\n"
    "    _download / get_content / download\n"
    "                             下载对象（GetFile），整体读取、保存或流式保存到文件\n"
    "    multipart_download       按字节范围分片下载到本地文件（GetFile + Range）\n"
    "    head / is_exists         查询对象元数据（HeadFile）\n"
    "    delete / delete_file     删除对象（DeleteFile）\n"
    "    list                     按前缀分页列出对象（GetFileList）\n"
    "    get_path_url             对象的公开访问 URL\n"
    "    get_shared_url           带签名的限时分享 URL\n"
    "    initiate_multipart_upload / upload_part / finish_multipart_upload /\n"
    "    abort_multipart_upload   分片上传（InitiateMultipartUpload、UploadPart、\n"
    "                             FinishMultipartUpload、AbortMultipartUpload）\n"
    "    multipart_upload / multipart_upload_bytes\n"
    "                             从本地文件或内存字节完成整个分片上传，分片失败重试，\n"
    "                             出错时放弃上传\n"
    "\n"
    "示例：\n"
    "    client = DramletFileClient(\"公钥\", \"私钥\", \"my-bucket\")\n"
    "    client = DramletFileClient(\"公钥\", \"私钥\", \"my-bucket\", region=\"cn-bj\",\n"
    "                               internal=True, timeout=30)\n"
    "    client = DramletFileClient(\"公钥\", \"私钥\", \"my-bucket\",\n"
    "                               domain_url=\"https://cdn.example.com\", is_domain_upload=True)\n"
    "    client.upload(\"a/b.txt\", b\"hello\", content_type=\"text/plain\")\n"
    "    client.get_shared_url(\"a/b.txt\", expire_time=600)\n";

const char kInitDoc[] =
    "创建 UFile 客户端。\n"
    "\n"
    "参数：\n"
    "    public_key   公钥，出现在每个 Authorization 值和分享 URL 中\n"
    "    private_key  私钥，HMAC-SHA1 签名的密钥\n"
    "    bucket       存储空间名\n"
    "    region       地域，默认 \"cn-wlcb\"\n"
    "    internal     是否使用内网域名 bucket.internal-<region>.ufileos.com，默认 False\n"
    "    domain_url   自定义域名（去掉末尾的 \"/\"），默认 None；get_path_url 与分享 URL 使用它\n"
    "    timeout      默认超时（秒数或 (连接, 读取) 元组），默认 None；仅在请求未给超时时使用\n"
    "    http_client  使用的 httpx.Client，默认 None 表示按 HTTP_CLIENT_CONFIG 新建一个\n"
    "    scheme       原生域名的协议，\"https\"（默认）或 \"http\"，其他值抛出 ValueError\n"
    "    verify       新建 HTTP 客户端时是否校验 TLS 证书，默认 False（写入共享的\n"
    "                 HTTP_CLIENT_CONFIG）；对传入的 http_client 不起作用\n"
    "    **kwargs     只读取 is_domain_upload：为真且非内网时上传经由自定义域名；其余忽略\n"
    "\n"
    "原生公网域名为 scheme://bucket.region.ufileos.com，内网为 scheme://bucket.internal-region.ufileos.com。";

const char kKeySortDoc[] =
    "返回按键（Unicode 码点顺序）升序排列的新字典，不修改 params。\n"
    "\n"
    "参数：\n"
    "    params  要排序的字典\n"
    "键之间无法比较时抛出 TypeError。";

const char kCanonResourceDoc[] =
    "签名用的资源串：\"/\" + bucket + \"/\" + key（键不编码，不含查询参数）。\n"
    "\n"
    "参数：\n"
    "    key  对象键，空串得到 \"/bucket/\"";

const char kCanonHeadersDoc[] =
    "签名用的 UCloud 头部块。\n"
    "\n"
    "参数：\n"
    "    headers  请求头字典\n"
    "名称转为小写后以 \"x-ucloud-\" 开头的头部按小写名排序，每个一行 \"名称:值\\n\"；\n"
    "大小写不同的同名头部以字典中靠后的为准。没有这类头部时返回空串。";

const char kSignDoc[] =
    "用私钥对待签名串做 HMAC-SHA1，返回 Base64 文本（28 个字符）。\n"
    "\n"
    "参数：\n"
    "    string_to_sign  待签名串";

const char kMakeAuthDoc[] =
    "计算 UFile 签名。\n"
    "\n"
    "待签名串为 method、content_md5、content_type、expires 各占一行，随后是 UCloud 头部块和\n"
    "\"/bucket/key\"。\n"
    "\n"
    "参数：\n"
    "    key           对象键（原始文本）\n"
    "    expires       日期位：头部认证为空串，分享 URL 为过期时间（十进制文本）\n"
    "    method        HTTP 方法，默认 \"GET\"\n"
    "    content_md5   Content-MD5，默认空串\n"
    "    content_type  Content-Type，默认空串\n"
    "    headers       请求头（其中的 x-ucloud- 头部参与签名），默认 None\n"
    "返回 Base64 签名文本。";

const char kBuildAuthDoc[] =
    "头部认证的 Authorization 值：\"UCloud \" + 公钥 + \":\" + 签名（日期位为空）。\n"
    "\n"
    "参数：\n"
    "    key           对象键\n"
    "    method        HTTP 方法\n"
    "    content_md5   Content-MD5，默认空串\n"
    "    content_type  Content-Type，默认空串\n"
    "    headers       请求头，默认 None";

const char kRequestDoc[] =
    "构造、签名并发送一个针对对象的请求，返回 httpx.Response（不检查状态码）。\n"
    "\n"
    "参数：\n"
    "    method        HTTP 方法（大写）\n"
    "    key           对象键；非空时 URL 为 base_url + \"/\" + 编码后的键，空串时为 base_url\n"
    "    query_params  查询参数字典，默认 None；值为空串的参数只写名称，其余值做百分号编码\n"
    "    base_url      基础 URL，默认 None 表示 host（上传域名）\n"
    "    **kwargs      交给 httpx.Client.request 的其他参数；headers 字典会被原地写入\n"
    "                  Authorization；未给 timeout（或为 None）时使用 default_timeout\n"
    "请求 URL（不含查询串）会打印到标准输出。签名取请求头中的 Content-MD5 与 Content-Type\n"
    "（名称不区分大小写），不覆盖查询串。";

const char kPathUrlDoc[] =
    "对象的公开访问 URL：domain_url + \"/\" + 编码后的键（不签名）。\n"
    "\n"
    "参数：\n"
    "    key  对象键";

const char kSharedUrlDoc[] =
    "带签名的限时分享 URL。\n"
    "\n"
    "参数：\n"
    "    key          对象键，不能为空（ValueError）\n"
    "    expire_time  有效期（秒），默认 1200；不大于 0 时抛出 ValueError\n"
    "返回 基础 URL + \"/\" + 编码后的键 + \"?UCloudPublicKey=...&Signature=...&Expires=...\"；\n"
    "有自定义域名时基础 URL 为 domain_url，否则为公网 external_url（内网客户端也一样）。";

const char kUploadDoc[] =
    "上传对象（PutFile），返回 httpx.Response。\n"
    "\n"
    "参数：\n"
    "    key           对象键，不能为空（ValueError）\n"
    "    data          bytes、bytearray、memoryview、str（按 UTF-8 发送）或带 read() 的文件对象（读取剩余\n"
    "                  全部内容）；None 抛出 TypeError\n"
    "    content_type  Content-Type，默认 None；None 或空串不发送；非空时替换 headers 中任意大小写的同名头\n"
    "    content_md5   Content-MD5，默认 None；客户端不自行计算；非空时同样替换同名头\n"
    "    headers       额外请求头，默认 None；不会被修改\n"
    "    timeout       超时，默认 None 表示 default_timeout";

const char kUploadFileDoc[] =
    "上传本地文件，状态码为 200 时返回 True，否则 False。\n"
    "\n"
    "参数：\n"
    "    key           对象键\n"
    "    local_path    本地文件路径；不是已存在的普通文件时抛出 FileNotFoundError\n"
    "    content_type  Content-Type，默认 None 表示按文件扩展名推断\n"
    "    headers       额外请求头，默认 None\n"
    "    timeout       超时，默认 None";

const char kUploadRetryDoc[] =
    "上传对象，直到服务返回 200 或用完尝试次数；成功返回 True，否则 False。\n"
    "\n"
    "参数：\n"
    "    key           对象键，不能为空（ValueError）\n"
    "    data          bytes、str 或文件对象（只读取一次，每次尝试发送相同内容）；None 抛出 TypeError\n"
    "    content_type  Content-Type，默认 None\n"
    "    content_md5   Content-MD5，默认 None\n"
    "    headers       额外请求头，默认 None\n"
    "    timeout       超时，默认 None\n"
    "    retries       总尝试次数（含第一次），默认 3；不大于 0 时不发送\n"
    "两次尝试之间短暂等待（0.05 秒起逐次加倍，最多 1 秒）；调用方的编程错误\n"
    "（TypeError、ValueError）立即抛出，其余普通异常被忽略并进入下一次尝试。";

const char kDownloadRawDoc[] =
    "下载对象（GetFile），返回原始 httpx.Response。\n"
    "\n"
    "参数：\n"
    "    key      对象键\n"
    "    headers  请求头，默认 None；非空字典会被写入 Authorization";

const char kGetContentDoc[] =
    "读取对象内容。\n"
    "\n"
    "参数：\n"
    "    key       对象键\n"
    "    as_text   为真时按 encoding 解码返回 str，默认 False 返回 bytes\n"
    "    encoding  文本编码，默认 \"utf-8\"（严格解码）\n"
    "状态码不是 200 时抛出 Exception(\"下载失败: <状态码>\")。";

const char kDownloadDoc[] =
    "下载对象到本地文件，成功返回 True，任何普通异常或非 200 状态返回 False。\n"
    "\n"
    "参数：\n"
    "    key         对象键\n"
    "    local_path  本地文件路径，缺少的目录会被创建\n"
    "    chunk_size  给出时流式下载，每块至多 chunk_size 字节（不大于 0 时为 8 MiB），默认 None\n"
    "    timeout     流式下载的超时，默认 None 表示 default_timeout\n"
    "先用 head 取得大小；5 GiB 及以上的对象总是以 8 MiB（或 chunk_size）分块流式写入磁盘。\n"
    "内容先写入同目录的临时文件，完整后才替换 local_path；失败时 local_path 保持原样。";

const char kMultipartDownloadDoc[] =
    "按字节范围分片下载对象到本地文件，成功返回 True，失败返回 False。\n"
    "\n"
    "参数：\n"
    "    key         对象键\n"
    "    local_path  本地文件路径，缺少的目录会被创建\n"
    "    part_size   每片字节数，默认 8388608（8 MiB）\n"
    "    callback    进度回调 callback(分片序号, 分片总数, 已下载字节, 总字节)，序号从 0 开始\n"
    "    timeout     每个分片请求的超时，默认 None 表示 default_timeout\n"
    "206 的 Content-Range 与响应体长度必须恰为所请求的范围；服务忽略 Range 而返回\n"
    "整个对象（200，长度等于 head 的大小）时，文件改写为该对象并结束。内容先写入同目录\n"
    "的临时文件，完整后才替换 local_path。对象大小为 0、分片失败或任何普通异常时返回\n"
    "False，local_path 保持原样。";

const char kHeadDoc[] =
    "查询对象元数据（HeadFile），返回 httpx.Response。\n"
    "\n"
    "参数：\n"
    "    key      对象键\n"
    "    headers  请求头，默认 None\n"
    "    timeout  超时，默认 10 秒；显式传 None 时使用 default_timeout";

const char kIsExistsDoc[] =
    "对象是否存在：HEAD 返回 200 时为 True，否则 False。\n"
    "\n"
    "参数：\n"
    "    key  对象键";

const char kDeleteDoc[] =
    "删除对象（DeleteFile），返回 httpx.Response（成功时为 204）。\n"
    "\n"
    "参数：\n"
    "    key      对象键\n"
    "    headers  请求头，默认 None";

const char kDeleteFileDoc[] =
    "删除对象：服务返回 204 时为 True，否则 False。\n"
    "\n"
    "参数：\n"
    "    key  对象键";

const char kListDoc[] =
    "按前缀列出一页对象（GetFileList）。\n"
    "\n"
    "参数：\n"
    "    prefix   键前缀，默认空串\n"
    "    marker   起始标记（上一页的 next_marker），默认空串\n"
    "    limit    每页数量，默认 20\n"
    "    headers  请求头，默认 None；不会被修改\n"
    "    timeout  超时，默认 None 表示 default_timeout\n"
    "返回 {\"objects\": [{\"key\", \"size\", \"modify_time\", \"mime_type\", \"etag\"}, ...],\n"
    "\"is_truncated\": bool}，截断时另有 \"next_marker\"。状态码不是 200 时抛出\n"
    "Exception(\"获取文件列表失败: <状态码> <响应文本>\")。";

const char kInitiateDoc[] =
    "初始化分片上传（InitiateMultipartUpload），返回 httpx.Response。\n"
    "\n"
    "参数：\n"
    "    key           对象键\n"
    "    content_type  Content-Type，默认 None 表示不发送\n"
    "    headers       额外请求头，默认 None；不会被修改\n"
    "响应 JSON 含 UploadId 与 BlkSize（服务建议的分片大小）。";

const char kUploadPartDoc[] =
    "上传一个分片（UploadPart），返回 httpx.Response（ETag 头为分片的标签）。\n"
    "\n"
    "参数：\n"
    "    key           对象键\n"
    "    upload_id     初始化返回的 UploadId\n"
    "    part_number   分片号，从 0 开始\n"
    "    data          分片内容\n"
    "    content_type  Content-Type，默认 \"application/octet-stream\"\n"
    "    headers       额外请求头，默认 None；不会被修改";

const char kFinishDoc[] =
    "完成分片上传（FinishMultipartUpload），返回 httpx.Response。\n"
    "\n"
    "参数：\n"
    "    key         对象键\n"
    "    upload_id   UploadId\n"
    "    etags       按分片号排列的 ETag 列表，以 \",\" 连接作为请求体\n"
    "    new_object  最终对象名，默认 None 表示沿用 key\n"
    "    headers     额外请求头，默认 None；不会被修改";

const char kAbortDoc[] =
    "放弃分片上传（AbortMultipartUpload），返回 httpx.Response；已上传的分片被丢弃。\n"
    "\n"
    "参数：\n"
    "    key        对象键\n"
    "    upload_id  UploadId\n"
    "    headers    请求头，默认 None";

const char kMultipartUploadDoc[] =
    "把本地文件分片上传为一个对象。\n"
    "\n"
    "参数：\n"
    "    key           对象键\n"
    "    file_path     本地文件路径；文件不存在时在发送任何请求前抛出 OSError\n"
    "    content_type  Content-Type，默认 None 表示 \"application/octet-stream\"\n"
    "    part_size     分片大小，默认 None 表示采用服务返回的 BlkSize（缺省 4 MiB）\n"
    "    headers       额外请求头，默认 None\n"
    "    callback      进度回调 callback(分片序号, 分片总数, 已上传字节, 总字节)\n"
    "    retries       每个分片的尝试次数，默认 3\n"
    "返回 {\"upload_id\", \"etags\", \"result\"}（result 为完成请求的 JSON；完成请求答 200 但\n"
    "响应体不是 JSON 时为 None，上传仍算成功）。分片响应没有 ETag 时该分片失败。初始化后出现\n"
    "任何普通异常时先放弃上传再原样抛出；初始化失败抛出 Exception(\"初始化分片失败: ...\")，\n"
    "完成失败抛出 Exception(\"完成分片失败: ...\")。";

const char kMultipartUploadBytesDoc[] =
    "把内存中的 bytes 分片上传为一个对象。\n"
    "\n"
    "参数：\n"
    "    key           对象键\n"
    "    data          要上传的字节\n"
    "    content_type  Content-Type，默认 None 表示 \"application/octet-stream\"\n"
    "    part_size     分片大小，默认 None 表示采用服务返回的 BlkSize（缺省 4 MiB）\n"
    "    headers       额外请求头，默认 None\n"
    "    callback      进度回调 callback(分片序号, 分片总数, 已上传字节, 总字节)\n"
    "    retries       每个分片的尝试次数，默认 3\n"
    "返回值与失败处理同 multipart_upload。";

// ---------------------------------------------------------------------------
// Multipart upload driver shared by the file and bytes forms
// ---------------------------------------------------------------------------

// The part size from the service's "BlkSize": int() of the member, > 0.
long long blk_size_of(nb::handle blk) {
    nb::object n = steal_or_throw(PyNumber_Long(blk.ptr()));
    long long v = ll_clamped(n);
    if (v <= 0) raise_exception("分片大小无效: " + text_of(n));
    return v;
}

nb::object drive_multipart(Args& a, bool from_file) {
    auto [key, source, content_type_arg, part_size, headers, callback, retries] = a.names<7>();
    nb::handle self = a.self;
    require_key(key);
    const bool user_part_size = !part_size.is_none();
    long long part = dramlet::kDefaultUploadPartSize;
    if (user_part_size) {
        part = ll_clamped(part_size);
        if (part <= 0) raise(PyExc_ValueError, "part_size 必须大于 0: " + text_of(part_size));
    }
    nb::object content_type =
        content_type_arg.is_none() ? to_str("application/octet-stream") : nb::borrow(content_type_arg);

    long long file_size;
    if (from_file) {
        nb::object ospath = getattr(mod_attr(CIRROVA_STR("os")), CIRROVA_STR("path"));
        file_size = ll_exact(call_method(ospath, CIRROVA_STR("getsize"), {source.ptr()}));
    } else {
        file_size = (long long)PyBytes_Size(source.ptr());
    }
    nb::object file_size_obj = py_ll(file_size);

    nb::object upload_id = nb::none();
    nb::object etags = steal_or_throw(PyList_New(0));
    nb::object failure;  // an ordinary error after which the upload is aborted
    try {
        nb::object resp = call_method(self, CIRROVA_STR("initiate_multipart_upload"),
                                      {key.ptr(), content_type.ptr(), headers.ptr()},
                                      CIRROVA_KWNAMES("content_type", "headers"));
        if (!status_is(resp, 200)) raise_exception("初始化分片失败: " + status_and_text(resp));
        nb::object init = call_method(resp, CIRROVA_STR("json"), {});
        upload_id = steal_or_throw(PyObject_GetItem(init.ptr(), CIRROVA_STR("UploadId")));
        nb::object part_obj = py_ll(part);
        nb::object blk = get_member(init, CIRROVA_STR("BlkSize"), part_obj);
        if (!user_part_size) part = blk_size_of(blk);
        const long long total = file_size / part + (file_size % part != 0);
        nb::object total_obj = py_ll(total);

        nb::object file;
        std::unique_ptr<Closer> file_closer;
        if (from_file) {
            file = open_file(source, CIRROVA_STR("rb"));
            file_closer = std::make_unique<Closer>(file, CIRROVA_STR("close"));
        }
        // Reads never ask for more than the file holds: same parts, bounded buffers.
        nb::object read_size = py_ll(file_size > 0 ? std::min(part, file_size) : part);
        std::string_view bytes = from_file ? std::string_view() : bytes_view(source);

        for (long long i = 0; i < total; ++i) {
            const long long start = i * part;
            nb::object chunk;
            if (from_file) {
                chunk = call_method(file, CIRROVA_STR("read"), {read_size.ptr()});
                Py_ssize_t n = PyObject_Length(chunk.ptr());
                if (n < 0) raise_current();
                if (n == 0) break;  // the file became shorter
            } else {
                const long long len = std::min(part, file_size - start);
                chunk = (start == 0 && len == file_size)
                            ? nb::borrow(source)
                            : nb::object(to_bytes(bytes.substr((size_t)start, (size_t)len)));
            }
            nb::object number = py_ll(i);
            nb::object part_resp = call_method(
                self, CIRROVA_STR("_upload_part_with_retry"),
                {key.ptr(), upload_id.ptr(), number.ptr(), chunk.ptr(), content_type.ptr(), headers.ptr(),
                 retries.ptr()},
                CIRROVA_KWNAMES("content_type", "headers", "retries"));
            chunk.reset();
            nb::object resp_headers = getattr(part_resp, CIRROVA_STR("headers"));
            nb::object etag = get_member(resp_headers, CIRROVA_STR("ETag"), to_str(""));
            etag = call_method(etag, CIRROVA_STR("strip"), {CIRROVA_STR("\"")});
            // The completion names every part by its tag: a part without one
            // was not stored as sent.
            if (!truthy(etag)) raise_exception("分片 " + std::to_string(i) + " 上传失败: 响应没有 ETag");
            if (PyList_Append(etags.ptr(), etag.ptr()) < 0) raise_current();
            release_reply(part_resp);  // frees the part's bytes now
            resp_headers.reset();
            part_resp.reset();
            if (truthy(callback)) {
                nb::object done = py_ll(start + std::min(part, file_size - start));
                vcall(callback, {number.ptr(), total_obj.ptr(), done.ptr(), file_size_obj.ptr()});
            }
        }
        if (file_closer) file_closer->done();

        resp = call_method(self, CIRROVA_STR("finish_multipart_upload"),
                           {key.ptr(), upload_id.ptr(), etags.ptr(), headers.ptr()}, CIRROVA_KWNAMES("headers"));
        if (!status_is(resp, 200)) raise_exception("完成分片失败: " + status_and_text(resp));
        // The object is complete once the service answered 200: a body that
        // is not JSON gives no result, and must not abort the upload.
        nb::object result = nb::none();
        try {
            result = call_method(resp, CIRROVA_STR("json"), {});
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_ValueError)) throw;
        }

        nb::object out = new_dict();
        set_item(out, CIRROVA_STR("upload_id"), upload_id);
        set_item(out, CIRROVA_STR("etags"), etags);
        set_item(out, CIRROVA_STR("result"), result);
        return out;
    } catch (nb::python_error& e) {
        if (!ordinary(e)) throw;
        failure = take_error(e);
    }
    // The abort runs outside the handler, with the error kept as an object
    // (see take_error): the interpreter may end this thread inside it.
    if (truthy(upload_id)) {
        try {
            call_method(self, CIRROVA_STR("abort_multipart_upload"), {key.ptr(), upload_id.ptr()});
        } catch (nb::python_error& abort_error) {
            if (!ordinary(abort_error)) throw;
        }
    }
    rethrow_error(std::move(failure));
}

}  // namespace

namespace cirrova::dramlet {

// ---------------------------------------------------------------------------
// Construction
// ---------------------------------------------------------------------------

nb::object init(Args& a) {
    auto [public_key, private_key, bucket, region, internal_arg, domain_url_arg, timeout, http_client, scheme,
          verify] = a.names<10>();
    nb::handle self = a.self;
    if (PyUnicode_CompareWithASCIIString(scheme.ptr(), "http") != 0 &&
        PyUnicode_CompareWithASCIIString(scheme.ptr(), "https") != 0) {
        nb::object r = steal_or_throw(PyObject_Repr(scheme.ptr()));
        raise(PyExc_ValueError, "scheme 只能为 'http' 或 'https'，当前: " + std::string(utf8(r)));
    }
    const bool internal = internal_arg.ptr() == Py_True;
    setattr(self, CIRROVA_STR("public_key"), public_key);
    setattr(self, CIRROVA_STR("private_key"), private_key);
    setattr(self, CIRROVA_STR("bucket"), bucket);
    setattr(self, CIRROVA_STR("region"), region);
    setattr(self, CIRROVA_STR("internal"), internal_arg);
    setattr(self, CIRROVA_STR("default_timeout"), timeout);

    static const std::string domain(ufile::kDomain);
    nb::object external = steal_or_throw(
        PyUnicode_FromFormat("%U://%U.%U%s", scheme.ptr(), bucket.ptr(), region.ptr(), domain.c_str()));
    nb::object intranet = steal_or_throw(
        PyUnicode_FromFormat("%U://%U.internal-%U%s", scheme.ptr(), bucket.ptr(), region.ptr(), domain.c_str()));
    nb::object host = internal ? intranet : external;
    setattr(self, CIRROVA_STR("external_url"), external);
    setattr(self, CIRROVA_STR("intranet_url"), intranet);
    setattr(self, CIRROVA_STR("host"), host);
    setattr(self, CIRROVA_STR("_api_host"), host);
    setattr(self, CIRROVA_STR("_custom_domain"), py_bool(!domain_url_arg.is_none()));

    nb::object domain_url = nonempty_str(domain_url_arg)
                                ? call_method(domain_url_arg, CIRROVA_STR("rstrip"), {CIRROVA_STR("/")})
                                : host;
    setattr(self, CIRROVA_STR("domain_url"), domain_url);

    PyObject* domain_upload = PyDict_GetItemWithError(a.kwargs().ptr(), CIRROVA_STR("is_domain_upload"));
    if (!domain_upload && PyErr_Occurred()) raise_current();
    if (domain_upload && truthy(domain_upload) && !internal) setattr(self, CIRROVA_STR("host"), domain_url);

    nb::object client;
    if (http_client.is_none()) {
        nb::object config = mod_attr(CIRROVA_STR("HTTP_CLIENT_CONFIG"));
        set_item(config, CIRROVA_STR("verify"), py_bool(truthy(verify)));
        nb::object kwargs = new_dict();
        if (PyDict_Update(kwargs.ptr(), config.ptr()) < 0) raise_current();
        nb::object client_type = getattr(mod_attr(CIRROVA_STR("httpx")), CIRROVA_STR("Client"));
        nb::object no_args = steal_or_throw(PyTuple_New(0));
        client = steal_or_throw(PyObject_Call(client_type.ptr(), no_args.ptr(), kwargs.ptr()));
    } else {
        client = nb::borrow(http_client);
    }
    setattr(self, CIRROVA_STR("_client"), client);
    return nb::none();
}

// ---------------------------------------------------------------------------
// Signature
// ---------------------------------------------------------------------------

nb::object key_sort(Args& a) {
    auto [params] = a.names<1>();
    nb::object items = steal_or_throw(PyDict_Items(params.ptr()));
    if (PyList_Sort(items.ptr()) < 0) raise_current();
    nb::object out = new_dict();
    Py_ssize_t n = PyList_Size(items.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GetItem(items.ptr(), i);
        if (PyDict_SetItem(out.ptr(), PyTuple_GetItem(item, 0), PyTuple_GetItem(item, 1)) < 0) raise_current();
    }
    return out;
}

nb::object canonicalized_resource(Args& a) {
    auto [key] = a.names<1>();
    StrAttr bucket(a.self, CIRROVA_STR("bucket"));
    return to_str(ufile::canonical_resource(bucket.view, utf8(key)));
}

namespace {

// name.lower(), with a fast path for ASCII text.
nb::object lower_name(nb::handle name) {
    if (is_str(name)) {
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(name.ptr(), &n);
        if (p) {
            bool ascii = true, upper = false;
            for (Py_ssize_t i = 0; i < n; ++i) {
                unsigned char c = (unsigned char)p[i];
                if (c >= 0x80) {
                    ascii = false;
                    break;
                }
                if (c >= 'A' && c <= 'Z') upper = true;
            }
            if (ascii) return upper ? nb::object(to_str(ascii_lower({p, (size_t)n}))) : nb::borrow(name);
        } else {
            PyErr_Clear();
        }
    }
    return call_method(name, CIRROVA_STR("lower"), {});
}

bool has_vendor_prefix(nb::handle lower) {
    static PyObject* prefix = intern_forever(std::string(ufile::kHeaderPrefix).c_str());
    if (is_str(lower)) {
        Py_ssize_t r = PyUnicode_Tailmatch(lower.ptr(), prefix, 0, PY_SSIZE_T_MAX, -1);
        if (r < 0) raise_current();
        return r != 0;
    }
    return truthy(call_method(lower, CIRROVA_STR("startswith"), {prefix}));
}

// The (key, value) pairs of a dict (a snapshot), or of any mapping's items().
nb::object items_of(nb::handle mapping) {
    if (PyDict_Check(mapping.ptr())) return steal_or_throw(PyDict_Items(mapping.ptr()));
    nb::object it = call_method(mapping, CIRROVA_STR("items"), {});
    return steal_or_throw(PySequence_List(it.ptr()));
}

}  // namespace

nb::object canonicalized_headers(Args& a);
nb::object sign(Args& a);
nb::object make_authorization(Args& a);

namespace {

// The pieces of the header signature. Each goes through the method of that
// name when a subclass (or the instance) replaces it; else it is computed
// here, without the call and its intermediate Python strings.

std::string resource_text(nb::handle self, nb::handle key) {
    if (is_own(self, CIRROVA_STR("_canonicalized_resource"), canonicalized_resource)) {
        StrAttr bucket(self, CIRROVA_STR("bucket"));
        return ufile::canonical_resource(bucket.view, utf8(key));
    }
    nb::object r = call_method(self, CIRROVA_STR("_canonicalized_resource"), {key.ptr()});
    return std::string(utf8(r));
}

// The vendor block of a plain dict straight from its entries, in name order:
// false, with nothing written, when a name is not an exact str, a vendor name
// is not ASCII or a vendor value is not an exact str (the general path below
// handles those). Nothing here runs Python code, so the dict cannot change
// under the views.
bool plain_dict_block(nb::handle headers, std::string& block) {
    ufile::Pairs vendor;
    vendor.reserve((size_t)PyDict_Size(headers.ptr()));
    constexpr std::string_view prefix = ufile::kHeaderPrefix;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(headers.ptr(), &pos, &k, &v)) {
        if (!PyUnicode_CheckExact(k)) return false;
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(k, &n);
        if (!p) {
            PyErr_Clear();
            return false;
        }
        std::string_view name(p, (size_t)n);
        // No non-ASCII letter lower-cases into the prefix's letters.
        if (name.size() < prefix.size() || !ascii_iequals(name.substr(0, prefix.size()), prefix)) continue;
        if (std::any_of(name.begin(), name.end(), [](char c) { return (unsigned char)c >= 0x80; })) return false;
        if (!PyUnicode_CheckExact(v)) return false;
        const char* vp = PyUnicode_AsUTF8AndSize(v, &n);
        if (!vp) {
            PyErr_Clear();
            return false;
        }
        vendor.emplace_back(name, std::string_view(vp, (size_t)n));
    }
    // Later duplicates win, as in the dict of lowered names.
    block = ufile::canonical_headers(vendor);
    return true;
}

// "name:value\n" per vendor header: names lower-cased, later duplicates
// winning, ordered by self._key_sort.
std::string headers_block(nb::handle self, nb::handle headers) {
    std::string plain;
    if (PyDict_CheckExact(headers.ptr()) && is_own(self, CIRROVA_STR("_key_sort"), key_sort) &&
        plain_dict_block(headers, plain))
        return plain;
    nb::object vendor = new_dict();
    nb::object items = items_of(headers);
    Py_ssize_t n = PyList_Size(items.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::handle item = PyList_GetItem(items.ptr(), i);
        nb::handle name = PyTuple_GetItem(item.ptr(), 0);
        nb::handle value = PyTuple_GetItem(item.ptr(), 1);
        nb::object lower = lower_name(name);
        if (!has_vendor_prefix(lower)) continue;
        nb::object text = is_str(value) ? nb::borrow(value) : str_of(value);
        if (PyObject_SetItem(vendor.ptr(), lower.ptr(), text.ptr()) < 0) raise_current();
    }
    if (PyDict_Size(vendor.ptr()) == 0) return {};

    nb::object lines;
    if (is_own(self, CIRROVA_STR("_key_sort"), key_sort)) {
        // The same order _key_sort gives, without its dict.
        lines = steal_or_throw(PyDict_Items(vendor.ptr()));
        if (PyList_Sort(lines.ptr()) < 0) raise_current();
    } else {
        lines = items_of(call_method(self, CIRROVA_STR("_key_sort"), {vendor.ptr()}));
    }
    std::string block;
    Py_ssize_t m = PySequence_Size(lines.ptr());
    if (m < 0) raise_current();
    for (Py_ssize_t i = 0; i < m; ++i) {
        nb::object item = steal_or_throw(PySequence_GetItem(lines.ptr(), i));
        nb::object k = steal_or_throw(PySequence_GetItem(item.ptr(), 0));
        nb::object v = steal_or_throw(PySequence_GetItem(item.ptr(), 1));
        block += text_of(k);
        block += ':';
        block += text_of(v);
        block += '\n';
    }
    return block;
}

std::string headers_text(nb::handle self, nb::handle headers) {
    if (is_own(self, CIRROVA_STR("_canonicalized_dramlet_headers"), canonicalized_headers))
        return headers_block(self, headers);
    nb::object r = call_method(self, CIRROVA_STR("_canonicalized_dramlet_headers"), {headers.ptr()});
    return std::string(utf8(r));
}

// A str or None result of _sign, as _make_authorization's own result check
// demands.
std::optional<std::string> signature_result(nb::handle r) {
    if (r.is_none()) return std::nullopt;
    if (!PyUnicode_CheckExact(r.ptr())) raise(PyExc_TypeError, "Expected str, got " + py_type_name(r));
    return std::string(utf8(r));
}

std::optional<std::string> signature_text(nb::handle self, const std::string& string_to_sign) {
    if (is_own(self, CIRROVA_STR("_sign"), sign)) {
        StrAttr private_key(self, CIRROVA_STR("private_key"));
        return ufile::sign(private_key.view, string_to_sign);
    }
    nb::object text = to_str(string_to_sign);
    return signature_result(call_method(self, CIRROVA_STR("_sign"), {text.ptr()}));
}

// What _make_authorization(key, expires, method, content_md5, content_type,
// headers) returns, with arguments already of their annotated types.
std::optional<std::string> authorization_text(nb::handle self, nb::handle key, nb::handle expires, nb::handle method,
                               nb::handle content_md5, nb::handle content_type, nb::handle headers) {
    nb::object h = nonempty_dict(headers) ? nb::borrow(headers) : new_dict();
    std::string resource = resource_text(self, key);
    std::string block = headers_text(self, h);
    std::string sts = ufile::string_to_sign(utf8(method), utf8(content_md5), utf8(content_type), utf8(expires),
                                            block, resource);
    return signature_text(self, sts);
}

}  // namespace

nb::object canonicalized_headers(Args& a) {
    auto [headers] = a.names<1>();
    return to_str(headers_block(a.self, headers));
}

nb::object sign(Args& a) {
    auto [string_to_sign] = a.names<1>();
    StrAttr private_key(a.self, CIRROVA_STR("private_key"));
    return to_str(ufile::sign(private_key.view, utf8(string_to_sign)));
}

nb::object make_authorization(Args& a) {
    auto [key, expires, method, content_md5, content_type, headers] = a.names<6>();
    std::optional<std::string> sig =
        authorization_text(a.self, key, expires, method, content_md5, content_type, headers);
    return sig ? nb::object(to_str(*sig)) : nb::none();
}

nb::object build_auth_header(Args& a) {
    auto [key, method, content_md5, content_type, headers] = a.names<5>();
    if (is_own(a.self, CIRROVA_STR("_make_authorization"), make_authorization)) {
        std::optional<std::string> sig =
            authorization_text(a.self, key, CIRROVA_STR(""), method, content_md5, content_type, headers);
        StrAttr pk(a.self, CIRROVA_STR("public_key"));
        return to_str(ufile::authorization(pk.view, sig ? *sig : "None"));
    }
    nb::object signature =
        call_method(a.self, CIRROVA_STR("_make_authorization"),
                    {key.ptr(), CIRROVA_STR(""), method.ptr(), content_md5.ptr(), content_type.ptr(), headers.ptr()},
                    CIRROVA_KWNAMES("method", "content_md5", "content_type", "headers"));
    return auth_value(a.self, signature);
}

// ---------------------------------------------------------------------------
// Dispatch and URLs
// ---------------------------------------------------------------------------

namespace {

// headers["Content-MD5"] style lookup: the exact name first, then any letter case.
nb::object signed_header(nb::handle headers, PyObject* name, std::string_view lower) {
    nb::object v = mapping_get(headers, name);
    if (v.is_valid()) return v;
    nb::object ci = get_ci(headers, lower);
    if (ci.is_valid()) return ci;
    return to_str("");
}

}  // namespace

nb::object request(Args& a) {
    auto [method, key, query, base_url] = a.names<4>();
    nb::handle self = a.self;
    nb::dict& kwargs = a.kwargs();

    nb::object base = base_url.is_none() ? StrAttr(self, CIRROVA_STR("host")).obj : nb::borrow(base_url);
    std::string url(utf8(base));
    std::string_view k = utf8(key);
    if (!k.empty()) {
        url += '/';
        append_quoted_key(url, k);
    }
    nb::object url_obj = to_str(url);
    vcall(builtin(CIRROVA_STR("print")), {url_obj.ptr()});

    nb::object headers;
    {
        PyObject* h = PyDict_GetItemWithError(kwargs.ptr(), CIRROVA_STR("headers"));
        if (!h && PyErr_Occurred()) raise_current();
        if (h) {
            headers = nb::borrow(h);
            if (PyDict_DelItem(kwargs.ptr(), CIRROVA_STR("headers")) < 0) raise_current();
        } else {
            headers = new_dict();
        }
    }
    nb::object md5 = signed_header(headers, CIRROVA_STR("Content-MD5"), "content-md5");
    nb::object ctype = signed_header(headers, CIRROVA_STR("Content-Type"), "content-type");
    nb::object auth = call_method(self, CIRROVA_STR("_build_auth_header"),
                                  {key.ptr(), method.ptr(), md5.ptr(), ctype.ptr(), headers.ptr()},
                                  CIRROVA_KWNAMES("content_md5", "content_type", "headers"));
    set_item(headers, CIRROVA_STR("Authorization"), auth);

    if (is_dict(query) && PyDict_Size(query.ptr()) > 0) {
        nb::object items = steal_or_throw(PyDict_Items(query.ptr()));
        Py_ssize_t n = PyList_Size(items.ptr());
        std::string qs;
        for (Py_ssize_t i = 0; i < n; ++i) {
            nb::handle item = PyList_GetItem(items.ptr(), i);
            nb::handle name = PyTuple_GetItem(item.ptr(), 0);
            nb::handle value = PyTuple_GetItem(item.ptr(), 1);
            if (i) qs += '&';
            qs += text_of(name);
            int ne = PyObject_RichCompareBool(value.ptr(), CIRROVA_STR(""), Py_NE);
            if (ne < 0) raise_current();
            if (ne) {
                qs += '=';
                qs += quote_component(text_of(value));
            }
        }
        url += '?';
        url += qs;
        url_obj = to_str(url);
    }

    apply_default_timeout(kwargs, attr(self, CIRROVA_STR("default_timeout")));
    body_as_content(kwargs);
    if (PyDict_SetItem(kwargs.ptr(), CIRROVA_STR("headers"), headers.ptr()) < 0) raise_current();
    return call_method_kw(attr(self, CIRROVA_STR("_client")), CIRROVA_STR("request"), {method.ptr(), url_obj.ptr()},
                          kwargs);
}

nb::object get_path_url(Args& a) {
    auto [key] = a.names<1>();
    require_key(key);
    return object_url(StrAttr(a.self, CIRROVA_STR("domain_url")).obj, key);
}

nb::object get_shared_url(Args& a) {
    auto [key, expire_time] = a.names<2>();
    nb::handle self = a.self;
    require_key(key);
    check_lifetime(expire_time, 0, "expire_time");
    nb::object now = steal_or_throw(PyLong_FromDouble(now_seconds()));
    nb::object expires = steal_or_throw(PyNumber_Add(now.ptr(), expire_time.ptr()));
    nb::object expires_text = str_of(expires);
    nb::object signature = call_method(self, CIRROVA_STR("_make_authorization"), {key.ptr(), expires_text.ptr()},
                                       CIRROVA_KWNAMES("key", "expires"));
    nb::object base = truthy(attr(self, CIRROVA_STR("_custom_domain"))) ? attr(self, CIRROVA_STR("domain_url"))
                                                                        : attr(self, CIRROVA_STR("external_url"));
    StrAttr public_key(self, CIRROVA_STR("public_key"));
    std::string url(utf8(base));
    url += '/';
    append_quoted_key(url, utf8(key));
    url += '?';
    url += ufile::kPublicKeyParam;
    url += '=';
    // Characters that a query parser would read otherwise ("&", "+", "#", "%", ...) are escaped.
    url += quote_with_safe(public_key.view, "/?:@!$'()*,;");
    url += "&Signature=";
    url += quote_component(text_of(signature));
    url += "&Expires=";
    url += utf8(expires_text);
    return to_str(url);
}

// ---------------------------------------------------------------------------
// Uploads
// ---------------------------------------------------------------------------

nb::object upload(Args& a) {
    auto [key, data_arg, content_type, content_md5, headers_arg, timeout] = a.names<6>();
    require_key(key);
    require_body(data_arg);
    nb::object headers = headers_copy(headers_arg);
    if (nonempty_str(content_type)) set_header_replacing(headers, CIRROVA_STR("Content-Type"), content_type);
    if (nonempty_str(content_md5)) set_header_replacing(headers, CIRROVA_STR("Content-MD5"), content_md5);
    nb::object data = read_if_readable(data_arg);
    require_body(data);
    return call_method(a.self, CIRROVA_STR("_request"),
                       {CIRROVA_STR("PUT"), key.ptr(), data.ptr(), headers.ptr(), timeout.ptr()},
                       CIRROVA_KWNAMES("data", "headers", "timeout"));
}

nb::object upload_file(Args& a) {
    auto [key, path, content_type_arg, headers, timeout] = a.names<5>();
    require_key(key);
    nb::object ospath = getattr(mod_attr(CIRROVA_STR("os")), CIRROVA_STR("path"));
    if (!truthy(call_method(ospath, CIRROVA_STR("isfile"), {path.ptr()}))) {
        nb::object msg = steal_or_throw(PyUnicode_Concat(to_str("文件不存在: ").ptr(), path.ptr()));
        PyErr_SetObject(PyExc_FileNotFoundError, msg.ptr());
        raise_current();
    }
    nb::object data;
    {
        nb::object f = open_file(path, CIRROVA_STR("rb"));
        Closer closer(f, CIRROVA_STR("close"));
        data = call_method(f, CIRROVA_STR("read"), {});
        closer.done();
    }
    nb::object content_type = nb::borrow(content_type_arg);
    if (content_type_arg.is_none()) {
        nb::object guessed = call_method(mod_attr(CIRROVA_STR("mimetypes")), CIRROVA_STR("guess_type"), {path.ptr()});
        content_type = steal_or_throw(PySequence_GetItem(guessed.ptr(), 0));
    }
    nb::object resp = call_method(a.self, CIRROVA_STR("upload"),
                                  {key.ptr(), data.ptr(), content_type.ptr(), headers.ptr(), timeout.ptr()},
                                  CIRROVA_KWNAMES("content_type", "headers", "timeout"));
    return py_bool(status_is(resp, 200));
}

nb::object upload_with_retry(Args& a) {
    auto [key, data_arg, content_type, content_md5, headers, timeout, retries] = a.names<7>();
    // Bad input is a caller's error to raise, not a failed attempt to answer False.
    require_key(key);
    require_body(data_arg);
    nb::object data = read_if_readable(data_arg);
    require_body(data);
    const long long attempts = ll_clamped(retries);
    // A failing service is not hammered: the pause doubles up to a second.
    constexpr double kFirstPause = 0.05, kLongestPause = 1.0;
    double pause = kFirstPause;
    for (long long i = 0; i < attempts; ++i) {
        if (i) {
            nb::object seconds = steal_or_throw(PyFloat_FromDouble(pause));
            call_method(mod_attr(CIRROVA_STR("time")), CIRROVA_STR("sleep"), {seconds.ptr()});
            pause = std::min(pause * 2, kLongestPause);
        }
        try {
            nb::object resp = call_method(a.self, CIRROVA_STR("upload"),
                                          {key.ptr(), data.ptr(), content_type.ptr(), content_md5.ptr(),
                                           headers.ptr(), timeout.ptr()},
                                          CIRROVA_KWNAMES("content_type", "content_md5", "headers", "timeout"));
            if (status_is(resp, 200)) return py_bool(true);
        } catch (nb::python_error& e) {
            // A wrong argument fails every attempt alike: the caller hears of it at once.
            if (!ordinary(e) || e.matches(PyExc_TypeError) || e.matches(PyExc_ValueError)) throw;
        }
    }
    return py_bool(false);
}

// ---------------------------------------------------------------------------
// Downloads
// ---------------------------------------------------------------------------

nb::object download_raw(Args& a) {
    auto [key, headers_arg] = a.names<2>();
    require_key(key);
    nb::object headers = headers_or_new(headers_arg);
    nb::object api = attr(a.self, CIRROVA_STR("_api_host"));
    return call_method(a.self, CIRROVA_STR("_request"), {CIRROVA_STR("GET"), key.ptr(), headers.ptr(), api.ptr()},
                       CIRROVA_KWNAMES("headers", "base_url"));
}

nb::object get_content(Args& a) {
    auto [key, as_text, encoding] = a.names<3>();
    require_key(key);
    nb::object resp = call_method(a.self, CIRROVA_STR("_download"), {key.ptr()});
    nb::object status = status_of(resp);
    if (!equals(status, 200)) raise_exception("下载失败: " + text_of(status));
    nb::object content = getattr(resp, CIRROVA_STR("content"));
    if (truthy(as_text)) return call_method(content, CIRROVA_STR("decode"), {encoding.ptr()});
    return content;
}

nb::object download(Args& a) {
    auto [key, path, chunk_size, timeout] = a.names<4>();
    require_key(key);
    return false_on_error([&]() -> nb::object {
        nb::handle self = a.self;
        make_parent_dirs(mod_attr(CIRROVA_STR("os")), path);
        nb::object head_resp = call_method(self, CIRROVA_STR("head"), {key.ptr()});
        if (!status_is(head_resp, 200)) return py_bool(false);
        nb::object file_size = content_length(head_resp);
        nb::object threshold = py_ll(kStreamThreshold);
        int big = PyObject_RichCompareBool(file_size.ptr(), threshold.ptr(), Py_GE);
        if (big < 0) raise_current();
        const bool use_stream = !chunk_size.is_none() || big;
        nb::object req_timeout = choose_timeout(timeout, attr(self, CIRROVA_STR("default_timeout")));

        if (use_stream) {
            // A chunk size that is not positive means the default.
            nb::object piece = (!chunk_size.is_none() && ll_clamped(chunk_size) > 0) ? nb::borrow(chunk_size)
                                                                                  : py_ll(kDefaultChunkSize);
            nb::object url = object_url(attr(self, CIRROVA_STR("_api_host")), key);
            nb::object headers = get_auth_headers(self, key);
            nb::object client = attr(self, CIRROVA_STR("_client"));
            nb::dict kw;
            set_item(kw, CIRROVA_STR("headers"), headers);
            set_timeout(kw, req_timeout);
            nb::object cm = call_method_kw(client, CIRROVA_STR("stream"), {CIRROVA_STR("GET"), url.ptr()}, kw);
            nb::object resp = call_method(cm, CIRROVA_STR("__enter__"), {});
            Closer exit(cm, CIRROVA_STR("__exit__"), {Py_None, Py_None, Py_None});
            if (!status_is(resp, 200)) {
                exit.done();
                return py_bool(false);
            }
            {
                // The file at `path` is replaced only once the whole body is in.
                ReplacingFile out(path);
                nb::object pieces = call_method(resp, CIRROVA_STR("iter_bytes"), {piece.ptr()},
                                                CIRROVA_KWNAMES("chunk_size"));
                nb::object it = steal_or_throw(PyObject_GetIter(pieces.ptr()));
                while (PyObject* p = PyIter_Next(it.ptr())) {
                    nb::object chunk = nb::steal(p);
                    if (truthy(chunk)) out.write(chunk);
                }
                if (PyErr_Occurred()) raise_current();
                out.commit();
            }
            exit.done();
            return py_bool(true);
        }

        nb::object resp = call_method(self, CIRROVA_STR("_download"), {key.ptr()});
        if (!status_is(resp, 200)) return py_bool(false);
        nb::object content = getattr(resp, CIRROVA_STR("content"));
        ReplacingFile out(path);
        out.write(content);
        out.commit();
        return py_bool(true);
    });
}

nb::object multipart_download(Args& a) {
    auto [key, path, part_size, callback, timeout] = a.names<5>();
    require_key(key);
    return false_on_error([&]() -> nb::object {
        nb::handle self = a.self;
        make_parent_dirs(mod_attr(CIRROVA_STR("os")), path);
        nb::object head_resp = call_method(self, CIRROVA_STR("head"), {key.ptr()});
        if (!status_is(head_resp, 200)) return py_bool(false);
        const long long size = ll_exact(content_length(head_resp));
        const long long part = ll_clamped(part_size);
        if (size <= 0 || part <= 0) return py_bool(false);

        nb::object url = object_url(attr(self, CIRROVA_STR("_api_host")), key);
        nb::object req_timeout = choose_timeout(timeout, attr(self, CIRROVA_STR("default_timeout")));
        RangedDownload d;
        d.local_path = path;
        d.size = size;
        d.part_size = part;
        d.callback = callback;
        d.fetch = [&](long long start, long long end) {
            nb::object headers = get_auth_headers(self, key);
            nb::object range = to_str("bytes=" + std::to_string(start) + "-" + std::to_string(end));
            set_item(headers, CIRROVA_STR("Range"), range);
            nb::object client = attr(self, CIRROVA_STR("_client"));
            nb::dict kw;
            set_item(kw, CIRROVA_STR("headers"), headers);
            set_timeout(kw, req_timeout);
            return call_method_kw(client, CIRROVA_STR("get"), {url.ptr()}, kw);
        };
        download_ranges(d);
        return py_bool(true);
    });
}

// ---------------------------------------------------------------------------
// Queries, deletion, listing
// ---------------------------------------------------------------------------

nb::object head(Args& a) {
    auto [key, headers_arg, timeout] = a.names<3>();
    require_key(key);
    nb::object headers = headers_or_new(headers_arg);
    nb::object api = attr(a.self, CIRROVA_STR("_api_host"));
    return call_method(a.self, CIRROVA_STR("_request"),
                       {CIRROVA_STR("HEAD"), key.ptr(), headers.ptr(), timeout.ptr(), api.ptr()},
                       CIRROVA_KWNAMES("headers", "timeout", "base_url"));
}

nb::object is_exists(Args& a) {
    auto [key] = a.names<1>();
    require_key(key);
    nb::object resp = call_method(a.self, CIRROVA_STR("head"), {key.ptr()});
    return py_bool(status_is(resp, 200));
}

nb::object delete_object(Args& a) {
    auto [key, headers_arg] = a.names<2>();
    require_key(key);
    nb::object headers = headers_or_new(headers_arg);
    nb::object api = attr(a.self, CIRROVA_STR("_api_host"));
    return call_method(a.self, CIRROVA_STR("_request"), {CIRROVA_STR("DELETE"), key.ptr(), headers.ptr(), api.ptr()},
                       CIRROVA_KWNAMES("headers", "base_url"));
}

nb::object delete_file(Args& a) {
    auto [key] = a.names<1>();
    require_key(key);
    nb::object resp = call_method(a.self, CIRROVA_STR("delete"), {key.ptr()});
    return py_bool(status_is(resp, 204));
}

nb::object list(Args& a) {
    auto [prefix, marker, limit, headers_arg, timeout] = a.names<5>();
    nb::handle self = a.self;
    nb::object params = new_dict();
    set_item(params, CIRROVA_STR("list"), CIRROVA_STR(""));
    set_item(params, CIRROVA_STR("prefix"), prefix);
    set_item(params, CIRROVA_STR("marker"), marker);
    set_item(params, CIRROVA_STR("limit"), limit);

    std::string url(utf8(attr(self, CIRROVA_STR("_api_host"))));
    url += '/';
    nb::object url_obj = to_str(url);

    nb::object signature = call_method(self, CIRROVA_STR("_make_authorization"),
                                       {CIRROVA_STR(""), CIRROVA_STR(""), CIRROVA_STR("GET"), headers_arg.ptr()},
                                       CIRROVA_KWNAMES("method", "headers"));
    nb::object headers = headers_copy(headers_arg);
    set_item(headers, CIRROVA_STR("Authorization"), auth_value(self, signature));
    nb::object req_timeout = choose_timeout(timeout, attr(self, CIRROVA_STR("default_timeout")));

    nb::object client = attr(self, CIRROVA_STR("_client"));
    nb::dict kw;
    set_item(kw, CIRROVA_STR("headers"), headers);
    set_item(kw, CIRROVA_STR("params"), params);
    set_timeout(kw, req_timeout);
    nb::object resp = call_method_kw(client, CIRROVA_STR("get"), {url_obj.ptr()}, kw);
    // An error reply is not an empty listing.
    if (!status_is(resp, 200)) raise_exception("获取文件列表失败: " + status_and_text(resp));
    nb::object data = call_method(resp, CIRROVA_STR("json"), {});

    nb::object empty_list = steal_or_throw(PyList_New(0));
    nb::object dataset = get_member(data, CIRROVA_STR("DataSet"), empty_list);
    nb::object objects = steal_or_throw(PyList_New(0));
    nb::object it = steal_or_throw(PyObject_GetIter(dataset.ptr()));
    nb::object empty = to_str("");
    nb::object zero = py_ll(0);
    while (PyObject* p = PyIter_Next(it.ptr())) {
        nb::object item = nb::steal(p);
        nb::object entry = new_dict();
        set_item(entry, CIRROVA_STR("key"), get_member(item, CIRROVA_STR("FileName"), empty));
        set_item(entry, CIRROVA_STR("size"), get_member(item, CIRROVA_STR("Size"), zero));
        set_item(entry, CIRROVA_STR("modify_time"), get_member(item, CIRROVA_STR("ModifyTime"), empty));
        set_item(entry, CIRROVA_STR("mime_type"), get_member(item, CIRROVA_STR("MimeType"), empty));
        set_item(entry, CIRROVA_STR("etag"), get_member(item, CIRROVA_STR("Etag"), empty));
        if (PyList_Append(objects.ptr(), entry.ptr()) < 0) raise_current();
    }
    if (PyErr_Occurred()) raise_current();

    nb::object next_marker = get_member(data, CIRROVA_STR("NextMarker"), empty);
    const bool truncated = truthy(next_marker);
    nb::object out = new_dict();
    set_item(out, CIRROVA_STR("objects"), objects);
    set_item(out, CIRROVA_STR("is_truncated"), py_bool(truncated));
    if (truncated) set_item(out, CIRROVA_STR("next_marker"), next_marker);
    return out;
}

// ---------------------------------------------------------------------------
// Multipart primitives and drivers
// ---------------------------------------------------------------------------

nb::object initiate_multipart_upload(Args& a) {
    auto [key, content_type, headers_arg] = a.names<3>();
    require_key(key);
    nb::object query = new_dict();
    set_item(query, CIRROVA_STR("uploads"), CIRROVA_STR(""));
    nb::object headers = headers_copy(headers_arg);
    set_header_replacing(headers, CIRROVA_STR("Content-Length"), CIRROVA_STR("0"));
    if (nonempty_str(content_type)) set_header_replacing(headers, CIRROVA_STR("Content-Type"), content_type);
    nb::object body = to_bytes("");
    return call_method(a.self, CIRROVA_STR("_request"),
                       {CIRROVA_STR("POST"), key.ptr(), query.ptr(), body.ptr(), headers.ptr()},
                       CIRROVA_KWNAMES("query_params", "data", "headers"));
}

nb::object upload_part(Args& a) {
    auto [key, upload_id, part_number, data, content_type, headers_arg] = a.names<6>();
    require_key(key);
    nb::object query = new_dict();
    set_item(query, CIRROVA_STR("uploadId"), upload_id);
    set_item(query, CIRROVA_STR("partNumber"), str_of(part_number));
    nb::object headers = headers_copy(headers_arg);
    set_header_replacing(headers, CIRROVA_STR("Content-Type"), content_type);
    return call_method(a.self, CIRROVA_STR("_request"),
                       {CIRROVA_STR("PUT"), key.ptr(), query.ptr(), data.ptr(), headers.ptr()},
                       CIRROVA_KWNAMES("query_params", "data", "headers"));
}

nb::object finish_multipart_upload(Args& a) {
    auto [key, upload_id, etags, new_object, headers_arg] = a.names<5>();
    require_key(key);
    nb::object query = new_dict();
    set_item(query, CIRROVA_STR("uploadId"), upload_id);
    if (nonempty_str(new_object)) set_item(query, CIRROVA_STR("newObject"), new_object);
    nb::object joined = steal_or_throw(PyUnicode_Join(CIRROVA_STR(","), etags.ptr()));
    nb::object body = steal_or_throw(PyUnicode_AsUTF8String(joined.ptr()));
    nb::object headers = headers_copy(headers_arg);
    set_header_replacing(headers, CIRROVA_STR("Content-Type"), CIRROVA_STR("text/plain"));
    return call_method(a.self, CIRROVA_STR("_request"),
                       {CIRROVA_STR("POST"), key.ptr(), query.ptr(), body.ptr(), headers.ptr()},
                       CIRROVA_KWNAMES("query_params", "data", "headers"));
}

nb::object abort_multipart_upload(Args& a) {
    auto [key, upload_id, headers_arg] = a.names<3>();
    require_key(key);
    nb::object query = new_dict();
    set_item(query, CIRROVA_STR("uploadId"), upload_id);
    nb::object headers = headers_or_new(headers_arg);
    return call_method(a.self, CIRROVA_STR("_request"), {CIRROVA_STR("DELETE"), key.ptr(), query.ptr(), headers.ptr()},
                       CIRROVA_KWNAMES("query_params", "headers"));
}

nb::object multipart_upload(Args& a) { return drive_multipart(a, true); }

nb::object multipart_upload_bytes(Args& a) { return drive_multipart(a, false); }

}  // namespace cirrova::dramlet

CIRROVA_MODULE(dramlet, m) {
    using namespace cirrova::dramlet;
    bind_imports(m, {{"hmac", "hmac"},
                     {"hashlib", "hashlib"},
                     {"base64", "base64"},
                     {"time", "time"},
                     {"os", "os"},
                     {"mimetypes", "mimetypes"},
                     {"httpx", "httpx"},
                     {"Union", "typing", "Union"},
                     {"Optional", "typing", "Optional"},
                     {"Dict", "typing", "Dict"},
                     {"List", "typing", "List"},
                     {"Callable", "typing", "Callable"},
                     {"BinaryIO", "typing", "BinaryIO"},
                     {"quote", "urllib.parse", "quote"},
                     {"BaseStorageClient", "cirrova.base", "BaseStorageClient"},
                     {"HTTP_CLIENT_CONFIG", "config", "HTTP_CLIENT_CONFIG", 1}});
    Py_XDECREF(g_module);
    g_module = nb::borrow(m).release().ptr();
    if (!g_builtins) g_builtins = steal_or_throw(PyImport_ImportModule("builtins")).release().ptr();

    const Param key{"key", "str"};
    const Param headers{"headers", "Optional[Dict[str, str]]", none};
    const Param timeout{"timeout", "Optional[Union[float, tuple]]", none};
    const Param callback{"callback", "Optional[Callable[[int, int, int, int], None]]", none};

    nb::tuple bases = nb::make_tuple(module_attr(m, "BaseStorageClient"));
    make_class(
        m, "DramletFileClient", bases, kClassDoc,
        {
            {"__init__", init,
             {{"public_key", "str"},
              {"private_key", "str"},
              {"bucket", "str"},
              {"region", "str", def_str(kDefaultRegion)},
              {"internal", "bool", def_bool(false)},
              {"domain_url", "Optional[str]", none},
              {"timeout", "Optional[Union[float, tuple]]", none},
              {"http_client", "Optional[httpx.Client]", none},
              {"scheme", "str", def_str("https")},
              {"verify", "bool", def_bool(false)}},
             nullptr, kInitDoc, /*varkw=*/true},
            {"_key_sort", key_sort, {{"params", "Dict"}}, "Dict", kKeySortDoc},
            {"_canonicalized_resource", canonicalized_resource, {key}, "str", kCanonResourceDoc},
            {"_canonicalized_dramlet_headers", canonicalized_headers, {{"headers", "Dict[str, str]"}}, "str",
             kCanonHeadersDoc},
            {"_sign", sign, {{"string_to_sign", "str"}}, "str", kSignDoc},
            {"_make_authorization", make_authorization,
             {key,
              {"expires", "str"},
              {"method", "str", def_str("GET")},
              {"content_md5", "str", def_str("")},
              {"content_type", "str", def_str("")},
              headers},
             "str", kMakeAuthDoc},
            {"_build_auth_header", build_auth_header,
             {key, {"method", "str"}, {"content_md5", "str", def_str("")}, {"content_type", "str", def_str("")}, headers},
             "str", kBuildAuthDoc},
            {"_request", request,
             {{"method", "str"},
              key,
              {"query_params", "Optional[Dict[str, str]]", none},
              {"base_url", "Optional[str]", none}},
             "httpx.Response", kRequestDoc, /*varkw=*/true},
            {"get_path_url", get_path_url, {key}, "str", kPathUrlDoc},
            {"get_shared_url", get_shared_url, {key, {"expire_time", "int", def_int(1200)}}, "str", kSharedUrlDoc},
            {"upload", upload,
             {key,
              {"data", "Union[bytes, str, BinaryIO]"},
              {"content_type", "Optional[str]", none},
              {"content_md5", "Optional[str]", none},
              headers,
              timeout},
             "httpx.Response", kUploadDoc},
            {"upload_file", upload_file,
             {key, {"local_path", "str"}, {"content_type", "Optional[str]", none}, headers, timeout}, "bool",
             kUploadFileDoc},
            {"upload_with_retry", upload_with_retry,
             {key,
              {"data", "Union[bytes, str, BinaryIO]"},
              {"content_type", "Optional[str]", none},
              {"content_md5", "Optional[str]", none},
              headers,
              timeout,
              {"retries", "int", def_int(3)}},
             "bool", kUploadRetryDoc},
            {"_download", download_raw, {key, headers}, "httpx.Response", kDownloadRawDoc},
            {"get_content", get_content,
             {key, {"as_text", "bool", def_bool(false)}, {"encoding", "str", def_str("utf-8")}}, "Union[bytes, str]",
             kGetContentDoc},
            {"download", download,
             {key, {"local_path", "str"}, {"chunk_size", "Optional[int]", none}, timeout}, "bool", kDownloadDoc},
            {"multipart_download", multipart_download,
             {key, {"local_path", "str"}, {"part_size", "int", def_int(kDefaultDownloadPartSize)}, callback, timeout},
             "bool", kMultipartDownloadDoc},
            {"head", head, {key, headers, {"timeout", "Optional[Union[float, tuple]]", def_int(10)}},
             "httpx.Response", kHeadDoc},
            {"is_exists", is_exists, {key}, "bool", kIsExistsDoc},
            {"delete", delete_object, {key, headers}, "httpx.Response", kDeleteDoc},
            {"delete_file", delete_file, {key}, "bool", kDeleteFileDoc},
            {"list", list,
             {{"prefix", "str", def_str("")},
              {"marker", "str", def_str("")},
              {"limit", "int", def_int(20)},
              headers,
              timeout},
             "Dict", kListDoc},
            {"initiate_multipart_upload", initiate_multipart_upload,
             {key, {"content_type", "Optional[str]", none}, headers}, "httpx.Response", kInitiateDoc},
            {"upload_part", upload_part,
             {key,
              {"upload_id", "str"},
              {"part_number", "int"},
              {"data", "bytes"},
              {"content_type", "str", def_str("application/octet-stream")},
              headers},
             "httpx.Response", kUploadPartDoc},
            {"finish_multipart_upload", finish_multipart_upload,
             {key, {"upload_id", "str"}, {"etags", "List[str]"}, {"new_object", "Optional[str]", none}, headers},
             "httpx.Response", kFinishDoc},
            {"abort_multipart_upload", abort_multipart_upload, {key, {"upload_id", "str"}, headers}, "httpx.Response",
             kAbortDoc},
            {"multipart_upload", multipart_upload,
             {key,
              {"file_path", "str"},
              {"content_type", "Optional[str]", none},
              {"part_size", "Optional[int]", none},
              headers,
              callback,
              {"retries", "int", def_int(3)}},
             "Dict", kMultipartUploadDoc},
            {"multipart_upload_bytes", multipart_upload_bytes,
             {key,
              {"data", "bytes"},
              {"content_type", "Optional[str]", none},
              {"part_size", "Optional[int]", none},
              headers,
              callback,
              {"retries", "int", def_int(3)}},
             "Dict", kMultipartUploadBytesDoc},
        });
}
