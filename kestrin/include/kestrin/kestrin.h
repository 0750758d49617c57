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
    KS_PROFILE_UNSUPPORTED = 15,
    /* The last status that names an error kind. */
    KS_STATUS_LAST_KIND = KS_PROFILE_UNSUPPORTED
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

/* The values of the records' uint32_t mode fields. */

/* ks_engine_config.http_version. KS_HTTP_3 is HTTP/3 only for https URLs without a
 * proxy; http URLs and proxied requests go as with KS_HTTP_AUTO. KS_HTTP_AUTO takes
 * HTTP/3 for an origin that advertised h3 on its own port in Alt-Svc, racing TCP. */
typedef enum ks_http_version {
    KS_HTTP_AUTO = 0,
    KS_HTTP_1_1 = 1,
    KS_HTTP_2 = 2,
    KS_HTTP_3 = 3
} ks_http_version;

/* ks_engine_config.cert_mode */
typedef enum ks_cert_mode {
    KS_CERT_SYSTEM = 0, /* the system's trust store */
    KS_CERT_CA_PEM = 1, /* exactly the certificates of ca_pem */
    KS_CERT_NONE = 2    /* no verification */
} ks_cert_mode;

/* ks_request_config.body_kind */
typedef enum ks_body_kind {
    KS_BODY_NONE = 0,
    KS_BODY_BYTES = 1,
    KS_BODY_STREAM = 2 /* a chunked upload fed by ks_request_upload_write */
} ks_body_kind;

/* ks_request_config.cache_mode */
typedef enum ks_cache_mode {
    KS_CACHE_DEFAULT = 0,
    KS_CACHE_VALIDATE = 1,
    KS_CACHE_BYPASS = 2,
    KS_CACHE_NO_STORE = 3,
    KS_CACHE_FORCE = 4,
    KS_CACHE_ONLY_IF_CACHED = 5
} ks_cache_mode;

/* ks_request_config.redirect_mode */
typedef enum ks_redirect_mode {
    KS_REDIRECT_FOLLOW = 0,
    KS_REDIRECT_MANUAL = 1,
    KS_REDIRECT_ERROR = 2
} ks_redirect_mode;

/* ks_request_config.priority */
typedef enum ks_priority {
    KS_PRIORITY_DEFAULT = 0,
    KS_PRIORITY_HIGHEST = 1,
    KS_PRIORITY_MEDIUM = 2,
    KS_PRIORITY_LOW = 3,
    KS_PRIORITY_LOWEST = 4,
    KS_PRIORITY_IDLE = 5
} ks_priority;

/* A WebSocket message's type: on_message's type, ks_websocket_send's kind. */
typedef enum ks_message_type { KS_MESSAGE_TEXT = 1, KS_MESSAGE_BINARY = 2 } ks_message_type;

/* http_version is a ks_http_version, cert_mode a ks_cert_mode. */
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

/* Body memory, one rule on both sides of this interface: a body buffer of
 * KS_BODY_MAP_FROM bytes or more is mapped from the kernel and pooled, not
 * taken from the C allocator, whose arenas keep freed memory resident long
 * after the transfer that needed it. One on_body call hands over at most
 * KS_BODY_CHUNK_MAX bytes, so that one pooled block holds any chunk. */
#define KS_BODY_MAP_FROM (64u * 1024u)
#define KS_BODY_CHUNK_MAX (320u * 1024u)

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

/* body_kind, cache_mode, redirect_mode and priority hold the ks_body_kind,
 * ks_cache_mode, ks_redirect_mode and ks_priority values.
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
 * on_message's type is a ks_message_type. on_closed and on_error are terminal:
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
 * KS_OK; KS_INVALID_ARGUMENT: a null pointer, a short record, http_version
 * out of range (3 too, where the library was built without QUIC), cert_mode out of range, a
 * non-empty ca_pem without a certificate, a proxy of another scheme; KS_UNSUPPORTED_ABI;
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
/* Queues one message of a ks_message_type.
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
