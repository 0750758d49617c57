#include "request/poll.h"

#include "lib/convert.h"
#include "lib/fault.h"
#include "request/redirects.h"

#include <utility>
#include <variant>
#include <vector>

namespace corvina {
namespace {

// (kind, status, headers, body, error); empty with an error set on failure.
PyRef event(const char *kind, int32_t status, PyRef headers, PyRef body, PyRef error) {
    if (!headers)
        headers = PyRef::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!body)
        body = PyRef::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!error)
        error = PyRef::borrow(Py_None);
    PyRef name = PyRef::steal(PyUnicode_FromString(kind));
    PyRef code = PyRef::steal(PyLong_FromLong(status));
    if (!headers || !body || !name || !code)
        return {};
    return PyRef::steal(
        PyTuple_Pack(5, name.get(), code.get(), headers.get(), body.get(), error.get()));
}

PyRef error_event(const RequestFailure &f) {
    PyRef text = PyRef::steal(new_text_lossy(request_failure_text(f)));
    if (!text)
        return {};
    return event("error", 0, {}, {}, std::move(text));
}

// The hop's tuple laid out as an event: the first text goes in the body slot, as UTF-8.
PyRef redirect_event(const RedirectHop &hop) {
    PyRef hop_items = hop_tuple(hop);
    if (!hop_items)
        return {};
    PyRef first = PyRef::steal(PyUnicode_AsUTF8String(PyTuple_GetItem(hop_items.get(), 2)));
    if (!first)
        return {};
    return event("redirect", hop.status, PyRef::borrow(PyTuple_GetItem(hop_items.get(), 1)),
                 std::move(first), PyRef::borrow(PyTuple_GetItem(hop_items.get(), 3)));
}

// The terminal tuple goes out once; the notifier goes with it.
bool claim_terminal(RequestNative &n) {
    if (n.terminal_reported.exchange(true, std::memory_order_acq_rel))
        return false;
    detach(n);
    return true;
}

// Binds the loop and the callable of `Sig` and installs the notifier.
template <const auto &Sig>
bool install_notifier(RequestNative &n, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) {
    Args<Sig> a;
    if (!a.bind_fast(args, nargs, kwnames))
        return false;
    n.state().notifier().set(
        make_notifier(n.notify_pending, a.template get<"loop_">(), a.template get<"notify">()));
    return true;
}

} // namespace

bool poll_one(RequestNative &n, PyRef &out) {
    out = PyRef();
    // After the terminal tuple nothing more is handed out, whatever a Core might still send.
    if (n.terminal_reported.load(std::memory_order_acquire))
        return true;
    if (auto hop = n.state().pop_hop()) {
        out = redirect_event(*hop);
        return bool(out);
    }

    std::shared_ptr<RequestHandle> started;
    HeadOutcome head = take_started_head(n, started);
    if (auto *r = std::get_if<HeadResponse>(&head)) {
        int32_t status = r->status;
        Bytes bytes = std::move(r->head);
        publish_stream(n, std::move(started));
        PyRef headers = PyRef::steal(new_bytes(bytes));
        if (!headers)
            return false;
        out = event("response", status, std::move(headers), {}, {});
        return bool(out);
    }
    if (auto *f = std::get_if<RequestFailure>(&head)) {
        if (!claim_terminal(n))
            return true;
        out = error_event(*f);
        return bool(out);
    }

    BodyOutcome body = BodyPending{};
    bool resume = false;
    {
        auto lock = lock_yielding(n.stream_lock);
        if (!n.body_stream)
            return true;
        body = n.body_stream->state().take_body(resume);
    }
    // Outside the stream lock: a callback delivered inside this call may run Python code.
    if (resume)
        (void)n.core().resume_read();

    if (auto *chunk = std::get_if<BodyChunk>(&body)) {
        PyRef bytes = PyRef::steal(new_bytes(chunk->data(), chunk->size()));
        if (!bytes)
            return false;
        out = event("body", 0, {}, std::move(bytes), {});
        return bool(out);
    }
    if (std::holds_alternative<BodyPending>(body))
        return true;
    if (!claim_terminal(n))
        return true;
    if (auto *f = std::get_if<RequestFailure>(&body))
        out = error_event(*f);
    else
        out = event("done", 0, {}, {}, {});
    return bool(out);
}

PyObject *request_attach_async(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) {
    if (!install_notifier<kRequestAttachAsync>(request_native(self), args, nargs, kwnames))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *request_start_async(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) {
    RequestNative &n = request_native(self);
    if (!install_notifier<kRequestStartAsync>(n, args, nargs, kwnames))
        return nullptr;
    auto started = n.core().start(RequestHandle::RunLoop::ready_now);
    if (auto *e = std::get_if<CoreError>(&started))
        return raise_core_error(*e); // the notifier stays installed
    set_started(n, std::move(std::get<std::shared_ptr<RequestHandle>>(started)));
    Py_RETURN_NONE;
}

PyObject *request_detach_callback(PyObject *self) {
    detach(request_native(self));
    Py_RETURN_NONE;
}

PyObject *request_poll_event(PyObject *self) {
    RequestNative &n = request_native(self);
    n.notify_pending->store(false);
    PyRef out;
    if (!poll_one(n, out))
        return nullptr;
    if (!out)
        Py_RETURN_NONE;
    return out.release();
}

PyObject *request_poll_events(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) {
    uint32_t limit = 0;
    if (!bind_poll_limit<kRequestPollEvents>(args, nargs, kwnames, limit))
        return nullptr;
    RequestNative &n = request_native(self);
    n.notify_pending->store(false);
    std::vector<PyRef> events;
    for (uint32_t i = 0; i < limit; ++i) {
        PyRef e;
        if (!poll_one(n, e))
            return nullptr;
        if (!e)
            break;
        events.push_back(std::move(e));
        // Terminal kinds are the only ones whose error slot or kind says so.
        PyObject *kind = PyTuple_GetItem(events.back().get(), 0);
        if (PyUnicode_CompareWithASCIIString(kind, "done") == 0 ||
            PyUnicode_CompareWithASCIIString(kind, "error") == 0)
            break;
    }
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(events.size())));
    if (!list)
        return nullptr;
    for (size_t i = 0; i < events.size(); ++i)
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), events[i].release());
    return list.release();
}

} // namespace corvina
