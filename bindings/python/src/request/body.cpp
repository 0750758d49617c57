// PyRequest's body methods: reading a started request's body, chunk by chunk or whole, and
// feeding a chunked upload.
#include "request/body.h"

#include "lib/fault.h"
#include "request/py_request.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <variant>

#include <sys/mman.h>

namespace corvina {

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
                // The network thread keeps the loop: a stream's reader runs Python between
                // chunks, and handing the loop over per chunk costs more CPU than it saves.
                result = n.body_stream->state().wait_body(resume);
        }
        // After the stream lock: callbacks the Core runs inside this call may notify the loop.
        if (resume)
            (void)n.core().resume_read();
    }
    if (std::holds_alternative<NotStarted>(result))
        return raise_runtime("request body stream is not started");
    auto &body = std::get<BodyOutcome>(result);
    if (auto *chunk = std::get_if<BodyChunk>(&body))
        return new_bytes(chunk->data(), chunk->size());
    if (auto *f = std::get_if<RequestFailure>(&body))
        return raise_request_failure(*f);
    Py_RETURN_NONE;
}

// A large body is written once, front to back, mostly into pages never touched before: huge
// pages take those page faults 512 at a time.
namespace {

void advise_huge_pages(uint8_t *p, size_t n) {
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

} // namespace

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
            BodyOutcome body =
                n.body_stream->state().read_rest(resume, sink, n.body_stream->core());
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
    Args<kUploadWrite> a;
    if (!a.bind_fast(args, nargs, kwnames))
        return nullptr;
    // A bytes chunk is read by the Core in place, without the interpreter lock: our own
    // reference keeps it alive meanwhile.
    PyRef held = PyRef::borrow(a.get<"data">());
    Bytes copy;
    std::span<const uint8_t> data;
    bool final_chunk = false;
    if (!a.convert<"data">([&](PyObject *v) { return to_byte_view(v, copy, data); }) ||
        !a.convert<"final_chunk">([&](PyObject *v) { return to_flag(v, final_chunk); }))
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

} // namespace corvina
