"""WebSockets across threads: blocking recv while other threads call in, Core threads feeding
the queue, signals during recv, and an asyncio loop driving a connection."""

import asyncio
import signal
import threading
import time

import pytest

import corvina_native as cn

pytestmark = pytest.mark.concurrency

JOIN = 20.0  # seconds; only a deadlock comes near it


def new_ws():
    return cn.PyEngine().websocket("wss://example.test/")


class Runner(threading.Thread):
    """Runs fn on its own thread and keeps its result or exception."""

    def __init__(self, fn):
        super().__init__(daemon=True)
        self.fn = fn
        self.result = None
        self.error = None

    def run(self):
        try:
            self.result = self.fn()
        except BaseException as e:  # noqa: BLE001 - handed to the test thread
            self.error = e

    def outcome(self):
        self.join(JOIN)
        assert not self.is_alive(), "thread did not finish"
        if self.error is not None:
            raise self.error
        return self.result


def wait_blocked(thread):
    # Give the thread time to enter its wait; the assertions do not depend on it.
    time.sleep(0.2)
    assert thread.is_alive()


def test_recv_waits_while_other_threads_send_cancel_and_poll(core):
    ws = new_ws()
    ws.connect()
    reader = Runner(ws.recv)
    reader.start()
    wait_blocked(reader)
    # The blocked reader holds neither the interpreter lock nor anything these need.
    ws.send_text("ping")
    ws.send_bytes(b"\x01")
    assert ws.is_finished() is False
    ws.detach_callback()
    ws.cancel()  # the Core answers with on_error(Canceled) on its own thread
    assert reader.outcome() == ("error", b"", None, "Canceled (Chromium net error -3, response 0)")
    assert ws.poll_events() == [] and ws.poll_event() is None and ws.recv() is None
    assert [c["kind"] for c in core.calls("ks_websocket_send")] == [1, 2]


def test_poll_on_another_thread_beside_a_blocked_recv(core):
    ws = new_ws()
    ws.connect()
    reader = Runner(ws.recv)
    reader.start()
    wait_blocked(reader)
    # Queued on a Core thread: it wakes the reader, after which the poll gets the next one.
    core.ws_message(data=b"one", where=1)
    core.ws_message(data=b"two", where=1)
    core.wait_idle()
    assert reader.outcome() == ("text", b"one", None, None)
    assert ws.poll_events() == [("text", b"two", None, None)]


def test_recv_from_several_threads_gets_every_event_once(core):
    ws = new_ws()
    ws.connect()
    readers = []
    got = []
    lock = threading.Lock()

    def read_all():
        while (event := ws.recv()) is not None:
            with lock:
                got.append(event)

    for _ in range(3):
        readers.append(Runner(read_all))
        readers[-1].start()
    for i in range(300):
        core.ws_message(data=b"%d" % i, where=1 + i % 2)
    core.wait_idle()
    core.ws_closed(code=1000, where=1)
    for r in readers:
        r.outcome()
    payloads = sorted(int(e[1]) for e in got if e[0] == "text")
    assert payloads == list(range(300))
    assert [e[0] for e in got].count("closed") == 1


def test_recv_in_the_main_thread_is_not_interrupted_by_signals(core):
    if threading.current_thread() is not threading.main_thread():
        pytest.skip("signals are handled on the main thread only")
    ws = new_ws()
    ws.connect()
    seen = []
    previous = signal.signal(signal.SIGUSR1, lambda *_: seen.append("signal"))
    main = threading.get_ident()

    def poke():
        time.sleep(0.2)
        signal.pthread_kill(main, signal.SIGUSR1)
        time.sleep(0.2)
        core.ws_message(data=b"after the signal", where=1)

    helper = Runner(poke)
    helper.start()
    try:
        event = ws.recv()
        seen.append("recv")
    finally:
        helper.outcome()
        signal.signal(signal.SIGUSR1, previous)
    assert event == ("text", b"after the signal", None, None)
    assert "signal" in seen  # handled once recv had returned


def test_core_threads_and_pollers_on_many_connections(core):
    count = 4
    sockets, ids = [], []
    for _ in range(count):
        sockets.append(new_ws())
        ids.append(core.last_id("websocket"))
        sockets[-1].connect()
    results = [[] for _ in range(count)]

    def poller(k):
        ws = sockets[k]
        while True:
            events = ws.poll_events(16)
            results[k].extend(events)
            if events and events[-1][0] in ("closed", "error"):
                return
            if not events:
                time.sleep(0.001)

    threads = [Runner(lambda k=k: poller(k)) for k in range(count)]
    for t in threads:
        t.start()
    for i in range(200):
        for k, wid in enumerate(ids):
            core.ws_message(wid, data=b"%d" % i, where=1 + k)
    for k, wid in enumerate(ids):
        core.ws_closed(wid, code=1000 + k, where=1 + k)
    for t in threads:
        t.outcome()
    for k in range(count):
        assert [e[1] for e in results[k][:-1]] == [b"%d" % i for i in range(200)]
        assert results[k][-1] == ("closed", b"", 1000 + k, "")


def test_asyncio_loop_drives_a_connection(core):
    async def main():
        loop = asyncio.get_running_loop()
        done = loop.create_future()
        received = []
        polls = 0
        ws = new_ws()

        def notify():
            nonlocal polls
            polls += 1
            # One notification may stand for more than a batch: drain until a short one.
            while True:
                batch = ws.poll_events()
                received.extend(batch)
                if batch and batch[-1][0] in ("closed", "error") and not done.done():
                    done.set_result(None)
                if len(batch) < 64:
                    break

        ws.start_async(loop, notify)
        wid = core.last_id("websocket")
        core.ws_open(wid, protocol=b"chat", where=1)
        for i in range(150):
            core.ws_message(wid, data=b"m%d" % i, type=1 + i % 2, where=1)
            if i % 50 == 0:
                await asyncio.sleep(0)
        ws.send_text("from the loop")
        core.ws_closing(wid, where=1)
        core.ws_closed(wid, code=1000, reason=b"bye", where=1)
        await asyncio.wait_for(done, JOIN)
        return ws, received, polls

    ws, received, polls = asyncio.run(main())
    assert received[0] == ("open", b"chat", None, None)
    assert [e[1] for e in received[1:151]] == [b"m%d" % i for i in range(150)]
    assert [e[0] for e in received[1:151]] == ["text", "binary"] * 75
    assert received[151:] == [("closing", b"", None, None), ("closed", b"", 1000, "bye")]
    # Coalesced: at most one scheduled call per poll, far fewer than the events.
    assert 1 <= polls <= len(received)
    assert ws.poll_events() == []
    assert core.calls("ks_websocket_send")[-1]["data"] == b"from the loop"


def test_asyncio_loop_closed_before_the_end(core):
    ws = new_ws()
    loop = asyncio.new_event_loop()
    ws.start_async(loop, lambda: None)
    loop.close()
    # call_soon_threadsafe now raises on the Core thread; nothing escapes and events queue on.
    core.ws_message(data=b"a", where=1)
    core.ws_closed(code=1000, where=1)
    core.wait_idle()
    assert ws.poll_events() == [("text", b"a", None, None), ("closed", b"", 1000, "")]
