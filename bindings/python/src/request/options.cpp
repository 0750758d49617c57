#include "request/options.h"

#include "lib/run.h"

#include <cstring>
#include <utility>

namespace corvina {
namespace {

template <class Code> using Entry = std::pair<std::string_view, Code>;

template <class Code, size_t N>
std::optional<Code> lookup(const Entry<Code> (&table)[N], std::string_view keyword) {
    for (const auto &[name, code] : table)
        if (name == keyword)
            return code;
    return std::nullopt;
}

} // namespace

std::optional<ks_redirect_mode> redirect_mode_code(std::string_view keyword) {
    static const Entry<ks_redirect_mode> kTable[] = {{"follow", KS_REDIRECT_FOLLOW},
                                                     {"manual", KS_REDIRECT_MANUAL},
                                                     {"error", KS_REDIRECT_ERROR}};
    return lookup(kTable, keyword);
}

std::optional<ks_cache_mode> cache_mode_code(std::string_view keyword) {
    static const Entry<ks_cache_mode> kTable[] = {
        {"default", KS_CACHE_DEFAULT}, {"validate", KS_CACHE_VALIDATE},
        {"bypass", KS_CACHE_BYPASS},   {"no_store", KS_CACHE_NO_STORE},
        {"force", KS_CACHE_FORCE},     {"only_if_cached", KS_CACHE_ONLY_IF_CACHED}};
    return lookup(kTable, keyword);
}

std::optional<ks_priority> priority_code(std::string_view keyword) {
    static const Entry<ks_priority> kTable[] = {
        {"default", KS_PRIORITY_DEFAULT}, {"highest", KS_PRIORITY_HIGHEST},
        {"medium", KS_PRIORITY_MEDIUM},   {"low", KS_PRIORITY_LOW},
        {"lowest", KS_PRIORITY_LOWEST},   {"idle", KS_PRIORITY_IDLE}};
    return lookup(kTable, keyword);
}

void fill_request_config(const RequestOptions &o, const std::vector<ks_header> &headers,
                         const ks_request_callbacks &callbacks, ks_request_config &config) {
    // Padding is zeroed too, so the record's bytes are deterministic.
    std::memset(&config, 0, sizeof config);
    config.struct_size = sizeof(ks_request_config);
    config.abi_version = KS_ABI_VERSION;
    put_run(o.url, config.url, config.url_len);
    put_run(o.method, config.method, config.method_len);
    config.headers = headers.empty() ? nullptr : headers.data();
    config.header_count = headers.size();
    config.timeout_ms = duration_to_ms(o.timeout);
    config.callbacks = callbacks;
    if (o.body_kind == BodyKind::bytes)
        put_run(o.body, config.body, config.body_len);
    config.body_kind = static_cast<uint32_t>(o.body_kind);
    config.cache_mode = o.cache_mode;
    config.redirect_mode = o.redirect_mode;
    config.priority = o.priority;
}

} // namespace corvina
