// Shared state of the scripted Core: objects, scripts, the log and the worker threads.
// One mutex guards everything; it is never held while a callback runs.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include <kestrin/kestrin.h>

namespace kst {

enum class Kind { engine = 0, request = 1, websocket = 2 };
const char *kind_name(Kind kind);
std::optional<Kind> parse_kind(std::string_view name);

// Known ks_ function names; kst_ functions taking a name accept only these.
bool known_function(std::string_view name);
bool is_create_function(std::string_view name);
bool returns_status(std::string_view name);

struct Obj {
    Kind kind;
    uint64_t id;
    bool released = false;
    bool started = false;
    bool terminal_queued = false;    // a terminal delivery is posted or armed
    bool terminal_delivered = false; // a terminal callback has begun
    int inflight = 0;                // callbacks running right now
    ks_request_callbacks req_cb{};
    ks_websocket_callbacks ws_cb{};
};

enum class Cb {
    on_response,
    on_body,
    on_complete,
    on_redirect,
    on_open,
    on_message,
    on_closing,
    on_closed,
    on_error
};
const char *cb_name(Cb cb);
bool is_terminal(Cb cb);

// One byte run handed to a callback: the Core's own copy, optionally with a false length.
struct Run {
    bool null = true;
    std::vector<uint8_t> bytes;
    std::optional<size_t> claimed;

    const uint8_t *ptr() const;
    size_t len() const { return claimed ? *claimed : bytes.size(); }
};

struct Action {
    Cb cb{};
    Obj *target = nullptr;
    bool automatic = false;
    int32_t i1 = 0, i2 = 0;
    uint32_t u1 = 0, u2 = 0;
    std::array<Run, 3> runs;
};

struct Pushed {
    uint32_t status = 0;
    int handle_mode = 0;
};

struct Worker {
    std::deque<Action> queue;
    std::condition_variable cv;
};

struct Core {
    std::mutex mu;
    std::condition_variable idle_cv; // pending dropped to 0
    std::condition_variable cb_cv;   // some object's inflight count dropped

    // Settings and scripts, cleared by kst_reset.
    uint32_t abi = KS_ABI_VERSION;
    const char *version = nullptr; // points into versions
    bool strict = true;
    uint32_t auto_flags = 0;
    std::map<std::string, std::deque<Pushed>, std::less<>> statuses;
    std::map<std::string, int, std::less<>> throws;
    std::map<std::string, std::vector<Action>, std::less<>> armed;
    std::string arm_target;
    std::optional<std::pair<size_t, int>> claim;
    uint64_t generation = 1; // bumped by reset; stales thread-local ABI checks

    // Objects: never freed, never renumbered.
    std::vector<std::unique_ptr<Obj>> objects;
    std::unordered_map<const void *, Obj *> handles;
    std::array<std::vector<Obj *>, 3> by_kind;
    std::array<int, 3> live{};

    // Log: entry i has sequence number base_seq + i.
    uint64_t next_seq = 1;
    uint64_t base_seq = 1;
    std::vector<std::string> log;
    std::vector<std::string> violations;
    std::string log_cache; // the JSON array, valid while log_cache_ok
    bool log_cache_ok = false;

    std::vector<std::unique_ptr<std::string>> versions; // every text ever returned
    std::array<Worker *, 5> workers{};
    size_t pending = 0; // deliveries queued or running
};

using Lock = std::unique_lock<std::mutex>;

Core &core();
void reset_settings(Core &c);

// All of these expect c.mu held.
uint64_t append_log(Core &c, const std::string &members);
void amend_log(Core &c, uint64_t seq, const std::string &more_members);
void add_violation(Core &c, uint64_t seq, std::string_view text);
Obj *find_handle(Core &c, const void *handle, Kind kind);
Obj *find_id(Core &c, Kind kind, uint64_t id);
Obj *new_object(Core &c, Kind kind);
void post(Core &c, Action action, int where); // where 1..4 or -1

// Runs one delivery on the calling thread; takes and drops c.mu itself. `counted` is true for
// worker deliveries, whose pending count was taken when they were posted.
int deliver(Action &action, int where, bool counted);
void run_armed(std::vector<Action> &actions);

int current_tid();
int gil_state(); // 1 held, 0 not held, -1 no interpreter in the process

} // namespace kst
