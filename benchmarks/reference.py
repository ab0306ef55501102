"""Plain-Python versions of what the clients compute, used as the baselines of the benchmarks.

Written the way a straightforward Python client would write them (hmac, hashlib, base64,
urllib.parse, datetime, xml.etree.ElementTree), with the same results as the C++ clients.
"""

import base64
import datetime
import hashlib
import hmac
import re
import xml.etree.ElementTree as ET
from urllib.parse import quote

_SPACES = re.compile(r" +")

# Sub-resources that Signature Version 2 signs.
_V2_SUBRESOURCES = frozenset({
    "acl", "cors", "delete", "lifecycle", "location", "logging", "notification", "partNumber", "policy",
    "requestPayment", "tagging", "torrent", "uploadId", "uploads", "versionId", "versioning", "versions",
    "website", "response-cache-control", "response-content-disposition", "response-content-encoding",
    "response-content-language", "response-content-type", "response-expires",
})


def _header_ci(headers, lower):
    for name, value in headers.items():
        if name.lower() == lower:
            return value
    return ""


class S3Signer:
    """AWS Signature Version 4 (header form) and Version 2."""

    def __init__(self, access_key, secret_key, bucket, region="us-east-1", endpoint="", addressing_style="path",
                 custom_domain=False):
        self.access_key = access_key
        self.secret_key = secret_key
        self.bucket = bucket
        self.region = region
        self.endpoint = endpoint
        self.addressing_style = addressing_style
        self._custom_domain = custom_domain

    def _sign_request(self, method, key, headers, query_params=None, payload_hash="UNSIGNED-PAYLOAD",
                      service_level=False, bucket=""):
        def _hmac_sha256(k, msg):
            return hmac.new(k, msg.encode("utf-8"), hashlib.sha256).digest()

        now = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
        date_stamp = now.strftime("%Y%m%d")
        amz_date = ""
        for name, value in headers.items():
            if name.lower() == "x-amz-date" and value:
                amz_date = value
                break
        if not amz_date:
            amz_date = now.strftime("%Y%m%dT%H%M%SZ")
        if "T" in amz_date:
            date_stamp = amz_date.split("T", 1)[0]

        if service_level:
            canonical_uri = "/"
        elif self.addressing_style == "virtual":
            canonical_uri = "/" + quote(key, safe="/~")
        else:
            canonical_uri = "/" + (bucket or self.bucket) + "/" + quote(key, safe="/~")

        if query_params:
            canonical_querystring = "&".join(
                quote(k, safe="~") + "=" + quote(v, safe="~") for k, v in sorted(query_params.items()))
        else:
            canonical_querystring = ""

        signed = {}
        for name, value in headers.items():
            lname = name.lower()
            if lname in ("host", "content-type", "content-md5") or lname.startswith("x-amz-"):
                signed[lname] = _SPACES.sub(" ", value.strip())
        if "host" not in signed:
            signed["host"] = self.endpoint.replace("https://", "").replace("http://", "")
        names = sorted(signed)
        canonical_headers = "".join(n + ":" + signed[n] + "\n" for n in names)
        signed_headers = ";".join(names)

        canonical_request = "\n".join([method, canonical_uri, canonical_querystring, canonical_headers,
                                       signed_headers, payload_hash])
        credential_scope = date_stamp + "/" + self.region + "/s3/aws4_request"
        string_to_sign = "\n".join(["AWS4-HMAC-SHA256", amz_date, credential_scope,
                                    hashlib.sha256(canonical_request.encode("utf-8")).hexdigest()])
        k_date = _hmac_sha256(("AWS4" + self.secret_key).encode("utf-8"), date_stamp)
        k_region = _hmac_sha256(k_date, self.region)
        k_service = _hmac_sha256(k_region, "s3")
        k_signing = _hmac_sha256(k_service, "aws4_request")
        signature = hmac.new(k_signing, string_to_sign.encode("utf-8"), hashlib.sha256).hexdigest()
        return ("AWS4-HMAC-SHA256 Credential=" + self.access_key + "/" + credential_scope
                + ", SignedHeaders=" + signed_headers + ", Signature=" + signature)

    def _sign_request_v2(self, method, key, headers, query_params=None, service_level=False, bucket=""):
        if service_level:
            resource = "/"
        elif self._custom_domain or self.addressing_style == "virtual":
            resource = "/" + quote(key, safe="/~")
        else:
            resource = "/" + (bucket or self.bucket) + "/" + quote(key, safe="/~")
        if query_params:
            parts = []
            for name, value in sorted(query_params.items()):
                if name in _V2_SUBRESOURCES:
                    parts.append(name + "=" + value if value else name)
            if parts:
                resource += "?" + "&".join(parts)

        amz = sorted(name.lower() + ":" + value.strip() for name, value in headers.items()
                     if name.lower().startswith("x-amz-"))
        amz_headers = "\n".join(amz) + "\n" if amz else ""
        content_md5 = _header_ci(headers, "content-md5")
        content_type = _header_ci(headers, "content-type")
        date = _header_ci(headers, "date") or _header_ci(headers, "x-amz-date")
        string_to_sign = method + "\n" + content_md5 + "\n" + content_type + "\n" + date + "\n" + amz_headers + resource
        digest = hmac.new(self.secret_key.encode("utf-8"), string_to_sign.encode("utf-8"), hashlib.sha1).digest()
        return "AWS " + self.access_key + ":" + base64.b64encode(digest).decode("ascii")


class OSSSigner:
    """OSS V4 header signature."""

    def __init__(self, access_key_id, access_key_secret, bucket, region="oss-cn-hangzhou"):
        self.access_key_id = access_key_id
        self.access_key_secret = access_key_secret
        self.bucket = bucket
        self.region = region

    def _sign_request(self, method, key, headers, query_params=None):
        def _hmac_sha256(k, msg):
            return hmac.new(k, msg.encode("utf-8"), hashlib.sha256).digest()

        now = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
        date_time = ""
        for name, value in headers.items():
            if name.lower() == "x-oss-date" and value:
                date_time = value
                break
        if not date_time:
            date_time = now.strftime("%Y%m%dT%H%M%SZ")
        date_stamp = date_time[:8]
        region = self.region.replace("oss-", "") if self.region.startswith("oss-") else self.region

        canonical_uri = "/" + self.bucket + "/" + quote(key, safe="/~")
        if query_params:
            items = []
            for k, v in sorted(query_params.items()):
                items.append(quote(k, safe="~") if v == "" else quote(k, safe="~") + "=" + quote(v, safe="~"))
            canonical_query = "&".join(items)
        else:
            canonical_query = ""

        lines = []
        for name, value in headers.items():
            lname = name.lower()
            if lname.startswith("x-oss-") or lname in ("content-type", "content-md5"):
                lines.append((lname, lname + ":" + value.strip()))
        lines.sort(key=lambda item: item[0])
        canonical_headers = "\n".join(line for _, line in lines) + "\n"

        canonical_request = (method + "\n" + canonical_uri + "\n" + canonical_query + "\n" + canonical_headers
                             + "\n\n" + "UNSIGNED-PAYLOAD")
        scope = date_stamp + "/" + region + "/oss/aliyun_v4_request"
        string_to_sign = ("OSS4-HMAC-SHA256\n" + date_time + "\n" + scope + "\n"
                          + hashlib.sha256(canonical_request.encode("utf-8")).hexdigest())
        date_key = _hmac_sha256(("aliyun_v4" + self.access_key_secret).encode("utf-8"), date_stamp)
        region_key = _hmac_sha256(date_key, region)
        service_key = _hmac_sha256(region_key, "oss")
        signing_key = _hmac_sha256(service_key, "aliyun_v4_request")
        signature = hmac.new(signing_key, string_to_sign.encode("utf-8"), hashlib.sha256).hexdigest()
        return "OSS4-HMAC-SHA256 Credential=" + self.access_key_id + "/" + scope + ",Signature=" + signature


class UFileSigner:
    """UFile header signature, method by method."""

    def __init__(self, public_key, private_key, bucket):
        self.public_key = public_key
        self.private_key = private_key
        self.bucket = bucket

    def _key_sort(self, params):
        return dict(sorted(params.items()))

    def _canonicalized_resource(self, key):
        return "/" + self.bucket + "/" + key

    def _canonicalized_dramlet_headers(self, headers):
        u_headers = {}
        for name, value in headers.items():
            lname = name.lower()
            if lname.startswith("x-ucloud-"):
                u_headers[lname] = str(value)
        return "".join(name + ":" + value + "\n" for name, value in self._key_sort(u_headers).items())

    def _sign(self, string_to_sign):
        digest = hmac.new(self.private_key.encode("utf-8"), string_to_sign.encode("utf-8"), hashlib.sha1).digest()
        return base64.b64encode(digest).decode("utf-8")

    def _make_authorization(self, key, expires, method="GET", content_md5="", content_type="", headers=None):
        if not headers:
            headers = {}
        resource = self._canonicalized_resource(key)
        canonical_headers = self._canonicalized_dramlet_headers(headers)
        string_to_sign = (method + "\n" + content_md5 + "\n" + content_type + "\n" + expires + "\n"
                          + canonical_headers + resource)
        return self._sign(string_to_sign)

    def _build_auth_header(self, key, method, content_md5="", content_type="", headers=None):
        signature = self._make_authorization(key, "", method=method, content_md5=content_md5,
                                             content_type=content_type, headers=headers)
        return "UCloud " + str(self.public_key) + ":" + signature


class DigestFloor:
    """Only the digests a signer must compute, done as cheaply as hashlib allows from Python:
    the canonical-request SHA-256 (when the scheme has one) and one HMAC over a cached key,
    built from copied inner and outer states. A signer whose digests go through hashlib cannot
    fall below this, so plain time / floor time is the most such a signer could gain; one that
    takes its digests from libcrypto in native code is not bound by it."""

    def __init__(self, algorithm, string_to_sign_len, canonical_request_len=0):
        key = b"k" * 32
        block = hashlib.new(algorithm).block_size
        self._inner = hashlib.new(algorithm, bytes(b ^ 0x36 for b in key.ljust(block, b"\0")))
        self._outer = hashlib.new(algorithm, bytes(b ^ 0x5C for b in key.ljust(block, b"\0")))
        self._message = b"m" * string_to_sign_len
        self._request = b"r" * canonical_request_len
        self._hash = getattr(hashlib, algorithm)

    def __call__(self):
        if self._request:
            self._hash(self._request).hexdigest()
        inner = self._inner.copy()
        inner.update(self._message)
        outer = self._outer.copy()
        outer.update(inner.digest())
        return outer.digest()


def _strip_etag(text):
    return text.strip('"') if text else ""


def parse_listing(text, next_name):
    """A listing page (ListObjectsV2 or OSS ListObjects) into the result dictionary."""
    root = ET.fromstring(text)
    ns_uri = ""
    if "}" in root.tag:
        ns_uri = root.tag.split("}", 1)[0].strip("{")
    ns = {"korvex": ns_uri} if ns_uri else {}
    p = "korvex:" if ns_uri else ""

    objects = []
    for item in root.findall(".//" + p + "Contents", ns):
        key = item.find(p + "Key", ns)
        size = item.find(p + "Size", ns)
        modified = item.find(p + "LastModified", ns)
        etag = item.find(p + "ETag", ns)
        objects.append({
            "key": key.text if key is not None else "",
            "size": int(size.text) if size is not None else 0,
            "last_modified": modified.text if modified is not None else "",
            "etag": _strip_etag(etag.text) if etag is not None else "",
        })
    truncated = root.find(p + "IsTruncated", ns)
    is_truncated = truncated is not None and truncated.text == "true"
    result = {"objects": objects, "is_truncated": is_truncated}
    if is_truncated:
        marker = root.find(p + next_name, ns)
        result["next_marker"] = marker.text if marker is not None else ""
    return result
