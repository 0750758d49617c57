// PyRequest: the blocking methods. Each waits with the interpreter lock released and takes it
// back before building any Python value.
#include "request/py_request.h"

#include "lib/binding.h"
#include "lib/fault.h"
#include "lib/object.h"
#include "lib/type.h"
#include "request/poll.h"
#include "request/response.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <utility>
#include <variant>
#include <vector>

#include <sys/mman.h>

namespace corvina {
namespace {

using RequestBox = Boxed<RequestNative>;

constexpr std::chrono::seconds kDefaultWait{86400};

// What a head wait gives the method once the interpreter lock is back.
struct Head {
    int32_t status;
    Bytes head;
};
using HeadResult = std::variant<Head, CoreError, RequestFailure>;

PyObject *raise_head_result(HeadResult &r) {
    if (auto *e = std::get_if<CoreError>(&r))
        return raise_core_error(*e);
    if (auto *f = std::get_if<RequestFailure>(&r))
        return raise_request_failure(*f);
    auto &h = std::get<Head>(r);
    return make_response(h.status, std::move(h.head));
}

// Turns a head outcome into the method's result, publishing the stream of `started` on
// success. Runs with the interpreter lock released and no module lock held.
HeadResult settle_head(RequestNative &n, std::shared_ptr<RequestHandle> started,
                       HeadOutcome outcome) {
    if (auto *r = std::get_if<HeadResponse>(&outcome)) {
        publish_stream(n, std::move(started));
        return Head{r->status, std::move(r->head)};
    }
    if (auto *f = std::get_if<RequestFailure>(&outcome))
        return *f;
    // Handed out already, or ended without one: nothing will come.
    return CoreError{ErrorKind::InvalidState, 0};
}

PyObject *none_or_raise(const CallResult &r) {
    if (r)
        return raise_core_error(*r);
    Py_RETURN_NONE;
}

std::chrono::nanoseconds to_wait(const std::optional<Duration> &d) {
    if (!d)
        return kDefaultWait;
    constexpr uint64_t kCapSeconds = 100ull * 365 * 86400; // clear of clock overflow
    auto secs = std::chrono::seconds(static_cast<int64_t>(std::min(d->seconds, kCapSeconds)));
    return secs + std::chrono::nanoseconds(d->nanos);
}

bool convert_timeout(const char *function, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames, std::optional<Duration> &out) {
    static const char *const kNames[] = {"timeout"};
    const ParamSpec spec{function, kNames, 1, 0};
    PyObject *a[1];
    if (!bind_fast(spec, args, nargs, kwnames, a))
        return false;
    return convert_arg("timeout", [&] { return to_timeout(a[0], out); });
}

PyRef head_pair(int32_t status, const Bytes &head) {
    PyRef code = PyRef::steal(PyLong_FromLong(status));
    if (!code)
        return {};
    PyRef bytes = PyRef::steal(new_bytes(head));
    if (!bytes)
        return {};
    return PyRef::steal(PyTuple_Pack(2, code.get(), bytes.get()));
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

std::unique_lock<std::mutex> lock_yielding(std::mutex &m) {
    std::unique_lock<std::mutex> lock(m, std::try_to_lock);
    if (lock.owns_lock())
        return lock;
    if (!gil_held_here()) {
        lock.lock();
        return lock;
    }
    // Wait with the interpreter lock given up, and never take it back while holding `m`.
    // Raw save/restore: nothing else runs on this thread meanwhile, and nothing queued is
    // released here.
    for (;;) {
        PyThreadState *ts = PyEval_SaveThread();
        { std::lock_guard<std::mutex> wait(m); }
        PyEval_RestoreThread(ts);
        if (lock.try_lock())
            return lock;
    }
}

void set_started(RequestNative &n, std::shared_ptr<RequestHandle> started) {
    std::lock_guard<std::mutex> lock(n.started_lock);
    n.started_context.swap(started); // the old one goes after the unlock
}

std::shared_ptr<RequestHandle> take_started(RequestNative &n) {
    std::lock_guard<std::mutex> lock(n.started_lock);
    return std::move(n.started_context);
}

HeadOutcome take_started_head(RequestNative &n, std::shared_ptr<RequestHandle> &context) {
    std::lock_guard<std::mutex> lock(n.started_lock);
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

PyRef hop_tuple(const RedirectHop &hop) {
    PyRef status = PyRef::steal(PyLong_FromLong(hop.status));
    PyRef head = PyRef::steal(new_bytes(hop.head));
    PyRef first = PyRef::steal(
        new_text_lossy(reinterpret_cast<const char *>(hop.first.data()), hop.first.size()));
    PyRef second = PyRef::steal(
        new_text_lossy(reinterpret_cast<const char *>(hop.second.data()), hop.second.size()));
    if (!status || !head || !first || !second)
        return {};
    return PyRef::steal(PyTuple_Pack(4, status.get(), head.get(), first.get(), second.get()));
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
        auto started = n.core().start();
        if (auto *e = std::get_if<CoreError>(&started)) {
            result = *e;
        } else {
            auto &handle = std::get<std::shared_ptr<RequestHandle>>(started);
            HeadOutcome head = handle->state().wait_head();
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
        HeadOutcome head = started->state().wait_head();
        result = settle_head(n, std::move(started), std::move(head));
    }
    return raise_head_result(result);
}

PyObject *request_next_body(PyObject *self) {
    RequestNative &n = request_native(self);
    struct NotStarted {};
    std::variant<NotStarted, BodyOutcome> result;
    {
        GilRelease unlocked;
        bool resume = false;
        {
            std::lock_guard<std::mutex> stream(n.stream_lock);
            if (n.body_stream)
                result = n.body_stream->state().wait_body(resume);
        }
        // After the stream lock: callbacks the Core runs inside this call may notify the loop.
        if (resume)
            (void)n.core().resume_read();
    }
    if (std::holds_alternative<NotStarted>(result))
        return raise_runtime("request body stream is not started");
    auto &body = std::get<BodyOutcome>(result);
    if (auto *chunk = std::get_if<Bytes>(&body))
        return new_bytes(*chunk);
    if (auto *f = std::get_if<RequestFailure>(&body))
        return raise_request_failure(*f);
    Py_RETURN_NONE;
}

// A large body is written once, front to back, mostly into pages never touched before: huge
// pages take those page faults 512 at a time.
static void advise_huge_pages(uint8_t *p, size_t n) {
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t kHuge = uintptr_t{2} << 20;
    if (n < 4 * kHuge)
        return;
    uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(p) + n) & ~(kHuge - 1);
    if (end > begin)
        madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE); // advice only
#else
    (void)p;
    (void)n;
#endif
}

// The body is gathered without the interpreter lock. When the head announced its length, the
// result is allocated first and the Core's chunks are copied straight into it, so a body is
// copied once on its way and needs no second buffer of its size.
PyObject *request_read_body(PyObject *self) {
    RequestNative &n = request_native(self);
    BodySink sink;
    PyRef sized;
    // Up to a bound, so that a false length from a server cannot reserve without limit.
    constexpr uint64_t kMaxPresized = uint64_t{4} << 30;
    if (uint64_t rest = n.state().expected_rest(); rest > 0 && rest <= kMaxPresized) {
        sized = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rest)));
        if (sized) {
            sink.data = reinterpret_cast<uint8_t *>(PyBytes_AsString(sized.get()));
            sink.capacity = static_cast<size_t>(rest);
            advise_huge_pages(sink.data, sink.capacity);
        } else {
            PyErr_Clear(); // a length the heap cannot hold up front: gather as it comes
        }
    }
    bool started = true;
    std::optional<RequestFailure> failure;
    {
        GilRelease unlocked;
        std::unique_lock<std::mutex> stream(n.stream_lock);
        for (;;) {
            if (!n.body_stream) {
                started = false; // only possible before the first chunk
                break;
            }
            bool resume = false;
            BodyOutcome body = n.body_stream->state().read_rest(resume, sink);
            if (resume) {
                // The stream lock is let go for the Core call only; the stream stays published.
                stream.unlock();
                (void)n.core().resume_read();
                stream.lock();
            }
            if (std::holds_alternative<BodyPending>(body))
                continue;
            if (auto *f = std::get_if<RequestFailure>(&body))
                failure = *f;
            break;
        }
        if (failure)
            Bytes().swap(sink.spill);
    }
    if (!started)
        return raise_runtime("request body stream is not started");
    if (failure)
        return raise_request_failure(*failure);
    if (sized && sink.size == sink.capacity && sink.spill.empty())
        return sized.release();
    // The announced length was wrong, or there was none: one more copy into an exact object.
    size_t total = sink.size + sink.spill.size();
    PyRef out = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    if (!out)
        return nullptr;
    auto *p = reinterpret_cast<uint8_t *>(PyBytes_AsString(out.get()));
    if (sink.size)
        std::memcpy(p, sink.data, sink.size);
    if (!sink.spill.empty())
        std::memcpy(p + sink.size, sink.spill.data(), sink.spill.size());
    return out.release();
}

PyObject *request_resume_read(PyObject *self) {
    return none_or_raise(request_native(self).core().resume_read());
}

PyObject *request_upload_write(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) {
    static const char *const kNames[] = {"data", "final_chunk"};
    static const ParamSpec kSpec{"PyRequest.upload_write()", kNames, 2, 2};
    PyObject *a[2];
    if (!bind_fast(kSpec, args, nargs, kwnames, a))
        return nullptr;
    // A bytes chunk is read by the Core in place, without the interpreter lock: our own
    // reference keeps it alive meanwhile.
    PyRef held = PyRef::borrow(a[0]);
    Bytes copy;
    std::span<const uint8_t> data;
    bool final_chunk = false;
    if (!convert_arg("data", [&] { return to_byte_view(a[0], copy, data); }) ||
        !convert_arg("final_chunk", [&] { return to_flag(a[1], final_chunk); }))
        return nullptr;
    RequestNative &n = request_native(self);
    CallResult result;
    {
        GilRelease unlocked;
        result = n.core().upload_write(data, final_chunk);
    }
    return none_or_raise(result);
}

PyObject *request_upload_finish(PyObject *self) {
    RequestNative &n = request_native(self);
    CallResult result;
    {
        GilRelease unlocked;
        result = n.core().upload_finish();
    }
    return none_or_raise(result);
}

PyObject *request_take_redirects(PyObject *self) {
    RequestState &s = request_native(self).state();
    std::vector<RedirectHop> hops;
    while (auto hop = s.pop_hop())
        hops.push_back(std::move(*hop));
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(hops.size())));
    if (!list)
        return nullptr;
    for (size_t i = 0; i < hops.size(); ++i) {
        PyRef item = hop_tuple(hops[i]);
        if (!item)
            return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list.release();
}

PyObject *request_wait_redirect(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames) {
    std::optional<Duration> timeout;
    if (!convert_timeout("PyRequest.wait_redirect()", args, nargs, kwnames, timeout))
        return nullptr;
    RequestNative &n = request_native(self);
    HopOutcome result;
    {
        GilRelease unlocked;
        const auto deadline = Clock::now() + to_wait(timeout);
        uint64_t seen = 0;
        if (auto hop = n.state().pop_hop(&seen))
            result = std::move(*hop);
        else
            result = n.state().wait_hop(deadline, seen);
    }
    if (auto *hop = std::get_if<RedirectHop>(&result))
        return hop_tuple(*hop).release();
    if (auto *e = std::get_if<CoreError>(&result))
        return raise_core_error(*e);
    Py_RETURN_NONE;
}

PyObject *request_wait_manual(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) {
    std::optional<Duration> timeout;
    if (!convert_timeout("PyRequest.wait_manual()", args, nargs, kwnames, timeout))
        return nullptr;
    RequestNative &n = request_native(self);

    struct Expired {};
    std::variant<Expired, RedirectHop, Head, CoreError, RequestFailure> result;
    {
        GilRelease unlocked;
        const auto deadline = Clock::now() + to_wait(timeout);
        // The hop queue first in every pass, so that a hop that came with the head goes first.
        for (;;) {
            uint64_t seen = 0;
            if (auto hop = n.state().pop_hop(&seen)) {
                result = std::move(*hop);
                break;
            }
            std::shared_ptr<RequestHandle> started;
            HeadOutcome head = take_started_head(n, started);
            if (auto *r = std::get_if<HeadResponse>(&head)) {
                publish_stream(n, std::move(started));
                result = Head{r->status, std::move(r->head)};
                break;
            }
            if (auto *f = std::get_if<RequestFailure>(&head)) {
                detach(n);
                result = *f;
                break;
            }
            if (Clock::now() >= deadline)
                break;
            // Any change since the pass began wakes it: a hop, the head, the end.
            HopOutcome hop = n.state().wait_hop(deadline, seen);
            if (auto *h = std::get_if<RedirectHop>(&hop)) {
                result = std::move(*h);
                break;
            }
            if (auto *e = std::get_if<CoreError>(&hop)) {
                result = *e;
                break;
            }
        }
    }
    if (auto *e = std::get_if<CoreError>(&result))
        return raise_core_error(*e);
    if (auto *f = std::get_if<RequestFailure>(&result))
        return raise_request_failure(*f);
    PyRef hop = PyRef::borrow(Py_None);
    PyRef head = PyRef::borrow(Py_None);
    if (auto *h = std::get_if<RedirectHop>(&result))
        hop = hop_tuple(*h);
    else if (auto *h = std::get_if<Head>(&result))
        head = head_pair(h->status, h->head);
    if (!hop || !head)
        return nullptr;
    return PyTuple_Pack(2, hop.get(), head.get());
}

PyObject *request_follow_redirect(PyObject *self) {
    return none_or_raise(request_native(self).core().follow_redirect());
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
    CORVINA_NOARGS("cancel", request_cancel, "cancel($self)\n--\n\n"),
    CORVINA_NOARGS("detach_callback", request_detach_callback, "detach_callback($self)\n--\n\n"),
    CORVINA_NOARGS("is_finished", request_is_finished, "is_finished($self)\n--\n\n"),
    CORVINA_FAST("upload_write", request_upload_write,
                 "upload_write($self, data, final_chunk)\n--\n\n"
                 "Feeds one chunk of a chunked upload.  Only valid when the request was\n"
                 "created with `upload=\"chunked\"`."),
    CORVINA_NOARGS("upload_finish", request_upload_finish, "upload_finish($self)\n--\n\n"),
    CORVINA_NOARGS("resume_read", request_resume_read, "resume_read($self)\n--\n\n"),
    CORVINA_NOARGS("follow_redirect", request_follow_redirect, "follow_redirect($self)\n--\n\n"),
    CORVINA_NOARGS("take_redirects", request_take_redirects,
                   "take_redirects($self)\n--\n\n"
                   "Drains redirect hops the Core has already reported.  The Core reports\n"
                   "them in follow mode too, which is what lets the facade rebuild\n"
                   "`Response.history` and the post-redirect URL without deferring hops."),
    CORVINA_FAST("wait_redirect", request_wait_redirect,
                 "wait_redirect($self, timeout=None)\n--\n\n"),
    CORVINA_FAST("wait_manual", request_wait_manual,
                 "wait_manual($self, timeout=None)\n--\n\n"
                 "Blocks until the Core reports a deferred redirect or the response\n"
                 "headers arrive, whichever happens first.\n\n"
                 "`manual` redirect mode makes Chromium defer the hop and wait for\n"
                 "`follow_redirect`, so waiting only on the response would hang.  Returns\n"
                 "`(redirect, head)` with exactly one side set, or `(None, None)` on timeout."),
    CORVINA_NOARGS("start_stream", request_start_stream, "start_stream($self)\n--\n\n"),
    CORVINA_NOARGS("start", request_start,
                   "start($self)\n--\n\n"
                   "Starts the request without waiting for headers.  The facade uses this for\n"
                   "chunked uploads, where the body must be fed before headers can arrive."),
    CORVINA_NOARGS("await_response", request_await_response,
                   "await_response($self)\n--\n\n"
                   "Waits for the headers of a request already started by `start`."),
    CORVINA_NOARGS("next_body", request_next_body, "next_body($self)\n--\n\n"),
    CORVINA_NOARGS("read_body", request_read_body,
                   "read_body($self)\n--\n\n"
                   "Reads the whole body with the GIL released.  Saves one Python round trip\n"
                   "per chunk on the non-streaming synchronous path."),
    CORVINA_FAST("start_async", request_start_async,
                 "start_async($self, loop_, notify)\n--\n\n"
                 "Starts a request and arranges a thread-safe notification on an\n"
                 "asyncio-compatible event loop. The callback only schedules `notify`; it\n"
                 "never runs user Python code or waits for network I/O."),
    CORVINA_FAST("attach_async", request_attach_async,
                 "attach_async($self, loop_, notify)\n--\n\n"
                 "Registers the asyncio bridge without starting the request, for chunked\n"
                 "uploads that must be fed after `start`."),
    CORVINA_NOARGS("poll_event", request_poll_event,
                   "poll_event($self)\n--\n\n"
                   "Returns one non-blocking event as `(kind, status, headers, body, error)`.\n"
                   "`kind` is `response`, `body`, `done`, or `error`; `None` means pending."),
    CORVINA_FAST("poll_events", request_poll_events,
                 "poll_events($self, limit=64)\n--\n\n"
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
