"""ctypes driver of the scripted Core (tests/scripted_core), a test double of libkestrin.so.

Load it before anything imports ``corvina_native``: the library is opened with RTLD_GLOBAL, so
the module's ``libkestrin.so`` dependency binds to it by SONAME. Then script it with a
``ScriptedCore``: queue statuses, deliver callbacks now, on Core worker threads or inside a later
``ks_`` call, and read the log of every call and callback.

Log entries are dicts. Every entry has ``seq`` (increasing), ``tid`` (native thread id, compare
with ``threading.get_native_id()``) and ``gil`` (whether that thread held the interpreter lock,
None without an interpreter). Calls have ``fn`` and, for calls on an object, ``engine``,
``request`` or ``websocket`` (its id, 0 for an unknown handle), ``status`` for status results and
``threw`` for scripted throws. Create calls add ``record`` (the raw record bytes, parse with
``EngineConfig`` and friends), ``config`` (decoded deep copy: texts as bytes or None for a null
pointer, each with a ``<name>_len``; ``headers`` as [name, value] lists; ``callbacks`` with
``user_data`` and a bool per function pointer), ``out_was_null`` and ``id`` (0 without a handle).
Callbacks have ``cb``, the target's kind and id, ``worker`` (0 now, 1..4 worker thread, -1 armed),
their arguments, ``returned`` for on_body, ``auto`` for the Core's own deliveries and ``dropped``
(the reason) when strict mode refused them.
"""

from __future__ import annotations

import ctypes
import json
import os
import pathlib
from ctypes import (
    CFUNCTYPE,
    Structure,
    c_bool,
    c_char_p,
    c_int,
    c_int32,
    c_size_t,
    c_uint32,
    c_uint64,
    c_void_p,
)

REPO = pathlib.Path(__file__).resolve().parents[2]
DEFAULT_PATH = REPO / "build" / "dev" / "tests" / "scripted_core" / "libkestrin.so"

# `where` of the deliveries: now on the calling thread, a worker thread 1..4, or armed.
NOW = 0
ARMED = -1

AUTO_REQUEST_RELEASE = 0x1
AUTO_REQUEST_CANCEL = 0x2
AUTO_WS_RELEASE = 0x4
AUTO_WS_CANCEL = 0x8
AUTO_WS_CLOSE = 0x10
AUTO_DEFAULT = 0xF

SIZE_MAX = 2**64 - 1


# Mirrors of the Core records, 64-bit natural layout. Pointers are c_void_p so parsing a logged
# record never dereferences the (long freed) memory it pointed to.
class Header(Structure):
    _fields_ = [
        ("name", c_void_p),
        ("name_len", c_size_t),
        ("value", c_void_p),
        ("value_len", c_size_t),
    ]


class Text(Structure):
    _fields_ = [("data", c_void_p), ("len", c_size_t)]


class EngineConfig(Structure):
    _fields_ = [
        ("struct_size", c_uint32),
        ("abi_version", c_uint32),
        ("user_agent", c_void_p),
        ("user_agent_len", c_size_t),
        ("proxy", c_void_p),
        ("proxy_len", c_size_t),
        ("proxy_username", c_void_p),
        ("proxy_username_len", c_size_t),
        ("proxy_password", c_void_p),
        ("proxy_password_len", c_size_t),
        ("cache_disabled", c_uint32),
        ("accept_language", c_void_p),
        ("accept_language_len", c_size_t),
        ("impersonate", c_void_p),
        ("impersonate_len", c_size_t),
        ("profile_namespace", c_void_p),
        ("profile_namespace_len", c_size_t),
        ("http_version", c_uint32),
        ("cert_mode", c_uint32),
        ("ca_pem", c_void_p),
        ("ca_pem_len", c_size_t),
    ]


class RequestCallbacks(Structure):
    _fields_ = [
        ("struct_size", c_uint32),
        ("abi_version", c_uint32),
        ("user_data", c_void_p),
        ("on_response", c_void_p),
        ("on_body", c_void_p),
        ("on_complete", c_void_p),
        ("on_redirect", c_void_p),
    ]


class RequestConfig(Structure):
    _fields_ = [
        ("struct_size", c_uint32),
        ("abi_version", c_uint32),
        ("url", c_void_p),
        ("url_len", c_size_t),
        ("method", c_void_p),
        ("method_len", c_size_t),
        ("headers", c_void_p),
        ("header_count", c_size_t),
        ("timeout_ms", c_uint64),
        ("callbacks", RequestCallbacks),
        ("body", c_void_p),
        ("body_len", c_size_t),
        ("body_kind", c_uint32),
        ("cache_mode", c_uint32),
        ("redirect_mode", c_uint32),
        ("priority", c_uint32),
    ]


class WebSocketCallbacks(Structure):
    _fields_ = [
        ("struct_size", c_uint32),
        ("abi_version", c_uint32),
        ("user_data", c_void_p),
        ("on_open", c_void_p),
        ("on_message", c_void_p),
        ("on_closing", c_void_p),
        ("on_closed", c_void_p),
        ("on_error", c_void_p),
    ]


class WebSocketConfig(Structure):
    _fields_ = [
        ("struct_size", c_uint32),
        ("abi_version", c_uint32),
        ("url", c_void_p),
        ("url_len", c_size_t),
        ("origin", c_void_p),
        ("origin_len", c_size_t),
        ("protocols", c_void_p),
        ("protocol_count", c_size_t),
        ("headers", c_void_p),
        ("header_count", c_size_t),
        ("callbacks", WebSocketCallbacks),
        ("timeout_ms", c_uint64),
    ]


# Callback prototypes, for tests that call the ks_ functions through ctypes. Byte runs are
# c_void_p so a test can look at an absurd length without reading.
ON_RESPONSE = CFUNCTYPE(None, c_void_p, c_void_p, c_int32, c_void_p, c_size_t)
ON_BODY = CFUNCTYPE(c_bool, c_void_p, c_void_p, c_void_p, c_size_t)
ON_COMPLETE = CFUNCTYPE(None, c_void_p, c_void_p, c_uint32, c_int32)
ON_REDIRECT = CFUNCTYPE(
    None, c_void_p, c_void_p, c_int32, c_void_p, c_size_t, c_void_p, c_size_t, c_void_p, c_size_t
)
ON_OPEN = CFUNCTYPE(None, c_void_p, c_void_p, c_void_p, c_size_t, c_void_p, c_size_t)
ON_MESSAGE = CFUNCTYPE(None, c_void_p, c_void_p, c_uint32, c_uint32, c_void_p, c_size_t)
ON_CLOSING = CFUNCTYPE(None, c_void_p, c_void_p)
ON_CLOSED = CFUNCTYPE(None, c_void_p, c_void_p, c_uint32, c_uint32, c_void_p, c_size_t)
ON_ERROR = CFUNCTYPE(None, c_void_p, c_void_p, c_uint32, c_int32, c_int32, c_void_p, c_size_t)

RECORD_TYPES = {
    "ks_engine_create": EngineConfig,
    "ks_request_create": RequestConfig,
    "ks_websocket_create": WebSocketConfig,
}

# The C record each mirror copies; checked against the scripted Core's own table on load.
MIRRORS = {
    "ks_header": Header,
    "ks_text": Text,
    "ks_engine_config": EngineConfig,
    "ks_request_callbacks": RequestCallbacks,
    "ks_request_config": RequestConfig,
    "ks_websocket_callbacks": WebSocketCallbacks,
    "ks_websocket_config": WebSocketConfig,
}


class LayoutField(Structure):
    _fields_ = [("record", c_char_p), ("field", c_char_p), ("offset", c_size_t),
                ("size", c_size_t)]


class LayoutMismatch(RuntimeError):
    """The ctypes mirrors disagree with the records the scripted Core was compiled with."""


def layout_problems(table) -> list[str]:
    """Every difference between the mirrors and `table`, a list of (record, field, offset,
    size) with field "" for the record's own size."""
    problems = []
    seen = {name: set() for name in MIRRORS}
    for record, field, offset, size in table:
        mirror = MIRRORS.get(record)
        if mirror is None:
            problems.append(f"{record} has no mirror")
            continue
        if not field:
            if ctypes.sizeof(mirror) != size:
                problems.append(f"{record}: size {size}, mirror {ctypes.sizeof(mirror)}")
            continue
        seen[record].add(field)
        desc = getattr(mirror, field, None)
        if desc is None:
            problems.append(f"{record}.{field} (offset {offset}) is missing from the mirror")
        elif (desc.offset, desc.size) != (offset, size):
            problems.append(f"{record}.{field}: offset {offset} size {size}, "
                            f"mirror offset {desc.offset} size {desc.size}")
    for record, mirror in MIRRORS.items():
        for name, _ in mirror._fields_:
            if name not in seen[record]:
                problems.append(f"{record} has no field {name}; the mirror has")
    return problems


class KstError(RuntimeError):
    """A control call the scripted Core refused (unknown name, id or `where`)."""


def _hex_hook(obj):
    if len(obj) == 1 and "hex" in obj:
        return bytes.fromhex(obj["hex"])
    return obj


def _fn(name: str) -> bytes:
    return (name if name.startswith("ks_") else "ks_" + name).encode()


def _run(value):
    """A byte argument: None passes a null pointer, str is encoded as UTF-8."""
    if value is None:
        return None, 0
    if isinstance(value, str):
        value = value.encode()
    value = bytes(value)
    return value, len(value)


_SIGNATURES = {
    "kst_reset": (None, []),
    "kst_set_abi_version": (None, [c_uint32]),
    "kst_set_version_string": (None, [c_char_p, c_size_t, c_int]),
    "kst_push_status": (c_int, [c_char_p, c_uint32, c_int]),
    "kst_throw_next": (c_int, [c_char_p]),
    "kst_arm": (c_int, [c_char_p]),
    "kst_set_strict": (None, [c_int]),
    "kst_set_auto": (None, [c_uint32]),
    "kst_set_claimed_len": (c_int, [c_size_t, c_int]),
    "kst_clear_violations": (None, []),
    "kst_req_response": (c_int, [c_uint64, c_int, c_int32, c_char_p, c_size_t]),
    "kst_req_body": (c_int, [c_uint64, c_int, c_char_p, c_size_t]),
    "kst_req_complete": (c_int, [c_uint64, c_int, c_uint32, c_int32]),
    "kst_req_redirect": (
        c_int,
        [c_uint64, c_int, c_int32, c_char_p, c_size_t, c_char_p, c_size_t, c_char_p, c_size_t],
    ),
    "kst_ws_open": (c_int, [c_uint64, c_int, c_char_p, c_size_t, c_char_p, c_size_t]),
    "kst_ws_message": (c_int, [c_uint64, c_int, c_uint32, c_uint32, c_char_p, c_size_t]),
    "kst_ws_closing": (c_int, [c_uint64, c_int]),
    "kst_ws_closed": (c_int, [c_uint64, c_int, c_uint32, c_uint32, c_char_p, c_size_t]),
    "kst_ws_error": (
        c_int,
        [c_uint64, c_int, c_uint32, c_int32, c_int32, c_char_p, c_size_t],
    ),
    "kst_log_json": (c_size_t, [c_char_p, c_size_t]),
    "kst_violations_json": (c_size_t, [c_char_p, c_size_t]),
    "kst_last_id": (c_uint64, [c_char_p]),
    "kst_live": (c_int, [c_char_p]),
    "kst_wait_idle": (None, []),
    "kst_wait_idle_ms": (c_int, [c_uint64]),
    "kst_layout": (ctypes.POINTER(LayoutField), [ctypes.POINTER(c_size_t)]),
}


class ScriptedCore:
    """Driver of the scripted Core. Every call releases the interpreter lock (ctypes.CDLL)."""

    def __init__(self, path: str | os.PathLike | None = None):
        path = pathlib.Path(path or os.environ.get("CORVINA_SCRIPTED_CORE") or DEFAULT_PATH)
        self.path = path.resolve()
        if not self.path.is_file():
            raise FileNotFoundError(
                f"scripted Core not built: {self.path} (configure with -DCORVINA_BUILD_TESTING=ON "
                "and build the kestrin_scripted target, or set CORVINA_SCRIPTED_CORE)"
            )
        self.lib = ctypes.CDLL(str(self.path), mode=ctypes.RTLD_GLOBAL)
        for name, (restype, argtypes) in _SIGNATURES.items():
            f = getattr(self.lib, name)
            f.restype = restype
            f.argtypes = argtypes
        problems = layout_problems(self.layout())
        if problems:
            raise LayoutMismatch("tests/support/kst.py's records differ from the C interface "
                                 f"of {self.path}:\n  " + "\n  ".join(problems))

    def layout(self) -> list[tuple[str, str, int, int]]:
        """(record, field, offset, size) as the scripted Core was compiled; field "" gives the
        record's size."""
        count = c_size_t()
        rows = self.lib.kst_layout(ctypes.byref(count))
        return [(rows[i].record.decode(), rows[i].field.decode(), rows[i].offset, rows[i].size)
                for i in range(count.value)]

    # Settings and scripts.

    def reset(self) -> None:
        """Wait for idle, then clear log, violations, scripts and settings (ids keep counting)."""
        self.lib.kst_reset()

    def set_abi_version(self, version: int) -> None:
        self.lib.kst_set_abi_version(version)

    def set_version_string(self, value: bytes | str | None) -> None:
        """What ks_version_string returns: None gives NULL; any bytes, NUL-terminated."""
        data, n = _run(value)
        self.lib.kst_set_version_string(data, n, 1 if value is None else 0)

    def push_status(
        self, fn: str, status: int, null_handle: bool = False, handle_mode: int | None = None
    ) -> None:
        """Queue `status` for the next call of `fn` (FIFO per function).

        For the create functions, `null_handle` makes a status-0 call leave the out slot null;
        `handle_mode=2` writes a handle even with a failure status."""
        mode = handle_mode if handle_mode is not None else (1 if null_handle else 0)
        if self.lib.kst_push_status(_fn(fn), status, mode) != 0:
            raise KstError(f"cannot queue a status for {fn} (mode {mode})")

    def throw_next(self, fn: str) -> None:
        """The next call of `fn` throws std::runtime_error out of the ks_ function, no effect."""
        if self.lib.kst_throw_next(_fn(fn)) != 0:
            raise KstError(f"unknown function {fn}")

    def arm(self, fn: str) -> None:
        """Deliveries with where=ARMED run inside the next call of `fn`, on its thread."""
        if self.lib.kst_arm(_fn(fn)) != 0:
            raise KstError(f"unknown function {fn}")

    def set_strict(self, on: bool) -> None:
        self.lib.kst_set_strict(1 if on else 0)

    def set_auto(self, flags: int) -> None:
        """AUTO_* bits: what release, cancel and close deliver by themselves to worker 1."""
        self.lib.kst_set_auto(flags)

    def set_claimed_len(self, length: int, run: int = 0) -> None:
        """The next delivery passes `length` for its byte run `run` instead of the real one."""
        if self.lib.kst_set_claimed_len(length, run) != 0:
            raise KstError(f"bad run index {run}")

    # Deliveries. `rid` / `wid` None means the latest request / WebSocket.

    def _id(self, kind: str, ident):
        return self.last_id(kind) if ident is None else ident

    @staticmethod
    def _check(result: int) -> int:
        if result == -3:
            raise KstError("unknown id, bad `where`, or ARMED without arm()")
        return result

    def req_response(self, rid=None, status: int = 200, head=b"", where: int = NOW) -> bool:
        """on_response; True unless dropped at once."""
        h, hn = _run(head)
        rid = self._id("request", rid)
        return self._check(self.lib.kst_req_response(rid, where, status, h, hn)) != -2

    def req_body(self, rid=None, data=b"", where: int = NOW):
        """on_body; delivered now: its result as bool; queued or armed: None; dropped: 'dropped'."""
        d, n = _run(data)
        r = self._check(self.lib.kst_req_body(self._id("request", rid), where, d, n))
        return {1: True, 0: False, -1: None, -2: "dropped"}[r]

    def req_complete(self, rid=None, status: int = 0, net_error: int = 0, where: int = NOW):
        rid = self._id("request", rid)
        return self._check(self.lib.kst_req_complete(rid, where, status, net_error)) != -2

    def req_redirect(
        self, rid=None, status: int = 302, head=b"", from_url=b"", to_url=b"", where: int = NOW
    ):
        h, hn = _run(head)
        f, fn_ = _run(from_url)
        t, tn = _run(to_url)
        rid = self._id("request", rid)
        r = self.lib.kst_req_redirect(rid, where, status, h, hn, f, fn_, t, tn)
        return self._check(r) != -2

    def ws_open(self, wid=None, protocol=b"", detail=b"", where: int = NOW):
        p, pn = _run(protocol)
        d, dn = _run(detail)
        wid = self._id("websocket", wid)
        return self._check(self.lib.kst_ws_open(wid, where, p, pn, d, dn)) != -2

    def ws_message(self, wid=None, data=b"", type: int = 1, flags: int = 0, where: int = NOW):
        d, n = _run(data)
        wid = self._id("websocket", wid)
        return self._check(self.lib.kst_ws_message(wid, where, type, flags, d, n)) != -2

    def ws_closing(self, wid=None, where: int = NOW):
        return self._check(self.lib.kst_ws_closing(self._id("websocket", wid), where)) != -2

    def ws_closed(self, wid=None, code: int = 1000, reason=b"", was_clean: int = 1, where=NOW):
        r, rn = _run(reason)
        wid = self._id("websocket", wid)
        return self._check(self.lib.kst_ws_closed(wid, where, was_clean, code, r, rn)) != -2

    def ws_error(
        self, wid=None, status: int = 8, net_error: int = 0, response_code: int = 0,
        message=b"", where: int = NOW,
    ):
        m, mn = _run(message)
        wid = self._id("websocket", wid)
        r = self.lib.kst_ws_error(wid, where, status, net_error, response_code, m, mn)
        return self._check(r) != -2

    # Inspection.

    def _json(self, f):
        n = f(None, 0)
        while True:
            buf = ctypes.create_string_buffer(n + 1)
            m = f(buf, n + 1)
            if m <= n:
                return json.loads(buf.raw[:m], object_hook=_hex_hook)
            n = m

    def log(self) -> list[dict]:
        return self._json(self.lib.kst_log_json)

    def calls(self, fn: str | None = None) -> list[dict]:
        """Call entries, all or those of one ks_ function."""
        return [e for e in self.log() if "fn" in e and (fn is None or e["fn"] == _fn(fn).decode())]

    def callbacks(self, cb: str | None = None, include_dropped: bool = False) -> list[dict]:
        """Callback entries that ran (with include_dropped, also the refused ones)."""
        return [
            e
            for e in self.log()
            if "cb" in e
            and (cb is None or e["cb"] == cb)
            and (include_dropped or "dropped" not in e)
        ]

    def sequence(self) -> list[str]:
        """Names of every call and callback that ran, in log order."""
        return [e.get("fn") or e["cb"] for e in self.log() if "dropped" not in e]

    def last_record(self, fn: str) -> dict:
        """The decoded record of the latest call of a create function."""
        found = self.calls(fn)
        if not found:
            raise KstError(f"no call of {fn} logged")
        return found[-1]["config"]

    def last_struct(self, fn: str):
        """The latest create record as its ctypes structure (pointers are stale addresses)."""
        fn = _fn(fn).decode()
        return RECORD_TYPES[fn].from_buffer_copy(self.calls(fn)[-1]["record"])

    def violations(self) -> list[str]:
        """Contract violations by the caller since the last reset."""
        return self._json(self.lib.kst_violations_json)

    def take_violations(self) -> list[str]:
        """Violations so far, then forgets them (for tests that provoke them on purpose)."""
        found = self.violations()
        self.lib.kst_clear_violations()
        return found

    def last_id(self, kind: str) -> int:
        """Latest id of "engine", "request" or "websocket" (ids count from 1, never reused)."""
        return self.lib.kst_last_id(kind.encode())

    def live(self, kind: str) -> int:
        """Objects of that kind created and not yet released."""
        return self.lib.kst_live(kind.encode())

    def wait_idle(self, timeout: float | None = None) -> bool:
        """Block until no delivery is queued or running; False if `timeout` seconds ran out."""
        if timeout is None:
            self.lib.kst_wait_idle()
            return True
        return self.lib.kst_wait_idle_ms(int(timeout * 1000)) == 1


__all__ = [
    "ScriptedCore",
    "KstError",
    "Header",
    "Text",
    "EngineConfig",
    "RequestConfig",
    "RequestCallbacks",
    "WebSocketConfig",
    "WebSocketCallbacks",
    "NOW",
    "ARMED",
    "SIZE_MAX",
]
