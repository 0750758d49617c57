// PyEngine.request: arguments to a Core request and an idle PyRequest.
#include "request/create.h"

#include "engine/engine.h"
#include "lib/binding.h"
#include "lib/fault.h"
#include "lib/run.h"
#include "request/handle.h"
#include "request/options.h"
#include "request/py_request.h"

#include <utility>

namespace corvina {
namespace {

const char *const kRequestParams[] = {
    "method",          "url",      "headers", "body",     "timeout",
    "allow_redirects", "redirect", "cache",   "priority", "chunked"};
const ParamSpec kRequestSpec{"PyEngine.request()", kRequestParams, 10, 2};

struct RawArgs {
    std::optional<Bytes> body;
    std::optional<double> timeout;
    bool allow_redirects = true;
    std::optional<std::string> redirect, cache, priority;
    bool chunked = false;
};

// Step one: every parameter converted in order, the first failure reported.
bool convert_request_args(PyObject **a, RequestOptions &o, RawArgs &r) {
    return convert_arg("method", [&] { return to_text(a[0], o.method); }) &&
           convert_arg("url", [&] { return to_text(a[1], o.url); }) &&
           convert_arg("headers", [&] { return to_header_list(a[2], o.headers); }) &&
           convert_arg("body",
                       [&] {
                           if (absent(a[3]))
                               return true;
                           r.body.emplace();
                           return to_byte_string(a[3], *r.body);
                       }) &&
           convert_arg("timeout", [&] { return to_seconds(a[4], r.timeout); }) &&
           convert_arg("allow_redirects",
                       [&] { return a[5] == nullptr || to_flag(a[5], r.allow_redirects); }) &&
           convert_arg("redirect", [&] { return to_optional_text(a[6], r.redirect); }) &&
           convert_arg("cache", [&] { return to_optional_text(a[7], r.cache); }) &&
           convert_arg("priority", [&] { return to_optional_text(a[8], r.priority); }) &&
           convert_arg("chunked", [&] { return a[9] == nullptr || to_flag(a[9], r.chunked); });
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

PyObject *engine_request(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames) {
    PyObject *a[10];
    if (!bind_fast(kRequestSpec, args, nargs, kwnames, a))
        return nullptr;
    ks_engine *engine = engine_handle(self);
    RequestOptions options;
    RawArgs raw;
    if (!convert_request_args(a, options, raw) || !check_request_args(raw, options))
        return nullptr;

    // The Core's reference is taken before the Core sees the address.
    std::shared_ptr<RequestState> state = RequestState::create();

    ks_request *core = nullptr;
    uint32_t status;
    {
        std::vector<ks_header> headers = header_entries(options.headers);
        ks_request_config config;
        fill_request_config(options, headers, state->callbacks(), config);
        try {
            status = ks_request_create(engine, &config, &core);
        } catch (...) {
            RequestState::release_core_ref(state.get());
            throw;
        }
    }
    options = RequestOptions{}; // the Core has copied what it keeps

    if (status != 0 || core == nullptr) {
        // A handle written next to a failure status is not ours to release.
        RequestState::release_core_ref(state.get());
        if (status != 0)
            return raise_core_error(error_from_status(status));
        return raise_core_error(CoreError{ErrorKind::InitializationFailed, 0});
    }

    std::shared_ptr<RequestHandle> handle;
    try {
        handle = std::make_shared<RequestHandle>(core, state);
    } catch (...) {
        release_noexcept([core] { ks_request_release(core); });
        RequestState::release_core_ref(state.get());
        throw;
    }
    // On failure the handle goes here: release, then the Core's reference of the unstarted
    // state.
    return make_request(std::move(handle));
}

} // namespace corvina
