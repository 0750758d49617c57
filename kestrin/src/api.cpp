// Placeholder Core: versions and engines only, until the network work lands.
#include "kestrin.h"

#include <new>

struct ks_engine {
    int unused = 0;
};

extern "C" {

uint32_t ks_abi_version(void) { return KS_ABI_VERSION; }

const char *ks_version_string(void) { return "kestrin 0.1.0"; }

ks_status ks_engine_create(const ks_engine_config *config, ks_engine **out) {
    if (config == nullptr || out == nullptr || config->struct_size < sizeof(ks_engine_config) ||
        config->abi_version != KS_ABI_VERSION)
        return KS_INVALID_ARGUMENT;
    if (config->proxy_len || config->impersonate_len || config->profile_namespace_len ||
        config->http_version != 0 || config->cert_mode != 0)
        return KS_INVALID_ARGUMENT;
    *out = new (std::nothrow) ks_engine{};
    return *out ? KS_OK : KS_OUT_OF_MEMORY;
}

void ks_engine_release(ks_engine *engine) { delete engine; }

ks_status ks_request_create(ks_engine *, const ks_request_config *, ks_request **) {
    return KS_INVALID_STATE;
}
ks_status ks_request_start(ks_request *) { return KS_INVALID_STATE; }
ks_status ks_request_cancel(ks_request *) { return KS_INVALID_STATE; }
ks_status ks_request_resume_read(ks_request *) { return KS_INVALID_STATE; }
ks_status ks_request_follow_redirect(ks_request *) { return KS_INVALID_STATE; }
ks_status ks_request_upload_write(ks_request *, const uint8_t *, size_t, uint32_t) {
    return KS_INVALID_STATE;
}
void ks_request_release(ks_request *) {}
ks_status ks_websocket_create(ks_engine *, const ks_websocket_config *, ks_websocket **) {
    return KS_INVALID_STATE;
}
ks_status ks_websocket_start(ks_websocket *) { return KS_INVALID_STATE; }
ks_status ks_websocket_cancel(ks_websocket *) { return KS_INVALID_STATE; }
ks_status ks_websocket_send(ks_websocket *, uint32_t, const uint8_t *, size_t) {
    return KS_INVALID_STATE;
}
ks_status ks_websocket_close(ks_websocket *, uint32_t, const char *, size_t) {
    return KS_INVALID_STATE;
}
void ks_websocket_release(ks_websocket *) {}
}
