// The C interface of the Core: checks records, copies what it keeps and hands
// everything else to the engine and request objects. No exception leaves here.
#include <memory>
#include <new>
#include <string>

#include <curl/curl.h>

#include <kestrin/kestrin.h>
#include <kestrin/kestrin_run.h>

#include "engine.hpp"
#include "entry.hpp"
#include "fork_guard.hpp"
#include "request.hpp"

using kestrin::Engine;
using kestrin::Request;
using namespace kestrin::entry;

namespace {

// The Core's version and the stack it runs on, as the linked libcurl reports it, so that a
// report names the exact libcurl, TLS library and HTTP/2 and HTTP/3 libraries in use.
std::string version_text() {
    const curl_version_info_data *info = curl_version_info(CURLVERSION_NOW);
    std::string text = std::string("kestrin " KESTRIN_VERSION) + " libcurl/" + info->version;
    if (info->ssl_version)
        text += std::string(" ") + info->ssl_version;
    if (info->nghttp2_version)
        text += std::string(" nghttp2/") + info->nghttp2_version;
    if (info->age >= CURLVERSION_FOURTH && info->quic_version)
        text += std::string(" ") + info->quic_version;
    return text;
}

} // namespace

extern "C" {

uint32_t ks_abi_version(void) {
    return KS_ABI_VERSION;
}

const char *ks_version_string(void) {
    try {
        static const std::string text = version_text();
        return text.c_str();
    } catch (...) {
        return "kestrin " KESTRIN_VERSION;
    }
}

ks_status ks_engine_create(const ks_engine_config *config, ks_engine **out) {
    if (config == nullptr || out == nullptr || config->struct_size < sizeof(ks_engine_config))
        return KS_INVALID_ARGUMENT;
    if (config->abi_version != KS_ABI_VERSION)
        return KS_UNSUPPORTED_ABI;
    return guarded([&]() -> ks_status {
        kestrin::EngineSettings settings;
        if (ks_status st = kestrin::parse_engine_config(*config, settings))
            return st;
        // Allocated before the engine's thread exists: nothing may fail once it runs, or the
        // thread would be left running with nobody to shut it down.
        auto handle = std::make_unique<EngineHandle>();
        if (ks_status st = Engine::create(std::move(settings), handle->engine))
            return st;
        try {
            kestrin::fork_guard::made(handle.get());
        } catch (...) {
            handle->engine->shutdown();
            throw;
        }
        *out = reinterpret_cast<ks_engine *>(handle.release());
        return KS_OK;
    });
}

void ks_engine_release(ks_engine *engine) {
    if (!engine || kestrin::fork_guard::inherited(engine))
        return;
    kestrin::fork_guard::released(engine);
    EngineHandle *h = engine_of(engine);
    h->engine->shutdown();
    delete h;
}

ks_status ks_request_create(ks_engine *engine, const ks_request_config *config, ks_request **out) {
    if (!engine || !config || !out)
        return KS_INVALID_ARGUMENT;
    if (kestrin::fork_guard::inherited(engine))
        return KS_INVALID_STATE;
    return guarded([&]() -> ks_status {
        std::shared_ptr<Request> r;
        if (ks_status st = Request::create(engine_of(engine)->engine, *config, r))
            return st;
        *out = r->handle();
        kestrin::fork_guard::made(*out);
        return KS_OK; // r->api_ref keeps it alive until ks_request_release
    });
}

ks_status ks_request_start(ks_request *r) {
    return usable(r) ? guarded([&] { return Request::from(r)->start(); }) : refusal(r);
}

ks_status ks_request_start_and_run(ks_request *r, ks_ready_fn ready, void *arg) {
    if (r && !ready)
        return KS_INVALID_ARGUMENT;
    return usable(r) ? guarded([&] { return Request::from(r)->start_and_run(ready, arg); })
                     : refusal(r);
}

ks_status ks_request_run_until(ks_request *r, ks_ready_fn ready, void *arg) {
    if (r && !ready)
        return KS_INVALID_ARGUMENT;
    return usable(r) ? guarded([&] { return Request::from(r)->run_until(ready, arg); })
                     : refusal(r);
}

ks_status ks_request_cancel(ks_request *r) {
    return usable(r) ? guarded([&] { return Request::from(r)->cancel(); }) : refusal(r);
}

ks_status ks_request_resume_read(ks_request *r) {
    return usable(r) ? guarded([&] { return Request::from(r)->resume_read(); }) : refusal(r);
}

ks_status ks_request_follow_redirect(ks_request *r) {
    return usable(r) ? guarded([&] { return Request::from(r)->follow_redirect(); }) : refusal(r);
}

ks_status ks_request_upload_write(ks_request *r, const uint8_t *data, size_t len,
                                  uint32_t final_chunk) {
    return usable(r) ? guarded([&] {
        return Request::from(r)->upload_write(data, len, final_chunk != 0);
    })
                     : refusal(r);
}

void ks_request_release(ks_request *r) {
    if (!r || kestrin::fork_guard::inherited(r))
        return;
    kestrin::fork_guard::released(r);
    guarded([&] {
        Request::from(r)->release();
        return KS_OK;
    });
}
}
