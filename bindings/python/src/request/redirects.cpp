// PyRequest's redirect methods: the hops the Core reported, waiting for one, and following a
// manual one.
#include "request/redirects.h"

#include "lib/convert.h"
#include "lib/duration.h"
#include "lib/fault.h"
#include "request/py_request.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

namespace corvina {
namespace {

constexpr std::chrono::seconds kDefaultWait{86400};

std::chrono::nanoseconds to_wait(const std::optional<Duration> &d) {
    if (!d)
        return kDefaultWait;
    constexpr uint64_t kCapSeconds = 100ull * 365 * 86400; // clear of clock overflow
    auto secs = std::chrono::seconds(static_cast<int64_t>(std::min(d->seconds, kCapSeconds)));
    return secs + std::chrono::nanoseconds(d->nanos);
}

// The one `timeout` of a wait, converted.
template <const auto &Sig>
bool convert_timeout(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                     std::optional<Duration> &out) {
    Args<Sig> a;
    return a.bind_fast(args, nargs, kwnames) &&
           a.template convert<"timeout">([&](PyObject *v) { return to_timeout(v, out); });
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
    if (!convert_timeout<kWaitRedirect>(args, nargs, kwnames, timeout))
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
    if (!convert_timeout<kWaitManual>(args, nargs, kwnames, timeout))
        return nullptr;
    RequestNative &n = request_native(self);

    struct Expired {};
    std::variant<Expired, RedirectHop, HeadResponse, CoreError, RequestFailure> result;
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
                result = std::move(*r);
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
    else if (auto *h = std::get_if<HeadResponse>(&result))
        head = head_pair(h->status, h->head);
    if (!hop || !head)
        return nullptr;
    return PyTuple_Pack(2, hop.get(), head.get());
}

PyObject *request_follow_redirect(PyObject *self) {
    return none_or_raise(request_native(self).core().follow_redirect());
}

} // namespace corvina
