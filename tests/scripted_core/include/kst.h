/* Control interface of the scripted Core, a test double of libkestrin.so.
 *
 * The scripted Core implements every ks_ function without any networking: it logs each call,
 * answers with scripted statuses and delivers callbacks only when a test asks for them. Tests
 * load it with RTLD_GLOBAL before importing the module, so the module binds to it by SONAME,
 * and drive it through the kst_ functions below (tests/support/kst.py wraps them).
 *
 * Function names: every fn_name argument is a ks_ function name such as "ks_request_start".
 * Kinds: "engine", "request", "websocket". Objects of each kind are numbered from 1 in
 * creation order and never reused, not even across kst_reset; released objects are never
 * freed, so a late call on one is recorded as a violation instead of crashing.
 *
 * Settings and scripting
 *   kst_reset()                    wait for idle, then clear the log, violations, queued
 *                                  statuses, throw requests, armed deliveries and settings.
 *   kst_set_abi_version(v)         what ks_abi_version returns (default 8).
 *   kst_set_version_string(p,n,z)  what ks_version_string returns: NULL when z != 0, else the
 *                                  n bytes at p (any bytes), NUL-terminated.
 *   kst_push_status(fn,s,mode)     queue status s for the next call of fn (FIFO per fn). For
 *                                  the create functions mode 0 writes a handle iff s == 0,
 *                                  mode 1 never writes one, mode 2 writes one even when s != 0.
 *                                  Without a queued status a call returns 0 (create: a handle).
 *   kst_throw_next(fn)             the next call of fn is logged with "threw" and throws
 *                                  std::runtime_error; it has no other effect (a throwing
 *                                  release does not release; queued statuses and armed
 *                                  deliveries stay for the following call).
 *   kst_set_strict(on)             strict mode (default on): a scripted callback that follows
 *                                  the terminal one, or targets an object released before it
 *                                  was started, is dropped and logged with "dropped"; a
 *                                  terminal callback waits until the object's other callbacks
 *                                  running on other threads have returned (at most 5 s; then
 *                                  it runs anyway, logged with "overlapped").
 *   kst_set_auto(flags)            KST_AUTO_* bits: what release, cancel and close deliver by
 *                                  themselves to worker 1, as a real Core would.
 *   kst_set_claimed_len(n, run)    the next delivery call passes length n for its byte run
 *                                  `run` (0 first, 1 second, 2 third) instead of the real one;
 *                                  the pointer still points at the real copy.
 *   kst_clear_violations()         drop recorded violations (for tests that provoke them).
 *
 * Deliveries. `where`: 0 runs the callback now on the calling thread; 1..4 posts it to Core
 * worker thread k (started lazily, FIFO per thread); -1 arms it: it runs on the calling thread
 * inside the next call of the function named by the latest kst_arm, after that call is logged
 * and has taken effect, before it returns. Byte arguments are copied at once; a NULL pointer
 * reaches the callback as NULL, an empty non-NULL run as a non-NULL pointer with length 0.
 * Results: on_body's result (0 or 1) for kst_req_body delivered now; 0 when another callback
 * was delivered now or the delivery was queued or armed (-1 for kst_req_body); -2 when it was
 * dropped at once; -3 for an unknown id, bad `where`, or -1 without kst_arm.
 *
 * Inspection
 *   kst_log_json(buf, cap)         the call and callback log as a JSON array; returns the full
 *                                  length (call with cap 0 first). Byte values are objects
 *                                  {"hex": "..."}; a NULL pointer is null.
 *   kst_violations_json(buf, cap)  contract violations by the module, a JSON array of texts.
 *   kst_last_id(kind)              the latest id of that kind, 0 if none.
 *   kst_live(kind)                 objects of that kind created and not yet released.
 *   kst_wait_idle()                block until no delivery is queued or running.
 *   kst_wait_idle_ms(ms)           the same with a limit: 1 when idle, 0 when time ran out.
 *   kst_layout(&count)             every record's size (field "") and every field's offset and
 *                                  size, as compiled here: the tests check their mirrors.
 */
#ifndef KST_H
#define KST_H

#include <stddef.h>
#include <stdint.h>

#include <kestrin/kestrin.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KST_AUTO_REQUEST_RELEASE 0x1u /* release of a started request: on_complete(7, -3) */
#define KST_AUTO_REQUEST_CANCEL 0x2u  /* successful cancel of one: on_complete(7, -3) */
#define KST_AUTO_WS_RELEASE 0x4u      /* release of a started WebSocket: on_error(7, -3, 0) */
#define KST_AUTO_WS_CANCEL 0x8u       /* successful cancel of one: on_error(7, -3, 0) */
#define KST_AUTO_WS_CLOSE 0x10u       /* successful close of one: on_closed(1, code, reason) */
#define KST_AUTO_DEFAULT 0xfu

typedef struct kst_field {
    const char *record; /* "ks_request_config" */
    const char *field;  /* "" for the whole record */
    size_t offset;
    size_t size;
} kst_field;

KS_API void kst_reset(void);
KS_API void kst_set_abi_version(uint32_t version);
KS_API void kst_set_version_string(const char *bytes, size_t len, int is_null);
KS_API int kst_push_status(const char *fn_name, uint32_t status, int handle_mode);
KS_API int kst_throw_next(const char *fn_name);
KS_API int kst_arm(const char *fn_name);
KS_API void kst_set_strict(int on);
KS_API void kst_set_auto(uint32_t flags);
KS_API int kst_set_claimed_len(size_t len, int run);
KS_API void kst_clear_violations(void);

KS_API int kst_req_response(uint64_t id, int where, int32_t status, const uint8_t *head,
                            size_t head_len);
KS_API int kst_req_body(uint64_t id, int where, const uint8_t *data, size_t len);
KS_API int kst_req_complete(uint64_t id, int where, uint32_t status, int32_t net_error);
KS_API int kst_req_redirect(uint64_t id, int where, int32_t status, const uint8_t *head,
                            size_t head_len, const char *from_url, size_t from_len,
                            const char *to_url, size_t to_len);
KS_API int kst_ws_open(uint64_t id, int where, const char *protocol, size_t protocol_len,
                       const char *detail, size_t detail_len);
KS_API int kst_ws_message(uint64_t id, int where, uint32_t type, uint32_t flags,
                          const uint8_t *data, size_t len);
KS_API int kst_ws_closing(uint64_t id, int where);
KS_API int kst_ws_closed(uint64_t id, int where, uint32_t was_clean, uint32_t code,
                         const char *reason, size_t reason_len);
KS_API int kst_ws_error(uint64_t id, int where, uint32_t status, int32_t net_error,
                        int32_t response_code, const char *message, size_t message_len);

KS_API size_t kst_log_json(char *buf, size_t cap);
KS_API size_t kst_violations_json(char *buf, size_t cap);
KS_API uint64_t kst_last_id(const char *kind);
KS_API int kst_live(const char *kind);
KS_API void kst_wait_idle(void);
KS_API int kst_wait_idle_ms(uint64_t ms);
KS_API const kst_field *kst_layout(size_t *count);

#ifdef __cplusplus
}
#endif

#endif /* KST_H */
