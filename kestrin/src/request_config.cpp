#include "request_config.hpp"

#include <new>

#include "record_text.hpp"
#include "url.hpp"

namespace kestrin {
namespace {

// The http(s) URL as a browser sends it: the caller may give raw non-ASCII anywhere in it, but
// no space. Running out of memory is no fault of the URL.
ks_status read_url(std::string_view text, UrlMemo &memo, WebUrl &out,
                   std::shared_ptr<const Url> &parsed) try {
    auto read = memo.find(text);
    if (!read) {
        // libcurl sees the URL up to its first NUL: refuse one rather than send a shorter URL.
        if (!is_field_value(text))
            return KS_INVALID_ARGUMENT;
        auto url = Url::parse(text);
        if (!url)
            return KS_INVALID_ARGUMENT;
        std::string scheme = url->scheme();
        if (scheme != "http" && scheme != "https")
            return KS_INVALID_ARGUMENT;
        auto serialized = url->serialize();
        if (!serialized)
            return KS_INVALID_ARGUMENT;
        auto made = std::make_shared<ReadUrl>();
        if (serialized->text == text)
            made->parsed = std::make_shared<const Url>(std::move(*url));
        made->url = std::move(*serialized);
        memo.remember(text, made);
        read = std::move(made);
    }
    out = read->url;
    parsed = read->parsed;
    return KS_OK;
} catch (const std::bad_alloc &) {
    return KS_OUT_OF_MEMORY;
}

} // namespace

ks_status read_request_config(const ks_request_config &c, UrlMemo &memo, RequestConfig &out) {
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

    out.method = text(c.method, c.method_len);
    if (!is_token(out.method))
        return KS_INVALID_ARGUMENT;
    if (ks_status st = read_url(text(c.url, c.url_len), memo, out.url, out.parsed_url))
        return st;
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
