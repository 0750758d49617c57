// PyRequest: the type, its native part's lifetime, starting and waiting for the head, and the
// method table of all its methods. Each blocking method waits with the interpreter lock
// released and takes it back before building any Python value.
#include "request/py_request.h"

#include "lib/fault.h"
#include "lib/object.h"
#include "lib/type.h"
#include "request/body.h"
#include "request/poll.h"
#include "request/redirects.h"
#include "request/response.h"

#include <utility>
#include <variant>

namespace corvina {
namespace {

using RequestBox = Boxed<RequestNative>;

// What a head wait gives the method once the interpreter lock is back.
using HeadResult = std::variant<HeadResponse, CoreError, RequestFailure>;

PyObject *raise_head_result(HeadResult &r) {
    if (auto *e = std::get_if<CoreError>(&r))
        return raise_core_error(*e);
    if (auto *f = std::get_if<RequestFailure>(&r))
        return raise_request_failure(*f);
    auto &h = std::get<HeadResponse>(r);
    return make_response(h.status, std::move(h.head));
}

// Turns a head outcome into the method's result, publishing the stream of `started` on
// success. Runs with the interpreter lock released and no module lock held.
HeadResult settle_head(RequestNative &n, std::shared_ptr<RequestHandle> started,
                       HeadOutcome outcome) {
    if (auto *r = std::get_if<HeadResponse>(&outcome)) {
        publish_stream(n, std::move(started));
        return std::move(*r);
    }
    if (auto *f = std::get_if<RequestFailure>(&outcome))
        return *f;
    // Handed out already, or ended without one: nothing will come.
    return CoreError{ErrorKind::InvalidState, 0};
}

} // namespace

RequestNative::~RequestNative() {
    // The handle first, then the started context and the stream, then the flag.
    handle.reset();
    started_context.reset();
    body_stream.reset();
    notify_pending.reset();
}

RequestNative &request_native(PyObject *self) {
    return RequestBox::of(self);
}

PyObject *make_request(std::shared_ptr<RequestHandle> handle) {
    PyTypeObject *type = request_type();
    if (type == nullptr)
        return nullptr;
    return RequestBox::create(type, std::move(handle));
}

void request_finalize(PyObject *self) {
    RequestBox::destroy(self);
}

void set_started(RequestNative &n, std::shared_ptr<RequestHandle> started) {
    auto lock = lock_yielding(n.started_lock);
    n.started_context.swap(started); // the old one goes after the unlock
}

std::shared_ptr<RequestHandle> take_started(RequestNative &n) {
    auto lock = lock_yielding(n.started_lock);
    return std::move(n.started_context);
}

HeadOutcome take_started_head(RequestNative &n, std::shared_ptr<RequestHandle> &context) {
    auto lock = lock_yielding(n.started_lock);
    if (!n.started_context)
        return std::monostate{};
    HeadOutcome head = n.started_context->state().take_head();
    if (!std::holds_alternative<std::monostate>(head))
        context = std::move(n.started_context);
    return head;
}

void publish_stream(RequestNative &n, std::shared_ptr<RequestHandle> stream) {
    auto lock = lock_yielding(n.stream_lock);
    n.body_stream.swap(stream); // the old one goes after the unlock
}

void detach(RequestNative &n) {
    n.state().notifier().clear();
    take_started(n); // released here, after the lock
}

PyObject *request_start(PyObject *self) {
    RequestNative &n = request_native(self);
    auto started = n.core().start();
    if (auto *e = std::get_if<CoreError>(&started))
        return raise_core_error(*e);
    set_started(n, std::move(std::get<std::shared_ptr<RequestHandle>>(started)));
    Py_RETURN_NONE;
}

PyObject *request_start_stream(PyObject *self) {
    RequestNative &n = request_native(self);
    HeadResult result;
    {
        GilRelease unlocked;
        auto started = n.core().start(RequestHandle::RunLoop::to_head);
        if (auto *e = std::get_if<CoreError>(&started)) {
            result = *e;
        } else {
            auto &handle = std::get<std::shared_ptr<RequestHandle>>(started);
            HeadOutcome head = handle->state().wait_head(handle->core());
            result = settle_head(n, std::move(handle), std::move(head));
        }
    }
    return raise_head_result(result);
}

PyObject *request_await_response(PyObject *self) {
    RequestNative &n = request_native(self);
    std::shared_ptr<RequestHandle> started = take_started(n);
    if (!started)
        return raise_runtime("request is not started");
    HeadResult result;
    {
        GilRelease unlocked;
        HeadOutcome head = started->state().wait_head(started->core());
        result = settle_head(n, std::move(started), std::move(head));
    }
    return raise_head_result(result);
}

PyObject *request_cancel(PyObject *self) {
    RequestNative &n = request_native(self);
    CallResult result;
    try {
        result = n.core().cancel();
    } catch (...) {
        detach(n);
        throw;
    }
    detach(n);
    return none_or_raise(result);
}

PyObject *request_is_finished(PyObject *self) {
    return PyBool_FromLong(request_native(self).state().is_finished() ? 1 : 0);
}

namespace {

PyMethodDef request_methods[] = {
    CORVINA_NOARGS("cancel", request_cancel, ""),
    CORVINA_NOARGS("detach_callback", request_detach_callback, ""),
    CORVINA_NOARGS("is_finished", request_is_finished, ""),
    CORVINA_FAST(kUploadWrite, request_upload_write,
                 "Feeds one chunk of a chunked upload.  Only valid when the request was\n"
                 "created with `upload=\"chunked\"`."),
    CORVINA_NOARGS("upload_finish", request_upload_finish, ""),
    CORVINA_NOARGS("resume_read", request_resume_read, ""),
    CORVINA_NOARGS("follow_redirect", request_follow_redirect, ""),
    CORVINA_NOARGS("take_redirects", request_take_redirects,
                   "Drains redirect hops the Core has already reported.  The Core reports\n"
                   "them in follow mode too, which is what lets the facade rebuild\n"
                   "`Response.history` and the post-redirect URL without deferring hops."),
    CORVINA_FAST(kWaitRedirect, request_wait_redirect, ""),
    CORVINA_FAST(kWaitManual, request_wait_manual,
                 "Blocks until the Core reports a deferred redirect or the response\n"
                 "headers arrive, whichever happens first.\n\n"
                 "`manual` redirect mode makes Chromium defer the hop and wait for\n"
                 "`follow_redirect`, so waiting only on the response would hang.  Returns\n"
                 "`(redirect, head)` with exactly one side set, or `(None, None)` on timeout."),
    CORVINA_NOARGS("start_stream", request_start_stream, ""),
    CORVINA_NOARGS("start", request_start,
                   "Starts the request without waiting for headers.  The facade uses this for\n"
                   "chunked uploads, where the body must be fed before headers can arrive."),
    CORVINA_NOARGS("await_response", request_await_response,
                   "Waits for the headers of a request already started by `start`."),
    CORVINA_NOARGS("next_body", request_next_body, ""),
    CORVINA_NOARGS("read_body", request_read_body,
                   "Reads the whole body with the GIL released.  Saves one Python round trip\n"
                   "per chunk on the non-streaming synchronous path."),
    CORVINA_FAST(kRequestStartAsync, request_start_async,
                 "Starts a request and arranges a thread-safe notification on an\n"
                 "asyncio-compatible event loop. The callback only schedules `notify`; it\n"
                 "never runs user Python code or waits for network I/O."),
    CORVINA_FAST(kRequestAttachAsync, request_attach_async,
                 "Registers the asyncio bridge without starting the request, for chunked\n"
                 "uploads that must be fed after `start`."),
    CORVINA_NOARGS("poll_event", request_poll_event,
                   "Returns one non-blocking event as `(kind, status, headers, body, error)`.\n"
                   "`kind` is `response`, `body`, `done`, or `error`; `None` means pending."),
    CORVINA_FAST(kRequestPollEvents, request_poll_events,
                 "Drains up to `limit` events in one call.  Batching keeps a large download\n"
                 "from costing one event-loop round trip per Core chunk."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot request_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc<request_finalize>)},
    {Py_tp_methods, request_methods},
    {0, nullptr},
};

} // namespace

PyTypeObject *request_type() {
    static PyType_Spec spec{"builtins.PyRequest", static_cast<int>(sizeof(RequestBox)), 0,
                            kTypeFlagsNoConstructor, request_slots};
    static PyObject *type = nullptr;
    return make_type(spec, type);
}

} // namespace corvina
