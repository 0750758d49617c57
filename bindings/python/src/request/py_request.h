// The native part of a PyRequest, shared by the blocking methods and the event-loop polling.
#pragma once

#include "bridge/notifier.h"
#include "lib/pyref.h"
#include "request/handle.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace corvina {

struct RequestNative {
    explicit RequestNative(std::shared_ptr<RequestHandle> h)
        : handle(std::move(h)), notify_pending(make_notify_pending()) {}
    ~RequestNative();
    RequestNative(const RequestNative &) = delete;
    RequestNative &operator=(const RequestNative &) = delete;

    RequestHandle &core() const { return *handle; }
    RequestState &state() const { return handle->state(); }

    std::shared_ptr<RequestHandle> handle;
    NotifyPending notify_pending;
    // Lock order: started_lock or stream_lock (never both), then the state lock. No Core call
    // is made and the interpreter lock is never taken while either is held; a blocking body
    // read keeps stream_lock across its wait for the network.
    std::mutex started_lock;
    std::shared_ptr<RequestHandle> started_context;
    std::mutex stream_lock;
    std::shared_ptr<RequestHandle> body_stream;
    std::atomic<bool> terminal_reported{false};
};

RequestNative &request_native(PyObject *self);

// The PyRequest class, created on the first call; nullptr with an error set on failure.
PyTypeObject *request_type();

// New PyRequest owning `handle`; nullptr with an error set on failure (the handle goes).
PyObject *make_request(std::shared_ptr<RequestHandle> handle);

// Replaces started_context; the previous reference is released after unlocking.
void set_started(RequestNative &n, std::shared_ptr<RequestHandle> started);
// Empties started_context and returns what it held.
std::shared_ptr<RequestHandle> take_started(RequestNative &n);
// The head of started_context, if it holds a reference; on a response or a failure the context
// is emptied and its reference is handed back in `context`.
HeadOutcome take_started_head(RequestNative &n, std::shared_ptr<RequestHandle> &context);
// Stores the reference in body_stream; the previous one is released after unlocking.
void publish_stream(RequestNative &n, std::shared_ptr<RequestHandle> stream);
// Clears the notifier and empties started_context; body_stream stays.
void detach(RequestNative &n);

} // namespace corvina
