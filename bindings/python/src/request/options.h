// Request options: PyEngine.request's signature, its arguments converted and checked, and the
// ks_request_config record built from them.
#pragma once

#include "lib/binding.h"
#include "lib/convert.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <kestrin/kestrin.h>

namespace corvina {

enum class BodyKind : uint32_t {
    none = KS_BODY_NONE,
    bytes = KS_BODY_BYTES,
    chunked = KS_BODY_STREAM
};

inline constexpr auto kEngineRequest = signature("PyEngine", "request",
                                                 {{"method"},
                                                  {"url"},
                                                  {"headers", "None"},
                                                  {"body", "None"},
                                                  {"timeout", "None"},
                                                  {"allow_redirects", "True"},
                                                  {"redirect", "None"},
                                                  {"cache", "None"},
                                                  {"priority", "None"},
                                                  {"chunked", "False"}});

struct RequestOptions {
    std::string url;
    std::string method;
    HeaderList headers;
    BodyKind body_kind = BodyKind::none;
    Bytes body;
    std::optional<Duration> timeout;
    // Set from the arguments, their defaults included.
    ks_redirect_mode redirect_mode{};
    ks_cache_mode cache_mode{};
    ks_priority priority{};
};

// The arguments bound to kEngineRequest, converted in order, then checked; false with the
// first refusal raised.
bool to_request_options(const Args<kEngineRequest> &a, RequestOptions &out);

// Exact, case-sensitive keyword lookups; nullopt for an unknown keyword.
std::optional<ks_redirect_mode> redirect_mode_code(std::string_view keyword);
std::optional<ks_cache_mode> cache_mode_code(std::string_view keyword);
std::optional<ks_priority> priority_code(std::string_view keyword);

// Fills `config` with pointers into `options` and `headers`, valid while both live.
void fill_request_config(const RequestOptions &options, const std::vector<ks_header> &headers,
                         const ks_request_callbacks &callbacks, ks_request_config &config);

} // namespace corvina
