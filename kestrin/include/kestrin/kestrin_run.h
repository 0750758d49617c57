/* Optional entry points of the Core, beyond kestrin.h: a caller looks them up
 * at run time and, where they are missing, uses kestrin.h alone.
 *
 * A thread about to wait for its request may run the engine's network loop
 * itself while nobody else does: then the thread that the kernel wakes for
 * the response is the one that waits for it, and no hand-over between
 * threads is needed. Meanwhile the callbacks of the request, and of any other
 * work of the engine, come on the calling thread, inside the call. ready is
 * called on the calling thread between callbacks, with no lock of the Core
 * held; it must not call the Core. */
#ifndef KESTRIN_RUN_H
#define KESTRIN_RUN_H

#include <kestrin/kestrin.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int (*ks_ready_fn)(void *arg);

/* As ks_request_start, with its statuses; on KS_OK, when nobody runs the
 * engine's loop, runs it until ready(arg) returns nonzero or the engine is
 * released. Otherwise the start is handed to the loop's runner as usual. */
KS_API ks_status ks_request_start_and_run(ks_request *request, ks_ready_fn ready, void *arg);
/* Runs the loop of a started request's engine until ready(arg) returns
 * nonzero or the engine is released. KS_OK; KS_INVALID_ARGUMENT: a null
 * pointer; KS_INVALID_STATE, having run nothing: not started, or another
 * thread runs the loop (wait for the callbacks as usual). */
KS_API ks_status ks_request_run_until(ks_request *request, ks_ready_fn ready, void *arg);

/* As ks_websocket_send, with its statuses; on KS_OK, when nobody runs the
 * engine's loop, runs it until the message is handed to the connection
 * (written, or queued behind earlier ones). */
KS_API ks_status ks_websocket_send_and_run(ks_websocket *ws, uint32_t kind, const uint8_t *data,
                                           size_t len);
/* Runs the loop of a started WebSocket's engine until ready(arg) returns
 * nonzero or the engine is released. KS_OK; KS_INVALID_ARGUMENT: a null
 * pointer; KS_INVALID_STATE, having run nothing: not started, or another
 * thread runs the loop. */
KS_API ks_status ks_websocket_run_until(ks_websocket *ws, ks_ready_fn ready, void *arg);

#ifdef __cplusplus
}
#endif

#endif
