// The 17 ks_ functions of the scripted Core: log, check the caller's side of the contract,
// answer from the script.
#include "json.h"
#include "kst.h"
#include "state.h"

#include <cstring>
#include <stdexcept>

using namespace kst;

namespace {

// Longest byte run or array the scripted Core reads out of a caller's memory.
constexpr size_t kMaxRun = size_t{1} << 30;
constexpr size_t kMaxEntries = size_t{1} << 20;

using Violations = std::vector<std::string>;

// The ABI version this thread saw last; ks_engine_create consumes it.
struct AbiSeen {
    uint64_t generation = 0;
    bool valid = false;
    uint32_t value = 0;
};
thread_local AbiSeen t_abi;

bool take_throw(Core &c, std::string_view fn) {
    auto it = c.throws.find(fn);
    if (it == c.throws.end())
        return false;
    if (--it->second == 0)
        c.throws.erase(it);
    return true;
}

Pushed take_status(Core &c, std::string_view fn) {
    auto it = c.statuses.find(fn);
    if (it == c.statuses.end() || it->second.empty())
        return {};
    Pushed p = it->second.front();
    it->second.pop_front();
    return p;
}

std::vector<Action> take_armed(Core &c, std::string_view fn) {
    auto it = c.armed.find(fn);
    if (it == c.armed.end())
        return {};
    std::vector<Action> v = std::move(it->second);
    c.armed.erase(it);
    return v;
}

[[noreturn]] void scripted_throw(const char *fn) {
    throw std::runtime_error(std::string("scripted failure in ") + fn);
}

std::string describe(const Obj &o) {
    return std::string(kind_name(o.kind)) + " " + std::to_string(o.id);
}

// A byte run read from the caller: logged as `name` (bytes or null) and `len_name`.
void read_run(Members &m, Violations &viol, const char *fn, const char *name, const char *len_name,
              const void *p, size_t n) {
    m.unum(len_name, n);
    if (p == nullptr) {
        m.null(name);
        if (n != 0)
            viol.push_back(std::string(fn) + ": " + name + " is null with length " +
                           std::to_string(n));
    } else if (n > kMaxRun) {
        m.text(name, "unread");
        viol.push_back(std::string(fn) + ": " + name + " has absurd length " + std::to_string(n));
    } else {
        m.bytes(name, p, n);
    }
}

std::string header_array(Violations &viol, const char *fn, const ks_header *h, size_t count) {
    std::string out = "[";
    for (size_t i = 0; i < count; ++i) {
        const ks_header &e = h[i];
        if ((e.name == nullptr && e.name_len != 0) || (e.value == nullptr && e.value_len != 0) ||
            e.name_len > kMaxRun || e.value_len > kMaxRun) {
            viol.push_back(std::string(fn) + ": header " + std::to_string(i) +
                           " has a bad pointer/length pair");
            out += i ? ",null" : "null";
            continue;
        }
        if (i)
            out += ',';
        out +=
            "[" + bytes_value(e.name, e.name_len) + "," + bytes_value(e.value, e.value_len) + "]";
    }
    return out + "]";
}

void read_array(Members &m, Violations &viol, const char *fn, const char *name,
                const char *count_name, const void *p, size_t count, bool headers) {
    m.unum(count_name, count);
    if (p == nullptr) {
        m.null(name);
        if (count != 0)
            viol.push_back(std::string(fn) + ": " + name + " is null with count " +
                           std::to_string(count));
        return;
    }
    if (count > kMaxEntries) {
        m.text(name, "unread");
        viol.push_back(std::string(fn) + ": " + name + " has absurd count " +
                       std::to_string(count));
        return;
    }
    if (headers) {
        m.raw(name, header_array(viol, fn, static_cast<const ks_header *>(p), count));
        return;
    }
    auto *t = static_cast<const ks_text *>(p);
    std::string out = "[";
    for (size_t i = 0; i < count; ++i) {
        if (i)
            out += ',';
        if ((t[i].data == nullptr && t[i].len != 0) || t[i].len > kMaxRun) {
            viol.push_back(std::string(fn) + ": " + name + " entry " + std::to_string(i) +
                           " has a bad pointer/length pair");
            out += "null";
        } else {
            out += bytes_value(t[i].data, t[i].len);
        }
    }
    m.raw(name, out + "]");
}

void check_head(Violations &viol, const char *fn, const char *what, uint32_t size,
                uint32_t expected_size, uint32_t abi) {
    if (size != expected_size)
        viol.push_back(std::string(fn) + ": " + what + " struct_size " + std::to_string(size) +
                       ", expected " + std::to_string(expected_size));
    if (abi != KS_ABI_VERSION)
        viol.push_back(std::string(fn) + ": " + what + " abi_version " + std::to_string(abi) +
                       ", expected " + std::to_string(KS_ABI_VERSION));
}

void decode_engine(Members &m, Violations &viol, const char *fn, const ks_engine_config &r) {
    check_head(viol, fn, "record", r.struct_size, sizeof(ks_engine_config), r.abi_version);
    m.unum("struct_size", r.struct_size).unum("abi_version", r.abi_version);
    read_run(m, viol, fn, "user_agent", "user_agent_len", r.user_agent, r.user_agent_len);
    read_run(m, viol, fn, "proxy", "proxy_len", r.proxy, r.proxy_len);
    read_run(m, viol, fn, "proxy_username", "proxy_username_len", r.proxy_username,
             r.proxy_username_len);
    read_run(m, viol, fn, "proxy_password", "proxy_password_len", r.proxy_password,
             r.proxy_password_len);
    m.unum("cache_disabled", r.cache_disabled);
    read_run(m, viol, fn, "accept_language", "accept_language_len", r.accept_language,
             r.accept_language_len);
    read_run(m, viol, fn, "impersonate", "impersonate_len", r.impersonate, r.impersonate_len);
    read_run(m, viol, fn, "profile_namespace", "profile_namespace_len", r.profile_namespace,
             r.profile_namespace_len);
    m.unum("http_version", r.http_version).unum("cert_mode", r.cert_mode);
    read_run(m, viol, fn, "ca_pem", "ca_pem_len", r.ca_pem, r.ca_pem_len);
}

void decode_request(Members &m, Violations &viol, const char *fn, const ks_request_config &r) {
    check_head(viol, fn, "record", r.struct_size, sizeof(ks_request_config), r.abi_version);
    const ks_request_callbacks &cb = r.callbacks;
    check_head(viol, fn, "callbacks", cb.struct_size, sizeof(ks_request_callbacks), cb.abi_version);
    m.unum("struct_size", r.struct_size).unum("abi_version", r.abi_version);
    read_run(m, viol, fn, "url", "url_len", r.url, r.url_len);
    read_run(m, viol, fn, "method", "method_len", r.method, r.method_len);
    read_array(m, viol, fn, "headers", "header_count", r.headers, r.header_count, true);
    m.unum("timeout_ms", r.timeout_ms);
    Members cm;
    cm.unum("struct_size", cb.struct_size)
        .unum("abi_version", cb.abi_version)
        .unum("user_data", reinterpret_cast<uintptr_t>(cb.user_data))
        .boolean("on_response", cb.on_response != nullptr)
        .boolean("on_body", cb.on_body != nullptr)
        .boolean("on_complete", cb.on_complete != nullptr)
        .boolean("on_redirect", cb.on_redirect != nullptr);
    m.object("callbacks", cm);
    read_run(m, viol, fn, "body", "body_len", r.body, r.body_len);
    m.unum("body_kind", r.body_kind)
        .unum("cache_mode", r.cache_mode)
        .unum("redirect_mode", r.redirect_mode)
        .unum("priority", r.priority);
}

void decode_websocket(Members &m, Violations &viol, const char *fn, const ks_websocket_config &r) {
    check_head(viol, fn, "record", r.struct_size, sizeof(ks_websocket_config), r.abi_version);
    const ks_websocket_callbacks &cb = r.callbacks;
    check_head(viol, fn, "callbacks", cb.struct_size, sizeof(ks_websocket_callbacks),
               cb.abi_version);
    m.unum("struct_size", r.struct_size).unum("abi_version", r.abi_version);
    read_run(m, viol, fn, "url", "url_len", r.url, r.url_len);
    read_run(m, viol, fn, "origin", "origin_len", r.origin, r.origin_len);
    read_array(m, viol, fn, "protocols", "protocol_count", r.protocols, r.protocol_count, false);
    read_array(m, viol, fn, "headers", "header_count", r.headers, r.header_count, true);
    Members cm;
    cm.unum("struct_size", cb.struct_size)
        .unum("abi_version", cb.abi_version)
        .unum("user_data", reinterpret_cast<uintptr_t>(cb.user_data))
        .boolean("on_open", cb.on_open != nullptr)
        .boolean("on_message", cb.on_message != nullptr)
        .boolean("on_closing", cb.on_closing != nullptr)
        .boolean("on_closed", cb.on_closed != nullptr)
        .boolean("on_error", cb.on_error != nullptr);
    m.object("callbacks", cm);
    m.unum("timeout_ms", r.timeout_ms);
}

Action auto_action(Obj &o, Cb cb, uint32_t status, int32_t net_error, const char *text) {
    Action a;
    a.cb = cb;
    a.target = &o;
    a.automatic = true;
    a.u1 = status;
    a.i1 = net_error;
    if (text != nullptr) {
        a.runs[0].null = false;
        a.runs[0].bytes.assign(text, text + std::strlen(text));
    }
    return a;
}

// Whether a started object still waits for its terminal callback.
bool awaiting_terminal(const Obj &o) {
    return o.started && !o.terminal_queued && !o.terminal_delivered;
}

// A status-returning call on a request or WebSocket. `effect` runs under the lock when the
// handle is live and the call did not throw.
template <class Effect>
ks_status object_call(const char *fn, Kind kind, const void *handle, const Members &extra,
                      Violations viol, Effect effect) {
    Core &c = core();
    std::vector<Action> armed;
    ks_status st = 0;
    bool threw = false;
    {
        Lock lk(c.mu);
        Obj *o = find_handle(c, handle, kind);
        if (o == nullptr)
            viol.push_back(std::string(fn) + ": " + (handle ? "unknown " : "null ") +
                           kind_name(kind) + " handle");
        else if (o->released)
            viol.push_back(std::string(fn) + ": called on released " + describe(*o));
        threw = take_throw(c, fn);
        Members m;
        m.text("fn", fn).unum(kind_name(kind), o ? o->id : 0).merge(extra);
        const bool live = o != nullptr && !o->released;
        if (threw) {
            m.boolean("threw", true);
        } else {
            if (o == nullptr)
                st = KS_INVALID_ARGUMENT;
            else if (!live)
                st = KS_INVALID_STATE;
            else
                st = take_status(c, fn).status;
            m.unum("status", st);
        }
        const uint64_t seq = append_log(c, m.str());
        for (auto &v : viol)
            add_violation(c, seq, v);
        if (!threw) {
            if (live)
                effect(c, *o, st, seq);
            armed = take_armed(c, fn);
        }
    }
    if (threw)
        scripted_throw(fn);
    run_armed(armed);
    return st;
}

template <class Effect>
void release_call(const char *fn, Kind kind, const void *handle, Effect effect) {
    Core &c = core();
    std::vector<Action> armed;
    bool threw = false;
    {
        Lock lk(c.mu);
        Violations viol;
        Obj *o = find_handle(c, handle, kind);
        if (o == nullptr)
            viol.push_back(std::string(fn) + ": " + (handle ? "unknown " : "null ") +
                           kind_name(kind) + " handle");
        else if (o->released)
            viol.push_back(std::string(fn) + ": second release of " + describe(*o));
        threw = take_throw(c, fn);
        Members m;
        m.text("fn", fn).unum(kind_name(kind), o ? o->id : 0);
        if (threw)
            m.boolean("threw", true);
        const uint64_t seq = append_log(c, m.str());
        for (auto &v : viol)
            add_violation(c, seq, v);
        if (!threw) {
            if (o != nullptr && !o->released) {
                o->released = true;
                --c.live[static_cast<int>(kind)];
                effect(c, *o);
            }
            armed = take_armed(c, fn);
        }
    }
    if (threw)
        scripted_throw(fn);
    run_armed(armed);
}

template <class Handle, class Record, class Decode, class Adopt>
ks_status create_call(const char *fn, Kind kind, const ks_engine *engine, const Record *record,
                      Handle **out, Decode decode, Adopt adopt) {
    Core &c = core();
    std::vector<Action> armed;
    ks_status st = 0;
    bool threw = false;
    {
        Lock lk(c.mu);
        Violations viol;
        Members m;
        m.text("fn", fn);
        if (kind == Kind::engine) {
            const bool ok =
                t_abi.valid && t_abi.generation == c.generation && t_abi.value == KS_ABI_VERSION;
            if (!ok)
                viol.push_back(std::string(fn) +
                               " without a preceding ks_abi_version that returned 8");
            t_abi.valid = false;
        } else {
            Obj *e = find_handle(c, engine, Kind::engine);
            if (e == nullptr)
                viol.push_back(std::string(fn) + ": " + (engine ? "unknown" : "null") +
                               " engine handle");
            else if (e->released)
                viol.push_back(std::string(fn) + ": on released " + describe(*e));
            m.unum("engine", e ? e->id : 0);
        }
        if (out == nullptr) {
            viol.push_back(std::string(fn) + ": null out slot");
            m.null("out_was_null");
        } else {
            m.boolean("out_was_null", *out == nullptr);
            if (*out != nullptr)
                viol.push_back(std::string(fn) + ": out slot not preset to null");
        }
        if (record == nullptr) {
            viol.push_back(std::string(fn) + ": null record");
            m.null("record").null("config");
        } else {
            m.bytes("record", record, sizeof(Record));
            Members cm;
            decode(cm, viol, fn, *record);
            m.object("config", cm);
        }
        threw = take_throw(c, fn);
        if (threw) {
            m.boolean("threw", true);
        } else {
            Pushed p = record && out ? take_status(c, fn) : Pushed{KS_INVALID_ARGUMENT, 1};
            st = p.status;
            Obj *o = nullptr;
            if (out != nullptr && (p.handle_mode == 2 || (p.handle_mode == 0 && st == KS_OK))) {
                o = new_object(c, kind);
                if (record != nullptr)
                    adopt(*o, *record);
                *out = reinterpret_cast<Handle *>(o);
            }
            m.unum("status", st).unum("id", o ? o->id : 0);
        }
        const uint64_t seq = append_log(c, m.str());
        for (auto &v : viol)
            add_violation(c, seq, v);
        if (!threw)
            armed = take_armed(c, fn);
    }
    if (threw)
        scripted_throw(fn);
    run_armed(armed);
    return st;
}

// Logs a call without a handle (ABI and version queries).
template <class Body> auto plain_call(const char *fn, Body body) {
    Core &c = core();
    std::vector<Action> armed;
    decltype(body(c, std::declval<Members &>())) result{};
    bool threw = false;
    {
        Lock lk(c.mu);
        threw = take_throw(c, fn);
        Members m;
        m.text("fn", fn);
        if (threw)
            m.boolean("threw", true);
        else
            result = body(c, m);
        append_log(c, m.str());
        if (!threw)
            armed = take_armed(c, fn);
    }
    if (threw)
        scripted_throw(fn);
    run_armed(armed);
    return result;
}

auto no_effect = [](Core &, Obj &, ks_status, uint64_t) {};

} // namespace

extern "C" {

uint32_t ks_abi_version(void) {
    return plain_call("ks_abi_version", [](Core &c, Members &m) {
        m.unum("result", c.abi);
        t_abi = AbiSeen{c.generation, true, c.abi};
        return c.abi;
    });
}

const char *ks_version_string(void) {
    return plain_call("ks_version_string", [](Core &c, Members &m) {
        m.bytes("result", c.version, c.version ? std::strlen(c.version) : 0);
        return c.version;
    });
}

ks_status ks_engine_create(const ks_engine_config *config, ks_engine **out) {
    return create_call("ks_engine_create", Kind::engine, nullptr, config, out, decode_engine,
                       [](Obj &, const ks_engine_config &) {});
}

void ks_engine_release(ks_engine *engine) {
    release_call("ks_engine_release", Kind::engine, engine, [](Core &, Obj &) {});
}

ks_status ks_request_create(ks_engine *engine, const ks_request_config *config, ks_request **out) {
    return create_call("ks_request_create", Kind::request, engine, config, out, decode_request,
                       [](Obj &o, const ks_request_config &r) { o.req_cb = r.callbacks; });
}

ks_status ks_request_start(ks_request *request) {
    return object_call("ks_request_start", Kind::request, request, {}, {},
                       [](Core &c, Obj &o, ks_status st, uint64_t seq) {
                           if (o.started)
                               add_violation(c, seq,
                                             "ks_request_start: second start of " + describe(o));
                           if (st == KS_OK)
                               o.started = true;
                       });
}

ks_status ks_request_cancel(ks_request *request) {
    return object_call(
        "ks_request_cancel", Kind::request, request, {}, {},
        [](Core &c, Obj &o, ks_status st, uint64_t) {
            if (st == KS_OK && (c.auto_flags & KST_AUTO_REQUEST_CANCEL) && awaiting_terminal(o))
                post(c, auto_action(o, Cb::on_complete, KS_CANCELED, -3, nullptr), 1);
        });
}

ks_status ks_request_resume_read(ks_request *request) {
    return object_call("ks_request_resume_read", Kind::request, request, {}, {}, no_effect);
}

ks_status ks_request_follow_redirect(ks_request *request) {
    return object_call("ks_request_follow_redirect", Kind::request, request, {}, {}, no_effect);
}

ks_status ks_request_upload_write(ks_request *request, const uint8_t *data, size_t len,
                                  uint32_t final_chunk) {
    const char *fn = "ks_request_upload_write";
    Members m;
    Violations viol;
    read_run(m, viol, fn, "data", "len", data, len);
    m.unum("final", final_chunk);
    return object_call(fn, Kind::request, request, m, std::move(viol), no_effect);
}

void ks_request_release(ks_request *request) {
    release_call("ks_request_release", Kind::request, request, [](Core &c, Obj &o) {
        if ((c.auto_flags & KST_AUTO_REQUEST_RELEASE) && awaiting_terminal(o))
            post(c, auto_action(o, Cb::on_complete, KS_CANCELED, -3, nullptr), 1);
    });
}

ks_status ks_websocket_create(ks_engine *engine, const ks_websocket_config *config,
                              ks_websocket **out) {
    return create_call("ks_websocket_create", Kind::websocket, engine, config, out,
                       decode_websocket,
                       [](Obj &o, const ks_websocket_config &r) { o.ws_cb = r.callbacks; });
}

ks_status ks_websocket_start(ks_websocket *ws) {
    return object_call("ks_websocket_start", Kind::websocket, ws, {}, {},
                       [](Core &c, Obj &o, ks_status st, uint64_t seq) {
                           if (o.started)
                               add_violation(c, seq,
                                             "ks_websocket_start: second start of " + describe(o));
                           if (st == KS_OK)
                               o.started = true;
                       });
}

ks_status ks_websocket_cancel(ks_websocket *ws) {
    return object_call(
        "ks_websocket_cancel", Kind::websocket, ws, {}, {},
        [](Core &c, Obj &o, ks_status st, uint64_t) {
            if (st == KS_OK && (c.auto_flags & KST_AUTO_WS_CANCEL) && awaiting_terminal(o))
                post(c, auto_action(o, Cb::on_error, KS_CANCELED, -3, "canceled"), 1);
        });
}

ks_status ks_websocket_send(ks_websocket *ws, uint32_t kind, const uint8_t *data, size_t len) {
    const char *fn = "ks_websocket_send";
    Members m;
    Violations viol;
    m.unum("kind", kind);
    read_run(m, viol, fn, "data", "len", data, len);
    return object_call(fn, Kind::websocket, ws, m, std::move(viol), no_effect);
}

ks_status ks_websocket_close(ks_websocket *ws, uint32_t code, const char *reason,
                             size_t reason_len) {
    const char *fn = "ks_websocket_close";
    Members m;
    Violations viol;
    m.unum("code", code);
    read_run(m, viol, fn, "reason", "reason_len", reason, reason_len);
    std::vector<uint8_t> copy;
    if (reason != nullptr && reason_len <= kMaxRun)
        copy.assign(reason, reason + reason_len);
    return object_call(
        fn, Kind::websocket, ws, m, std::move(viol), [&](Core &c, Obj &o, ks_status st, uint64_t) {
            if (st != KS_OK || !(c.auto_flags & KST_AUTO_WS_CLOSE) || !awaiting_terminal(o))
                return;
            Action a = auto_action(o, Cb::on_closed, 1, 0, nullptr);
            a.u2 = code;
            a.runs[0].null = reason == nullptr;
            a.runs[0].bytes = copy;
            post(c, std::move(a), 1);
        });
}

void ks_websocket_release(ks_websocket *ws) {
    release_call("ks_websocket_release", Kind::websocket, ws, [](Core &c, Obj &o) {
        if ((c.auto_flags & KST_AUTO_WS_RELEASE) && awaiting_terminal(o))
            post(c, auto_action(o, Cb::on_error, KS_CANCELED, -3, "released"), 1);
    });
}

} // extern "C"
