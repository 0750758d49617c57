// The records' layout as this build of the C interface has it, for the tests' ctypes mirrors.
#include "kst.h"

#include <cstddef>

namespace {

#define KST_RECORD(type)                                                                           \
    { #type, "", 0, sizeof(type) }
#define KST_FIELD(type, field)                                                                     \
    { #type, #field, offsetof(type, field), sizeof(type::field) }

const kst_field kLayout[] = {
    KST_RECORD(ks_header),
    KST_FIELD(ks_header, name),
    KST_FIELD(ks_header, name_len),
    KST_FIELD(ks_header, value),
    KST_FIELD(ks_header, value_len),

    KST_RECORD(ks_text),
    KST_FIELD(ks_text, data),
    KST_FIELD(ks_text, len),

    KST_RECORD(ks_engine_config),
    KST_FIELD(ks_engine_config, struct_size),
    KST_FIELD(ks_engine_config, abi_version),
    KST_FIELD(ks_engine_config, user_agent),
    KST_FIELD(ks_engine_config, user_agent_len),
    KST_FIELD(ks_engine_config, proxy),
    KST_FIELD(ks_engine_config, proxy_len),
    KST_FIELD(ks_engine_config, proxy_username),
    KST_FIELD(ks_engine_config, proxy_username_len),
    KST_FIELD(ks_engine_config, proxy_password),
    KST_FIELD(ks_engine_config, proxy_password_len),
    KST_FIELD(ks_engine_config, cache_disabled),
    KST_FIELD(ks_engine_config, accept_language),
    KST_FIELD(ks_engine_config, accept_language_len),
    KST_FIELD(ks_engine_config, impersonate),
    KST_FIELD(ks_engine_config, impersonate_len),
    KST_FIELD(ks_engine_config, profile_namespace),
    KST_FIELD(ks_engine_config, profile_namespace_len),
    KST_FIELD(ks_engine_config, http_version),
    KST_FIELD(ks_engine_config, cert_mode),
    KST_FIELD(ks_engine_config, ca_pem),
    KST_FIELD(ks_engine_config, ca_pem_len),

    KST_RECORD(ks_request_callbacks),
    KST_FIELD(ks_request_callbacks, struct_size),
    KST_FIELD(ks_request_callbacks, abi_version),
    KST_FIELD(ks_request_callbacks, user_data),
    KST_FIELD(ks_request_callbacks, on_response),
    KST_FIELD(ks_request_callbacks, on_body),
    KST_FIELD(ks_request_callbacks, on_complete),
    KST_FIELD(ks_request_callbacks, on_redirect),

    KST_RECORD(ks_request_config),
    KST_FIELD(ks_request_config, struct_size),
    KST_FIELD(ks_request_config, abi_version),
    KST_FIELD(ks_request_config, url),
    KST_FIELD(ks_request_config, url_len),
    KST_FIELD(ks_request_config, method),
    KST_FIELD(ks_request_config, method_len),
    KST_FIELD(ks_request_config, headers),
    KST_FIELD(ks_request_config, header_count),
    KST_FIELD(ks_request_config, timeout_ms),
    KST_FIELD(ks_request_config, callbacks),
    KST_FIELD(ks_request_config, body),
    KST_FIELD(ks_request_config, body_len),
    KST_FIELD(ks_request_config, body_kind),
    KST_FIELD(ks_request_config, cache_mode),
    KST_FIELD(ks_request_config, redirect_mode),
    KST_FIELD(ks_request_config, priority),

    KST_RECORD(ks_websocket_callbacks),
    KST_FIELD(ks_websocket_callbacks, struct_size),
    KST_FIELD(ks_websocket_callbacks, abi_version),
    KST_FIELD(ks_websocket_callbacks, user_data),
    KST_FIELD(ks_websocket_callbacks, on_open),
    KST_FIELD(ks_websocket_callbacks, on_message),
    KST_FIELD(ks_websocket_callbacks, on_closing),
    KST_FIELD(ks_websocket_callbacks, on_closed),
    KST_FIELD(ks_websocket_callbacks, on_error),

    KST_RECORD(ks_websocket_config),
    KST_FIELD(ks_websocket_config, struct_size),
    KST_FIELD(ks_websocket_config, abi_version),
    KST_FIELD(ks_websocket_config, url),
    KST_FIELD(ks_websocket_config, url_len),
    KST_FIELD(ks_websocket_config, origin),
    KST_FIELD(ks_websocket_config, origin_len),
    KST_FIELD(ks_websocket_config, protocols),
    KST_FIELD(ks_websocket_config, protocol_count),
    KST_FIELD(ks_websocket_config, headers),
    KST_FIELD(ks_websocket_config, header_count),
    KST_FIELD(ks_websocket_config, callbacks),
    KST_FIELD(ks_websocket_config, timeout_ms),
};

} // namespace

extern "C" const kst_field *kst_layout(size_t *count) {
    *count = sizeof(kLayout) / sizeof(kLayout[0]);
    return kLayout;
}
