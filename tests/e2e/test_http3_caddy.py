"""HTTP/3 against a second QUIC implementation: Caddy (quic-go), started on 127.0.0.1 with the
suite's CA, serving HTTP/1.1, HTTP/2 and HTTP/3 on one port, with a JSON access log that says
how each request ended, with which headers and from which port. The hypercorn cases that Caddy
can serve run here too: bodies both ways, streamed, profiles and priority, a redirect on
asyncio, trust, many requests on one connection, Alt-Svc, cancels."""

import asyncio
import hashlib
import json
import os
import shutil
import time

import pytest

import corvina_native as cn
from conftest import fetch, fetch_async, head_value
from support.h3_peer import HOST, free_port_pair
from support.local_servers import Process

TIMEOUT = 20
BIG = 1 << 30
MiB = 1 << 20


class Caddy:
    def __init__(self, workdir, cert, key):
        self.dir = workdir
        www = workdir / "www"
        www.mkdir()
        (www / "small.txt").write_bytes(b"small file\n")
        for name, size in (("big.bin", BIG), ("32m.bin", 32 * MiB)):
            with open(www / name, "wb") as f:
                f.truncate(size)  # sparse: zeros on the wire, nothing on disk
        self.port = free_port_pair()
        self.log_path = workdir / "access.log"
        config = workdir / "Caddyfile"
        config.write_text(f"""{{
\tadmin off
\tauto_https off
}}
https://{HOST}:{self.port} {{
\tbind {HOST}
\ttls {cert} {key}
\tlog {{
\t\toutput file {self.log_path}
\t\tformat json
\t}}
\thandle /echo {{
\t\trespond "{{http.request.proto}} {{http.request.body}}" 200
\t}}
\thandle /redirect {{
\t\tredir * /small.txt 302
\t}}
\thandle {{
\t\troot * {www}
\t\tfile_server
\t}}
}}
""")
        env = dict(os.environ, HOME=str(workdir), XDG_DATA_HOME=str(workdir / "data"),
                   XDG_CONFIG_HOME=str(workdir / "config"))
        env.pop("LD_PRELOAD", None)  # a sanitizer runtime for the client has no business here
        out = workdir / "caddy.out"
        self.process = Process(["caddy", "run", "--config", str(config), "--adapter",
                                "caddyfile"], self.port, str(out), env=env)
        deadline = time.monotonic() + 10
        while b"HTTP/3 listener" not in out.read_bytes():
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("caddy started no HTTP/3 listener")
            time.sleep(0.05)

    def url(self, path):
        return f"https://{HOST}:{self.port}{path}"

    def logged(self, marker):
        """The access log's entries for the URIs that contain marker."""
        if not self.log_path.exists():
            return []
        entries = [json.loads(line) for line in self.log_path.read_text().splitlines() if line]
        return [e for e in entries if marker in e["request"]["uri"]]

    def stop(self):
        self.process.stop()


@pytest.fixture(scope="module")
def caddy(tmp_path_factory, tls):
    if shutil.which("caddy") is None:
        pytest.skip("caddy is not installed")
    server = Caddy(tmp_path_factory.mktemp("caddy"), tls["cert"], tls["key"])
    yield server
    server.stop()


def test_bodies_both_ways_over_http3(caddy, tls):
    engine = cn.PyEngine(http_version="h3", ca_pem=tls["ca_pem"])
    status, head, body, _ = fetch(engine, "GET", caddy.url("/small.txt"), timeout=TIMEOUT)
    assert (status, body) == (200, b"small file\n") and head.startswith(b"HTTP/3 200")
    payload = os.urandom(300_000).hex().encode()
    status, _, body, _ = fetch(engine, "POST", caddy.url("/echo"), body=payload, timeout=TIMEOUT)
    assert (status, body) == (200, b"HTTP/3.0 " + payload)


def test_alt_svc_moves_auto_onto_http3(caddy, tls):
    engine = cn.PyEngine(ca_pem=tls["ca_pem"])
    _, head, _, _ = fetch(engine, "GET", caddy.url("/small.txt?alt-1"), timeout=TIMEOUT)
    assert head.startswith(b"HTTP/2 200")
    _, head, _, _ = fetch(engine, "GET", caddy.url("/small.txt?alt-2"), timeout=TIMEOUT)
    assert head.startswith(b"HTTP/2 200")  # the open TCP connection serves on
    fresh = cn.PyEngine(http_version="h3", ca_pem=tls["ca_pem"])
    _, head, _, _ = fetch(fresh, "GET", caddy.url("/small.txt?alt-3"), timeout=TIMEOUT)
    assert head.startswith(b"HTTP/3 200")


def test_each_cancel_mid_body_ends_the_servers_stream(caddy, tls):
    """The server logs a request once it has stopped serving it: each cancelled download must be
    logged within seconds, not when the connection is next used."""
    engine = cn.PyEngine(http_version="h3", ca_pem=tls["ca_pem"])
    for i in range(12):
        request = engine.request("GET", caddy.url(f"/big.bin?cancel-{i}"), timeout=TIMEOUT)
        assert request.start_stream().status_code == 200
        got = 0
        while got < 256 * 1024:
            got += len(request.next_body())
        request.cancel()
        deadline = time.monotonic() + 5
        while not caddy.logged(f"cancel-{i}") and time.monotonic() < deadline:
            time.sleep(0.02)
        assert caddy.logged(f"cancel-{i}"), f"cancel {i}: the server went on serving"


@pytest.mark.parametrize("profile", [None, "chrome", "firefox"])
def test_profiles_and_priority_over_quic(caddy, tls, profile):
    engine = cn.PyEngine(http_version="h3", ca_pem=tls["ca_pem"], impersonate=profile)
    fetch(engine, "GET", caddy.url(f"/small.txt?prio-{profile}"), priority="lowest",
          timeout=TIMEOUT)
    headers = wait_logged(caddy, f"prio-{profile}")["request"]["headers"]
    assert headers["Priority"] == ["u=3"]
    if profile:
        assert "Accept-Language" in headers and len(headers["User-Agent"]) == 1


def test_streamed_download_and_upload(caddy, tls):
    engine = cn.PyEngine(http_version="h3", ca_pem=tls["ca_pem"])
    request = engine.request("GET", caddy.url("/32m.bin"), timeout=60)
    response = request.start_stream()
    assert response.headers.startswith(b"HTTP/3 200")
    assert head_value(response.headers, "content-length") == str(32 * MiB)
    total = 0
    while (chunk := request.next_body()) is not None:
        assert not chunk.strip(b"\0")
        total += len(chunk)
    assert total == 32 * MiB
    request = engine.request("PUT", caddy.url("/echo"), chunked=True, timeout=TIMEOUT)
    request.start()
    sent = hashlib.sha256(b"HTTP/3.0 ")
    for i in range(40):
        piece = bytes([65 + i % 26]) * 100_000
        request.upload_write(piece, False)
        sent.update(piece)
    request.upload_write(b"tail", True)
    sent.update(b"tail")
    assert request.await_response().status_code == 200
    assert hashlib.sha256(request.read_body()).hexdigest() == sent.hexdigest()


def test_redirect_within_http3_on_asyncio(caddy, tls):
    engine = cn.PyEngine(http_version="h3", ca_pem=tls["ca_pem"])
    status, head, body, hops = asyncio.run(
        fetch_async(engine, "GET", caddy.url("/redirect"), timeout=TIMEOUT))
    assert (status, body) == (200, b"small file\n") and head.startswith(b"HTTP/3 200")
    assert hops[0][0] == 302 and hops[0][1].startswith(b"HTTP/3 302")


@pytest.mark.parametrize("settings, failure", [({"verify": False}, None), ({}, -202)],
                         ids=["verify-off", "untrusted-leaf"])
def test_trust(caddy, settings, failure):
    engine = cn.PyEngine(http_version="h3", **settings)
    if failure is None:
        assert fetch(engine, "GET", caddy.url("/small.txt"), timeout=TIMEOUT)[0] == 200
    else:
        with pytest.raises(RuntimeError, match=rf"^Tls \(Chromium net error {failure}\)"):
            fetch(engine, "GET", caddy.url("/small.txt"), timeout=TIMEOUT)


def test_fifty_requests_at_once_share_one_connection(caddy, tls):
    engine = cn.PyEngine(http_version="h3", ca_pem=tls["ca_pem"])

    async def main():
        return await asyncio.gather(*(
            fetch_async(engine, "GET", caddy.url(f"/small.txt?fifty-{i}"), timeout=TIMEOUT)
            for i in range(50)))

    results = asyncio.run(asyncio.wait_for(main(), 45))
    assert all(status == 200 and head.startswith(b"HTTP/3 200")
               for status, head, _, _ in results)
    ports = {wait_logged(caddy, f"fifty-{i}")["request"]["remote_port"] for i in range(50)}
    assert len(ports) == 1


def wait_logged(caddy, marker):
    deadline = time.monotonic() + 5
    while not (entries := caddy.logged(marker)) and time.monotonic() < deadline:
        time.sleep(0.02)
    assert entries, f"nothing logged for {marker}"
    return entries[-1]
