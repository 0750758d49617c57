#include "state.h"

#include "json.h"
#include "kst.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <exception>

namespace kst {

namespace {

constexpr std::string_view kFunctions[] = {
    "ks_abi_version",          "ks_version_string",      "ks_engine_create",
    "ks_engine_release",       "ks_request_create",      "ks_request_start",
    "ks_request_cancel",       "ks_request_resume_read", "ks_request_follow_redirect",
    "ks_request_upload_write", "ks_request_release",     "ks_websocket_create",
    "ks_websocket_start",      "ks_websocket_cancel",    "ks_websocket_send",
    "ks_websocket_close",      "ks_websocket_release",
};

constexpr std::chrono::seconds kOverlapWait{5};

const uint8_t kEmpty = 0; // non-null pointer for empty, non-null runs

// Objects whose callbacks this thread is running, innermost last.
thread_local std::vector<Obj *> t_in_callback;

void worker_loop(int k) {
    Core &c = core();
    Lock lk(c.mu);
    Worker *w = c.workers[k];
    for (;;) {
        w->cv.wait(lk, [&] { return !w->queue.empty(); });
        Action a = std::move(w->queue.front());
        w->queue.pop_front();
        lk.unlock();
        deliver(a, k, true);
        lk.lock();
    }
}

void log_callback_args(Members &m, const Action &a) {
    auto run = [&](const char *name, const char *len_name, const Run &r) {
        m.bytes(name, r.null ? nullptr : r.bytes.data(), r.bytes.size());
        m.unum(len_name, r.len());
    };
    switch (a.cb) {
    case Cb::on_response:
        m.num("status", a.i1);
        run("head", "head_len", a.runs[0]);
        break;
    case Cb::on_body:
        run("data", "len", a.runs[0]);
        break;
    case Cb::on_complete:
        m.unum("status", a.u1).num("net_error", a.i1);
        break;
    case Cb::on_redirect:
        m.num("status", a.i1);
        run("head", "head_len", a.runs[0]);
        run("from_url", "from_len", a.runs[1]);
        run("to_url", "to_len", a.runs[2]);
        break;
    case Cb::on_open:
        run("protocol", "protocol_len", a.runs[0]);
        run("detail", "detail_len", a.runs[1]);
        break;
    case Cb::on_message:
        m.unum("type", a.u1).unum("flags", a.u2);
        run("data", "len", a.runs[0]);
        break;
    case Cb::on_closing:
        break;
    case Cb::on_closed:
        m.unum("was_clean", a.u1).unum("code", a.u2);
        run("reason", "reason_len", a.runs[0]);
        break;
    case Cb::on_error:
        m.unum("status", a.u1).num("net_error", a.i1).num("response_code", a.i2);
        run("message", "message_len", a.runs[0]);
        break;
    }
}

bool callback_present(const Obj &o, Cb cb) {
    switch (cb) {
    case Cb::on_response:
        return o.req_cb.on_response != nullptr;
    case Cb::on_body:
        return o.req_cb.on_body != nullptr;
    case Cb::on_complete:
        return o.req_cb.on_complete != nullptr;
    case Cb::on_redirect:
        return o.req_cb.on_redirect != nullptr;
    case Cb::on_open:
        return o.ws_cb.on_open != nullptr;
    case Cb::on_message:
        return o.ws_cb.on_message != nullptr;
    case Cb::on_closing:
        return o.ws_cb.on_closing != nullptr;
    case Cb::on_closed:
        return o.ws_cb.on_closed != nullptr;
    case Cb::on_error:
        return o.ws_cb.on_error != nullptr;
    }
    return false;
}

// Calls the module's callback; the tables are copies taken under the lock.
int invoke(const Action &a, Obj *o, const ks_request_callbacks &rc,
           const ks_websocket_callbacks &wc) {
    auto *req = reinterpret_cast<ks_request *>(o);
    auto *ws = reinterpret_cast<ks_websocket *>(o);
    const Run &r0 = a.runs[0], &r1 = a.runs[1], &r2 = a.runs[2];
    auto text = [](const Run &r) { return reinterpret_cast<const char *>(r.ptr()); };
    switch (a.cb) {
    case Cb::on_response:
        rc.on_response(rc.user_data, req, a.i1, r0.ptr(), r0.len());
        return 0;
    case Cb::on_body:
        return rc.on_body(rc.user_data, req, r0.ptr(), r0.len()) ? 1 : 0;
    case Cb::on_complete:
        rc.on_complete(rc.user_data, req, a.u1, a.i1);
        return 0;
    case Cb::on_redirect:
        rc.on_redirect(rc.user_data, req, a.i1, r0.ptr(), r0.len(), text(r1), r1.len(), text(r2),
                       r2.len());
        return 0;
    case Cb::on_open:
        wc.on_open(wc.user_data, ws, text(r0), r0.len(), text(r1), r1.len());
        return 0;
    case Cb::on_message:
        wc.on_message(wc.user_data, ws, a.u1, a.u2, r0.ptr(), r0.len());
        return 0;
    case Cb::on_closing:
        wc.on_closing(wc.user_data, ws);
        return 0;
    case Cb::on_closed:
        wc.on_closed(wc.user_data, ws, a.u1, a.u2, text(r0), r0.len());
        return 0;
    case Cb::on_error:
        wc.on_error(wc.user_data, ws, a.u1, a.i1, a.i2, text(r0), r0.len());
        return 0;
    }
    return 0;
}

// Delivery with c.mu held on entry and exit; unlocks only around the callback itself.
int deliver_locked(Core &c, Lock &lk, Action &a, int where) {
    Obj *o = a.target;
    const bool terminal = is_terminal(a.cb);
    Members m;
    m.text("cb", cb_name(a.cb)).unum(kind_name(o->kind), o->id).num("worker", where);
    if (a.automatic)
        m.boolean("auto", true);
    log_callback_args(m, a);

    auto drop = [&](const char *why) {
        m.text("dropped", why);
        append_log(c, m.str());
        return -2;
    };
    if (!callback_present(*o, a.cb)) {
        m.text("dropped", "no callback");
        const uint64_t seq = append_log(c, m.str());
        add_violation(c, seq,
                      std::string(cb_name(a.cb)) + " is null for " + kind_name(o->kind) + " " +
                          std::to_string(o->id));
        return -2;
    }
    if (c.strict) {
        if (o->terminal_delivered)
            return drop("after terminal");
        if (o->released && !o->started)
            return drop("released before start");
        if (terminal) {
            // The module frees its state in the terminal callback: let the object's other
            // callbacks on other threads return first. They may wait for the interpreter lock
            // this thread holds (an armed delivery inside a call), so the wait is bounded and
            // an overlap is marked in the log instead of hanging the test.
            auto own = std::count(t_in_callback.begin(), t_in_callback.end(), o);
            const bool alone = c.cb_cv.wait_for(
                lk, kOverlapWait, [&] { return o->terminal_delivered || o->inflight == own; });
            if (o->terminal_delivered)
                return drop("after terminal");
            if (!alone)
                m.boolean("overlapped", true);
        }
    }
    if (terminal)
        o->terminal_delivered = true;
    ++o->inflight;
    const ks_request_callbacks rc = o->req_cb;
    const ks_websocket_callbacks wc = o->ws_cb;
    const uint64_t seq = append_log(c, m.str());
    lk.unlock();

    int result = 0;
    bool escaped = false;
    t_in_callback.push_back(o);
    try {
        result = invoke(a, o, rc, wc);
    } catch (...) {
        escaped = true;
    }
    t_in_callback.pop_back();

    lk.lock();
    --o->inflight;
    c.cb_cv.notify_all();
    if (a.cb == Cb::on_body)
        amend_log(c, seq, Members().boolean("returned", result != 0).str());
    if (escaped)
        add_violation(c, seq, std::string("an exception escaped ") + cb_name(a.cb));
    return result;
}

} // namespace

const char *kind_name(Kind kind) {
    switch (kind) {
    case Kind::engine:
        return "engine";
    case Kind::request:
        return "request";
    case Kind::websocket:
        return "websocket";
    }
    return "?";
}

std::optional<Kind> parse_kind(std::string_view name) {
    if (name == "engine")
        return Kind::engine;
    if (name == "request")
        return Kind::request;
    if (name == "websocket")
        return Kind::websocket;
    return std::nullopt;
}

bool known_function(std::string_view name) {
    return std::find(std::begin(kFunctions), std::end(kFunctions), name) != std::end(kFunctions);
}

bool is_create_function(std::string_view name) {
    return name == "ks_engine_create" || name == "ks_request_create" ||
           name == "ks_websocket_create";
}

bool returns_status(std::string_view name) {
    return known_function(name) && name != "ks_abi_version" && name != "ks_version_string" &&
           !name.ends_with("_release");
}

const char *cb_name(Cb cb) {
    switch (cb) {
    case Cb::on_response:
        return "on_response";
    case Cb::on_body:
        return "on_body";
    case Cb::on_complete:
        return "on_complete";
    case Cb::on_redirect:
        return "on_redirect";
    case Cb::on_open:
        return "on_open";
    case Cb::on_message:
        return "on_message";
    case Cb::on_closing:
        return "on_closing";
    case Cb::on_closed:
        return "on_closed";
    case Cb::on_error:
        return "on_error";
    }
    return "?";
}

bool is_terminal(Cb cb) {
    return cb == Cb::on_complete || cb == Cb::on_closed || cb == Cb::on_error;
}

const uint8_t *Run::ptr() const {
    if (null)
        return nullptr;
    return bytes.empty() ? &kEmpty : bytes.data();
}

Core &core() {
    // Never destroyed: detached workers may still use it while the process exits.
    static Core *c = [] {
        auto *p = new Core;
        reset_settings(*p);
        return p;
    }();
    return *c;
}

void reset_settings(Core &c) {
    c.abi = KS_ABI_VERSION;
    c.versions.push_back(std::make_unique<std::string>("kestrin-scripted 8.0"));
    c.version = c.versions.back()->c_str();
    c.strict = true;
    c.auto_flags = KST_AUTO_DEFAULT;
    c.statuses.clear();
    c.throws.clear();
    c.armed.clear();
    c.arm_target.clear();
    c.claim.reset();
    ++c.generation;
    c.log.clear();
    c.base_seq = c.next_seq;
    c.log_cache_ok = false;
    c.violations.clear();
    // Armed terminals were just dropped; nothing else is queued once idle.
    for (auto &o : c.objects)
        o->terminal_queued = o->terminal_delivered;
}

uint64_t append_log(Core &c, const std::string &members) {
    const uint64_t seq = c.next_seq++;
    const int gil = gil_state();
    Members head;
    head.unum("seq", seq).num("tid", current_tid());
    if (gil < 0)
        head.null("gil");
    else
        head.boolean("gil", gil == 1);
    std::string entry = "{" + head.str();
    if (!members.empty())
        entry += "," + members;
    entry += "}";
    c.log.push_back(std::move(entry));
    c.log_cache_ok = false;
    return seq;
}

void amend_log(Core &c, uint64_t seq, const std::string &more_members) {
    if (seq < c.base_seq || seq - c.base_seq >= c.log.size())
        return; // reset meanwhile
    std::string &entry = c.log[seq - c.base_seq];
    entry.pop_back();
    entry += "," + more_members + "}";
    c.log_cache_ok = false;
}

void add_violation(Core &c, uint64_t seq, std::string_view text) {
    c.violations.push_back(std::string(text) + " (log seq " + std::to_string(seq) + ")");
}

Obj *find_handle(Core &c, const void *handle, Kind kind) {
    auto it = c.handles.find(handle);
    if (it == c.handles.end() || it->second->kind != kind)
        return nullptr;
    return it->second;
}

Obj *find_id(Core &c, Kind kind, uint64_t id) {
    auto &v = c.by_kind[static_cast<int>(kind)];
    if (id == 0 || id > v.size())
        return nullptr;
    return v[id - 1];
}

Obj *new_object(Core &c, Kind kind) {
    auto &v = c.by_kind[static_cast<int>(kind)];
    auto o = std::make_unique<Obj>();
    o->kind = kind;
    o->id = v.size() + 1;
    Obj *p = o.get();
    c.objects.push_back(std::move(o));
    v.push_back(p);
    c.handles[p] = p;
    ++c.live[static_cast<int>(kind)];
    return p;
}

void post(Core &c, Action action, int where) {
    if (is_terminal(action.cb))
        action.target->terminal_queued = true;
    if (where < 0) {
        c.armed[c.arm_target].push_back(std::move(action));
        return;
    }
    if (c.workers[where] == nullptr) {
        c.workers[where] = new Worker; // lives as long as its detached thread
        std::thread(worker_loop, where).detach();
    }
    c.workers[where]->queue.push_back(std::move(action));
    ++c.pending;
    c.workers[where]->cv.notify_one();
}

int deliver(Action &action, int where, bool counted) {
    Core &c = core();
    Lock lk(c.mu);
    if (!counted)
        ++c.pending;
    int result = deliver_locked(c, lk, action, where);
    if (--c.pending == 0)
        c.idle_cv.notify_all();
    return result;
}

void run_armed(std::vector<Action> &actions) {
    for (auto &a : actions)
        deliver(a, -1, false);
}

int current_tid() {
    return static_cast<int>(gettid());
}

int gil_state() {
    using Fn = int (*)();
    static const Fn check = reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, "PyGILState_Check"));
    static const Fn initialized = reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, "Py_IsInitialized"));
    if (check == nullptr || initialized == nullptr || !initialized())
        return -1;
    return check() ? 1 : 0;
}

} // namespace kst
