// The Core's optional entry points that let a waiting thread run the engine's loop itself, looked
// up once when the module loads. A Core without them (the scripted one, for one) leaves them
// null, and every wait hands over between threads as before.
#pragma once

#include <kestrin/kestrin.h>
#include <kestrin/kestrin_run.h>

namespace corvina {

struct CoreRunLoop {
    decltype(&ks_request_start_and_run) start_and_run = nullptr;
    decltype(&ks_request_run_until) run_until = nullptr;
    decltype(&ks_websocket_send_and_run) websocket_send_and_run = nullptr;
    decltype(&ks_websocket_run_until) websocket_run_until = nullptr;
};

const CoreRunLoop &core_run_loop();

} // namespace corvina
