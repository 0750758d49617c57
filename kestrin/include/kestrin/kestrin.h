/* The C interface of the network Core (libkestrin.so).
 *
 * Every record and callback table starts with struct_size and abi_version.
 * Texts and byte buffers are (pointer, length) pairs, never NUL-terminated;
 * an empty value is a null pointer with length 0. Everything a create call
 * receives is valid only for the duration of that call: the Core copies what
 * it keeps.
 *
 * No call blocks on the network: work is handed to the engine's network
 * thread, and every callback comes from that thread. Only
 * ks_request_upload_write may wait, while the upload buffer is full.
 *
 * Statuses every ks_status function may return besides those it lists:
 * KS_OUT_OF_MEMORY, and KS_INITIALIZATION_FAILED for an unexpected internal
 * failure. A null handle is KS_INVALID_ARGUMENT; a handle made before a fork()
 * and used in the child is KS_INVALID_STATE (its release does nothing). */
#ifndef KESTRIN_H
#define KESTRIN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#else
#include <stdalign.h>
#include <stdbool.h>
#endif

#define KS_ALIGN8 alignas(8)

#define KS_ABI_VERSION 8u

#if defined(__GNUC__)
#define KS_API __attribute__((visibility("default")))
#else
#define KS_API
#endif

typedef struct ks_engine ks_engine;
typedef struct ks_request ks_request;
typedef struct ks_websocket ks_websocket;

/* 0 is success; 1..15 name an error kind (kind = status - 1); anything
 * else is a Core-specific code. */
typedef uint32_t ks_status;

enum {
    KS_OK = 0,
    KS_INVALID_ARGUMENT = 1,
    KS_UNSUPPORTED_ABI = 2,
    KS_OUT_OF_MEMORY = 3,
    KS_INITIALIZATION_FAILED = 4,
    KS_INVALID_STATE = 5,
    KS_TIMEOUT = 6,
    KS_CANCELED = 7,
    KS_NETWORK = 8,
    KS_TLS = 9,
    KS_PROXY = 10,
    KS_PROTOCOL = 11,
    KS_REDIRECT = 12,
    KS_CACHE_MISS = 13,
    KS_PROFILE_CONFLICT = 14,
    KS_PROFILE_UNSUPPORTED = 15
};

typedef struct ks_header {
    const char *name;
    size_t name_len;
    const char *value;
    size_t value_len;
} ks_header;

/* One offered WebSocket subprotocol. */
typedef struct ks_text {
    const char *data;
    size_t len;
} ks_text;

/* http_version: 0 auto, 1 HTTP/1.1, 2 HTTP/2, 3 HTTP/3.
 * cert_mode: 0 system trust, 1 trust exactly ca_pem, 2 no verification. */
typedef struct ks_engine_config {
    uint32_t struct_size, abi_version;
    const char *user_agent;
    size_t user_agent_len;
    const char *proxy;
    size_t proxy_len;
    const char *proxy_username;
    size_t proxy_username_len;
    const char *proxy_password;
    size_t proxy_password_len;
    uint32_t cache_disabled;
    const char *accept_language;
    size_t accept_language_len;
    const char *impersonate;
    size_t impersonate_len;
    const char *profile_namespace;
    size_t profile_namespace_len;
    uint32_t http_version;
    uint32_t cert_mode;
    const uint8_t *ca_pem;
    size_t ca_pem_len;
} ks_engine_config;

/* Request callbacks. The second argument is the Core's own handle of the
 * request. on_body returns true to keep reading and
 * false to pause until ks_request_resume_read. on_complete is the last call
 * for a started request and comes exactly once. */
typedef void (*ks_on_response_fn)(void *user_data, ks_request *request, int32_t status,
                                  const uint8_t *head, size_t head_len);
typedef bool (*ks_on_body_fn)(void *user_data, ks_request *request, const uint8_t *data,
                              size_t len);
typedef void (*ks_on_complete_fn)(void *user_data, ks_request *request, uint32_t status,
                                  int32_t net_error);
typedef void (*ks_on_redirect_fn)(void *user_data, ks_request *request, int32_t status,
                                  const uint8_t *head, size_t head_len, const char *from_url,
                                  size_t from_url_len, const char *to_url, size_t to_url_len);

typedef struct ks_request_callbacks {
    uint32_t struct_size, abi_version;
    void *user_data;
    ks_on_response_fn on_response;
    ks_on_body_fn on_body;
    ks_on_complete_fn on_complete;
    ks_on_redirect_fn on_redirect;
} ks_request_callbacks;

/* body_kind: 0 none, 1 bytes, 2 chunked upload fed by ks_request_upload_write.
 * cache_mode: 0 default, 1 validate, 2 bypass, 3 no_store, 4 force,
 * 5 only_if_cached. redirect_mode: 0 follow, 1 manual, 2 error.
 * priority: 0 default, 1 highest, 2 medium, 3 low, 4 lowest, 5 idle.
 * timeout_ms: the whole request; 0 means none. */
typedef struct ks_request_config {
    uint32_t struct_size, abi_version;
    const char *url;
    size_t url_len;
    const char *method;
    size_t method_len;
    const ks_header *headers;
    size_t header_count;
    KS_ALIGN8 uint64_t timeout_ms;
    ks_request_callbacks callbacks;
    const uint8_t *body;
    size_t body_len;
    uint32_t body_kind, cache_mode, redirect_mode, priority;
} ks_request_config;

/* WebSocket callbacks; the second argument is again the Core's handle.
 * on_message type: 1 text, 2 binary. on_closed and on_error are terminal:
 * nothing follows either. */
typedef void (*ks_on_open_fn)(void *user_data, ks_websocket *ws, const char *protocol,
                              size_t protocol_len, const char *detail, size_t detail_len);
typedef void (*ks_on_message_fn)(void *user_data, ks_websocket *ws, uint32_t type, uint32_t flags,
                                 const uint8_t *data, size_t len);
typedef void (*ks_on_closing_fn)(void *user_data, ks_websocket *ws);
typedef void (*ks_on_closed_fn)(void *user_data, ks_websocket *ws, uint32_t was_clean,
                                uint32_t code, const char *reason, size_t reason_len);
typedef void (*ks_on_error_fn)(void *user_data, ks_websocket *ws, uint32_t status,
                               int32_t net_error, int32_t response_code, const char *message,
                               size_t message_len);

typedef struct ks_websocket_callbacks {
    uint32_t struct_size, abi_version;
    void *user_data;
    ks_on_open_fn on_open;
    ks_on_message_fn on_message;
    ks_on_closing_fn on_closing;
    ks_on_closed_fn on_closed;
    ks_on_error_fn on_error;
} ks_websocket_callbacks;

typedef struct ks_websocket_config {
    uint32_t struct_size, abi_version;
    const char *url;
    size_t url_len;
    const char *origin;
    size_t origin_len;
    const ks_text *protocols;
    size_t protocol_count;
    const ks_header *headers;
    size_t header_count;
    ks_websocket_callbacks callbacks;
    KS_ALIGN8 uint64_t timeout_ms;
} ks_websocket_config;

/* KS_ABI_VERSION of the library; records must carry the same. */
KS_API uint32_t ks_abi_version(void);
KS_API const char *ks_version_string(void);

/* Creates an engine and its network thread.
 * KS_OK; KS_INVALID_ARGUMENT: a null pointer, a short record, http_version 3
 * or out of range, cert_mode out of range, a non-empty ca_pem without a
 * certificate, a proxy of another scheme; KS_UNSUPPORTED_ABI;
 * KS_PROFILE_UNSUPPORTED: an unknown impersonate name; KS_PROFILE_CONFLICT:
 * profile_namespace is used by a live engine with another profile;
 * KS_OUT_OF_MEMORY; KS_INITIALIZATION_FAILED: no thread could be started. */
KS_API ks_status ks_engine_create(const ks_engine_config *config, ks_engine **out);
/* Completes every started request with KS_CANCELED and ends every WebSocket
 * with on_error, then lets the network thread end by itself: it does not
 * wait for it. Null does nothing. */
KS_API void ks_engine_release(ks_engine *engine);

/* Checks and copies a request; nothing is sent before ks_request_start.
 * KS_OK; KS_INVALID_ARGUMENT: a null pointer, a short record, a null
 * on_complete, a value out of its range, a length without data, a method or
 * header name that is not a token, CR, LF or NUL in the URL or a header
 * value, a URL that is not http or https; KS_UNSUPPORTED_ABI;
 * KS_INVALID_STATE; KS_OUT_OF_MEMORY. */
KS_API ks_status ks_request_create(ks_engine *engine, const ks_request_config *config,
                                   ks_request **out);
/* From here on on_complete comes exactly once.
 * KS_OK; KS_INVALID_ARGUMENT; KS_INVALID_STATE: started before, or the
 * engine was released; KS_OUT_OF_MEMORY (the caller may try again). */
KS_API ks_status ks_request_start(ks_request *request);
/* Completes a started request with KS_CANCELED unless it already completed;
 * an unstarted one cannot be started any more. KS_OK; KS_INVALID_ARGUMENT;
 * KS_INVALID_STATE; KS_OUT_OF_MEMORY. */
KS_API ks_status ks_request_cancel(ks_request *request);
/* Ends a pause that on_body asked for; does nothing otherwise.
 * KS_OK; KS_INVALID_ARGUMENT; KS_INVALID_STATE; KS_OUT_OF_MEMORY. */
KS_API ks_status ks_request_resume_read(ks_request *request);
/* Follows the hop a "manual" request reported to on_redirect.
 * KS_OK; KS_INVALID_ARGUMENT; KS_INVALID_STATE: no hop waits;
 * KS_OUT_OF_MEMORY. */
KS_API ks_status ks_request_follow_redirect(ks_request *request);
/* Feeds a chunked upload; waits while the upload buffer is full.
 * KS_OK; KS_INVALID_ARGUMENT: a length without data; KS_INVALID_STATE: not a
 * chunked upload, or after the final chunk; once the request has ended, the
 * status it ended with (KS_CANCELED when canceled or released,
 * KS_INVALID_STATE after success); KS_OUT_OF_MEMORY. */
KS_API ks_status ks_request_upload_write(ks_request *request, const uint8_t *data, size_t len,
                                         uint32_t final_chunk);
/* Releases the caller's handle; a started request is canceled first and
 * on_complete may still come, from the network thread. Null does nothing. */
KS_API void ks_request_release(ks_request *request);

/* Checks and copies a WebSocket; nothing is sent before ks_websocket_start.
 * KS_OK; KS_INVALID_ARGUMENT: a null pointer, a short record, a null on_closed
 * or on_error, a length without data, a URL that is not ws or wss or holds
 * NUL, CR, LF or NUL in the origin, a protocol that is not a token or is
 * offered twice, a header that is not a token and a field value or that the
 * handshake sets itself; KS_UNSUPPORTED_ABI; KS_INVALID_STATE;
 * KS_OUT_OF_MEMORY. */
KS_API ks_status ks_websocket_create(ks_engine *engine, const ks_websocket_config *config,
                                     ks_websocket **out);
/* From here on exactly one of on_closed and on_error comes.
 * KS_OK; KS_INVALID_ARGUMENT; KS_INVALID_STATE: started before, or the
 * engine was released; KS_OUT_OF_MEMORY (the caller may try again). */
KS_API ks_status ks_websocket_start(ks_websocket *ws);
/* Ends a started WebSocket with on_error (KS_CANCELED) unless it ended.
 * KS_OK; KS_INVALID_ARGUMENT; KS_INVALID_STATE; KS_OUT_OF_MEMORY. */
KS_API ks_status ks_websocket_cancel(ks_websocket *ws);
/* Queues one message; kind 1 text, 2 binary.
 * KS_OK; KS_INVALID_ARGUMENT: another kind, a length without data, text that
 * is not UTF-8; KS_INVALID_STATE: not open, or the engine was released;
 * KS_OUT_OF_MEMORY. */
KS_API ks_status ks_websocket_send(ks_websocket *ws, uint32_t kind, const uint8_t *data,
                                   size_t len);
/* Starts the closing handshake.
 * KS_OK; KS_INVALID_ARGUMENT: a length without data, a code a close frame
 * may not carry, a reason over 123 bytes or not UTF-8; KS_INVALID_STATE: not
 * connecting or open; KS_OUT_OF_MEMORY. */
KS_API ks_status ks_websocket_close(ks_websocket *ws, uint32_t code, const char *reason,
                                    size_t reason_len);
/* Releases the caller's handle; a started WebSocket is canceled first and its
 * terminal callback may still come, from the network thread. Null does
 * nothing. */
KS_API void ks_websocket_release(ks_websocket *ws);

#ifdef __cplusplus
}
#endif

#endif /* KESTRIN_H */
