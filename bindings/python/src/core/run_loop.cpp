#include "core/run_loop.h"

#include <dlfcn.h>

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
    auto start =
        reinterpret_cast<decltype(found.start_and_run)>(dlsym(core, "ks_request_start_and_run"));
    auto run = reinterpret_cast<decltype(found.run_until)>(dlsym(core, "ks_request_run_until"));
    if (start && run) {
        found.start_and_run = start;
        found.run_until = run;
    }
    dlclose(core); // only drops the count NOLOAD added: the module keeps the library loaded
    return found;
}

} // namespace

const CoreRunLoop &core_run_loop() {
    static const CoreRunLoop table = look_up();
    return table;
}

} // namespace corvina
