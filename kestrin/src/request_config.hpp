// The caller's configuration of a request, checked and copied from its creation record.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <kestrin/kestrin.h>

#include "http_head.hpp"
#include "url.hpp"
#include "url_memo.hpp"

namespace kestrin {

// The record's modes, decoded once at creation; each value is the record's constant for it.
enum class BodyKind : uint32_t {
    None = KS_BODY_NONE,
    Bytes = KS_BODY_BYTES,
    Stream = KS_BODY_STREAM
};
enum class CacheMode : uint32_t {
    Default = KS_CACHE_DEFAULT,
    Validate = KS_CACHE_VALIDATE,
    Bypass = KS_CACHE_BYPASS,
    NoStore = KS_CACHE_NO_STORE,
    Force = KS_CACHE_FORCE,
    OnlyIfCached = KS_CACHE_ONLY_IF_CACHED,
};
enum class RedirectMode : uint32_t {
    Follow = KS_REDIRECT_FOLLOW,
    Manual = KS_REDIRECT_MANUAL,
    Error = KS_REDIRECT_ERROR
};
enum class Priority : uint32_t {
    Default = KS_PRIORITY_DEFAULT,
    Highest = KS_PRIORITY_HIGHEST,
    Medium = KS_PRIORITY_MEDIUM,
    Low = KS_PRIORITY_LOW,
    Lowest = KS_PRIORITY_LOWEST,
    Idle = KS_PRIORITY_IDLE
};

struct RequestConfig {
    ks_request_callbacks cb{};
    WebUrl url; // serialized as a browser sends it
    // `url` as libcurl parsed it, where serializing changed nothing (the usual case): handed to
    // libcurl as it is. None once a redirect has moved the request on.
    std::shared_ptr<const Url> parsed_url;
    std::string method;
    HeaderList headers;
    BodyKind body_kind = BodyKind::None;
    std::string body; // with BodyKind::Bytes
    uint64_t timeout_ms = 0;
    CacheMode cache_mode = CacheMode::Default;
    RedirectMode redirect_mode = RedirectMode::Follow;
    Priority priority = Priority::Default;
};

// KS_OK, or why the record cannot make a request (KS_OUT_OF_MEMORY only when memory ran out).
// The URL is read through the engine's memo.
ks_status read_request_config(const ks_request_config &c, UrlMemo &memo, RequestConfig &out);

} // namespace kestrin
