// The kst_ control functions tests use to script the Core and read what the module did.
#include "json.h"
#include "kst.h"
#include "state.h"

#include <chrono>
#include <cstring>

using namespace kst;

namespace {

Run copy_run(const void *p, size_t n) {
    Run r;
    r.null = p == nullptr;
    if (p != nullptr) {
        auto *b = static_cast<const uint8_t *>(p);
        r.bytes.assign(b, b + n);
    }
    return r;
}

// Delivers now, posts to a worker or arms, as `where` says. See kst.h for the results.
int schedule(Kind kind, uint64_t id, int where, Action a) {
    Core &c = core();
    {
        Lock lk(c.mu);
        Obj *o = find_id(c, kind, id);
        if (o == nullptr || where < -1 || where > 4 || (where == -1 && c.arm_target.empty()))
            return -3;
        a.target = o;
        if (c.claim) {
            a.runs[c.claim->second].claimed = c.claim->first;
            c.claim.reset();
        }
        if (where != 0) {
            const bool body = a.cb == Cb::on_body;
            post(c, std::move(a), where);
            return body ? -1 : 0;
        }
    }
    return deliver(a, 0, false);
}

template <class F> size_t copy_out(char *buf, size_t cap, F build) {
    Core &c = core();
    Lock lk(c.mu);
    const std::string &s = build(c);
    if (buf != nullptr && cap > 0) {
        size_t n = std::min(cap - 1, s.size());
        std::memcpy(buf, s.data(), n);
        buf[n] = '\0';
    }
    return s.size();
}

} // namespace

extern "C" {

void kst_reset(void) {
    Core &c = core();
    Lock lk(c.mu);
    c.idle_cv.wait(lk, [&] { return c.pending == 0; });
    reset_settings(c);
}

void kst_set_abi_version(uint32_t version) {
    Core &c = core();
    Lock lk(c.mu);
    c.abi = version;
}

void kst_set_version_string(const char *bytes, size_t len, int is_null) {
    Core &c = core();
    Lock lk(c.mu);
    if (is_null) {
        c.version = nullptr;
        return;
    }
    // Earlier texts stay alive: a caller may still be copying one.
    c.versions.push_back(std::make_unique<std::string>(bytes ? bytes : "", bytes ? len : 0));
    c.version = c.versions.back()->c_str();
}

int kst_push_status(const char *fn_name, uint32_t status, int handle_mode) {
    if (fn_name == nullptr || !returns_status(fn_name) || handle_mode < 0 || handle_mode > 2 ||
        (handle_mode != 0 && !is_create_function(fn_name)))
        return -1;
    Core &c = core();
    Lock lk(c.mu);
    c.statuses[fn_name].push_back(Pushed{status, handle_mode});
    return 0;
}

int kst_throw_next(const char *fn_name) {
    if (fn_name == nullptr || !known_function(fn_name))
        return -1;
    Core &c = core();
    Lock lk(c.mu);
    ++c.throws[fn_name];
    return 0;
}

int kst_arm(const char *fn_name) {
    if (fn_name == nullptr || !known_function(fn_name))
        return -1;
    Core &c = core();
    Lock lk(c.mu);
    c.arm_target = fn_name;
    return 0;
}

void kst_set_strict(int on) {
    Core &c = core();
    Lock lk(c.mu);
    c.strict = on != 0;
}

void kst_set_auto(uint32_t flags) {
    Core &c = core();
    Lock lk(c.mu);
    c.auto_flags = flags;
}

int kst_set_claimed_len(size_t len, int run) {
    if (run < 0 || run > 2)
        return -1;
    Core &c = core();
    Lock lk(c.mu);
    c.claim = std::make_pair(len, run);
    return 0;
}

void kst_clear_violations(void) {
    Core &c = core();
    Lock lk(c.mu);
    c.violations.clear();
}

int kst_req_response(uint64_t id, int where, int32_t status, const uint8_t *head, size_t head_len) {
    Action a;
    a.cb = Cb::on_response;
    a.i1 = status;
    a.runs[0] = copy_run(head, head_len);
    return schedule(Kind::request, id, where, std::move(a));
}

int kst_req_body(uint64_t id, int where, const uint8_t *data, size_t len) {
    Action a;
    a.cb = Cb::on_body;
    a.runs[0] = copy_run(data, len);
    return schedule(Kind::request, id, where, std::move(a));
}

int kst_req_complete(uint64_t id, int where, uint32_t status, int32_t net_error) {
    Action a;
    a.cb = Cb::on_complete;
    a.u1 = status;
    a.i1 = net_error;
    return schedule(Kind::request, id, where, std::move(a));
}

int kst_req_redirect(uint64_t id, int where, int32_t status, const uint8_t *head, size_t head_len,
                     const char *from_url, size_t from_len, const char *to_url, size_t to_len) {
    Action a;
    a.cb = Cb::on_redirect;
    a.i1 = status;
    a.runs[0] = copy_run(head, head_len);
    a.runs[1] = copy_run(from_url, from_len);
    a.runs[2] = copy_run(to_url, to_len);
    return schedule(Kind::request, id, where, std::move(a));
}

int kst_ws_open(uint64_t id, int where, const char *protocol, size_t protocol_len,
                const char *detail, size_t detail_len) {
    Action a;
    a.cb = Cb::on_open;
    a.runs[0] = copy_run(protocol, protocol_len);
    a.runs[1] = copy_run(detail, detail_len);
    return schedule(Kind::websocket, id, where, std::move(a));
}

int kst_ws_message(uint64_t id, int where, uint32_t type, uint32_t flags, const uint8_t *data,
                   size_t len) {
    Action a;
    a.cb = Cb::on_message;
    a.u1 = type;
    a.u2 = flags;
    a.runs[0] = copy_run(data, len);
    return schedule(Kind::websocket, id, where, std::move(a));
}

int kst_ws_closing(uint64_t id, int where) {
    Action a;
    a.cb = Cb::on_closing;
    return schedule(Kind::websocket, id, where, std::move(a));
}

int kst_ws_closed(uint64_t id, int where, uint32_t was_clean, uint32_t code, const char *reason,
                  size_t reason_len) {
    Action a;
    a.cb = Cb::on_closed;
    a.u1 = was_clean;
    a.u2 = code;
    a.runs[0] = copy_run(reason, reason_len);
    return schedule(Kind::websocket, id, where, std::move(a));
}

int kst_ws_error(uint64_t id, int where, uint32_t status, int32_t net_error, int32_t response_code,
                 const char *message, size_t message_len) {
    Action a;
    a.cb = Cb::on_error;
    a.u1 = status;
    a.i1 = net_error;
    a.i2 = response_code;
    a.runs[0] = copy_run(message, message_len);
    return schedule(Kind::websocket, id, where, std::move(a));
}

size_t kst_log_json(char *buf, size_t cap) {
    return copy_out(buf, cap, [](Core &c) -> const std::string & {
        if (!c.log_cache_ok) {
            std::string &s = c.log_cache;
            s = "[";
            for (size_t i = 0; i < c.log.size(); ++i) {
                if (i)
                    s += ",\n";
                s += c.log[i];
            }
            s += "]";
            c.log_cache_ok = true;
        }
        return c.log_cache;
    });
}

size_t kst_violations_json(char *buf, size_t cap) {
    std::string s;
    return copy_out(buf, cap, [&](Core &c) -> const std::string & {
        s = "[";
        for (size_t i = 0; i < c.violations.size(); ++i) {
            if (i)
                s += ",";
            append_quoted(s, c.violations[i]);
        }
        s += "]";
        return s;
    });
}

uint64_t kst_last_id(const char *kind) {
    auto k = kind ? parse_kind(kind) : std::nullopt;
    if (!k)
        return 0;
    Core &c = core();
    Lock lk(c.mu);
    return c.by_kind[static_cast<int>(*k)].size();
}

int kst_live(const char *kind) {
    auto k = kind ? parse_kind(kind) : std::nullopt;
    if (!k)
        return -1;
    Core &c = core();
    Lock lk(c.mu);
    return c.live[static_cast<int>(*k)];
}

void kst_wait_idle(void) {
    Core &c = core();
    Lock lk(c.mu);
    c.idle_cv.wait(lk, [&] { return c.pending == 0; });
}

int kst_wait_idle_ms(uint64_t ms) {
    Core &c = core();
    const auto limit = std::chrono::milliseconds(std::min<uint64_t>(ms, 1'000'000'000));
    Lock lk(c.mu);
    return c.idle_cv.wait_for(lk, limit, [&] { return c.pending == 0; }) ? 1 : 0;
}

} // extern "C"
