// The C interface of the Core: checks records, copies what it keeps and hands
// everything else to the engine and request objects. No exception leaves here.
#include <new>

#include "engine.hpp"
#include "kestrin.h"
#include "request.hpp"
#include "websocket.hpp"

using kestrin::Engine;
using kestrin::Request;

namespace {

struct EngineHandle {
    std::shared_ptr<Engine> engine;
};

EngineHandle *engine_of(ks_engine *e) {
    return reinterpret_cast<EngineHandle *>(e);
}

constexpr ks_status kBadHandle = KS_INVALID_ARGUMENT;

template <class F> ks_status guarded(F &&f) {
    try {
        return f();
    } catch (const std::bad_alloc &) {
        return KS_OUT_OF_MEMORY;
    } catch (...) {
        return KS_INITIALIZATION_FAILED;
    }
}

} // namespace

std::shared_ptr<Engine> kestrin::engine_from_handle(ks_engine *engine) {
    return engine ? engine_of(engine)->engine : nullptr;
}

extern "C" {

uint32_t ks_abi_version(void) {
    return KS_ABI_VERSION;
}

const char *ks_version_string(void) {
    return "kestrin 0.2.0";
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
        std::shared_ptr<Engine> engine;
        if (ks_status st = Engine::create(std::move(settings), engine))
            return st;
        *out = reinterpret_cast<ks_engine *>(new EngineHandle{std::move(engine)});
        return KS_OK;
    });
}

void ks_engine_release(ks_engine *engine) {
    if (!engine)
        return;
    EngineHandle *h = engine_of(engine);
    h->engine->shutdown();
    delete h;
}

ks_status ks_request_create(ks_engine *engine, const ks_request_config *config, ks_request **out) {
    if (!engine || !config || !out)
        return KS_INVALID_ARGUMENT;
    return guarded([&]() -> ks_status {
        std::shared_ptr<Request> r;
        if (ks_status st = Request::create(engine_of(engine)->engine, *config, r))
            return st;
        *out = r->handle();
        return KS_OK; // r->api_ref keeps it alive until ks_request_release
    });
}

ks_status ks_request_start(ks_request *r) {
    return r ? guarded([&] { return Request::from(r)->start(); }) : kBadHandle;
}

ks_status ks_request_cancel(ks_request *r) {
    return r ? guarded([&] { return Request::from(r)->cancel(); }) : kBadHandle;
}

ks_status ks_request_resume_read(ks_request *r) {
    return r ? guarded([&] { return Request::from(r)->resume_read(); }) : kBadHandle;
}

ks_status ks_request_follow_redirect(ks_request *r) {
    return r ? guarded([&] { return Request::from(r)->follow_redirect(); }) : kBadHandle;
}

ks_status ks_request_upload_write(ks_request *r, const uint8_t *data, size_t len,
                                  uint32_t final_chunk) {
    return r ? guarded([&] { return Request::from(r)->upload_write(data, len, final_chunk != 0); })
             : kBadHandle;
}

void ks_request_release(ks_request *r) {
    if (r)
        guarded([&] {
            Request::from(r)->release();
            return KS_OK;
        });
}
}
