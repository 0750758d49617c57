/* Compile-time check of the Core records' layout. Built for the host (64-bit natural layout)
 * and with -m32, where the sizes and offsets are the fixed ones of the 32-bit interface. */

#include <stddef.h>

#include <kestrin/kestrin.h>

#ifdef __cplusplus
#define SA static_assert
#define ALIGNOF alignof
#else
#define SA _Static_assert
#define ALIGNOF _Alignof
#endif

#define AT(type, field, off) SA(offsetof(type, field) == (off), #type "." #field)
#define P sizeof(void *)

#if defined(__i386__)
SA(sizeof(ks_engine_config) == 84, "engine record");
SA(sizeof(ks_request_config) == 96, "request record");
SA(sizeof(ks_request_callbacks) == 28, "request callbacks");
SA(sizeof(ks_websocket_config) == 80, "websocket record");
SA(sizeof(ks_websocket_callbacks) == 32, "websocket callbacks");
SA(sizeof(ks_header) == 16, "header entry");
SA(sizeof(ks_text) == 8, "protocol entry");
SA(ALIGNOF(ks_request_config) == 8, "request record alignment");
SA(ALIGNOF(ks_websocket_config) == 8, "websocket record alignment");
AT(ks_engine_config, user_agent, 8);
AT(ks_engine_config, proxy, 16);
AT(ks_engine_config, proxy_username, 24);
AT(ks_engine_config, proxy_password, 32);
AT(ks_engine_config, cache_disabled, 40);
AT(ks_engine_config, accept_language, 44);
AT(ks_engine_config, impersonate, 52);
AT(ks_engine_config, profile_namespace, 60);
AT(ks_engine_config, http_version, 68);
AT(ks_engine_config, cert_mode, 72);
AT(ks_engine_config, ca_pem, 76);
AT(ks_engine_config, ca_pem_len, 80);
AT(ks_request_config, url, 8);
AT(ks_request_config, method, 16);
AT(ks_request_config, headers, 24);
AT(ks_request_config, header_count, 28);
AT(ks_request_config, timeout_ms, 32);
AT(ks_request_config, callbacks, 40);
AT(ks_request_config, body, 68);
AT(ks_request_config, body_len, 72);
AT(ks_request_config, body_kind, 76);
AT(ks_request_config, cache_mode, 80);
AT(ks_request_config, redirect_mode, 84);
AT(ks_request_config, priority, 88);
AT(ks_request_callbacks, user_data, 8);
AT(ks_request_callbacks, on_response, 12);
AT(ks_request_callbacks, on_body, 16);
AT(ks_request_callbacks, on_complete, 20);
AT(ks_request_callbacks, on_redirect, 24);
AT(ks_websocket_config, url, 8);
AT(ks_websocket_config, origin, 16);
AT(ks_websocket_config, protocols, 24);
AT(ks_websocket_config, protocol_count, 28);
AT(ks_websocket_config, headers, 32);
AT(ks_websocket_config, header_count, 36);
AT(ks_websocket_config, callbacks, 40);
AT(ks_websocket_config, timeout_ms, 72);
AT(ks_websocket_callbacks, user_data, 8);
AT(ks_websocket_callbacks, on_open, 12);
AT(ks_websocket_callbacks, on_message, 16);
AT(ks_websocket_callbacks, on_closing, 20);
AT(ks_websocket_callbacks, on_closed, 24);
AT(ks_websocket_callbacks, on_error, 28);
#elif defined(__x86_64__) || defined(__aarch64__)
/* LP64: pointers and lengths are 8 bytes, everything naturally aligned. */
SA(sizeof(ks_engine_config) == 152, "engine record");
SA(sizeof(ks_request_config) == 144, "request record");
SA(sizeof(ks_request_callbacks) == 48, "request callbacks");
SA(sizeof(ks_websocket_config) == 136, "websocket record");
SA(sizeof(ks_websocket_callbacks) == 56, "websocket callbacks");
SA(sizeof(ks_header) == 4 * P, "header entry");
SA(sizeof(ks_text) == 2 * P, "protocol entry");
AT(ks_engine_config, user_agent, 8);
AT(ks_engine_config, cache_disabled, 72);
AT(ks_engine_config, accept_language, 80);
AT(ks_engine_config, http_version, 128);
AT(ks_engine_config, cert_mode, 132);
AT(ks_engine_config, ca_pem, 136);
AT(ks_request_config, header_count, 48);
AT(ks_request_config, timeout_ms, 56);
AT(ks_request_config, callbacks, 64);
AT(ks_request_config, body, 112);
AT(ks_request_config, body_kind, 128);
AT(ks_request_config, priority, 140);
AT(ks_request_callbacks, user_data, 8);
AT(ks_request_callbacks, on_redirect, 40);
AT(ks_websocket_config, protocols, 40);
AT(ks_websocket_config, headers, 56);
AT(ks_websocket_config, callbacks, 72);
AT(ks_websocket_config, timeout_ms, 128);
AT(ks_websocket_callbacks, on_error, 48);
#else
#error "no layout table for this target"
#endif

/* The values a record's mode fields hold are part of the interface, like its offsets. */
SA(KS_HTTP_AUTO == 0 && KS_HTTP_1_1 == 1 && KS_HTTP_2 == 2 && KS_HTTP_3 == 3, "http_version");
SA(KS_CERT_SYSTEM == 0 && KS_CERT_CA_PEM == 1 && KS_CERT_NONE == 2, "cert_mode");
SA(KS_BODY_NONE == 0 && KS_BODY_BYTES == 1 && KS_BODY_STREAM == 2, "body_kind");
SA(KS_CACHE_DEFAULT == 0 && KS_CACHE_VALIDATE == 1 && KS_CACHE_BYPASS == 2 &&
       KS_CACHE_NO_STORE == 3 && KS_CACHE_FORCE == 4 && KS_CACHE_ONLY_IF_CACHED == 5,
   "cache_mode");
SA(KS_REDIRECT_FOLLOW == 0 && KS_REDIRECT_MANUAL == 1 && KS_REDIRECT_ERROR == 2,
   "redirect_mode");
SA(KS_PRIORITY_DEFAULT == 0 && KS_PRIORITY_HIGHEST == 1 && KS_PRIORITY_MEDIUM == 2 &&
       KS_PRIORITY_LOW == 3 && KS_PRIORITY_LOWEST == 4 && KS_PRIORITY_IDLE == 5,
   "priority");
SA(KS_MESSAGE_TEXT == 1 && KS_MESSAGE_BINARY == 2, "message type");
SA(KS_STATUS_LAST_KIND == 15, "statuses that name a kind");
SA(sizeof(ks_http_version) == sizeof(uint32_t), "mode enums fit the uint32_t fields");

int layout_check_anchor;
