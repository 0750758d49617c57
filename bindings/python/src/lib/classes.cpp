// The class surface: type objects, method tables, signatures and documentation.
#include "lib/classes.h"

#include "engine/engine.h"
#include "lib/fault.h"
#include "lib/methods.h"

namespace corvina {
namespace {

template <NoArgsImpl F> PyObject *noargs(PyObject *self, PyObject *) {
    return guard([&] { return F(self); });
}

template <FastImpl F>
PyObject *fast(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return guard([&] { return F(self, args, nargs, kwnames); });
}

template <NoArgsImpl F> PyObject *getter(PyObject *self, void *) {
    return guard([&] { return F(self); });
}

template <void (*Finalize)(PyObject *)> void dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    guard_dealloc(self, [&] { Finalize(self); });
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DECREF(type);
}

#define NOARGS(name, impl, doc)                                                                    \
    { name, reinterpret_cast<PyCFunction>(noargs<impl>), METH_NOARGS, PyDoc_STR(doc) }
#define FAST(name, impl, doc)                                                                      \
    {                                                                                              \
        name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fast<impl>)),         \
            METH_FASTCALL | METH_KEYWORDS, PyDoc_STR(doc)                                          \
    }

PyObject *engine_abi_version_noargs(PyObject *, PyObject *) {
    return engine_abi_version(nullptr, nullptr);
}
PyObject *engine_core_version_noargs(PyObject *, PyObject *) {
    return engine_core_version(nullptr, nullptr);
}

PyMethodDef engine_methods[] = {
    {"abi_version", engine_abi_version_noargs, METH_NOARGS | METH_STATIC,
     PyDoc_STR("abi_version()\n--\n\n")},
    {"core_version", engine_core_version_noargs, METH_NOARGS | METH_STATIC,
     PyDoc_STR("core_version()\n--\n\n")},
    FAST("request", engine_request,
         "request($self, method, url, headers=None, body=None, timeout=None, "
         "allow_redirects=True, redirect=None, cache=None, priority=None, chunked=False)\n--\n\n"),
    FAST("websocket", engine_websocket,
         "websocket($self, url, origin=\"\", headers=None, timeout=None, protocols=None)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef request_methods[] = {
    NOARGS("cancel", request_cancel, "cancel($self)\n--\n\n"),
    NOARGS("detach_callback", request_detach_callback, "detach_callback($self)\n--\n\n"),
    NOARGS("is_finished", request_is_finished, "is_finished($self)\n--\n\n"),
    FAST("upload_write", request_upload_write,
         "upload_write($self, data, final_chunk)\n--\n\n"
         "Feeds one chunk of a chunked upload.  Only valid when the request was\n"
         "created with `upload=\"chunked\"`."),
    NOARGS("upload_finish", request_upload_finish, "upload_finish($self)\n--\n\n"),
    NOARGS("resume_read", request_resume_read, "resume_read($self)\n--\n\n"),
    NOARGS("follow_redirect", request_follow_redirect, "follow_redirect($self)\n--\n\n"),
    NOARGS("take_redirects", request_take_redirects,
           "take_redirects($self)\n--\n\n"
           "Drains redirect hops the Core has already reported.  The Core reports\n"
           "them in follow mode too, which is what lets the facade rebuild\n"
           "`Response.history` and the post-redirect URL without deferring hops."),
    FAST("wait_redirect", request_wait_redirect, "wait_redirect($self, timeout=None)\n--\n\n"),
    FAST("wait_manual", request_wait_manual,
         "wait_manual($self, timeout=None)\n--\n\n"
         "Blocks until the Core reports a deferred redirect or the response\n"
         "headers arrive, whichever happens first.\n\n"
         "`manual` redirect mode makes Chromium defer the hop and wait for\n"
         "`follow_redirect`, so waiting only on the response would hang.  Returns\n"
         "`(redirect, head)` with exactly one side set, or `(None, None)` on timeout."),
    NOARGS("start_stream", request_start_stream, "start_stream($self)\n--\n\n"),
    NOARGS("start", request_start,
           "start($self)\n--\n\n"
           "Starts the request without waiting for headers.  The facade uses this for\n"
           "chunked uploads, where the body must be fed before headers can arrive."),
    NOARGS("await_response", request_await_response,
           "await_response($self)\n--\n\n"
           "Waits for the headers of a request already started by `start`."),
    NOARGS("next_body", request_next_body, "next_body($self)\n--\n\n"),
    NOARGS("read_body", request_read_body,
           "read_body($self)\n--\n\n"
           "Reads the whole body with the GIL released.  Saves one Python round trip\n"
           "per chunk on the non-streaming synchronous path."),
    FAST("start_async", request_start_async,
         "start_async($self, loop_, notify)\n--\n\n"
         "Starts a request and arranges a thread-safe notification on an\n"
         "asyncio-compatible event loop. The callback only schedules `notify`; it\n"
         "never runs user Python code or waits for network I/O."),
    FAST("attach_async", request_attach_async,
         "attach_async($self, loop_, notify)\n--\n\n"
         "Registers the asyncio bridge without starting the request, for chunked\n"
         "uploads that must be fed after `start`."),
    NOARGS("poll_event", request_poll_event,
           "poll_event($self)\n--\n\n"
           "Returns one non-blocking event as `(kind, status, headers, body, error)`.\n"
           "`kind` is `response`, `body`, `done`, or `error`; `None` means pending."),
    FAST("poll_events", request_poll_events,
         "poll_events($self, limit=64)\n--\n\n"
         "Drains up to `limit` events in one call.  Batching keeps a large download\n"
         "from costing one event-loop round trip per Core chunk."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef response_getset[] = {
    {"status_code", getter<response_status_code>, nullptr, nullptr, nullptr},
    {"headers", getter<response_headers>, nullptr, nullptr, nullptr},
    {"content", getter<response_content>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef websocket_methods[] = {
    NOARGS("connect", websocket_connect, "connect($self)\n--\n\n"),
    FAST("send_text", websocket_send_text, "send_text($self, text)\n--\n\n"),
    FAST("send_bytes", websocket_send_bytes, "send_bytes($self, data)\n--\n\n"),
    NOARGS("recv", websocket_recv, "recv($self)\n--\n\n"),
    FAST("close", websocket_close, "close($self, code, reason)\n--\n\n"),
    NOARGS("cancel", websocket_cancel, "cancel($self)\n--\n\n"),
    NOARGS("detach_callback", websocket_detach_callback, "detach_callback($self)\n--\n\n"),
    NOARGS("is_finished", websocket_is_finished, "is_finished($self)\n--\n\n"),
    FAST("start_async", websocket_start_async, "start_async($self, loop_, notify)\n--\n\n"),
    NOARGS("poll_event", websocket_poll_event, "poll_event($self)\n--\n\n"),
    FAST("poll_events", websocket_poll_events,
         "poll_events($self, limit=64)\n--\n\n"
         "Drains up to `limit` queued events in one call so a busy socket does not\n"
         "pay an event-loop round trip per frame."),
    {nullptr, nullptr, 0, nullptr},
};

// Not subclassable (no base-type flag), no dict, no weak references, not tracked by the GC.
constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
constexpr unsigned kNoConstructor = kFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyType_Slot engine_slots[] = {
    {Py_tp_doc,
     const_cast<char *>("PyEngine(impersonate=None, proxy=None, verify=True, ca_pem=None, "
                        "user_agent=None, accept_language=None, proxy_username=None, "
                        "proxy_password=None, http_version=None, cache=True, "
                        "profile_namespace=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void *>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc<engine_finalize>)},
    {Py_tp_methods, engine_methods},
    {0, nullptr},
};

PyType_Slot request_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc<request_finalize>)},
    {Py_tp_methods, request_methods},
    {0, nullptr},
};

PyType_Slot response_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc<response_finalize>)},
    {Py_tp_getset, response_getset},
    {0, nullptr},
};

PyType_Slot websocket_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc<websocket_finalize>)},
    {Py_tp_methods, websocket_methods},
    {0, nullptr},
};

PyTypeObject *make_type(PyType_Spec &spec, PyObject *&slot) {
    if (slot == nullptr)
        slot = PyType_FromSpec(&spec); // kept for the life of the process
    return reinterpret_cast<PyTypeObject *>(slot);
}

PyObject *g_engine = nullptr;
PyObject *g_request = nullptr;
PyObject *g_response = nullptr;
PyObject *g_websocket = nullptr;

} // namespace

PyTypeObject *engine_type() {
    static PyType_Spec spec{"builtins.PyEngine", static_cast<int>(kEngineObjectSize), 0, kFlags,
                            engine_slots};
    return make_type(spec, g_engine);
}

PyTypeObject *request_type() {
    static PyType_Spec spec{"builtins.PyRequest", static_cast<int>(kRequestObjectSize), 0,
                            kNoConstructor, request_slots};
    return make_type(spec, g_request);
}

PyTypeObject *response_type() {
    static PyType_Spec spec{"builtins.PyResponse", static_cast<int>(kResponseObjectSize), 0,
                            kNoConstructor, response_slots};
    return make_type(spec, g_response);
}

PyTypeObject *websocket_type() {
    static PyType_Spec spec{"builtins.PyWebSocket", static_cast<int>(kWebSocketObjectSize), 0,
                            kNoConstructor, websocket_slots};
    return make_type(spec, g_websocket);
}

} // namespace corvina
