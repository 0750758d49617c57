#include "request_config.hpp"

#include <cstring>
#include <memory>

#include <curl/curl.h>

#include "record_text.hpp"
#include "url_text.hpp"

namespace kestrin {
namespace {

// KS_OK for an http or https URL. Running out of memory while parsing is no fault of the URL.
ks_status check_http_url(const std::string &url) {
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> u(curl_url(), curl_url_cleanup);
    if (!u)
        return KS_OUT_OF_MEMORY;
    CURLUcode rc = curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0);
    char *scheme = nullptr;
    if (rc == CURLUE_OK)
        rc = curl_url_get(u.get(), CURLUPART_SCHEME, &scheme, 0);
    if (rc != CURLUE_OK)
        return rc == CURLUE_OUT_OF_MEMORY ? KS_OUT_OF_MEMORY : KS_INVALID_ARGUMENT;
    bool ok = std::strcmp(scheme, "http") == 0 || std::strcmp(scheme, "https") == 0;
    curl_free(scheme);
    return ok ? KS_OK : KS_INVALID_ARGUMENT;
}

} // namespace

ks_status read_request_config(const ks_request_config &c, RequestConfig &out) {
    if (c.struct_size < sizeof(ks_request_config) ||
        c.callbacks.struct_size < sizeof(ks_request_callbacks))
        return KS_INVALID_ARGUMENT;
    if (c.abi_version != KS_ABI_VERSION || c.callbacks.abi_version != KS_ABI_VERSION)
        return KS_UNSUPPORTED_ABI;
    if (!decode(c.body_kind, BodyKind::Stream, out.body_kind) ||
        !decode(c.cache_mode, CacheMode::OnlyIfCached, out.cache_mode) ||
        !decode(c.redirect_mode, RedirectMode::Error, out.redirect_mode) ||
        !decode(c.priority, Priority::Idle, out.priority))
        return KS_INVALID_ARGUMENT;
    // The network thread ends every started request with it.
    if (!c.callbacks.on_complete)
        return KS_INVALID_ARGUMENT;
    if ((c.header_count && !c.headers) || (c.body_len && !c.body) || !c.url || !c.method)
        return KS_INVALID_ARGUMENT;

    out.url = text(c.url, c.url_len);
    out.method = text(c.method, c.method_len);
    // libcurl sees the URL up to its first NUL: refuse one rather than send a shorter URL.
    if (!is_token(out.method) || !is_field_value(out.url))
        return KS_INVALID_ARGUMENT;
    if (ks_status st = check_http_url(out.url))
        return st;
    // Sent as a browser would: the caller may give raw non-ASCII anywhere in it.
    auto serialized = serialize_url(out.url);
    if (!serialized)
        return KS_INVALID_ARGUMENT;
    out.url = std::move(*serialized);
    for (size_t i = 0; i < c.header_count; ++i) {
        const ks_header &h = c.headers[i];
        if ((h.name_len && !h.name) || (h.value_len && !h.value))
            return KS_INVALID_ARGUMENT;
        std::string name = text(h.name, h.name_len), value = text(h.value, h.value_len);
        if (!is_token(name) || !is_field_value(value))
            return KS_INVALID_ARGUMENT;
        out.headers.emplace_back(std::move(name), std::move(value));
    }
    out.cb = c.callbacks;
    out.timeout_ms = c.timeout_ms;
    if (out.body_kind == BodyKind::Bytes)
        out.body = text(reinterpret_cast<const char *>(c.body), c.body_len);
    return KS_OK;
}

} // namespace kestrin
