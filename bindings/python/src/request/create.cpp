// PyEngine.request: the Core request of its options (request/options.h) and an idle PyRequest.
#include "request/create.h"

#include "engine/engine.h"
#include "lib/fault.h"
#include "lib/run.h"
#include "request/handle.h"
#include "request/options.h"
#include "request/py_request.h"

#include <utility>

namespace corvina {

PyObject *engine_request(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames) {
    Args<kEngineRequest> a;
    if (!a.bind_fast(args, nargs, kwnames))
        return nullptr;
    ks_engine *engine = engine_handle(self);
    RequestOptions options;
    if (!to_request_options(a, options))
        return nullptr;

    // The Core's reference is taken before the Core sees the address.
    std::shared_ptr<RequestState> state = RequestState::create();

    ks_request *core = nullptr;
    uint32_t status;
    {
        std::vector<ks_header> headers = header_entries(options.headers);
        ks_request_config config;
        fill_request_config(options, headers, state->callbacks(), config);
        try {
            status = ks_request_create(engine, &config, &core);
        } catch (...) {
            RequestState::release_core_ref(state.get());
            throw;
        }
    }
    options = RequestOptions{}; // the Core has copied what it keeps

    if (status != KS_OK || core == nullptr) {
        // A handle written next to a failure status is not ours to release.
        RequestState::release_core_ref(state.get());
        if (status != KS_OK)
            return raise_core_error(error_from_status(status));
        return raise_core_error(CoreError{ErrorKind::InitializationFailed, 0});
    }

    std::shared_ptr<RequestHandle> handle;
    try {
        handle = std::make_shared<RequestHandle>(core, state);
    } catch (...) {
        release_noexcept([core] { ks_request_release(core); });
        RequestState::release_core_ref(state.get());
        throw;
    }
    // On failure the handle goes here: release, then the Core's reference of the unstarted
    // state.
    return make_request(std::move(handle));
}

} // namespace corvina
