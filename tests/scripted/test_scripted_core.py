"""Self-tests of the scripted Core through ctypes alone: records, violations, threads, in-call
delivery, absurd lengths and the automatic terminal callbacks."""

import ctypes
import threading
from ctypes import POINTER, byref, c_char_p, c_size_t, c_uint32, c_void_p

import pytest

from support.kst import (
    ARMED,
    AUTO_DEFAULT,
    AUTO_WS_CLOSE,
    ON_BODY,
    ON_CLOSED,
    ON_CLOSING,
    ON_COMPLETE,
    ON_ERROR,
    ON_MESSAGE,
    ON_OPEN,
    ON_REDIRECT,
    ON_RESPONSE,
    SIZE_MAX,
    EngineConfig,
    Header,
    KstError,
    RequestCallbacks,
    RequestConfig,
    Text,
    WebSocketCallbacks,
    WebSocketConfig,
    layout_problems,
)

# The whole file exercises the Core's threads, so it also runs under ThreadSanitizer.
pytestmark = pytest.mark.concurrency

_KS = {
    "ks_abi_version": (c_uint32, []),
    "ks_version_string": (c_char_p, []),
    "ks_engine_create": (c_uint32, [POINTER(EngineConfig), POINTER(c_void_p)]),
    "ks_engine_release": (None, [c_void_p]),
    "ks_request_create": (c_uint32, [c_void_p, POINTER(RequestConfig), POINTER(c_void_p)]),
    "ks_request_start": (c_uint32, [c_void_p]),
    "ks_request_cancel": (c_uint32, [c_void_p]),
    "ks_request_release": (None, [c_void_p]),
    "ks_websocket_create": (c_uint32, [c_void_p, POINTER(WebSocketConfig), POINTER(c_void_p)]),
    "ks_websocket_start": (c_uint32, [c_void_p]),
    "ks_websocket_cancel": (c_uint32, [c_void_p]),
    "ks_websocket_close": (c_uint32, [c_void_p, c_uint32, c_char_p, c_size_t]),
    "ks_websocket_release": (None, [c_void_p]),
}


def _bind(lib):
    for name, (restype, argtypes) in _KS.items():
        f = getattr(lib, name)
        f.restype, f.argtypes = restype, argtypes
    return lib


@pytest.fixture
def ks(core):
    """The ks_ functions, called with the interpreter lock released."""
    return _bind(core.lib)


@pytest.fixture
def ks_gil(core):
    """The same functions called with the interpreter lock held (as the module calls most)."""
    return _bind(ctypes.PyDLL(str(core.path)))


def _ptr(buf):
    return ctypes.cast(buf, c_void_p).value if buf is not None else None


class Recorder:
    """Python callbacks for one request or WebSocket; each event notes its native thread."""

    def __init__(self, body_result=True):
        self.events = []
        self.body_result = body_result
        self._lock = threading.Lock()
        read = lambda p, n: ctypes.string_at(p, n) if p and n < 1 << 20 else None  # noqa: E731

        def add(*event):
            with self._lock:
                self.events.append((threading.get_native_id(),) + event)

        def on_body(ud, h, p, n):
            add("on_body", p, n, read(p, n))
            return self.body_result

        self.request_fns = (
            ON_RESPONSE(lambda ud, h, st, p, n: add("on_response", st, read(p, n))),
            ON_BODY(on_body),
            ON_COMPLETE(lambda ud, h, st, net: add("on_complete", st, net)),
            ON_REDIRECT(lambda ud, h, st, hp, hn, fp, fn, tp, tn: add("on_redirect", hn, fn, tn)),
        )
        self.ws_fns = (
            ON_OPEN(lambda ud, h, p, n, d, dn: add("on_open", read(p, n), read(d, dn))),
            ON_MESSAGE(lambda ud, h, t, fl, p, n: add("on_message", t, read(p, n))),
            ON_CLOSING(lambda ud, h: add("on_closing")),
            ON_CLOSED(lambda ud, h, clean, code, p, n: add("on_closed", code, read(p, n))),
            ON_ERROR(lambda ud, h, st, net, rc, p, n: add("on_error", st, net, rc, read(p, n))),
        )

    def names(self):
        return [e[1] for e in self.events]


def _engine(ks):
    assert ks.ks_abi_version() == 8
    cfg = EngineConfig(struct_size=ctypes.sizeof(EngineConfig), abi_version=8)
    out = c_void_p()
    assert ks.ks_engine_create(byref(cfg), byref(out)) == 0
    return out


def _request_config(rec, user_data=0x5EED, **fields):
    table = RequestCallbacks(ctypes.sizeof(RequestCallbacks), 8, user_data)
    for name, fn in zip(("on_response", "on_body", "on_complete", "on_redirect"), rec.request_fns):
        setattr(table, name, ctypes.cast(fn, c_void_p).value)
    cfg = RequestConfig(struct_size=ctypes.sizeof(RequestConfig), abi_version=8, callbacks=table)
    for name, value in fields.items():
        setattr(cfg, name, value)
    return cfg


def _request(ks, engine, rec, start=True):
    out = c_void_p()
    assert ks.ks_request_create(engine, byref(_request_config(rec)), byref(out)) == 0
    if start:
        assert ks.ks_request_start(out) == 0
    return out


def _websocket(ks, engine, rec, start=True):
    table = WebSocketCallbacks(ctypes.sizeof(WebSocketCallbacks), 8, 0x77)
    names = ("on_open", "on_message", "on_closing", "on_closed", "on_error")
    for name, fn in zip(names, rec.ws_fns):
        setattr(table, name, ctypes.cast(fn, c_void_p).value)
    cfg = WebSocketConfig(struct_size=ctypes.sizeof(WebSocketConfig), abi_version=8)
    cfg.callbacks = table
    out = c_void_p()
    assert ks.ks_websocket_create(engine, byref(cfg), byref(out)) == 0
    if start:
        assert ks.ks_websocket_start(out) == 0
    return out


def test_create_records_are_logged_byte_exact_with_deep_copies(core, ks):
    ua, pem = ctypes.create_string_buffer(b"ua\x00\xff", 4), ctypes.create_string_buffer(b"PEM", 3)
    cfg = EngineConfig(struct_size=ctypes.sizeof(EngineConfig), abi_version=8, cert_mode=1)
    cfg.user_agent, cfg.user_agent_len = _ptr(ua), 4
    cfg.ca_pem, cfg.ca_pem_len, cfg.http_version = _ptr(pem), 3, 2
    engine = c_void_p()
    live = core.live("engine")
    assert ks.ks_abi_version() == 8
    assert ks.ks_engine_create(byref(cfg), byref(engine)) == 0 and engine.value
    assert core.live("engine") == live + 1
    entry = core.calls("engine_create")[-1]
    assert entry["record"] == bytes(cfg) and entry["out_was_null"]
    assert entry["id"] == core.last_id("engine")
    rec = core.last_record("engine_create")
    assert rec["user_agent"] == b"ua\x00\xff" and rec["user_agent_len"] == 4
    assert rec["proxy"] is None and rec["proxy_len"] == 0
    assert (rec["ca_pem"], rec["cert_mode"], rec["http_version"]) == (b"PEM", 1, 2)

    names = [ctypes.create_string_buffer(b, len(b)) for b in (b"a", b"b", b"1")]
    headers = (Header * 2)(Header(_ptr(names[0]), 1, _ptr(names[2]), 1), Header(_ptr(names[1]), 1))
    body = ctypes.create_string_buffer(b"abc", 3)
    r = Recorder()
    req_cfg = _request_config(r, user_data=0x1234, timeout_ms=2500, body_kind=1, priority=5)
    req_cfg.headers, req_cfg.header_count = ctypes.addressof(headers), 2
    req_cfg.body, req_cfg.body_len = _ptr(body), 3
    req_cfg.callbacks.on_redirect = None
    req = c_void_p()
    assert ks.ks_request_create(engine, byref(req_cfg), byref(req)) == 0
    # The log holds copies taken during the call, not pointers into our buffers.
    ctypes.memset(body, ord("z"), 3)
    rec = core.last_record("request_create")
    assert rec["headers"] == [[b"a", b"1"], [b"b", None]] and rec["header_count"] == 2
    assert (rec["body"], rec["body_kind"], rec["priority"]) == (b"abc", 1, 5)
    assert rec["timeout_ms"] == 2500
    assert rec["url"] is None and rec["method"] is None
    assert rec["callbacks"] == {
        "struct_size": 48, "abi_version": 8, "user_data": 0x1234, "on_response": True,
        "on_body": True, "on_complete": True, "on_redirect": False,
    }
    assert core.last_struct("request_create").timeout_ms == 2500
    assert core.calls("request_create")[-1]["engine"] == core.last_id("engine")

    protos = [ctypes.create_string_buffer(b, len(b)) for b in (b"chat", b"v2")]
    texts = (Text * 2)(Text(_ptr(protos[0]), 4), Text(_ptr(protos[1]), 2))
    ws_cfg = WebSocketConfig(struct_size=ctypes.sizeof(WebSocketConfig), abi_version=8)
    ws_cfg.callbacks = WebSocketCallbacks(ctypes.sizeof(WebSocketCallbacks), 8, 9)
    ws_cfg.protocols, ws_cfg.protocol_count, ws_cfg.timeout_ms = ctypes.addressof(texts), 2, 7
    ws = c_void_p()
    assert ks.ks_websocket_create(engine, byref(ws_cfg), byref(ws)) == 0
    rec = core.last_record("websocket_create")
    assert rec["protocols"] == [b"chat", b"v2"] and rec["headers"] is None
    assert rec["callbacks"]["on_open"] is False and rec["timeout_ms"] == 7
    assert core.last_struct("websocket_create").callbacks.user_data == 9

    for release, handle in ((ks.ks_websocket_release, ws), (ks.ks_request_release, req),
                            (ks.ks_engine_release, engine)):
        release(handle)
    assert core.live("engine") == live


def test_contract_violations_are_recorded_without_crashing(core, ks):
    cfg = EngineConfig(struct_size=ctypes.sizeof(EngineConfig), abi_version=8)
    out = c_void_p()
    assert ks.ks_engine_create(byref(cfg), byref(out)) == 0  # no ks_abi_version first
    core.set_abi_version(7)
    assert ks.ks_abi_version() == 7
    stale = c_void_p()
    ks.ks_engine_create(byref(cfg), byref(stale))  # the ABI was not 8
    core.set_abi_version(8)
    r = Recorder()
    req = _request(ks, out, r, start=False)
    ks.ks_request_release(req)
    ks.ks_request_release(req)
    assert ks.ks_request_start(req) == 5
    assert ks.ks_request_start(c_void_p(0xDEAD)) == 1
    ks.ks_engine_release(out)
    bad = _request_config(r)
    bad.struct_size, bad.callbacks.abi_version = 96, 7
    slot = c_void_p(0x1)
    ks.ks_request_create(out, byref(bad), byref(slot))
    found = core.take_violations()
    expected = [
        "ks_engine_create without a preceding ks_abi_version that returned 8",
        "ks_engine_create without a preceding ks_abi_version that returned 8",
        "ks_request_release: second release of request",
        "ks_request_start: called on released request",
        "ks_request_start: unknown request handle",
        "ks_request_create: on released engine",
        "ks_request_create: out slot not preset to null",
        "ks_request_create: record struct_size 96, expected 144",
        "ks_request_create: callbacks abi_version 7, expected 8",
    ]
    assert len(found) == len(expected)
    for text, prefix in zip(found, expected):
        assert text.startswith(prefix), (text, prefix)
    assert core.violations() == []


def test_scripted_statuses_handles_throws_and_versions(core, ks):
    engine = _engine(ks)
    r = Recorder()
    cfg = _request_config(r)
    core.push_status("request_create", 0, null_handle=True)
    core.push_status("request_create", 11)
    core.push_status("request_create", 3, handle_mode=2)
    before = core.live("request")
    results = []
    for _ in range(3):
        out = c_void_p()
        results.append((ks.ks_request_create(engine, byref(cfg), byref(out)), bool(out.value)))
    assert results == [(0, False), (11, False), (3, True)]
    assert [e["id"] > 0 for e in core.calls("request_create")] == [False, False, True]
    assert core.live("request") == before + 1
    req = _request(ks, engine, r, start=False)
    core.push_status("request_start", 9)
    core.push_status("request_start", 4)
    assert [ks.ks_request_start(req) for _ in range(3)] == [9, 4, 0]
    with pytest.raises(KstError):
        core.push_status("request_release", 1)
    core.throw_next("request_cancel")
    core.reset()  # a throw must never reach ctypes; reset drops it
    assert ks.ks_request_cancel(req) == 0
    assert core.wait_idle(10) and r.names() == ["on_complete"]  # r must outlive the delivery

    core.set_version_string(b"v\xff1")
    assert ks.ks_version_string() == b"v\xff1"
    core.set_version_string(None)
    assert ks.ks_version_string() is None
    assert core.calls("version_string")[-1]["result"] is None


def test_worker_threads_deliver_in_fifo_order_and_wait_idle_waits(core, ks):
    r = Recorder()
    req = _request(ks, _engine(ks), r)
    rid = core.last_id("request")
    assert core.req_response(rid, 200, b"head", where=1)
    for i in range(40):
        assert core.req_body(rid, b"a%d" % i, where=1) is None
        core.req_body(rid, b"b%d" % i, where=2)
    assert core.wait_idle(10)
    assert len(r.events) == 81
    by_worker = {}
    for tid, name, *args in r.events:
        by_worker.setdefault(tid, []).append(args[-1])
    main = threading.get_native_id()
    assert main not in by_worker and len(by_worker) == 2
    w1, w2 = sorted(by_worker.values(), key=lambda v: v[0] != b"head")
    assert w1 == [b"head"] + [b"a%d" % i for i in range(40)]
    assert w2 == [b"b%d" % i for i in range(40)]
    logged = {(e["worker"], e["tid"]) for e in core.callbacks()}
    assert {w for w, _ in logged} == {1, 2} and {t for _, t in logged} == set(by_worker)
    assert all(e["gil"] is False and e["returned"] is True for e in core.callbacks("on_body"))

    assert core.req_complete(rid, 0, 0)
    assert core.req_body(rid, b"late") == "dropped"
    assert core.callbacks("on_body", include_dropped=True)[-1]["dropped"] == "after terminal"
    ks.ks_request_release(req)
    assert core.wait_idle(10) and r.names().count("on_complete") == 1


def test_armed_deliveries_run_inside_the_call_on_its_thread(core, ks, ks_gil):
    r = Recorder(body_result=False)
    req = _request(ks, _engine(ks), r, start=False)
    with pytest.raises(KstError):
        core.req_body(None, b"x", where=ARMED)  # nothing armed yet
    core.arm("request_start")
    assert core.req_response(None, 201, b"h", where=ARMED)
    assert core.req_body(None, b"x", where=ARMED) is None
    core.req_complete(None, 0, 0, where=ARMED)
    assert r.events == []
    assert ks_gil.ks_request_start(req) == 0
    main = threading.get_native_id()
    assert [(e[0], e[1]) for e in r.events] == [
        (main, "on_response"), (main, "on_body"), (main, "on_complete")
    ]
    assert core.sequence()[-4:] == ["ks_request_start", "on_response", "on_body", "on_complete"]
    start, *cbs = core.log()[-4:]
    assert start["gil"] is True and all(e["worker"] == -1 and e["gil"] for e in cbs)
    assert cbs[1]["returned"] is False
    ks.ks_request_release(req)
    assert core.calls("request_release")[-1]["gil"] is False


def test_absurd_lengths_reach_the_callback_with_the_real_pointer(core, ks):
    r = Recorder(body_result=False)
    _request(ks, _engine(ks), r)
    core.set_claimed_len(SIZE_MAX)
    assert core.req_body(None, b"xyz") is False
    _, name, ptr, n, data = r.events[-1]
    assert (name, n, data) == ("on_body", SIZE_MAX, None) and ptr
    assert core.callbacks("on_body")[-1]["len"] == SIZE_MAX
    core.set_claimed_len(2**31, run=2)
    core.req_redirect(None, 301, b"", b"", b"t")
    assert r.events[-1][1:] == ("on_redirect", 0, 0, 2**31)
    core.req_body(None, b"ok")
    assert r.events[-1][3:] == (2, b"ok")
    core.req_body(None, None)
    core.req_body(None, b"")
    assert [(bool(e[2]), e[3]) for e in r.events[-2:]] == [(False, 0), (True, 0)]


def test_automatic_terminals_and_strict_mode(core, ks):
    engine = _engine(ks)
    r = Recorder()
    req = _request(ks, engine, r)
    ks.ks_request_release(req)
    assert core.wait_idle(10)
    assert r.events[-1][1:] == ("on_complete", 7, -3)
    assert core.callbacks("on_complete")[-1]["auto"] is True
    assert core.req_body(None, b"late") == "dropped"

    unstarted = Recorder()
    ks.ks_request_release(_request(ks, engine, unstarted, start=False))
    assert not core.req_response(None, 200, b"")
    assert core.callbacks("on_response", include_dropped=True)[-1]["dropped"] == (
        "released before start"
    )

    r2 = Recorder()
    req2 = _request(ks, engine, r2)
    core.push_status("request_cancel", 5)
    assert ks.ks_request_cancel(req2) == 5
    assert core.wait_idle(10) and r2.events == []
    assert ks.ks_request_cancel(req2) == 0
    assert core.wait_idle(10) and r2.names() == ["on_complete"]
    core.set_strict(False)
    assert core.req_body(None, b"rule broken") is True
    core.set_strict(True)
    ks.ks_request_release(req2)

    w = Recorder()
    core.set_auto(AUTO_DEFAULT | AUTO_WS_CLOSE)
    ws = _websocket(ks, engine, w)
    core.ws_open(None, b"chat", b"\xff")
    assert ks.ks_websocket_close(ws, 1000, b"bye", 3) == 0
    assert ks.ks_websocket_cancel(ws) == 0  # the close already queued the terminal
    ks.ks_websocket_release(ws)
    assert core.wait_idle(10)
    assert [e[1:] for e in w.events] == [("on_open", b"chat", b"\xff"), ("on_closed", 1000, b"bye")]
    w2 = Recorder()
    ks.ks_websocket_cancel(_websocket(ks, engine, w2))
    assert core.wait_idle(10) and w2.events[-1][1:] == ("on_error", 7, -3, 0, b"canceled")
    ks.ks_engine_release(engine)


def test_concurrent_calls_and_deliveries_from_many_threads(core, ks):
    engine = _engine(ks)
    recorders, errors = [], []

    def client():
        try:
            for _ in range(25):
                r = Recorder()
                recorders.append(r)
                ks.ks_request_release(_request(ks, engine, r))
        except Exception as exc:
            errors.append(exc)

    def deliverer():
        for i in range(200):
            rid = core.last_id("request")
            core.req_body(rid, b"d", where=1 + i % 4)
            core.req_response(rid, 200, b"", where=0)

    threads = [threading.Thread(target=client) for _ in range(3)]
    threads.append(threading.Thread(target=deliverer))
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert core.wait_idle(10) and not errors
    assert all(r.names().count("on_complete") == 1 for r in recorders)
    assert all(r.names()[-1] == "on_complete" for r in recorders)
    ks.ks_engine_release(engine)


@pytest.mark.parametrize("row, expected", [
    (("ks_text", "len", 0, 8), "ks_text.len: offset 0 size 8, mirror offset 8 size 8"),
    (("ks_text", "", 0, 24), "ks_text: size 24, mirror 16"),
    (("ks_text", "extra", 16, 8), "ks_text.extra (offset 16) is missing from the mirror"),
    (("ks_other", "", 0, 8), "ks_other has no mirror"),
])
def test_layout_check_names_each_difference(core, row, expected):
    table = [r for r in core.layout() if r[:2] != row[:2]] + [row]
    assert expected in layout_problems(table)
    assert layout_problems(core.layout()) == []
