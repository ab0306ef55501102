// Request building and signing for the native transfer engine: what each
// client's `_request` puts into its header dict, signed by signing/, merged
// into the httpx.Client's own headers the way httpx merges them.
#include <string_view>

#include "common/pyutil.h"
#include "common/quote.h"
#include "multi.h"
#include "signing/ossv4.h"
#include "signing/sigv2.h"
#include "signing/sigv4.h"
#include "signing/ufile.h"

namespace cirrova::transport::multi {

namespace {

using View = std::vector<std::pair<std::string_view, std::string_view>>;

bool has(const HeaderList& h, std::string_view lower) {
    for (auto& [name, value] : h)
        if (ascii_iequals(name, lower)) return true;
    return false;
}

std::string_view get(const HeaderList& h, std::string_view lower) {
    for (auto& [name, value] : h)
        if (ascii_iequals(name, lower)) return value;
    return {};
}

View view_of(const HeaderList& h) {
    View v;
    v.reserve(h.size());
    for (auto& [name, value] : h) v.emplace_back(name, value);
    return v;
}

std::string authorization(const Signer& s, std::string_view method, std::string_view key, const HeaderList& h,
                          const HeaderList& q) {
    switch (s.kind) {
        case Signer::Kind::S3V4: {
            View headers = view_of(h);
            sigv4::Pairs query = view_of(q);
            sigv4::RequestTime t = sigv4::request_time(headers, get(h, "x-amz-date"), "");
            std::string uri = s.uri_prefix;
            append_quoted_key(uri, key);
            sigv4::Credentials cred{s.access, s.secret, s.region, "s3"};
            sigv4::HeaderRequest req;
            req.method = method;
            req.uri = uri;
            req.query = &query;
            req.headers = &headers;
            req.fallback_host = s.host;
            return sigv4::authorization(cred, req, t);
        }
        case Signer::Kind::S3V2: {
            View headers = view_of(h);
            std::string path = s.uri_prefix;
            append_quoted_key(path, key);
            sigv2::Params params;
            for (auto& [name, value] : q) params.emplace_back(name, std::string_view(value));
            std::string to_sign = sigv2::string_to_sign(method, headers, path, params);
            return sigv2::authorization(s.access, s.secret, to_sign);
        }
        case Signer::Kind::OSS: {
            ossv4::Request r;
            r.method = method;
            r.key = key;
            r.bucket = s.bucket;
            for (auto& [name, value] : h)
                if (ossv4::is_signed_header_any_case(name)) r.headers.emplace_back(name, value);
            r.timestamp = get(h, "x-oss-date");
            for (auto& [name, value] : q) r.query.emplace_back(name, value);
            return ossv4::authorization(r, s.access, s.secret, s.region);
        }
        case Signer::Kind::UFILE: {
            ufile::Pairs vendor;
            for (auto& [name, value] : h)
                if (ufile::is_vendor_header(ascii_lower(name))) vendor.emplace_back(name, value);
            std::string sts = ufile::string_to_sign(method, get(h, "content-md5"), get(h, "content-type"), "",
                                                    ufile::canonical_headers(vendor),
                                                    ufile::canonical_resource(s.bucket, key));
            return ufile::authorization(s.access, ufile::sign(s.secret, sts));
        }
    }
    return {};
}

}  // namespace

void Signer::build(std::string_view method, std::string_view key, const HeaderList& extra, const Stamp& now,
                   std::string& url, std::vector<std::string>& lines, long long content_length,
                   const PartQuery* query, long long part_number) const {
    HeaderList q;
    if (query) {
        q = query->pairs;
        for (auto& [name, value] : q)
            if (name == query->number_name) value = std::to_string(part_number);
    }
    HeaderList h = extra;
    auto add = [&](std::string_view name, std::string_view value) {
        if (!has(h, ascii_lower(name))) h.emplace_back(name, value);
    };
    switch (kind) {
        case Kind::S3V4:
            add("Host", host);
            add("x-amz-date", now.amz);
            add("x-amz-content-sha256", sigv4::kUnsignedPayload);
            break;
        case Kind::S3V2:
            add("Host", host);
            add("Date", now.http);
            break;
        case Kind::OSS:
            add("Host", host);
            add("x-oss-content-sha256", ossv4::kUnsignedPayload);
            add("x-oss-date", now.amz);
            break;
        case Kind::UFILE:
            break;
    }
    h.emplace_back("Authorization", authorization(*this, method, key, h, q));

    url = method == "PUT" ? put_prefix : url_prefix;
    append_quoted_key(url, key);
    if (query) {
        url += '?';
        std::string_view e = query->encoded;
        size_t at = e.find("{n}");
        url += e.substr(0, at);
        if (at != std::string_view::npos) {
            url += std::to_string(part_number);
            url += e.substr(at + 3);
        }
    }

    // httpx: the client's headers not named again, then the request's; the
    // NativeTransport sends Connection last and "Name;" for an empty value.
    lines.clear();
    std::string connection;
    auto line = [&](std::string_view name, std::string_view value) {
        if (ascii_iequals(name, "connection")) {
            std::string_view token = trim(value);
            if (!token.empty()) connection += (connection.empty() ? "" : ", ") + std::string(token);
            return;
        }
        std::string l(name);
        if (value.empty()) {
            l += ';';
        } else {
            l += ": ";
            l += value;
        }
        lines.push_back(std::move(l));
    };
    // httpx puts the Content-Length of an empty body first, of any other after the request's headers.
    std::string length = content_length >= 0 ? std::to_string(content_length) : "";
    if (content_length == 0) line("Content-Length", length);
    for (auto& [name, value] : defaults)
        if (!has(h, ascii_lower(name))) line(name, value);
    for (auto& [name, value] : h) line(name, value);
    if (content_length > 0) line("Content-Length", length);
    if (!connection.empty()) lines.push_back("Connection: " + connection);
}

}  // namespace cirrova::transport::multi
