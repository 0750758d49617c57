"""Eight threads on one object at once, as a free-threaded interpreter runs them truly in parallel:
body readers against cancel, pollers against detach_callback, recv against close, and requests
from many threads on one engine. Every event must arrive once: none lost, none twice."""

import gc
import os
import sys
import sysconfig
import threading
import time

import pytest

import corvina_native as cn
from support.kst import ARMED
from support.loops import CountingLoop

pytestmark = pytest.mark.concurrency

URL = "http://127.0.0.1/"
THREADS = 8
ROUNDS = 5
JOIN = 30.0


def notify():
    pass


def hammer(*targets):
    """Runs the targets on threads released together; re-raises the first failure."""
    errors = []
    start = threading.Barrier(len(targets))

    def body(fn):
        try:
            start.wait(JOIN)
            fn()
        except BaseException as e:  # noqa: BLE001 - handed to the test thread
            errors.append(e)

    threads = [threading.Thread(target=body, args=(t,), daemon=True) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN)
    if errors:
        raise errors[0]
    assert not any(t.is_alive() for t in threads), "deadlock"


@pytest.mark.parametrize("read", ["next_body", "read_body"])
def test_body_readers_against_cancel(core, read):
    for _ in range(ROUNDS):
        req = cn.PyEngine().request("GET", URL)
        core.arm("ks_request_start")
        core.req_response(status=200, where=ARMED)
        req.start_stream()
        sent = [i.to_bytes(4, "big") for i in range(400)]
        for i, chunk in enumerate(sent):
            core.req_body(data=chunk, where=1 + i % 4)
        got, lock, outcomes = [], threading.Lock(), []

        def reader():
            try:
                if read == "read_body":
                    data = req.read_body()
                    with lock:
                        got.extend(data[i : i + 4] for i in range(0, len(data), 4))
                    return
                while (chunk := req.next_body()) is not None:
                    with lock:
                        got.extend(chunk[i : i + 4] for i in range(0, len(chunk), 4))
            except RuntimeError as e:
                with lock:
                    outcomes.append(str(e))

        def canceler():
            core.wait_idle(10)
            req.cancel()

        hammer(*[reader] * (THREADS - 1), canceler)
        assert len(got) == len(set(got)), "a chunk was read twice"
        assert set(got) <= set(sent)
        assert all(o.startswith("Canceled") for o in outcomes), outcomes
        assert core.wait_idle(10)


def test_pollers_against_detach_callback(core):
    for round_ in range(ROUNDS):
        req = cn.PyEngine().request("GET", URL)
        loop = CountingLoop()
        req.start_async(loop, notify)
        core.req_response(status=200)
        for i in range(600):
            core.req_body(data=i.to_bytes(4, "big"), where=1 + i % 4)
        core.req_complete(where=1)
        seen, lock = [], threading.Lock()
        detached = threading.Event()

        def poller():
            while True:
                batch = req.poll_events(5)
                with lock:
                    seen.extend(batch)
                if (batch and batch[-1][0] in ("done", "error")) or (detached.is_set() and not batch):
                    return

        def detacher():
            # Early in one round, late in another: detaching lets the request's events go.
            time.sleep(0.002 * round_)
            req.detach_callback()
            detached.set()

        hammer(*[poller] * (THREADS - 1), detacher)
        kinds = [e[0] for e in seen]
        assert kinds.count("response") <= 1 and kinds.count("done") <= 1
        # Chunks that queued up together may come as one event.
        pieces = [e[3][i : i + 4] for e in seen if e[0] == "body" for i in range(0, len(e[3]), 4)]
        assert len(pieces) == len(set(pieces)), "an event was polled twice"
        assert set(pieces) <= {i.to_bytes(4, "big") for i in range(600)}
        assert core.wait_idle(10)


def test_recv_against_close(core):
    for _ in range(ROUNDS):
        ws = cn.PyEngine().websocket("wss://example.test/")
        ws.connect()
        for i in range(300):
            core.ws_message(data=b"%d" % i, where=1 + i % 4)
        got, lock = [], threading.Lock()

        def reader():
            while (event := ws.recv()) is not None:
                with lock:
                    got.append(event)

        def closer():
            core.wait_idle(10)
            ws.close(1000, "bye")
            core.ws_closed(code=1000, where=2)

        hammer(*[reader] * (THREADS - 1), closer)
        texts = sorted(int(e[1]) for e in got if e[0] == "text")
        assert texts == list(range(300))
        assert [e[0] for e in got].count("closed") == 1
        assert core.wait_idle(10)


def test_requests_from_many_threads_on_one_engine(core):
    # Requests that earlier tests of the session still hold are not this test's concern.
    gc.collect()
    assert core.wait_idle(10)
    base_live = core.live("request")
    engine = cn.PyEngine()
    per_thread = 25

    def client(t):
        def run():
            for k in range(per_thread):
                req = engine.request("GET", URL + f"{t}/{k}")
                rid = next(c["id"] for c in reversed(core.calls("ks_request_create"))
                           if c["tid"] == threading.get_native_id())
                req.start()
                w = 1 + (t + k) % 4
                core.req_response(rid, status=200 + t, head=b"%d" % k, where=w)
                core.req_body(rid, data=b"%d/%d" % (t, k), where=w)
                core.req_complete(rid, where=w)
                response = req.await_response()
                assert (response.status_code, response.headers) == (200 + t, b"%d" % k)
                assert req.read_body() == b"%d/%d" % (t, k)

        return run

    hammer(*[client(t) for t in range(THREADS)])
    # Without the lock, an object that another thread let go of may wait for a collection.
    gc.collect()
    assert core.wait_idle(10)
    assert core.live("request") == base_live


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="interpreter with the lock")
def test_the_lock_stays_off(core):
    if os.environ.get("PYTHON_GIL") == "1":
        pytest.skip("the lock was forced on")
    # Importing a module that does not declare itself safe turns the lock on for the process;
    # the whole session has used every class by now.
    engine = cn.PyEngine()
    req = engine.request("GET", URL)
    req.start()
    core.req_response(status=200)
    core.req_complete()
    req.await_response()
    ws = engine.websocket("wss://example.test/")
    ws.cancel()
    assert not sys._is_gil_enabled()
