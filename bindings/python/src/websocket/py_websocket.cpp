// PyEngine.websocket and the PyWebSocket methods.
#include "websocket/py_websocket.h"

#include "bridge/notifier.h"
#include "engine/engine.h"
#include "lib/binding.h"
#include "lib/convert.h"
#include "lib/fault.h"
#include "lib/object.h"
#include "lib/pyref.h"
#include "lib/type.h"
#include "websocket/handle.h"

#include <climits>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvina {
namespace {

constexpr char kNotConnected[] = "WebSocket is not connected";

struct WebSocketNative {
    explicit WebSocketNative(std::shared_ptr<WebSocketHandle> h)
        : handle(std::move(h)), notify_pending(make_notify_pending()) {}
    ~WebSocketNative() {
        handle.reset(); // may release the Core's WebSocket
        connected.reset();
        notify_pending.reset();
    }
    WebSocketNative(const WebSocketNative &) = delete;
    WebSocketNative &operator=(const WebSocketNative &) = delete;

    std::shared_ptr<WebSocketHandle> handle;
    NotifyPending notify_pending;
    // Guards `connected` and keeps a poll's drain whole; taken before the state lock, never held
    // across a wait (recv waits on its own reference to the state).
    std::mutex object_lock;
    std::shared_ptr<WebSocketState> connected;
};

using WebSocketBox = Boxed<WebSocketNative>;

// An event as the plain fields of its tuple, so that the conversion needs no interpreter lock.
struct EventFields {
    const char *kind = "";
    Bytes payload;
    std::optional<uint16_t> code;
    std::optional<std::string> text;
    bool terminal = false;
};

EventFields fields_of(WebSocketEvent event) {
    struct Convert {
        EventFields operator()(OpenEvent &e) const {
            EventFields f;
            f.kind = "open";
            f.payload.assign(e.protocol.begin(), e.protocol.end());
            return f;
        }
        EventFields operator()(MessageEvent &e) const {
            EventFields f;
            f.kind = e.type == MessageType::Text ? "text" : "binary";
            f.payload = std::move(e.payload);
            return f;
        }
        EventFields operator()(ClosingEvent &) const {
            EventFields f;
            f.kind = "closing";
            return f;
        }
        EventFields operator()(ClosedEvent &e) const {
            EventFields f;
            f.kind = "closed";
            f.code = e.code;
            f.text = std::move(e.reason);
            f.terminal = true;
            return f;
        }
        EventFields operator()(WebSocketFailure &e) const {
            EventFields f;
            f.kind = "error";
            f.text = websocket_failure_text(e);
            f.terminal = true;
            return f;
        }
    };
    return std::visit(Convert{}, event.value);
}

PyObject *new_tuple(const EventFields &f) {
    PyRef kind = PyRef::steal(PyUnicode_FromString(f.kind));
    if (!kind)
        return nullptr;
    PyRef payload = PyRef::steal(new_bytes(f.payload));
    if (!payload)
        return nullptr;
    PyRef code = f.code ? PyRef::steal(PyLong_FromUnsignedLong(*f.code)) : PyRef::borrow(Py_None);
    if (!code)
        return nullptr;
    PyRef text = f.text ? PyRef::steal(new_text_lossy(*f.text)) : PyRef::borrow(Py_None);
    if (!text)
        return nullptr;
    return PyTuple_Pack(4, kind.get(), payload.get(), code.get(), text.get());
}

// What recv() and poll_event() return: the event's tuple, None when there was none.
PyObject *event_result(bool connected, const std::optional<EventFields> &fields) {
    if (!connected)
        return raise_runtime(kNotConnected);
    if (!fields)
        Py_RETURN_NONE;
    return new_tuple(*fields);
}

// Close codes are 16-bit; the messages follow the interpreter's integer conversions.
bool to_close_code(PyObject *o, uint16_t &out) {
    PyRef index = PyRef::steal(PyNumber_Index(o));
    if (!index)
        return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred())
        return false;
    if (overflow != 0 || v < INT_MIN || v > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        return false;
    }
    if (v < 0 || v > 65535) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<uint16_t>(v);
    return true;
}

// Starts the connection and fills the connected slot; shared by connect and start_async.
PyObject *connect_native(WebSocketNative &ws) {
    auto started = ws.handle->start();
    if (auto *error = std::get_if<CoreError>(&started))
        return raise_core_error(*error);
    std::shared_ptr<WebSocketState> previous; // released after the object lock
    {
        auto guard = lock_yielding(ws.object_lock);
        previous = std::exchange(ws.connected,
                                 std::move(std::get<std::shared_ptr<WebSocketState>>(started)));
    }
    Py_RETURN_NONE;
}

constexpr auto kSendText = signature("PyWebSocket", "send_text", {{"text"}});
constexpr auto kSendBytes = signature("PyWebSocket", "send_bytes", {{"data"}});
constexpr auto kClose = signature("PyWebSocket", "close", {{"code"}, {"reason"}});
constexpr auto kStartAsync = signature("PyWebSocket", "start_async", kLoopParams);
constexpr auto kPollEvents = signature("PyWebSocket", "poll_events", kPollLimitParams);

// send_text and send_bytes: the one message parameter of `Sig`, sent as `type`.
template <const auto &Sig>
PyObject *send_native(PyObject *self, ks_message_type type, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) {
    static_assert(Sig.size == 1);
    PyObject *arg[1];
    if (!bind_fast(spec_of<Sig>, args, nargs, kwnames, arg))
        return nullptr;
    const char *name = Sig.params[0].name;
    WebSocketNative &ws = WebSocketBox::of(self);
    if (type == KS_MESSAGE_TEXT) {
        std::string text;
        if (!convert_arg(name, [&] { return to_text(arg[0], text); }))
            return nullptr;
        return none_or_raise(
            ws.handle->send(type, reinterpret_cast<const uint8_t *>(text.data()), text.size()));
    }
    // The Core copies the message during the call, so a bytes object is read in place.
    Bytes copy;
    std::span<const uint8_t> data;
    if (!convert_arg(name, [&] { return to_byte_view(arg[0], copy, data); }))
        return nullptr;
    return none_or_raise(ws.handle->send(type, data.data(), data.size()));
}

// Runs a Core call that stops notifications whatever its outcome.
template <class F> PyObject *call_then_detach(WebSocketNative &ws, F &&call) {
    CallResult error;
    try {
        error = call();
    } catch (...) {
        ws.handle->state().clear_notifier();
        throw;
    }
    ws.handle->state().clear_notifier();
    return none_or_raise(error);
}

} // namespace

void websocket_finalize(PyObject *self) {
    WebSocketBox::destroy(self);
}

PyObject *engine_websocket(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) {
    Args<kEngineWebSocket> a;
    if (!a.bind_fast(args, nargs, kwnames))
        return nullptr;
    WebSocketOptions options;
    std::optional<double> seconds;
    if (!a.convert<"url">([&](PyObject *v) { return to_text(v, options.url); }) ||
        !a.convert<"origin">(
            [&](PyObject *v) { return v == nullptr || to_text(v, options.origin); }) ||
        !a.convert<"headers">([&](PyObject *v) { return to_header_list(v, options.headers); }) ||
        !a.convert<"timeout">([&](PyObject *v) { return to_seconds(v, seconds); }) ||
        !a.convert<"protocols">([&](PyObject *v) { return to_text_list(v, options.protocols); }))
        return nullptr;
    // Checked only once every argument converted: a malformed later argument wins.
    if (!seconds_to_timeout(seconds, options.timeout))
        return nullptr;

    auto created = WebSocketHandle::create(engine_handle(self), options);
    if (auto *error = std::get_if<CoreError>(&created))
        return raise_core_error(*error);
    PyTypeObject *type = websocket_type();
    if (type == nullptr)
        return nullptr;
    return WebSocketBox::create(type,
                                std::move(std::get<std::shared_ptr<WebSocketHandle>>(created)));
}

PyObject *websocket_connect(PyObject *self) {
    return connect_native(WebSocketBox::of(self));
}

PyObject *websocket_send_text(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) {
    return send_native<kSendText>(self, KS_MESSAGE_TEXT, args, nargs, kwnames);
}

PyObject *websocket_send_bytes(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) {
    return send_native<kSendBytes>(self, KS_MESSAGE_BINARY, args, nargs, kwnames);
}

PyObject *websocket_recv(PyObject *self) {
    WebSocketNative &ws = WebSocketBox::of(self);
    bool connected = false;
    std::optional<EventFields> fields;
    {
        // The whole wait runs without the interpreter lock and without the object lock, so that
        // polls, connect and other readers go on meanwhile; the condition wait is not
        // interrupted by signals, which the interpreter handles once this returns.
        GilRelease released;
        std::shared_ptr<WebSocketState> state;
        {
            std::lock_guard<std::mutex> guard(ws.object_lock);
            state = ws.connected;
        }
        if (state) {
            connected = true;
            if (auto event = state->wait_pop(ws.handle ? ws.handle->core() : nullptr))
                fields = fields_of(std::move(*event));
        }
    }
    return event_result(connected, fields);
}

PyObject *websocket_close(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames) {
    Args<kClose> a;
    if (!a.bind_fast(args, nargs, kwnames))
        return nullptr;
    uint16_t code = 0;
    std::string reason;
    if (!a.convert<"code">([&](PyObject *v) { return to_close_code(v, code); }) ||
        !a.convert<"reason">([&](PyObject *v) { return to_text(v, reason); }))
        return nullptr;
    WebSocketNative &ws = WebSocketBox::of(self);
    return call_then_detach(ws, [&] { return ws.handle->close(code, reason); });
}

PyObject *websocket_cancel(PyObject *self) {
    WebSocketNative &ws = WebSocketBox::of(self);
    return call_then_detach(ws, [&] { return ws.handle->cancel(); });
}

PyObject *websocket_detach_callback(PyObject *self) {
    WebSocketBox::of(self).handle->state().clear_notifier();
    Py_RETURN_NONE;
}

PyObject *websocket_is_finished(PyObject *self) {
    return PyBool_FromLong(WebSocketBox::of(self).handle->state().is_finished());
}

PyObject *websocket_start_async(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames) {
    Args<kStartAsync> a;
    if (!a.bind_fast(args, nargs, kwnames))
        return nullptr;
    WebSocketNative &ws = WebSocketBox::of(self);
    // Installed before the start, and left installed when the start fails.
    ws.handle->state().set_notifier(
        make_notifier(ws.notify_pending, a.get<"loop_">(), a.get<"notify">()));
    return connect_native(ws);
}

PyObject *websocket_poll_event(PyObject *self) {
    WebSocketNative &ws = WebSocketBox::of(self);
    // Cleared before looking at the queue: an event arriving from now on notifies again.
    ws.notify_pending->store(false, std::memory_order_release);
    bool connected = false;
    std::optional<EventFields> fields;
    NotifierRef removed; // dropped after the object lock
    {
        auto guard = lock_yielding(ws.object_lock);
        connected = static_cast<bool>(ws.connected);
        if (connected) {
            if (auto event = ws.connected->try_pop()) {
                fields = fields_of(std::move(*event));
                if (fields->terminal)
                    removed = ws.connected->take_notifier();
            }
        }
    }
    return event_result(connected, fields);
}

PyObject *websocket_poll_events(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames) {
    uint32_t limit = 0;
    if (!bind_poll_limit<kPollEvents>(args, nargs, kwnames, limit))
        return nullptr;
    WebSocketNative &ws = WebSocketBox::of(self);
    ws.notify_pending->store(false, std::memory_order_release);
    bool connected = false;
    std::vector<EventFields> drained;
    NotifierRef removed; // dropped after the object lock
    {
        auto guard = lock_yielding(ws.object_lock);
        connected = static_cast<bool>(ws.connected);
        for (uint32_t i = 0; connected && i < limit; ++i) {
            auto event = ws.connected->try_pop();
            if (!event)
                break;
            drained.push_back(fields_of(std::move(*event)));
            if (drained.back().terminal) {
                removed = ws.connected->take_notifier();
                break;
            }
        }
    }
    if (!connected)
        return raise_runtime(kNotConnected);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(drained.size())));
    if (!list)
        return nullptr;
    for (size_t i = 0; i < drained.size(); ++i) {
        PyObject *tuple = new_tuple(drained[i]);
        if (tuple == nullptr)
            return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tuple);
    }
    return list.release();
}

namespace {

PyMethodDef websocket_methods[] = {
    CORVINA_NOARGS("connect", websocket_connect, ""),
    CORVINA_FAST(kSendText, websocket_send_text, ""),
    CORVINA_FAST(kSendBytes, websocket_send_bytes, ""),
    CORVINA_NOARGS("recv", websocket_recv, ""),
    CORVINA_FAST(kClose, websocket_close, ""),
    CORVINA_NOARGS("cancel", websocket_cancel, ""),
    CORVINA_NOARGS("detach_callback", websocket_detach_callback, ""),
    CORVINA_NOARGS("is_finished", websocket_is_finished, ""),
    CORVINA_FAST(kStartAsync, websocket_start_async, ""),
    CORVINA_NOARGS("poll_event", websocket_poll_event, ""),
    CORVINA_FAST(kPollEvents, websocket_poll_events,
                 "Drains up to `limit` queued events in one call so a busy socket does not\n"
                 "pay an event-loop round trip per frame."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot websocket_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc<websocket_finalize>)},
    {Py_tp_methods, websocket_methods},
    {0, nullptr},
};

} // namespace

PyTypeObject *websocket_type() {
    static PyType_Spec spec{"builtins.PyWebSocket", static_cast<int>(sizeof(WebSocketBox)), 0,
                            kTypeFlagsNoConstructor, websocket_slots};
    static PyObject *type = nullptr;
    return make_type(spec, type);
}

} // namespace corvina
