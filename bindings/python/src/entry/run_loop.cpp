#include "entry/run_loop.h"

#include <dlfcn.h>

#include <type_traits>

namespace corvina {
namespace {

// Looked up in the very library the module's Core calls bind to, whatever its path.
CoreRunLoop look_up() {
    CoreRunLoop found;
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void *>(&ks_request_start), &info) || !info.dli_fname)
        return found;
    void *core = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (!core)
        return found;
    auto find = [core](auto &entry, const char *name) {
        entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(dlsym(core, name));
        return entry != nullptr;
    };
    // Each pair is used whole or not at all.
    if (!find(found.start_and_run, "ks_request_start_and_run") ||
        !find(found.run_until, "ks_request_run_until"))
        found.start_and_run = nullptr, found.run_until = nullptr;
    if (!find(found.websocket_send_and_run, "ks_websocket_send_and_run") ||
        !find(found.websocket_run_until, "ks_websocket_run_until"))
        found.websocket_send_and_run = nullptr, found.websocket_run_until = nullptr;
    dlclose(core); // only drops the count NOLOAD added: the module keeps the library loaded
    return found;
}

} // namespace

const CoreRunLoop &core_run_loop() {
    static const CoreRunLoop table = look_up();
    return table;
}

} // namespace corvina
