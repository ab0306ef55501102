#include "bellwyn.h"

#include <string>

#include "common/pyutil.h"

using namespace cirrova;

namespace {

// BellwynClient itself, for the super() lookup of the constructor.
PyObject* g_class = nullptr;

const char kClassDoc[] =
    "腾讯云对象存储（COS）客户端。\n"
    "\n"
    "COS 兼容 AWS 对象存储 REST 协议，本类是 KorvexClient 的预设：构造时填入地域终端节点\n"
    "\"https://cos.<region>.myqcloud.com\"、签名版本 v4（AWS Signature Version 4）和虚拟主机\n"
    "寻址（bucket.cos.<region>.myqcloud.com），其余请求逻辑全部继承自 KorvexClient。\n"
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
    "    multipart_download       按字节范围分片下载到本地文件（GetObject + Range）\n"
    "    copy_object              复制对象（CopyObject）\n"
    "    create_bucket / delete_bucket / bucket_exists / list_buckets\n"
    "                             存储桶管理（CreateBucket、DeleteBucket、HeadBucket、\n"
    "                             ListBuckets）\n"
    "    get_bucket_stats         统计对象数量与总大小\n"
    "\n"
    "只读属性：secret_id（即 access_key）、cos_bucket（即 bucket，含 APPID 后缀）、\n"
    "appid（存储桶名最后一个 \"-\" 之后的部分）。\n"
    "\n"
    "示例：\n"
    "    client = BellwynClient(\"AKIDxxxx\", \"secret\", \"photos-1250000000\")\n"
    "    client = BellwynClient(\"AKIDxxxx\", \"secret\", \"photos-1250000000\",\n"
    "                           region=\"ap-beijing\", domain_url=\"https://cdn.example.com\",\n"
    "                           timeout=30)\n"
    "    client.upload(\"a/b.txt\", b\"hello\")\n"
    "    client.appid  # \"1250000000\"\n";

const char kInitDoc[] =
    "创建 COS 客户端。\n"
    "\n"
    "参数：\n"
    "    secret_id   访问密钥 ID（SecretId），保存为 access_key\n"
    "    secret_key  访问密钥（SecretKey）\n"
    "    bucket      存储桶名，形如 name-APPID\n"
    "    region      地域，默认 \"ap-guangzhou\"；终端节点为\n"
    "                \"https://cos.\" + region + \".myqcloud.com\"，不做校验\n"
    "    domain_url  自定义域名，默认 None；给出时 get_path_url 使用它\n"
    "    timeout     默认超时（秒数或 httpx 接受的元组），默认 None\n"
    "    http_client 使用的 httpx.Client，默认 None 表示新建一个\n"
    "    session_token 仅限关键字；临时凭证（STS）的安全令牌，默认 None。COS 的 S3 兼容接口以\n"
    "                V4 签名时接受 X-Amz-Security-Token，故与 KorvexClient 相同：请求带该头，\n"
    "                预签名 URL 带该查询参数，均计入签名\n"
    "\n"
    "签名版本固定为 \"v4\"，寻址方式固定为 \"virtual\"。KorvexClient 构造函数抛出的异常原样传出。";

const char kSecretIdDoc[] = "访问密钥 ID（SecretId），即 access_key 属性。只读。";
const char kCosBucketDoc[] = "存储桶名（含 APPID 后缀），即 bucket 属性。只读。";
const char kAppidDoc[] =
    "APPID：存储桶名最后一个 \"-\" 之后的部分；存储桶名不含 \"-\" 时为空字符串。只读。";

}  // namespace

namespace cirrova::bellwyn {

nb::object init(Args& a) {
    auto [secret_id, secret_key, bucket, region, domain_url, timeout, http_client, session_token] = a.names<8>();
    std::string endpoint(kEndpointPrefix);
    endpoint += utf8(region);
    endpoint += '.';
    endpoint += kDomain;
    nb::object ep = to_str(endpoint);

    nb::object super_type = steal_or_throw(PyImport_ImportModule("builtins"));
    nb::object super_cls = getattr(super_type, CIRROVA_STR("super"));
    nb::object sup = vcall(super_cls, {g_class, a.self.ptr()});
    nb::object base_init = getattr(sup, CIRROVA_STR("__init__"));
    vcall(base_init,
          {secret_id.ptr(), secret_key.ptr(), bucket.ptr(), region.ptr(), ep.ptr(), domain_url.ptr(),
           timeout.ptr(), http_client.ptr(), CIRROVA_STR("v4"), CIRROVA_STR("virtual"), session_token.ptr()},
          CIRROVA_KWNAMES("access_key", "secret_key", "bucket", "region", "endpoint", "domain_url",
                          "timeout", "http_client", "signature_version", "addressing_style", "session_token"));
    return nb::none();
}

nb::object secret_id(Args& a) { return getattr(a.self, CIRROVA_STR("access_key")); }

nb::object cos_bucket(Args& a) { return getattr(a.self, CIRROVA_STR("bucket")); }

nb::object appid(Args& a) {
    nb::object bucket = getattr(a.self, CIRROVA_STR("bucket"));
    if (is_str(bucket)) {
        std::string_view b = utf8(bucket);
        size_t dash = b.rfind('-');
        return to_str(dash == std::string_view::npos ? std::string_view() : b.substr(dash + 1));
    }
    // Anything else answers as its own rsplit does (or fails with that error).
    nb::object one = nb::int_(1);
    nb::object pieces = call_method(bucket, CIRROVA_STR("rsplit"), {CIRROVA_STR("-"), one.ptr()});
    Py_ssize_t n = PyObject_Length(pieces.ptr());
    if (n < 0) raise_current();
    if (n != 2) return to_str("");
    return steal_or_throw(PySequence_GetItem(pieces.ptr(), 1));
}

}  // namespace cirrova::bellwyn

CIRROVA_MODULE(bellwyn, m) {
    bind_imports(m, {{"Optional", "typing", "Optional"},
                     {"Union", "typing", "Union"},
                     {"httpx", "httpx"},
                     {"KorvexClient", "korvex", "KorvexClient", 1}});
    nb::tuple bases = nb::make_tuple(module_attr(m, "KorvexClient"));
    nb::object cls = make_class(
        m, "BellwynClient", bases, kClassDoc,
        {
            {"__init__", bellwyn::init,
             {{"secret_id", "str"},
              {"secret_key", "str"},
              {"bucket", "str"},
              {"region", "str", def_str(bellwyn::kDefaultRegion)},
              {"domain_url", "Optional[str]", none},
              {"timeout", "Optional[Union[float, tuple]]", none},
              {"http_client", "Optional[httpx.Client]", none},
              {"session_token", "Optional[str]", none, /*kw_only=*/true}},
             nullptr, kInitDoc},
        },
        {
            {"secret_id", bellwyn::secret_id, "str", kSecretIdDoc},
            {"cos_bucket", bellwyn::cos_bucket, "str", kCosBucketDoc},
            {"appid", bellwyn::appid, "str", kAppidDoc},
        });
    Py_XDECREF(g_class);
    g_class = cls.release().ptr();
}
