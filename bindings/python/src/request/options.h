// Request options: the keyword tables and the ks_request_config record built from them.
#pragma once

#include "lib/convert.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <kestrin/kestrin.h>

namespace corvina {

enum class BodyKind : uint32_t { none = 0, bytes = 1, chunked = 2 };

struct RequestOptions {
    std::string url;
    std::string method;
    HeaderList headers;
    BodyKind body_kind = BodyKind::none;
    Bytes body;
    std::optional<Duration> timeout;
    uint32_t redirect_mode = 0;
    uint32_t cache_mode = 0;
    uint32_t priority = 0;
};

// Exact, case-sensitive keyword lookups; nullopt for an unknown keyword.
std::optional<uint32_t> redirect_mode_code(std::string_view keyword);
std::optional<uint32_t> cache_mode_code(std::string_view keyword);
std::optional<uint32_t> priority_code(std::string_view keyword);

// The header entries of `options`, pointing into it.
std::vector<ks_header> header_entries(const HeaderList &headers);

// Fills `config` with pointers into `options` and `headers`, valid while both live.
void fill_request_config(const RequestOptions &options, const std::vector<ks_header> &headers,
                         const ks_request_callbacks &callbacks, ks_request_config &config);

} // namespace corvina
