#include "request/options.h"

#include "lib/fault.h"
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

struct RawArgs {
    std::optional<Bytes> body;
    std::optional<double> timeout;
    bool allow_redirects{}, chunked{}; // set by flag() from the signature
    std::optional<std::string> redirect, cache, priority;
};

// Step one: every parameter converted in order, the first failure reported.
bool convert_request_args(const Args<kEngineRequest> &a, RequestOptions &o, RawArgs &r) {
    return a.convert<"method">([&](PyObject *v) { return to_text(v, o.method); }) &&
           a.convert<"url">([&](PyObject *v) { return to_text(v, o.url); }) &&
           a.convert<"headers">([&](PyObject *v) { return to_header_list(v, o.headers); }) &&
           a.convert<"body">([&](PyObject *v) {
               if (absent(v))
                   return true;
               r.body.emplace();
               return to_byte_string(v, *r.body);
           }) &&
           a.convert<"timeout">([&](PyObject *v) { return to_seconds(v, r.timeout); }) &&
           a.flag<"allow_redirects">(r.allow_redirects) &&
           a.convert<"redirect">([&](PyObject *v) { return to_optional_text(v, r.redirect); }) &&
           a.convert<"cache">([&](PyObject *v) { return to_optional_text(v, r.cache); }) &&
           a.convert<"priority">([&](PyObject *v) { return to_optional_text(v, r.priority); }) &&
           a.flag<"chunked">(r.chunked);
}

// Steps three to eight: the checks in their order, then the body.
bool check_request_args(RawArgs &r, RequestOptions &o) {
    if (!seconds_to_timeout(r.timeout, o.timeout))
        return false;
    if (r.redirect) {
        auto code = redirect_mode_code(*r.redirect);
        if (!code) {
            raise_runtime("unknown redirect mode " + quote_value(*r.redirect));
            return false;
        }
        o.redirect_mode = *code;
    } else {
        o.redirect_mode = r.allow_redirects ? KS_REDIRECT_FOLLOW : KS_REDIRECT_MANUAL;
    }
    auto cache = cache_mode_code(r.cache ? *r.cache : "default");
    if (!cache) {
        raise_runtime("unknown cache mode " + quote_value(*r.cache));
        return false;
    }
    o.cache_mode = *cache;
    auto priority = priority_code(r.priority ? *r.priority : "default");
    if (!priority) {
        raise_runtime("unknown priority " + quote_value(*r.priority));
        return false;
    }
    o.priority = *priority;
    if (r.chunked) {
        o.body_kind = BodyKind::chunked; // a given body is dropped
    } else if (r.body) {
        o.body_kind = BodyKind::bytes;
        o.body = std::move(*r.body);
    }
    return true;
}

} // namespace

bool to_request_options(const Args<kEngineRequest> &a, RequestOptions &out) {
    RawArgs raw;
    return convert_request_args(a, out, raw) && check_request_args(raw, out);
}

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
    put_run(headers, config.headers, config.header_count);
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
