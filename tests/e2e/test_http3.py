"""HTTP/3 through the real Core against hypercorn on 127.0.0.1 (see support/h3_peer.py): bodies
both ways checked by hash, redirects within HTTP/3 and onto a TCP-only origin, trust, timeouts
and cancels, UDP ports that refuse or never answer, QUIC peers that fail the handshake or break
the framing, the Alt-Svc upgrade under auto, asyncio, and many requests on one connection."""

import asyncio
import contextlib
import glob
import hashlib
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import threading
import time

import pytest

import corvina_native as cn
from conftest import fetch, fetch_async, head_value
from support.h3_peer import HOST, H3Server, body_sha256

pytestmark = pytest.mark.timeout(60)
TIMEOUT = 20
MiB = 1 << 20


def net_error(code, category=r"\w+"):
    return rf"^{category} \(Chromium net error {code}\)"


@pytest.fixture
def h3_engine(tls):
    return cn.PyEngine(http_version="h3", ca_pem=tls["ca_pem"])


def echoed(body):
    return json.loads(body)


@pytest.mark.parametrize("version", ["h3", "http/3"])
def test_get_and_post(h3, tls, version):
    engine = cn.PyEngine(http_version=version, ca_pem=tls["ca_pem"])
    status, head, body, hops = fetch(engine, "GET", h3.url("/echo"), timeout=TIMEOUT)
    assert (status, hops) == (200, [])
    assert head.startswith(b"HTTP/3 200") and head.endswith(b"\r\n\r\n")
    assert (echoed(body)["method"], echoed(body)["http_version"]) == ("GET", "3")

    payload = b"posted over QUIC " * 1000
    status, head, body, _ = fetch(engine, "POST", h3.url("/echo"), body=payload,
                                  headers=[("Content-Type", "text/plain")], timeout=TIMEOUT)
    assert status == 200 and head.startswith(b"HTTP/3 200")
    seen = echoed(body)
    assert (seen["method"], seen["length"]) == ("POST", len(payload))
    assert seen["sha256"] == hashlib.sha256(payload).hexdigest()


@pytest.mark.parametrize("profile", [None, "chrome", "firefox", "safari"])
def test_profiles_and_priority_over_quic(h3, tls, profile):
    engine = cn.PyEngine(http_version="h3", ca_pem=tls["ca_pem"], impersonate=profile)
    _, head, body, _ = fetch(engine, "GET", h3.url("/echo"), priority="lowest", timeout=TIMEOUT)
    headers = echoed(body)["headers"]
    names = [name for name, _ in headers]
    assert head.startswith(b"HTTP/3 200") and names.count("priority") == 1
    assert ["priority", "u=3"] in headers
    if profile:  # the profile's own header set, in its order, over a TLS 1.3-only handshake
        assert names.index("user-agent") < names.index("accept") < names.index("accept-language")
        assert profile.capitalize() in dict(headers)["user-agent"] or profile == "chrome"
    _, _, body, _ = fetch(engine, "GET", h3.url("/echo"), timeout=TIMEOUT)
    default = [value for name, value in echoed(body)["headers"] if name == "priority"]
    assert default == (["u=0, i"] if profile in ("chrome", "firefox", "safari") else [])


@pytest.mark.parametrize("size", [
    MiB, pytest.param(64 * MiB, marks=[pytest.mark.slow, pytest.mark.timeout(180)])],
    ids=["1MiB", "64MiB"])
def test_streamed_download(h3, h3_engine, size):
    request = h3_engine.request("GET", h3.url(f"/bytes/{size}"), timeout=150)
    response = request.start_stream()
    assert response.headers.startswith(b"HTTP/3 200")
    assert head_value(response.headers, "content-length") == str(size)
    digest, total = hashlib.sha256(), 0
    while (chunk := request.next_body()) is not None:
        digest.update(chunk)
        total += len(chunk)
    assert total == size and digest.hexdigest() == body_sha256(size)


def test_streamed_upload(h3, h3_engine):
    request = h3_engine.request("PUT", h3.url("/echo"), chunked=True, timeout=TIMEOUT)
    request.start()
    digest, total = hashlib.sha256(), 0
    for i in range(40):
        piece = bytes([i]) * 100_000
        request.upload_write(piece, False)
        digest.update(piece)
        total += len(piece)
    request.upload_write(b"tail", True)
    digest.update(b"tail")
    response = request.await_response()
    assert response.status_code == 200 and response.headers.startswith(b"HTTP/3 200")
    seen = echoed(request.read_body())
    assert (seen["method"], seen["length"], seen["sha256"]) == ("PUT", total + 4,
                                                                digest.hexdigest())


def test_redirect_within_http3(h3, h3_engine):
    status, head, body, hops = fetch(h3_engine, "GET", h3.url("/redirect?to=/echo"),
                                     timeout=TIMEOUT)
    assert status == 200 and head.startswith(b"HTTP/3 200")
    assert echoed(body)["http_version"] == "3"
    ((hop_status, hop_head, from_url, to_url),) = hops
    assert hop_status == 302 and hop_head.startswith(b"HTTP/3 302")
    assert (from_url, to_url) == (h3.url("/redirect?to=/echo"), h3.url("/echo"))


def test_redirect_from_http3_onto_a_tcp_only_origin(h3, nginx, tls):
    """Under auto, once Alt-Svc is learned, a redirect leaves QUIC for an origin that has only
    TCP (nginx, HTTP/2); under "h3" the same target has no QUIC to go to and is refused."""
    target = nginx.url("/small.txt", "https")
    path = f"/redirect?to={target}"
    auto = cn.PyEngine(ca_pem=tls["ca_pem"])
    assert fetch(auto, "GET", h3.url("/echo?learn"), timeout=TIMEOUT)[1].startswith(b"HTTP/1.1")
    status, head, body, hops = fetch(auto, "GET", h3.url(path), timeout=TIMEOUT)
    assert (status, body) == (200, b"small file\n")
    assert hops[0][1].startswith(b"HTTP/3 302") and hops[0][3] == target
    assert head.startswith(b"HTTP/2 200")

    only_h3 = cn.PyEngine(http_version="h3", ca_pem=tls["ca_pem"])
    with pytest.raises(RuntimeError, match=net_error(-102, "Network")):
        fetch(only_h3, "GET", h3.url(path), timeout=TIMEOUT)


# name: (engine settings, host, expected failure or None)
TRUST_CASES = {
    "custom-ca": ("ca", HOST, None),
    "verify-off": ({"verify": False}, HOST, None),
    "untrusted-leaf": ({}, HOST, -202),
}


@pytest.mark.parametrize("case", TRUST_CASES)
def test_trust(h3, tls, case):
    settings, host, failure = TRUST_CASES[case]
    if settings == "ca":
        settings = {"ca_pem": tls["ca_pem"]}
    engine = cn.PyEngine(http_version="h3", **settings)
    if failure is None:
        _, head, body, _ = fetch(engine, "GET", h3.url("/echo", host=host), timeout=TIMEOUT)
        assert head.startswith(b"HTTP/3 200") and echoed(body)["http_version"] == "3"
    else:
        with pytest.raises(RuntimeError, match=net_error(failure, "Tls")):
            fetch(engine, "GET", h3.url("/echo", host=host), timeout=TIMEOUT)


# A name with two addresses, from a hosts file of the test's own (nss_wrapper), in a child.
TWO_ADDRESSES = """
import sys, corvina_native as cn
engine = cn.PyEngine(http_version="h3", ca_pem=open(sys.argv[1], "rb").read())
for _ in range(int(sys.argv[3])):
    try:
        engine.request("GET", sys.argv[2], timeout=10).start_stream()
        print("answered")
    except RuntimeError as e:
        print(e)
"""
NSS_WRAPPER = next(iter(glob.glob("/usr/lib/*/libnss_wrapper.so")), None)


def test_a_leaf_for_another_name_is_a_tls_failure(tls, workdir):
    leaf = tls["ca"].issue_cert("wrong.test")
    cert, key = workdir / "wrong-leaf.pem", workdir / "wrong-leaf.key"
    cert.write_bytes(b"".join(blob.bytes() for blob in leaf.cert_chain_pems))
    key.write_bytes(leaf.private_key_pem.bytes())
    server = H3Server(str(cert), str(key), str(workdir / "h3-wrong-leaf.log"))
    try:
        engine = cn.PyEngine(http_version="h3", ca_pem=tls["ca_pem"])
        with pytest.raises(RuntimeError, match=net_error(-200, "Tls")):
            fetch(engine, "GET", server.url("/echo"), timeout=TIMEOUT)
    finally:
        server.stop()


@pytest.mark.skipif(not NSS_WRAPPER, reason="needs libnss-wrapper for a hosts file of its own")
def test_the_most_telling_failure_of_several_addresses_is_reported(tls, workdir):
    """A name on ::1, where the handshake fails, and on 127.0.0.1, where nobody listens: the
    attempt on ::1 goes first and fails first, yet its failure tells more than the refusal."""
    leaf = tls["ca"].issue_cert("wrong.test")
    cert, key = workdir / "v6-leaf.pem", workdir / "v6-leaf.key"
    cert.write_bytes(b"".join(blob.bytes() for blob in leaf.cert_chain_pems))
    key.write_bytes(leaf.private_key_pem.bytes())
    server = H3Server(str(cert), str(key), str(workdir / "h3-v6.log"), host="::1")
    try:
        hosts, ca = workdir / "two-addresses.hosts", workdir / "two-addresses-ca.pem"
        hosts.write_text("::1 two.test\n127.0.0.1 two.test\n")
        ca.write_bytes(tls["ca_pem"])
        env = dict(os.environ, NSS_WRAPPER_HOSTS=str(hosts),
                   LD_PRELOAD=" ".join(filter(None, [os.environ.get("LD_PRELOAD"), NSS_WRAPPER])))
        out = subprocess.run([sys.executable, "-c", TWO_ADDRESSES, str(ca),
                              server.url("/echo", host="two.test"), "4"],
                             env=env, capture_output=True, text=True, timeout=90)
        lines = out.stdout.splitlines()
        assert len(lines) == 4 and all(re.search(net_error(-200, "Tls"), x) for x in lines), \
            out.stdout + out.stderr
    finally:
        server.stop()


def test_timeout_and_cancel_mid_body(h3, h3_engine):
    started = time.monotonic()
    with pytest.raises(RuntimeError, match=net_error(-7, "Timeout")):
        fetch(h3_engine, "GET", h3.url("/delay/5000"), timeout=0.5)
    assert time.monotonic() - started < 3

    request = h3_engine.request("GET", h3.url("/drip"), timeout=TIMEOUT)
    assert request.start_stream().headers.startswith(b"HTTP/3 200")
    assert request.next_body()
    threading.Timer(0.2, request.cancel).start()
    with pytest.raises(RuntimeError, match=net_error(-3, "Canceled")):
        while request.next_body() is not None:
            pass
    # The stream went, the connection and the server stay.
    _, head, _, _ = fetch(h3_engine, "GET", h3.url("/echo?after-cancel"), timeout=TIMEOUT)
    assert head.startswith(b"HTTP/3 200") and h3.alive()


@pytest.fixture
def silent_udp():
    """A UDP port that reads every datagram and answers none."""
    sock = socket.socket(type=socket.SOCK_DGRAM)
    sock.bind((HOST, 0))
    sock.settimeout(0.1)
    stop = threading.Event()

    def drain():
        while not stop.is_set():
            try:
                sock.recv(65536)
            except OSError:
                pass

    thread = threading.Thread(target=drain, daemon=True)
    thread.start()
    yield sock.getsockname()[1]
    stop.set()
    thread.join(5)
    sock.close()


def closed_udp_port():
    with socket.socket(type=socket.SOCK_DGRAM) as sock:
        sock.bind((HOST, 0))
        return sock.getsockname()[1]


@pytest.mark.parametrize("peer", ["silent", "closed"])
def test_udp_port_without_quic(request, peer):
    port = request.getfixturevalue("silent_udp") if peer == "silent" else closed_udp_port()
    engine = cn.PyEngine(http_version="h3", verify=False)
    started = time.monotonic()
    expected = net_error(-7, "Timeout") if peer == "silent" else net_error(-102, "Network")
    with pytest.raises(RuntimeError, match=expected):
        fetch(engine, "GET", f"https://{HOST}:{port}/", timeout=2)
    assert time.monotonic() - started < 3.5


class QuicPeer:
    """A scripted QUIC server on aioquic, in a thread: "no-h3" offers only another ALPN, so
    the handshake fails; "bad-frame" answers a request with a head and some body, then a frame
    type that HTTP/3 reserves (an HTTP/2 PRIORITY), a framing error in mid-stream; "resume"
    issues session tickets, answers each request whole and then closes the connection, and
    keeps whether each handshake resumed a session; "close" closes it at once after the
    answer."""

    def __init__(self, mode, cert, key, port=None, idle_timeout=60.0):
        from aioquic.quic.configuration import QuicConfiguration

        self.mode = mode
        self.config = QuicConfiguration(
            is_client=False, alpn_protocols=["hq-interop"] if mode == "no-h3" else ["h3"],
            idle_timeout=idle_timeout)
        self.config.load_cert_chain(cert, key)
        self.tickets, self.resumed = {}, []
        self.stopped = {}  # stream id -> the error code of the client's RESET_STREAM/STOP_SENDING
        self.port = port or closed_udp_port()
        self.loop = asyncio.new_event_loop()
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        if not self._ready.wait(10):
            raise RuntimeError("QUIC peer did not start")

    def _protocol(self):
        from aioquic.asyncio import QuicConnectionProtocol
        from aioquic.h3.connection import H3Connection
        from aioquic.h3.events import HeadersReceived
        from aioquic.quic.events import (HandshakeCompleted, ProtocolNegotiated,
                                         StopSendingReceived, StreamReset)

        peer = self

        class Protocol(QuicConnectionProtocol):
            h3 = None

            def quic_event_received(self, event):
                if isinstance(event, ProtocolNegotiated):
                    self.h3 = H3Connection(self._quic)
                if isinstance(event, HandshakeCompleted):
                    peer.resumed.append(event.session_resumed)
                if isinstance(event, (StopSendingReceived, StreamReset)):
                    peer.stopped[event.stream_id] = event.error_code
                if self.h3 is None:
                    return
                for h3_event in self.h3.handle_event(event):
                    if (isinstance(h3_event, HeadersReceived) and peer.mode == "endless"
                            and dict(h3_event.headers)[b":path"] == b"/endless"):
                        self.h3.send_headers(h3_event.stream_id, [(b":status", b"200")])
                        self.transmit()
                        peer.loop.create_task(self.endless(h3_event.stream_id))
                    elif isinstance(h3_event, HeadersReceived) and peer.mode != "bad-frame":
                        self.h3.send_headers(h3_event.stream_id, [(b":status", b"200")])
                        self.h3.send_data(h3_event.stream_id, b"whole", True)
                        self.transmit()
                        if peer.mode == "resume":
                            peer.loop.call_later(0.05, self.close)
                        elif peer.mode == "close":
                            self.close()
                    elif isinstance(h3_event, HeadersReceived):  # bad-frame
                        sid = h3_event.stream_id
                        self.h3.send_headers(sid, [(b":status", b"200")])
                        self.h3.send_data(sid, b"partial body", False)
                        self._quic.send_stream_data(sid, b"\x02\x01\x00")
                        self.transmit()

            async def endless(self, sid):
                while sid not in peer.stopped:
                    self.h3.send_data(sid, b"x" * 1024, False)
                    self.transmit()
                    await asyncio.sleep(0.005)

        return Protocol

    def _run(self):
        from aioquic.asyncio import serve

        asyncio.set_event_loop(self.loop)
        self.server = self.loop.run_until_complete(
            serve(HOST, self.port, configuration=self.config, create_protocol=self._protocol(),
                  **({} if self.mode != "resume" else dict(
                      session_ticket_handler=lambda t: self.tickets.__setitem__(t.ticket, t),
                      session_ticket_fetcher=lambda label: self.tickets.pop(label, None)))))
        self._ready.set()
        self.loop.run_forever()
        self.server.close()
        self.loop.run_until_complete(asyncio.sleep(0))  # the socket closes on the loop
        self.loop.close()

    def url(self, path):
        return f"https://{HOST}:{self.port}{path}"

    def stop(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self._thread.join(10)


def test_a_new_quic_connection_resumes_the_tls_session(tls):
    peer = QuicPeer("resume", tls["cert"], tls["key"])
    try:
        engine = cn.PyEngine(http_version="h3", ca_pem=tls["ca_pem"])
        for i in range(3):
            status, _, body, _ = fetch(engine, "GET", peer.url(f"/{i}"), timeout=TIMEOUT)
            assert (status, body) == (200, b"whole")
            time.sleep(0.3)  # until the server has closed the connection
        assert peer.resumed == [False, True, True]
    finally:
        peer.stop()


def test_an_answer_whole_before_the_server_closes_is_delivered(tls):
    """The answer and the CONNECTION_CLOSE right behind it often arrive in one read."""
    peer = QuicPeer("close", tls["cert"], tls["key"])
    try:
        engine = cn.PyEngine(http_version="h3", ca_pem=tls["ca_pem"])
        for i in range(40):
            status, _, body, _ = fetch(engine, "GET", peer.url(f"/{i}"), timeout=TIMEOUT)
            assert (status, body) == (200, b"whole"), i
            time.sleep(0.01)
    finally:
        peer.stop()


def test_an_idle_quic_connection_past_its_time_is_replaced(tls):
    peer = QuicPeer("keep", tls["cert"], tls["key"], idle_timeout=0.5)
    try:
        engine = cn.PyEngine(http_version="h3", ca_pem=tls["ca_pem"])
        assert fetch(engine, "GET", peer.url("/1"), timeout=TIMEOUT)[0] == 200
        time.sleep(1.2)
        assert fetch(engine, "GET", peer.url("/2"), timeout=TIMEOUT)[0] == 200
        assert len(peer.resumed) == 2
    finally:
        peer.stop()


def test_a_server_killed_and_restarted_on_its_port_is_reached_again(tls, workdir):
    """Killed, the server closes nothing, and the new one ignores the old connection's packets
    (aioquic sends no stateless reset)."""
    server = H3Server(tls["cert"], tls["key"], str(workdir / "h3-restart-1.log"))
    try:
        engine = cn.PyEngine(http_version="h3", ca_pem=tls["ca_pem"])
        assert fetch(engine, "GET", server.url("/echo"), timeout=TIMEOUT)[0] == 200
        server.stop()
        server = H3Server(tls["cert"], tls["key"], str(workdir / "h3-restart-2.log"),
                          port=server.port)
        status, head, body, _ = fetch(engine, "GET", server.url("/echo"), timeout=3)
        assert status == 200 and head.startswith(b"HTTP/3 200")
        # A live server that is slow to answer ACKs the request at once: its connection is kept.
        assert fetch(engine, "GET", server.url("/delay/1500"), timeout=TIMEOUT)[0] == 200
        _, _, again, _ = fetch(engine, "GET", server.url("/echo"), timeout=TIMEOUT)
        assert echoed(again)["client"] == echoed(body)["client"]
    finally:
        server.stop()


# A handshake the server closes for want of h3, and a framing error once connected.
@pytest.mark.parametrize("mode", ["no-h3", "bad-frame"])
def test_quic_peer_failures(tls, mode):
    peer = QuicPeer(mode, tls["cert"], tls["key"])
    try:
        engine = cn.PyEngine(http_version="h3", ca_pem=tls["ca_pem"])
        if mode == "no-h3":
            with pytest.raises(RuntimeError, match=net_error(-358)):
                fetch(engine, "GET", peer.url("/"), timeout=TIMEOUT)
            return
        request = engine.request("GET", peer.url("/"), timeout=TIMEOUT)
        with pytest.raises(RuntimeError, match=net_error(-356)):
            request.start_stream()
            request.read_body()
    finally:
        peer.stop()


def test_alt_svc_upgrade_under_auto(h3, tls):
    engine = cn.PyEngine(ca_pem=tls["ca_pem"])
    _, head, body, _ = fetch(engine, "GET", h3.url("/echo?first"), timeout=TIMEOUT)
    assert head.startswith(b"HTTP/1.1 200") and echoed(body)["http_version"] == "1.1"
    assert head_value(head, "alt-svc") == f'h3=":{h3.port}"; ma=3600'
    _, head, body, _ = fetch(engine, "GET", h3.url("/echo?second"), timeout=TIMEOUT)
    assert head.startswith(b"HTTP/3 200") and echoed(body)["http_version"] == "3"
    # What an engine learned is its own.
    fresh = cn.PyEngine(ca_pem=tls["ca_pem"])
    _, head, _, _ = fetch(fresh, "GET", h3.url("/echo?fresh"), timeout=TIMEOUT)
    assert head.startswith(b"HTTP/1.1 200")


@pytest.mark.parametrize("where", ["another port", "another host"])
def test_an_alternative_on_another_port_or_host(h3, tls, where):
    """QUIC goes to the advertised alternative (hypercorn's port; "localhost", on whose ::1 nothing
    listens), still naming the origin, whose certificate the alternative's must be."""
    alt = f'h3=":{h3.port}"' if where == "another port" else f'h3="localhost:{h3.port}"'
    origin = AdvertisingOrigin(tls, alt + "; ma=3600")
    try:
        engine = cn.PyEngine(ca_pem=tls["ca_pem"])
        _, head, _, _ = fetch(engine, "GET", origin.url("/learn"), timeout=TIMEOUT)
        assert head.startswith(b"HTTP/1.1 200")
        for i in range(2):  # the second on the QUIC connection of the first
            _, head, body, _ = fetch(engine, "GET", origin.url(f"/echo?{i}"), timeout=TIMEOUT)
            assert head.startswith(b"HTTP/3 200"), head
            sent = dict(echoed(body)["headers"])
            assert sent.get(":authority", sent.get("host")) == f"{HOST}:{origin.port}"
        # Unverified, a certificate vouches for nothing: only the origin's own host is used.
        unverified = cn.PyEngine(verify=False)
        fetch(unverified, "GET", origin.url("/learn"), timeout=TIMEOUT)
        _, head, _, _ = fetch(unverified, "GET", origin.url("/echo"), timeout=TIMEOUT)
        expected = b"HTTP/3 200" if where == "another port" else b"HTTP/1.1 200"
        assert head.startswith(expected), head
    finally:
        origin.stop()


def test_an_alternative_without_a_certificate_for_the_origin_is_not_used(tls, workdir):
    leaf = tls["ca"].issue_cert("wrong.test")
    cert, key = workdir / "alt-leaf.pem", workdir / "alt-leaf.key"
    cert.write_bytes(b"".join(blob.bytes() for blob in leaf.cert_chain_pems))
    key.write_bytes(leaf.private_key_pem.bytes())
    server = H3Server(str(cert), str(key), str(workdir / "h3-alt-leaf.log"))
    origin = AdvertisingOrigin(tls, f'h3="localhost:{server.port}"; ma=3600')
    try:
        engine = cn.PyEngine(ca_pem=tls["ca_pem"])
        for path in ("/learn", "/race", "/tcp-only"):
            _, head, _, _ = fetch(engine, "GET", origin.url(path), timeout=TIMEOUT)
            assert head.startswith(b"HTTP/1.1 200"), head
    finally:
        origin.stop()
        server.stop()


def test_clear_text_and_proxied_requests_stay_on_tcp(h3, app, nginx, tinyproxy, tls):
    from conftest import PROXY_PASSWORD, PROXY_USER

    engine = cn.PyEngine(http_version="h3", ca_pem=tls["ca_pem"])
    _, head, _, _ = fetch(engine, "GET", app.url("/status/200"), timeout=TIMEOUT)
    assert head.startswith(b"HTTP/1.1 200")
    # From HTTP/3 down to clear text by a redirect.
    _, head, _, hops = fetch(engine, "GET", h3.url(f"/redirect?to={app.url('/status/200')}"),
                             timeout=TIMEOUT)
    assert hops[0][1].startswith(b"HTTP/3 302") and head.startswith(b"HTTP/1.1 200")
    proxied = cn.PyEngine(http_version="h3", ca_pem=tls["ca_pem"],
                          proxy=f"http://{HOST}:{tinyproxy.port}", proxy_username=PROXY_USER,
                          proxy_password=PROXY_PASSWORD)
    _, head, body, _ = fetch(proxied, "GET", nginx.url("/small.txt", "https"), timeout=TIMEOUT)
    assert head.startswith(b"HTTP/2 200") and body == b"small file\n"


def test_asyncio_request(h3, h3_engine):
    async def main():
        return await fetch_async(h3_engine, "GET", h3.url("/redirect?to=/echo"),
                                 timeout=TIMEOUT)

    status, head, body, hops = asyncio.run(main())
    assert status == 200 and head.startswith(b"HTTP/3 200")
    assert echoed(body)["http_version"] == "3" and hops[0][0] == 302


def test_fifty_requests_at_once_share_one_connection(h3, h3_engine):
    async def main():
        return await asyncio.gather(*(
            fetch_async(h3_engine, "GET", h3.url(f"/echo?n={i}"), timeout=TIMEOUT)
            for i in range(50)))

    results = asyncio.run(asyncio.wait_for(main(), 45))
    assert all(status == 200 and head.startswith(b"HTTP/3 200")
               for status, head, _, _ in results)
    # hypercorn names a QUIC connection's client by the address of its first datagram.
    assert len({tuple(echoed(body)["client"]) for _, _, body, _ in results}) == 1


class AdvertisingOrigin:
    """HTTPS over TCP on 127.0.0.1 that answers every request with "ok" and the given Alt-Svc,
    closing each connection, so each request connects anew."""

    def __init__(self, tls, alt_svc, port=0):
        import ssl

        self.alt_svc = alt_svc
        self.tcp = socket.create_server((HOST, port))
        self.tcp.settimeout(0.1)
        self.port = self.tcp.getsockname()[1]
        self.ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.ctx.load_cert_chain(tls["cert"], tls["key"])
        self.stopping = threading.Event()
        self.threads = [threading.Thread(target=self._tcp, daemon=True)]
        self.threads[0].start()

    def _tcp(self):
        answer = (f"HTTP/1.1 200 OK\r\nAlt-Svc: {self.alt_svc}\r\n"
                  "Content-Length: 2\r\nConnection: close\r\n\r\nok").encode()
        while not self.stopping.is_set():
            try:
                conn, _ = self.tcp.accept()
            except OSError:
                continue
            try:
                conn.settimeout(5)
                with self.ctx.wrap_socket(conn, server_side=True) as tls_conn:
                    head = b""
                    while b"\r\n\r\n" not in head:
                        chunk = tls_conn.recv(4096)
                        if not chunk:
                            break
                        head += chunk
                    tls_conn.sendall(answer)
            except OSError:
                conn.close()

    def url(self, path):
        return f"https://{HOST}:{self.port}{path}"

    def stop(self):
        self.stopping.set()
        for t in self.threads:
            t.join(5)
        self.tcp.close()


class BrokenAlternative(AdvertisingOrigin):
    """An origin advertising h3 on its own port or another, where a UDP socket takes every
    datagram and answers none."""

    def __init__(self, tls, other_port):
        self.datagrams = 0
        self.udp = socket.socket(type=socket.SOCK_DGRAM)
        self.udp.bind((HOST, 0))
        self.udp.settimeout(0.1)
        self.udp_port = self.udp.getsockname()[1]
        super().__init__(tls, f'h3=":{self.udp_port}"; ma=3600',
                         0 if other_port else self.udp_port)
        self.threads.append(threading.Thread(target=self._udp, daemon=True))
        self.threads[-1].start()

    def _udp(self):
        while not self.stopping.is_set():
            try:
                self.udp.recv(65536)
                self.datagrams += 1
            except OSError:
                pass

    def quic_url(self, path):
        return f"https://{HOST}:{self.udp_port}{path}"

    def stop(self):
        super().stop()
        self.udp.close()


@pytest.mark.parametrize("place", ["own port", "other port"])
def test_a_broken_alternative_is_raced_once_then_left_alone(tls, place):
    peer = BrokenAlternative(tls, other_port=place == "other port")
    try:
        engine = cn.PyEngine(ca_pem=tls["ca_pem"])
        _, head, _, _ = fetch(engine, "GET", peer.url("/learn"), timeout=TIMEOUT)
        assert head.startswith(b"HTTP/1.1 200") and peer.datagrams == 0
        _, head, _, _ = fetch(engine, "GET", peer.url("/race"), timeout=TIMEOUT)
        assert head.startswith(b"HTTP/1.1 200")
        time.sleep(0.3)  # datagrams still on their way
        raced = peer.datagrams
        assert raced > 0, "the advertised alternative was never tried"
        # TCP joins the race as soon as QUIC has heard nothing for a moment, so the race sends no
        # more than QUIC alone does in half a second: its first flight, never a retransmission.
        alone = cn.PyEngine(http_version="h3", ca_pem=tls["ca_pem"])
        with pytest.raises(RuntimeError):
            fetch(alone, "GET", peer.quic_url("/h3-alone"), timeout=0.5)
        time.sleep(0.3)
        assert raced <= peer.datagrams - raced, "TCP waited for QUIC to retransmit"
        raced = peer.datagrams
        for i in range(3):
            _, head, _, _ = fetch(engine, "GET", peer.url(f"/tcp-only-{i}"), timeout=TIMEOUT)
            assert head.startswith(b"HTTP/1.1 200")
        time.sleep(0.3)
        assert peer.datagrams == raced, "QUIC was raced again while marked broken"
        # What one engine marked is its own.
        fresh = cn.PyEngine(ca_pem=tls["ca_pem"])
        fetch(fresh, "GET", peer.url("/learn"), timeout=TIMEOUT)
        fetch(fresh, "GET", peer.url("/race"), timeout=TIMEOUT)
        time.sleep(0.3)
        assert peer.datagrams > raced
        # A new address on the machine is another network, where the alternative may work.
        if os.geteuid() == 0 and shutil.which("ip"):
            before = peer.datagrams
            with extra_address("127.77.0.1/32"):
                time.sleep(0.3)  # the engine hears of it on its loop
                fetch(engine, "GET", peer.url("/new-network"), timeout=TIMEOUT)
                time.sleep(0.3)
            assert peer.datagrams > before, "the mark outlived a change of network"
    finally:
        peer.stop()


@contextlib.contextmanager
def extra_address(cidr):
    subprocess.run(["ip", "addr", "add", cidr, "dev", "lo"], check=True)
    try:
        yield
    finally:
        subprocess.run(["ip", "addr", "del", cidr, "dev", "lo"], check=True)
