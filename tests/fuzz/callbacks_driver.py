"""Decodes a fuzz input into scripted Core callbacks and Python API calls on one request or
WebSocket, and fails on anything but the documented RuntimeError or a broken Core contract.

Run by fuzz_callbacks (an embedded interpreter); `run(data)` is called once per input.
Blocking calls are made only when they cannot block: after the object finished, or (for the
head) after a head was delivered. A hang is therefore a fault, reported by libFuzzer's timeout.
"""

import gc
import os

import corvina_native as cn
from support.kst import ARMED, NOW, ScriptedCore

CORE = ScriptedCore()
ENGINE = cn.PyEngine()
URL = "http://127.0.0.1/"
WS_URL = "ws://127.0.0.1/"
MAX_STEPS = 48
IDLE_LIMIT = 10.0
# Lengths no genuine callback passes: the request state refuses runs longer than any Python
# object, the WebSocket state runs of 2^31 bytes or more. Smaller lies would make the module
# read past the scripted copy, which no test Core can make safe.
REQUEST_ABSURD = (2**63, 2**64 - 1, 2**63 + 12345)
WS_ABSURD = (2**31, 2**40, 2**63, 2**64 - 1)


# CORVINA_FUZZ_TRACE=1 prints every event polled, to read what a crashing input did.
TRACE = bool(os.environ.get("CORVINA_FUZZ_TRACE"))


class Fault(Exception):
    """A result the module must never give."""


class Input:
    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def more(self) -> bool:
        return self.pos < len(self.data)

    def byte(self) -> int:
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def u32(self) -> int:
        return int.from_bytes(bytes(self.byte() for _ in range(4)), "little")

    def i32(self) -> int:
        v = self.u32()
        return v - 2**32 if v >= 2**31 else v

    def status(self) -> int:
        # Mostly plausible values, sometimes any 32-bit pattern.
        b = self.byte()
        if b < 200:
            return (100, 200, 204, 206, 301, 302, 303, 304, 307, 308, 404, 500)[b % 12]
        return self.i32()

    def core_status(self) -> int:
        b = self.byte()
        return b % 17 if b < 240 else self.u32()

    def blob(self):
        n = self.byte()
        if n == 255:
            return None  # a null pointer
        if n >= 200:
            n = (n - 200) * 64  # up to 3 KiB
        chunk = self.data[self.pos : self.pos + n]
        self.pos += len(chunk)
        return chunk

    def choice(self, seq):
        return seq[self.byte() % len(seq)]


def where(inp: Input) -> int:
    # Mostly now; sometimes a Core worker thread (waited for at once) or armed in a ks_ call.
    b = inp.byte() % 8
    return 1 if b == 6 else (ARMED if b == 7 else NOW)


def lie_about_length(inp: Input, runs, absurd):
    """Sometimes claims another length for one byte run of the next delivery: shorter than the
    real run (always safe) or absurd (a callback fault)."""
    b = inp.byte()
    if b < 224:
        return
    run = b % len(runs)
    real = len(runs[run]) if runs[run] is not None else 0
    if b & 1 and real:
        CORE.set_claimed_len(inp.byte() % real, run)
    else:
        CORE.set_claimed_len(absurd[inp.byte() % len(absurd)], run)


def settle():
    if not CORE.wait_idle(IDLE_LIMIT):
        raise Fault("scripted Core deliveries did not finish (deadlock in a callback?)")


class Loop:
    def __init__(self):
        self.calls = 0

    def call_soon_threadsafe(self, fn):
        self.calls += 1


def notify():
    pass


def expect(fn, *args, allowed=(RuntimeError,)):
    try:
        return fn(*args)
    except allowed:
        return None


def check_request_event(ev):
    if TRACE:
        print("request event", ev)
    kind, status, head, body, error = ev
    if kind not in ("redirect", "response", "body", "done", "error"):
        raise Fault(f"unknown request event kind {kind!r}")
    if not (isinstance(status, int) and isinstance(head, bytes) and isinstance(body, bytes)):
        raise Fault(f"malformed request event {ev!r}")
    if error is not None and not isinstance(error, str):
        raise Fault(f"malformed request event error {ev!r}")


def check_ws_event(ev):
    if TRACE:
        print("websocket event", ev)
    kind, payload, code, text = ev
    if kind not in ("open", "text", "binary", "closing", "closed", "error"):
        raise Fault(f"unknown WebSocket event kind {kind!r}")
    if not isinstance(payload, bytes):
        raise Fault(f"malformed WebSocket event {ev!r}")
    if code is not None and not 0 <= code <= 0xFFFF:
        raise Fault(f"close code out of range in {ev!r}")
    if text is not None:
        text.encode("utf-8")  # a lone surrogate would raise here


def drive_request(inp: Input):
    mode = inp.byte()
    req = ENGINE.request(
        "POST" if mode & 1 else "GET",
        URL,
        redirect=("follow", "manual", "error")[(mode >> 1) % 3],
        chunked=bool(mode & 8),
    )
    use_async = bool(mode & 16)
    loop = Loop()
    if use_async:
        req.start_async(loop, notify)
    else:
        req.start()
    head_seen = False
    response = None
    for _ in range(MAX_STEPS):
        if not inp.more():
            break
        op = inp.byte() % 16
        w = where(inp)
        if w == ARMED:
            CORE.arm(inp.choice(("ks_request_resume_read", "ks_request_cancel",
                                 "ks_request_follow_redirect", "ks_request_upload_write")))
        if op <= 2:
            st, head = inp.status(), inp.blob()
            lie_about_length(inp, [head], REQUEST_ABSURD)
            if CORE.req_response(status=st, head=head, where=w) and w == NOW:
                head_seen = True
        elif op <= 5:
            data = inp.blob()
            lie_about_length(inp, [data], REQUEST_ABSURD)
            CORE.req_body(data=data, where=w)
        elif op == 6:
            CORE.req_complete(status=inp.core_status(), net_error=inp.i32(), where=w)
        elif op == 7:
            st, head, f, t = inp.status(), inp.blob(), inp.blob(), inp.blob()
            lie_about_length(inp, [head, f, t], REQUEST_ABSURD)
            CORE.req_redirect(status=st, head=head, from_url=f, to_url=t, where=w)
        elif op == 8:
            if use_async:
                for ev in req.poll_events(inp.byte()):
                    check_request_event(ev)
            elif head_seen or req.is_finished():
                response = expect(req.await_response)
        elif op == 9:
            if req.is_finished():
                if inp.byte() & 1:
                    expect(req.read_body)
                else:
                    expect(req.next_body)
        elif op == 10:
            if response is not None:
                if not isinstance(response.headers, bytes) or not isinstance(
                    response.status_code, int
                ):
                    raise Fault("malformed response")
                response.content
        elif op == 11:
            expect(inp.choice((req.resume_read, req.follow_redirect, req.cancel,
                               req.take_redirects, req.detach_callback)))
        elif op == 12:
            expect(req.wait_redirect, 0)
            expect(req.wait_manual, 0)
        elif op == 13:
            expect(req.upload_write, inp.blob() or b"", bool(inp.byte() & 1))
            if inp.byte() & 1:
                expect(req.upload_finish)
        elif op == 14:
            ev = req.poll_event() if use_async else None
            if ev is not None:
                check_request_event(ev)
        else:
            settle()
        if w != NOW:
            settle()
    if req.is_finished():
        if use_async:
            for ev in req.poll_events(1 << 20):
                check_request_event(ev)
        else:
            expect(req.read_body)


def drive_websocket(inp: Input):
    mode = inp.byte()
    ws = ENGINE.websocket(WS_URL, protocols=["chat"] if mode & 1 else None)
    use_async = bool(mode & 2)
    if use_async:
        ws.start_async(Loop(), notify)
    else:
        expect(ws.connect)
    for _ in range(MAX_STEPS):
        if not inp.more():
            break
        op = inp.byte() % 14
        w = where(inp)
        if w == ARMED:
            CORE.arm(inp.choice(("ks_websocket_send", "ks_websocket_close",
                                 "ks_websocket_cancel")))
        if op <= 1:
            p, d = inp.blob(), inp.blob()
            lie_about_length(inp, [p, d], WS_ABSURD)
            CORE.ws_open(protocol=p, detail=d, where=w)
        elif op <= 4:
            kind, flags, data = inp.byte() % 4, inp.u32(), inp.blob()
            lie_about_length(inp, [data], WS_ABSURD)
            CORE.ws_message(data=data, type=kind, flags=flags, where=w)
        elif op == 5:
            CORE.ws_closing(where=w)
        elif op == 6:
            code = inp.u32() if inp.byte() & 1 else inp.choice((1000, 1001, 1005, 1006, 4000))
            reason = inp.blob()
            lie_about_length(inp, [reason], WS_ABSURD)
            CORE.ws_closed(code=code, reason=reason, was_clean=inp.byte() & 1, where=w)
        elif op == 7:
            msg = inp.blob()
            lie_about_length(inp, [msg], WS_ABSURD)
            CORE.ws_error(status=inp.core_status(), net_error=inp.i32(),
                          response_code=inp.i32(), message=msg, where=w)
        elif op == 8:
            for ev in ws.poll_events(inp.byte()):
                check_ws_event(ev)
        elif op == 9:
            if ws.is_finished():
                ev = expect(ws.recv)
                if ev is not None:
                    check_ws_event(ev)
        elif op == 10:
            data = inp.blob() or b""
            if inp.byte() & 1:
                expect(ws.send_bytes, data)
            else:
                expect(ws.send_text, data.decode("utf-8", "replace"))
        elif op == 11:
            code = inp.u32() % 70000
            reason = (inp.blob() or b"").decode("utf-8", "replace")
            expect(ws.close, code, reason, allowed=(RuntimeError, ValueError, OverflowError))
        elif op == 12:
            expect(inp.choice((ws.cancel, ws.detach_callback)))
        else:
            settle()
        if w != NOW:
            settle()
    if ws.is_finished():
        for ev in ws.poll_events(1 << 20):
            check_ws_event(ev)
        if not use_async and expect(ws.recv) is not None:
            raise Fault("recv after the stream was drained returned an event")


def run(data: bytes) -> None:
    settle()
    CORE.reset()
    inp = Input(data)
    if inp.byte() & 1:
        drive_websocket(inp)
    else:
        drive_request(inp)
    gc.collect()
    settle()
    if TRACE:
        print("sequence", CORE.sequence())
    problems = CORE.violations()
    if problems:
        raise Fault("Core contract violated: " + "; ".join(problems))
    if CORE.live("request") or CORE.live("websocket"):
        raise Fault("a request or WebSocket was not released")
