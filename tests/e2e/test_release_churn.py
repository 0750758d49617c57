"""Engines, requests and WebSockets released in every state a transfer can be in: receiving,
paused by back-pressure, between reads, mid-handshake, open with unread messages, closing.
Afterwards the process's descriptors and threads are back where they were, its memory has not
grown with the rounds, and the servers hold no connection of ours."""

import gc
import os
import random
import threading
import time

import pytest

import corvina_native as cn
from conftest import SANITIZED
from process_stats import rss_bytes
from ws_fixtures import *  # noqa: F401,F403 - fixtures

pytestmark = pytest.mark.concurrency

LIMIT = 20.0  # seconds for the process to come back to its baseline


def fd_count():
    return len(os.listdir("/proc/self/fd"))


def thread_count():
    return len(os.listdir("/proc/self/task"))


def established_to(port):
    """Our side's established TCP connections to 127.0.0.1:port."""
    count = 0
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            if int(fields[2].split(":")[1], 16) == port and fields[3] == "01":
                count += 1
    return count


def settled(check):
    deadline = time.monotonic() + LIMIT
    while not check():
        if time.monotonic() > deadline:
            return False
        gc.collect()
        time.sleep(0.02)
    return True


def big(nginx, tls_on=False):
    if tls_on:
        return f"https://127.0.0.1:{nginx.https_port}/big.bin"
    return f"http://127.0.0.1:{nginx.http_port}/big.bin"


# Each shape makes an engine, brings one object to a state and drops both there.
def receiving(env):
    e = cn.PyEngine(cache=False)
    r = e.request("GET", big(env["nginx"]))
    r.start_stream()
    r.next_body()
    del r, e


def paused(env):
    e = cn.PyEngine(cache=False)
    r = e.request("GET", big(env["nginx"]))
    r.start_stream()
    r.next_body()
    time.sleep(0.02)  # the module's queue fills and pauses the Core
    del r, e


def between_reads(env):
    e = cn.PyEngine(cache=False)
    r = e.request("GET", big(env["nginx"]))
    r.start_stream()
    for _ in range(random.randint(2, 12)):
        r.next_body()
    del e  # the engine first, the request after
    del r


def head_only_tls(env):
    e = cn.PyEngine(cache=False, verify=False)
    r = e.request("GET", big(env["nginx"], True))
    r.start_stream()
    del r, e


def mid_handshake(env):
    e = cn.PyEngine(cache=False, verify=False)
    r = e.request("GET", big(env["nginx"], True))
    r.start()
    time.sleep(random.random() * 0.003)
    del r, e


def request_dropped_engine_kept(env):
    r = env["engine"].request("GET", big(env["nginx"]))
    r.start_stream()
    r.next_body()
    del r


def ws_connecting(env):
    e = cn.PyEngine(verify=False)
    ws = e.websocket(env["wss"].url("/echo"))
    ws.connect()
    time.sleep(random.random() * 0.003)
    del ws, e


def ws_unread(env):
    e = cn.PyEngine()
    ws = e.websocket(env["ws"].url("/flood?n=300"))
    ws.connect()
    assert ws.recv()[0] == "open"
    ws.recv()
    del ws, e


def ws_closing(env):
    e = cn.PyEngine()
    ws = e.websocket(env["ws"].url("/echo"))
    ws.connect()
    assert ws.recv()[0] == "open"
    ws.send_text("x" * 1000)
    ws.close(1000, "bye")
    del ws, e


SHAPES = [receiving, paused, between_reads, head_only_tls, mid_handshake,
          request_dropped_engine_kept, ws_connecting, ws_unread, ws_closing]


class Peer:
    def __init__(self, server, scheme):
        self.server, self.scheme = server, scheme

    def url(self, path):
        return f"{self.scheme}://127.0.0.1:{self.server.port}{path}"


@pytest.fixture
def env(nginx, ws_peer, wss_peer):
    engine = cn.PyEngine(cache=False)
    yield {"nginx": nginx, "ws": Peer(ws_peer, "ws"), "wss": Peer(wss_peer, "wss"),
           "engine": engine}
    del engine


def baseline():
    gc.collect()
    return fd_count(), thread_count(), rss_bytes()


def check_back(env, fds, threads, rss, rounds):
    assert settled(lambda: thread_count() <= threads), f"threads {threads} -> {thread_count()}"
    assert settled(lambda: fd_count() <= fds), f"descriptors {fds} -> {fd_count()}"
    ports = (env["nginx"].http_port, env["nginx"].https_port, env["ws"].server.port,
             env["wss"].server.port)
    for port in ports:
        assert settled(lambda: established_to(port) == 0), f"a server keeps {port} connections"
    # One engine's loop, buffers and handles are most of a MiB: a leak per round shows.
    grown = rss_bytes() - rss
    assert SANITIZED or grown < (rounds << 20) // 4, f"RSS grew by {grown >> 10} KiB"


@pytest.mark.parametrize("shape", SHAPES, ids=lambda s: s.__name__)
def test_released_in_each_state_leaves_nothing(env, shape):
    shape(env)  # warms the allocator and the interpreter's caches for this shape
    assert settled(lambda: established_to(env["nginx"].http_port) == 0)
    fds, threads, rss = baseline()
    rounds = 30
    for _ in range(rounds):
        shape(env)
        gc.collect()
    check_back(env, fds, threads, rss, rounds)


def test_churn_on_six_threads_leaves_nothing(env):
    for shape in SHAPES:
        shape(env)
    fds, threads, rss = baseline()
    deadline = time.monotonic() + 6
    done = [0] * 6
    errors = []

    def churn(k):
        rng = random.Random(k)
        try:
            while time.monotonic() < deadline:
                rng.choice(SHAPES)(env)
                done[k] += 1
        except BaseException as e:  # noqa: BLE001 - reported by the test thread
            errors.append(e)

    workers = [threading.Thread(target=churn, args=(k,)) for k in range(6)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(60)
    assert not errors, errors[:3]
    assert not any(w.is_alive() for w in workers)
    assert sum(done) >= 30
    check_back(env, fds, threads, rss, sum(done))
