"""One benchmark run in this process: `python clients.py SCENARIO CLIENT PARAMS_JSON`.

Prints one JSON line: operations, bytes, wall seconds and the process's own CPU time (user and
system, all threads) for the timed part, and the peak RSS. Setup and a short warm-up (connections
opened) happen before the clock starts. `python clients.py versions` prints the library versions.
"""

import asyncio
import io
import json
import os
import resource
import sys
import threading
import time

CLIENTS = {}


def client(scenario: str, name: str):
    def register(fn):
        CLIENTS[(scenario, name)] = fn
        return fn
    return register


class Skip(Exception):
    """The client cannot run this scenario here; the message says why."""


class Meter:
    def __init__(self):
        self.t0 = self.r0 = None
        self.extra = {}

    def begin(self):
        self.r0 = resource.getrusage(resource.RUSAGE_SELF)
        self.t0 = time.perf_counter()

    def end(self):
        self.t1 = time.perf_counter()
        self.r1 = resource.getrusage(resource.RUSAGE_SELF)


def rss_kb() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * (os.sysconf("SC_PAGE_SIZE") // 1024)


def check(cond: bool, what: str) -> None:
    if not cond:
        raise RuntimeError(f"wrong result: {what}")


def engine():
    import corvina_native as cn
    # The Core's HTTP cache would answer repeats without the network.
    return cn.PyEngine(cache=False)


def asyncio_run(coro_fn, p, meter, loop_kind="asyncio"):
    if loop_kind == "uvloop":
        import uvloop
        factory = uvloop.new_event_loop
    else:
        factory = None
    with asyncio.Runner(loop_factory=factory) as runner:
        return runner.run(coro_fn(p, meter))


# ---------------------------------------------------------------- S1: sequential blocking GETs

def s1_corvina_one(eng, url):
    req = eng.request("GET", url)
    resp = req.start_stream()
    body = req.read_body()
    return resp.status_code, resp.headers, body


@client("S1", "corvina_native")
def s1_corvina(p, meter):
    eng, url = engine(), p["base"] + "/1b"
    for _ in range(10):
        s1_corvina_one(eng, url)
    meter.begin()
    for _ in range(p["count"]):
        status, head, body = s1_corvina_one(eng, url)
    meter.end()
    check(status == 200 and body == b"x" and head.startswith(b"HTTP/1.1 200"), "S1 response")
    return p["count"], p["count"]


def pycurl_getter(url):
    import pycurl
    c = pycurl.Curl()
    c.setopt(pycurl.URL, url)

    def get():
        body, head = io.BytesIO(), io.BytesIO()
        c.setopt(pycurl.WRITEDATA, body)
        c.setopt(pycurl.HEADERFUNCTION, head.write)
        c.perform()
        return c.getinfo(pycurl.RESPONSE_CODE), head.getvalue(), body.getvalue()
    return get


@client("S1", "pycurl")
def s1_pycurl(p, meter):
    get = pycurl_getter(p["base"] + "/1b")
    for _ in range(10):
        get()
    meter.begin()
    for _ in range(p["count"]):
        status, head, body = get()
    meter.end()
    check(status == 200 and body == b"x" and head.startswith(b"HTTP/1.1 200"), "S1 response")
    return p["count"], p["count"]


@client("S1", "requests")
def s1_requests(p, meter):
    import requests
    s, url = requests.Session(), p["base"] + "/1b"
    for _ in range(10):
        s.get(url).content
    meter.begin()
    for _ in range(p["count"]):
        r = s.get(url)
        status, head, body = r.status_code, r.headers, r.content
    meter.end()
    check(status == 200 and body == b"x", "S1 response")
    return p["count"], p["count"]


@client("S1", "httpx")
def s1_httpx(p, meter):
    import httpx
    url = p["base"] + "/1b"
    with httpx.Client() as s:
        for _ in range(10):
            s.get(url).content
        meter.begin()
        for _ in range(p["count"]):
            r = s.get(url)
            status, head, body = r.status_code, r.headers, r.content
        meter.end()
    check(status == 200 and body == b"x", "S1 response")
    return p["count"], p["count"]


@client("S1", "urllib3")
def s1_urllib3(p, meter):
    import urllib3
    pm, url = urllib3.PoolManager(), p["base"] + "/1b"
    for _ in range(10):
        pm.request("GET", url).data
    meter.begin()
    for _ in range(p["count"]):
        r = pm.request("GET", url)
        status, head, body = r.status, r.headers, r.data
    meter.end()
    check(status == 200 and body == b"x", "S1 response")
    return p["count"], p["count"]


# ------------------------------------------------- S1x2, S1x4: the same from 2 or 4 threads at once

def n_threads(n, make_get, p, meter):
    count = p["count"]
    gets = [make_get() for _ in range(n)]
    for g in gets:
        for _ in range(10):
            g()
    results, errors = [None] * n, []
    barrier = threading.Barrier(n + 1)

    def run(i):
        try:
            barrier.wait()
            for _ in range(count):
                results[i] = gets[i]()
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    meter.begin()
    barrier.wait()
    for t in threads:
        t.join()
    meter.end()
    if errors:
        raise errors[0]
    for status, _, body in results:
        check(status == 200 and body == b"x", f"S1x{n} response")
    return n * count, n * count


def two_threads(make_get, p, meter):
    return n_threads(2, make_get, p, meter)


@client("S1x2", "corvina_native")
def s1x2_corvina(p, meter):
    eng, url = engine(), p["base"] + "/1b"
    return two_threads(lambda: (lambda: s1_corvina_one(eng, url)), p, meter)


@client("S1x4", "corvina_native")
def s1x4_corvina(p, meter):
    eng, url = engine(), p["base"] + "/1b"
    return n_threads(4, lambda: (lambda: s1_corvina_one(eng, url)), p, meter)


@client("S1x2", "pycurl")
def s1x2_pycurl(p, meter):
    return two_threads(lambda: pycurl_getter(p["base"] + "/1b"), p, meter)


# ----------------------------------------------- S2: many GETs in flight from one asyncio loop

class Waiter:
    """The notify target of one request: wakes the one coroutine that polls it."""
    __slots__ = ("loop", "fut", "flag")

    def __init__(self, loop):
        self.loop, self.fut, self.flag = loop, None, False

    def wake(self):
        self.flag = True
        fut = self.fut
        if fut is not None and not fut.done():
            fut.set_result(None)

    async def wait(self):
        if not self.flag:
            self.fut = self.loop.create_future()
            await self.fut
            self.fut = None
        self.flag = False


async def corvina_fetch(eng, loop, url):
    req = eng.request("GET", url)
    waiter = Waiter(loop)
    req.start_async(loop, waiter.wake)
    status, head, chunks = 0, b"", []
    while True:
        batch = req.poll_events()
        if not batch:
            await waiter.wait()
            continue
        for kind, st, headers, body, error in batch:
            if kind == "body":
                chunks.append(body)
            elif kind == "response":
                status, head = st, headers
            elif kind == "done":
                return status, head, b"".join(chunks)
            elif kind == "error":
                raise RuntimeError(error)


async def in_flight(fetch, count, width, meter, warm=None):
    """`count` fetches, `width` at a time; returns the last result."""
    for _ in range(4):
        await (warm or fetch)()
    left = [count]
    last = [None]

    async def worker():
        while left[0] > 0:
            left[0] -= 1
            last[0] = await fetch()

    meter.begin()
    await asyncio.gather(*(worker() for _ in range(width)))
    meter.end()
    return last[0]


async def s2_corvina_async(p, meter):
    eng, loop, url = engine(), asyncio.get_running_loop(), p["base"] + "/1b"
    status, _, body = await in_flight(lambda: corvina_fetch(eng, loop, url), p["count"],
                                      p["width"], meter)
    check(status == 200 and body == b"x", "S2 response")
    return p["count"], p["count"]


@client("S2", "corvina_native")
def s2_corvina(p, meter):
    return asyncio_run(s2_corvina_async, p, meter)


@client("S2", "corvina_native+uvloop")
def s2_corvina_uv(p, meter):
    return asyncio_run(s2_corvina_async, p, meter, "uvloop")


async def s2_aiohttp_async(p, meter):
    import aiohttp
    url = p["base"] + "/1b"
    connector = aiohttp.TCPConnector(limit=p["width"])
    async with aiohttp.ClientSession(connector=connector) as s:
        async def fetch():
            async with s.get(url) as r:
                return r.status, r.headers, await r.read()
        status, _, body = await in_flight(fetch, p["count"], p["width"], meter)
    check(status == 200 and body == b"x", "S2 response")
    return p["count"], p["count"]


@client("S2", "aiohttp")
def s2_aiohttp(p, meter):
    return asyncio_run(s2_aiohttp_async, p, meter)


@client("S2", "aiohttp+uvloop")
def s2_aiohttp_uv(p, meter):
    return asyncio_run(s2_aiohttp_async, p, meter, "uvloop")


async def s2_httpx_async(p, meter):
    import httpx
    url = p["base"] + "/1b"
    limits = httpx.Limits(max_connections=p["width"], max_keepalive_connections=p["width"])
    async with httpx.AsyncClient(limits=limits) as s:
        async def fetch():
            r = await s.get(url)
            return r.status_code, r.headers, r.content
        status, _, body = await in_flight(fetch, p["count"], p["width"], meter)
    check(status == 200 and body == b"x", "S2 response")
    return p["count"], p["count"]


@client("S2", "httpx")
def s2_httpx(p, meter):
    return asyncio_run(s2_httpx_async, p, meter)


def curl_multi(url, count, width, meter):
    import pycurl
    m = pycurl.CurlMulti()
    handles = []
    for _ in range(width):
        c = pycurl.Curl()
        c.setopt(pycurl.URL, url)
        handles.append(c)

    def arm(c):
        c.body, c.head = io.BytesIO(), io.BytesIO()
        c.setopt(pycurl.WRITEDATA, c.body)
        c.setopt(pycurl.HEADERFUNCTION, c.head.write)
        m.add_handle(c)

    def drive(total, begin=None):
        started = done = 0
        for c in handles[:min(width, total)]:
            arm(c)
            started += 1
        if begin:
            begin()
        last = None
        while done < total:
            while True:
                ret, _ = m.perform()
                if ret != pycurl.E_CALL_MULTI_PERFORM:
                    break
            m.select(1.0)
            while True:
                queued, ok, failed = m.info_read()
                for c, errno, errmsg in failed:
                    raise RuntimeError(f"curl error {errno}: {errmsg}")
                for c in ok:
                    m.remove_handle(c)
                    last = (c.getinfo(pycurl.RESPONSE_CODE), c.head.getvalue(), c.body.getvalue())
                    done += 1
                    if started < total:
                        arm(c)
                        started += 1
                if not queued:
                    break
        return last

    drive(width)
    status, _, body = drive(count, meter.begin)
    meter.end()
    check(status == 200 and body == b"x", "S2 response")
    return count, count


@client("S2", "pycurl CurlMulti")
def s2_pycurl(p, meter):
    return curl_multi(p["base"] + "/1b", p["count"], p["width"], meter)


# ------------------------------------------------------------------ S3: one large download

@client("S3 stream", "corvina_native")
def s3s_corvina(p, meter):
    eng, url = engine(), p["base"] + "/big"
    s1_corvina_one(eng, p["base"] + "/1b")
    meter.begin()
    req = eng.request("GET", url)
    resp = req.start_stream()
    n = 0
    while (chunk := req.next_body()) is not None:
        n += len(chunk)
    meter.end()
    check(resp.status_code == 200 and n == p["size"], f"S3 size {n}")
    return 1, n


@client("S3 stream", "pycurl")
def s3s_pycurl(p, meter):
    import pycurl
    c = pycurl.Curl()
    c.setopt(pycurl.URL, p["base"] + "/big")
    n = [0]

    def sink(b):
        n[0] += len(b)
    c.setopt(pycurl.WRITEFUNCTION, sink)
    meter.begin()
    c.perform()
    meter.end()
    check(n[0] == p["size"], "S3 size")
    return 1, n[0]


@client("S3 stream", "requests")
def s3s_requests(p, meter):
    import requests
    s = requests.Session()
    s.get(p["base"] + "/1b").content
    meter.begin()
    n = 0
    with s.get(p["base"] + "/big", stream=True) as r:
        for chunk in r.iter_content(1 << 20):
            n += len(chunk)
    meter.end()
    check(n == p["size"], "S3 size")
    return 1, n


async def s3s_aiohttp_async(p, meter):
    import aiohttp
    async with aiohttp.ClientSession() as s:
        async with s.get(p["base"] + "/1b") as r:
            await r.read()
        meter.begin()
        n = 0
        async with s.get(p["base"] + "/big") as r:
            async for chunk in r.content.iter_any():
                n += len(chunk)
        meter.end()
    check(n == p["size"], "S3 size")
    return 1, n


@client("S3 stream", "aiohttp")
def s3s_aiohttp(p, meter):
    return asyncio_run(s3s_aiohttp_async, p, meter)


@client("S3 whole", "corvina_native")
def s3w_corvina(p, meter):
    eng = engine()
    s1_corvina_one(eng, p["base"] + "/1b")
    meter.begin()
    status, _, body = s1_corvina_one(eng, p["base"] + "/big")
    meter.end()
    check(status == 200 and len(body) == p["size"], "S3 size")
    return 1, len(body)


@client("S3 whole", "pycurl")
def s3w_pycurl(p, meter):
    import pycurl
    c = pycurl.Curl()
    c.setopt(pycurl.URL, p["base"] + "/big")
    buf = io.BytesIO()
    c.setopt(pycurl.WRITEDATA, buf)
    meter.begin()
    c.perform()
    body = buf.getvalue()
    meter.end()
    check(len(body) == p["size"], "S3 size")
    return 1, len(body)


@client("S3 whole", "requests")
def s3w_requests(p, meter):
    import requests
    s = requests.Session()
    s.get(p["base"] + "/1b").content
    meter.begin()
    body = s.get(p["base"] + "/big").content
    meter.end()
    check(len(body) == p["size"], "S3 size")
    return 1, len(body)


@client("S3 whole", "urllib3")
def s3w_urllib3(p, meter):
    import urllib3
    pm = urllib3.PoolManager()
    pm.request("GET", p["base"] + "/1b").data
    meter.begin()
    body = pm.request("GET", p["base"] + "/big").data
    meter.end()
    check(len(body) == p["size"], "S3 size")
    return 1, len(body)


async def s3w_aiohttp_async(p, meter):
    import aiohttp
    async with aiohttp.ClientSession() as s:
        async with s.get(p["base"] + "/1b") as r:
            await r.read()
        meter.begin()
        async with s.get(p["base"] + "/big") as r:
            body = await r.read()
        meter.end()
    check(len(body) == p["size"], "S3 size")
    return 1, len(body)


@client("S3 whole", "aiohttp")
def s3w_aiohttp(p, meter):
    return asyncio_run(s3w_aiohttp_async, p, meter)


# ------------------------------------------------------------------------ S4: WebSocket echo
# Each client states whether compression was negotiated. corvina_native always offers it, as a
# browser does; the module does not expose the handshake's answer, and the S4 echo server
# declines (S4z plain shows that answer on the wire, through the counting relay).
CORVINA_COMPRESSION = "offered, declined by the echo server"
NO_COMPRESSION = "not offered (client has it off or lacks it)"


def websockets_compression(ws):
    return ws.response.headers.get("Sec-WebSocket-Extensions") or "declined"


def corvina_ws_connect(eng, url):
    try:
        ws = eng.websocket(url, timeout=30)
        ws.connect()
        event = ws.recv()
    except RuntimeError as e:
        raise Skip(f"corvina_native WebSocket connect failed: {e}")
    if event is None or event[0] != "open":
        raise Skip(f"corvina_native WebSocket did not open: {event!r}")
    return ws


@client("S4 blocking", "corvina_native")
def s4b_corvina(p, meter):
    eng = engine()  # kept: the engine must outlive its connections
    ws = corvina_ws_connect(eng, p["ws"])
    payload = b"\xab" * p["size"]
    for _ in range(3):
        ws.send_bytes(payload)
        ws.recv()
    meter.begin()
    for _ in range(p["count"]):
        ws.send_bytes(payload)
        event = ws.recv()
    meter.end()
    check(event[0] == "binary" and event[1] == payload, "S4 echo")
    ws.close(1000, "")
    meter.extra["compression"] = CORVINA_COMPRESSION
    return p["count"], p["count"] * p["size"]


@client("S4 blocking", "websocket-client")
def s4b_wsclient(p, meter):
    import websocket
    ws = websocket.create_connection(p["ws"])
    payload = b"\xab" * p["size"]
    for _ in range(3):
        ws.send_binary(payload)
        ws.recv()
    meter.begin()
    for _ in range(p["count"]):
        ws.send_binary(payload)
        data = ws.recv()
    meter.end()
    check(data == payload, "S4 echo")
    ws.close()
    meter.extra["compression"] = NO_COMPRESSION
    return p["count"], p["count"] * p["size"]


@client("S4 blocking", "websockets (sync)")
def s4b_websockets(p, meter):
    from websockets.sync.client import connect
    payload = b"\xab" * p["size"]
    with connect(p["ws"], max_size=None, compression=None) as ws:
        meter.extra["compression"] = NO_COMPRESSION
        for _ in range(3):
            ws.send(payload)
            ws.recv()
        meter.begin()
        for _ in range(p["count"]):
            ws.send(payload)
            data = ws.recv()
        meter.end()
    check(data == payload, "S4 echo")
    return p["count"], p["count"] * p["size"]


async def s4a_corvina_async(p, meter):
    eng, loop = engine(), asyncio.get_running_loop()
    waiter = Waiter(loop)
    payload = b"\xab" * p["size"]
    warm, total = 3, 3 + p["count"]
    received = 0
    last = None
    try:
        ws = eng.websocket(p["ws"], timeout=30)
        ws.start_async(loop, waiter.wake)
    except RuntimeError as e:
        raise Skip(f"corvina_native WebSocket start failed: {e}")
    while received < total:
        batch = ws.poll_events()
        if not batch:
            await waiter.wait()
            continue
        for kind, data, code, text in batch:
            if kind == "open":
                ws.send_bytes(payload)
            elif kind == "binary":
                received += 1
                last = data
                if received == warm:
                    meter.begin()
                if received < total:
                    ws.send_bytes(payload)
            elif kind in ("error", "closed"):
                if received == 0:
                    raise Skip(f"corvina_native WebSocket did not open: {kind} {code} {text}")
                raise RuntimeError(f"WebSocket ended: {kind} {code} {text}")
    meter.end()
    check(last == payload, "S4 echo")
    ws.close(1000, "")
    meter.extra["compression"] = CORVINA_COMPRESSION
    return p["count"], p["count"] * p["size"]


@client("S4 asyncio", "corvina_native")
def s4a_corvina(p, meter):
    return asyncio_run(s4a_corvina_async, p, meter)


async def s4a_aiohttp_async(p, meter):
    import aiohttp
    payload = b"\xab" * p["size"]
    async with aiohttp.ClientSession() as s:
        async with s.ws_connect(p["ws"], max_msg_size=0, compress=0) as ws:
            meter.extra["compression"] = NO_COMPRESSION
            for _ in range(3):
                await ws.send_bytes(payload)
                await ws.receive()
            meter.begin()
            for _ in range(p["count"]):
                await ws.send_bytes(payload)
                msg = await ws.receive()
            meter.end()
    check(msg.data == payload, "S4 echo")
    return p["count"], p["count"] * p["size"]


@client("S4 asyncio", "aiohttp")
def s4a_aiohttp(p, meter):
    return asyncio_run(s4a_aiohttp_async, p, meter)


async def s4a_websockets_async(p, meter):
    from websockets.asyncio.client import connect
    payload = b"\xab" * p["size"]
    async with connect(p["ws"], max_size=None, compression=None) as ws:
        meter.extra["compression"] = NO_COMPRESSION
        for _ in range(3):
            await ws.send(payload)
            await ws.recv()
        meter.begin()
        for _ in range(p["count"]):
            await ws.send(payload)
            data = await ws.recv()
        meter.end()
    check(data == payload, "S4 echo")
    return p["count"], p["count"] * p["size"]


@client("S4 asyncio", "websockets")
def s4a_websockets(p, meter):
    return asyncio_run(s4a_websockets_async, p, meter)


async def s4a_picows_async(p, meter):
    from picows import WSListener, WSMsgType, ws_connect
    loop = asyncio.get_running_loop()
    payload = b"\xab" * p["size"]
    state = {"fut": None, "data": None}

    class Listener(WSListener):
        def on_ws_frame(self, transport, frame):
            if frame.msg_type == WSMsgType.BINARY:
                state["data"] = frame.get_payload_as_bytes()
                state["fut"].set_result(None)

    transport, _ = await ws_connect(Listener, p["ws"], max_frame_size=64 * 1024 * 1024)
    meter.extra["compression"] = NO_COMPRESSION

    async def round_trip():
        state["fut"] = loop.create_future()
        transport.send(WSMsgType.BINARY, payload)
        await state["fut"]

    for _ in range(3):
        await round_trip()
    meter.begin()
    for _ in range(p["count"]):
        await round_trip()
    meter.end()
    check(state["data"] == payload, "S4 echo")
    transport.send_close()
    transport.disconnect()
    return p["count"], p["count"] * p["size"]


@client("S4 asyncio", "picows")
def s4a_picows(p, meter):
    return asyncio_run(s4a_picows_async, p, meter)


# ------------------------------------------- S4z: compressible text echo, compression offered
# Every client offers permessage-deflate; the server decides (the compressing echo server for
# "S4z deflate", the plain S4 one for "S4z plain"). Bytes on the wire come from the relay.

def json_text(size):
    row = '{"id": %d, "user": "user-%d", "active": true, "score": %d.5, "tags": ["x", "y"]}, '
    text, i = [], 0
    while sum(map(len, text)) < size:
        text.append(row % (i, i % 97, i * 7 % 1000))
        i += 1
    return "".join(text)[:size]


async def s4z_corvina_async(p, meter):
    eng, loop = engine(), asyncio.get_running_loop()
    waiter = Waiter(loop)
    payload = json_text(p["size"])
    want = payload.encode()
    warm, total = 3, 3 + p["count"]
    received, last = 0, None
    ws = eng.websocket(p["ws"], timeout=30)
    ws.start_async(loop, waiter.wake)
    while received < total:
        batch = ws.poll_events()
        if not batch:
            await waiter.wait()
            continue
        for kind, data, code, text in batch:
            if kind == "open":
                ws.send_text(payload)
            elif kind == "text":
                received += 1
                last = data
                if received == warm:
                    meter.begin()
                if received < total:
                    ws.send_text(payload)
            elif kind in ("error", "closed"):
                raise RuntimeError(f"WebSocket ended: {kind} {code} {text}")
    meter.end()
    check(last == want, "S4z echo")
    ws.close(1000, "")
    return p["count"], p["count"] * p["size"]


@client("S4z", "corvina_native")
def s4z_corvina(p, meter):
    return asyncio_run(s4z_corvina_async, p, meter)


async def s4z_websockets_async(p, meter):
    from websockets.asyncio.client import connect
    payload = json_text(p["size"])
    async with connect(p["ws"], max_size=None, compression="deflate") as ws:
        meter.extra["compression"] = websockets_compression(ws)
        for _ in range(3):
            await ws.send(payload)
            await ws.recv()
        meter.begin()
        for _ in range(p["count"]):
            await ws.send(payload)
            data = await ws.recv()
        meter.end()
    check(data == payload, "S4z echo")
    return p["count"], p["count"] * p["size"]


@client("S4z", "websockets")
def s4z_websockets(p, meter):
    return asyncio_run(s4z_websockets_async, p, meter)


async def s4z_aiohttp_async(p, meter):
    import aiohttp
    payload = json_text(p["size"])
    async with aiohttp.ClientSession() as s:
        async with s.ws_connect(p["ws"], max_msg_size=0, compress=15) as ws:
            meter.extra["compression"] = f"window {ws.compress}" if ws.compress else "declined"
            for _ in range(3):
                await ws.send_str(payload)
                await ws.receive()
            meter.begin()
            for _ in range(p["count"]):
                await ws.send_str(payload)
                msg = await ws.receive()
            meter.end()
    check(msg.data == payload, "S4z echo")
    return p["count"], p["count"] * p["size"]


@client("S4z", "aiohttp")
def s4z_aiohttp(p, meter):
    return asyncio_run(s4z_aiohttp_async, p, meter)


# ---------------------------------------------------------------- S5: one large chunked upload

@client("S5 upload", "corvina_native")
def s5_corvina(p, meter):
    eng = engine()
    s1_corvina_one(eng, p["base"] + "/1b")
    chunk = b"\0" * (1 << 20)
    meter.begin()
    req = eng.request("POST", p["base"] + "/upload", chunked=True)
    req.start()
    for _ in range(p["size"] >> 20):
        req.upload_write(chunk, False)
    req.upload_finish()
    resp = req.await_response()
    body = req.read_body()
    meter.end()
    check(resp.status_code == 200 and body == b"ok\n", "S5 response")
    return 1, p["size"]


@client("S5 upload", "pycurl")
def s5_pycurl(p, meter):
    import pycurl
    c = pycurl.Curl()
    c.setopt(pycurl.URL, p["base"] + "/upload")
    c.setopt(pycurl.UPLOAD, 1)
    c.setopt(pycurl.HTTPHEADER, ["Transfer-Encoding: chunked"])
    chunk = memoryview(b"\0" * (1 << 20))
    left = [p["size"]]
    pos = [0]

    def read(size):
        if left[0] == 0:
            return b""
        n = min(size, left[0], len(chunk) - pos[0])
        piece = chunk[pos[0]:pos[0] + n]
        pos[0] = (pos[0] + n) % len(chunk)
        left[0] -= n
        return bytes(piece)
    c.setopt(pycurl.READFUNCTION, read)
    body = io.BytesIO()
    c.setopt(pycurl.WRITEDATA, body)
    meter.begin()
    c.perform()
    meter.end()
    check(c.getinfo(pycurl.RESPONSE_CODE) == 200 and body.getvalue() == b"ok\n", "S5 response")
    return 1, p["size"]


@client("S5 upload", "requests")
def s5_requests(p, meter):
    import requests
    chunk = b"\0" * (1 << 20)

    def gen():
        for _ in range(p["size"] >> 20):
            yield chunk
    s = requests.Session()
    meter.begin()
    r = s.post(p["base"] + "/upload", data=gen())
    meter.end()
    check(r.status_code == 200 and r.content == b"ok\n", "S5 response")
    return 1, p["size"]


# ------------------------------------------------------------------------------ S6: scale

async def s6_corvina_async(p, meter):
    eng, loop, url = engine(), asyncio.get_running_loop(), p["base"] + "/1b"
    await corvina_fetch(eng, loop, url)
    base = rss_kb()
    meter.begin()
    results = await asyncio.gather(*(corvina_fetch(eng, loop, url) for _ in range(p["count"])))
    meter.end()
    check(all(s == 200 and b == b"x" for s, _, b in results), "S6 responses")
    return p["count"], p["count"], base


async def s6_aiohttp_async(p, meter):
    import aiohttp
    url = p["base"] + "/1b"
    async with aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=0)) as s:
        async def fetch():
            async with s.get(url) as r:
                return r.status, await r.read()
        await fetch()
        base = rss_kb()
        meter.begin()
        results = await asyncio.gather(*(fetch() for _ in range(p["count"])))
        meter.end()
    check(all(s == 200 and b == b"x" for s, b in results), "S6 responses")
    return p["count"], p["count"], base


def with_base_rss(fn, p, meter, loop_kind="asyncio"):
    ops, nbytes, base = asyncio_run(fn, p, meter, loop_kind)
    meter.extra["base_rss_kb"] = base
    return ops, nbytes


@client("S6 requests", "corvina_native")
def s6_corvina(p, meter):
    return with_base_rss(s6_corvina_async, p, meter)


@client("S6 requests", "aiohttp")
def s6_aiohttp(p, meter):
    return with_base_rss(s6_aiohttp_async, p, meter)


async def s6ws_corvina_async(p, meter):
    eng, loop = engine(), asyncio.get_running_loop()
    corvina_ws_connect(eng, p["ws"]).close(1000, "")
    base = rss_kb()
    meter.begin()
    sockets = []
    for _ in range(p["count"]):
        ws = eng.websocket(p["ws"], timeout=60)
        waiter = Waiter(loop)
        ws.start_async(loop, waiter.wake)
        sockets.append((ws, waiter))

    async def until(ws, waiter, kinds):
        while True:
            for event in ws.poll_events():
                if event[0] in kinds:
                    return event
                if event[0] in ("error", "closed"):
                    raise RuntimeError(f"WebSocket ended: {event!r}")
            await waiter.wait()

    await asyncio.gather(*(until(ws, w, ("open",)) for ws, w in sockets))
    meter.end()
    meter.extra["open_rss_kb"] = rss_kb()
    await asyncio.sleep(1.0)  # idle
    meter.extra["idle_rss_kb"] = rss_kb()
    for ws, _ in sockets:
        ws.send_bytes(b"ping")
    echoes = await asyncio.gather(*(until(ws, w, ("binary",)) for ws, w in sockets))
    check(all(e[1] == b"ping" for e in echoes), "S6 echoes")
    for ws, _ in sockets:
        ws.close(1000, "")
    return p["count"], p["count"], base


async def s6ws_websockets_async(p, meter):
    from websockets.asyncio.client import connect
    base = rss_kb()
    meter.begin()
    sockets = await asyncio.gather(*(connect(p["ws"], compression=None, open_timeout=60)
                                     for _ in range(p["count"])))
    meter.end()
    meter.extra["open_rss_kb"] = rss_kb()
    await asyncio.sleep(1.0)  # idle
    meter.extra["idle_rss_kb"] = rss_kb()
    for ws in sockets:
        await ws.send(b"ping")
    echoes = await asyncio.gather(*(ws.recv() for ws in sockets))
    check(all(e == b"ping" for e in echoes), "S6 echoes")
    await asyncio.gather(*(ws.close() for ws in sockets))
    return p["count"], p["count"], base


@client("S6 websockets", "corvina_native")
def s6ws_corvina(p, meter):
    return with_base_rss(s6ws_corvina_async, p, meter)


@client("S6 websockets", "websockets")
def s6ws_websockets(p, meter):
    return with_base_rss(s6ws_websockets_async, p, meter)


# ------------------------------------------------------------- S7: HTTP/3 (hypercorn over QUIC)
#
# The server's certificate is self-signed: every client skips verification alike.

def h3_engine():
    import corvina_native as cn
    return cn.PyEngine(http_version="h3", verify=False, cache=False)


def niquests_session(**kwargs):
    """A niquests Session held to HTTP/3: without HTTP/1 and HTTP/2 it goes over QUIC at once,
    with no Alt-Svc round first; each response's http_version (30) is checked too."""
    import warnings
    import niquests
    warnings.filterwarnings("ignore", message="Unverified HTTPS request")
    return niquests.Session(disable_http1=True, disable_http2=True, **kwargs)


@client("S7 sequential", "corvina_native")
def s7seq_corvina(p, meter):
    eng, url = h3_engine(), p["h3"] + "/1b"
    for _ in range(10):
        s1_corvina_one(eng, url)
    meter.begin()
    for _ in range(p["count"]):
        status, head, body = s1_corvina_one(eng, url)
    meter.end()
    check(status == 200 and body == b"x" and head.startswith(b"HTTP/3 200"), "S7 response")
    return p["count"], p["count"]


@client("S7 sequential", "niquests")
def s7seq_niquests(p, meter):
    s, url = niquests_session(), p["h3"] + "/1b"
    for _ in range(10):
        s.get(url, verify=False).content
    meter.begin()
    for _ in range(p["count"]):
        r = s.get(url, verify=False)
        status, version, body = r.status_code, r.http_version, r.content
    meter.end()
    check(status == 200 and body == b"x" and version == 30, f"S7 response (HTTP {version})")
    return p["count"], p["count"]


async def s7fly_corvina_async(p, meter):
    eng, loop, url = h3_engine(), asyncio.get_running_loop(), p["h3"] + "/1b"
    status, head, body = await in_flight(lambda: corvina_fetch(eng, loop, url), p["count"],
                                         p["width"], meter)
    check(status == 200 and body == b"x" and head.startswith(b"HTTP/3 200"), "S7 response")
    return p["count"], p["count"]


@client("S7 in flight", "corvina_native")
def s7fly_corvina(p, meter):
    return asyncio_run(s7fly_corvina_async, p, meter)


@client("S7 in flight", "niquests")
def s7fly_niquests(p, meter):
    # niquests multiplexes on one connection by issuing lazy responses and gathering them, so
    # "64 in flight" here is waves of 64: a wave ends when its last response has arrived.
    s, url = niquests_session(multiplexed=True), p["h3"] + "/1b"
    for _ in range(4):
        s.get(url, verify=False)
    s.gather()
    left, width = p["count"], p["width"]
    meter.begin()
    while left > 0:
        wave = [s.get(url, verify=False) for _ in range(min(width, left))]
        s.gather()
        left -= len(wave)
    meter.end()
    r = wave[-1]
    check(r.status_code == 200 and r.content == b"x" and r.http_version == 30,
          f"S7 response (HTTP {r.http_version})")
    return p["count"], p["count"]


# ------------------------------------------------------------------------------------ main

def versions() -> dict:
    from importlib import metadata
    out = {}
    for dist in ["corvina_native", "pycurl", "requests", "httpx", "urllib3", "aiohttp", "uvloop",
                 "websockets", "websocket-client", "picows", "niquests", "qh3"]:
        try:
            out[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            out[dist] = None
    try:
        import corvina_native as cn
        out["kestrin core"] = cn.PyEngine.core_version()
    except Exception as e:  # noqa: BLE001 - reported as the version text
        out["kestrin core"] = f"unavailable: {e}"
    try:
        import pycurl
        out["pycurl libcurl"] = pycurl.version
    except ImportError:
        pass
    out["python"] = sys.version.split()[0]
    return out


def main() -> int:
    if sys.argv[1] == "versions":
        print(json.dumps(versions()))
        return 0
    scenario, name, params = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
    meter = Meter()
    try:
        ops, nbytes = CLIENTS[(scenario, name)](params, meter)
    except Skip as e:
        print(json.dumps({"skip": str(e)}))
        return 0
    except ImportError as e:
        print(json.dumps({"skip": f"not installed: {e.name}"}))
        return 0
    r0, r1 = meter.r0, meter.r1
    print(json.dumps({
        "ops": ops,
        "bytes": nbytes,
        "wall": meter.t1 - meter.t0,
        "user": r1.ru_utime - r0.ru_utime,
        "sys": r1.ru_stime - r0.ru_stime,
        "csw": (r1.ru_nvcsw - r0.ru_nvcsw) + (r1.ru_nivcsw - r0.ru_nivcsw),
        "maxrss_kb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss,
        "rss_kb": rss_kb(),
        **meter.extra,
    }))
    return 0


if __name__ == "__main__":
    sys.exit(main())
