"""Fixtures for the end-to-end tests: the real Core behind corvina_native, and real servers
on 127.0.0.1 that the tests configure and stop."""

import asyncio
import os
import shutil

import pytest
import trustme

import corvina_native as cn

from servers import App, Nginx, Socks5, TinyProxy, TlsRelay
from support.h3_peer import H3Server

BIG_SIZE = 1 << 30
# Sanitizer runtimes keep freed memory in quarantine, so resident size says nothing there.
SANITIZED = any(n in os.environ.get("LD_PRELOAD", "") for n in ("libasan", "libtsan"))
PROXY_USER, PROXY_PASSWORD = "tester", "s3cret"


def _need(tool):
    if shutil.which(tool) is None:
        pytest.skip(f"{tool} is not installed")


@pytest.fixture(scope="session")
def workdir(tmp_path_factory):
    return tmp_path_factory.mktemp("e2e")


@pytest.fixture(scope="session")
def tls(workdir):
    ca = trustme.CA()
    cert = ca.issue_cert("127.0.0.1")
    cert_file, key_file = workdir / "server.pem", workdir / "server.key"
    cert_file.write_bytes(b"".join(blob.bytes() for blob in cert.cert_chain_pems))
    key_file.write_bytes(cert.private_key_pem.bytes())
    return {"ca_pem": ca.cert_pem.bytes(), "cert": str(cert_file), "key": str(key_file), "ca": ca}


@pytest.fixture(scope="session")
def app():
    server = App()
    yield server
    server.stop()


@pytest.fixture(scope="session")
def h3(workdir, tls):
    """One hypercorn process for the session: QUIC and TLS over TCP on one port."""
    pytest.importorskip("hypercorn")
    pytest.importorskip("aioquic")
    server = H3Server(tls["cert"], tls["key"], str(workdir / "h3.log"))
    # The server's first QUIC handshake takes about 200 ms (its lazy set-up), as long as the head
    # start QUIC gets over TCP under auto: one request first, so races measure the protocols.
    try:
        fetch(cn.PyEngine(http_version="h3", verify=False), "GET", server.url("/1b"), timeout=10)
    except RuntimeError:
        pass  # the tests report it
    yield server
    server.stop()


@pytest.fixture(scope="session")
def nginx(workdir, tls, app):
    _need("nginx")
    root = workdir / "nginx"
    root.mkdir()
    server = Nginx(str(root), tls["cert"], tls["key"], app.port, BIG_SIZE)
    yield server
    server.stop()


@pytest.fixture(scope="session")
def tinyproxy(workdir):
    _need("tinyproxy")
    root = workdir / "tinyproxy"
    root.mkdir()
    server = TinyProxy(str(root), PROXY_USER, PROXY_PASSWORD)
    yield server
    server.stop()


@pytest.fixture(scope="session")
def https_proxy(tinyproxy, tls):
    relay = TlsRelay(tls["cert"], tls["key"], tinyproxy.port)
    yield relay
    relay.stop()


@pytest.fixture(scope="session")
def socks5(workdir):
    _need("danted")
    root = workdir / "danted"
    root.mkdir()
    try:
        server = Socks5(str(root))
    except RuntimeError as exc:
        pytest.skip(f"SOCKS5 proxy did not start: {exc}")
    yield server
    server.stop()


@pytest.fixture
def engine():
    return cn.PyEngine()


def fetch(engine, method, url, **kwargs):
    """A blocking request: (status, raw head, body, hops)."""
    request = engine.request(method, url, **kwargs)
    response = request.start_stream()
    body = request.read_body()
    return response.status_code, response.headers, body, request.take_redirects()


async def fetch_async(engine, method, url, **kwargs):
    """The same on the running event loop, through start_async and poll_events."""
    loop = asyncio.get_running_loop()
    request = engine.request(method, url, **kwargs)
    done = loop.create_future()
    result = {"status": None, "head": None, "body": [], "hops": []}

    def notify():
        for kind, status, head, body, error in request.poll_events():
            if kind == "redirect":
                result["hops"].append((status, head, body.decode(), error))
            elif kind == "response":
                result["status"], result["head"] = status, head
            elif kind == "body":
                result["body"].append(body)
            elif kind == "done" and not done.done():
                done.set_result(None)
            elif kind == "error" and not done.done():
                done.set_exception(RuntimeError(error))

    request.start_async(loop, notify)
    await done
    return result["status"], result["head"], b"".join(result["body"]), result["hops"]


def head_value(head, name):
    """First value of a header in a raw head, case-insensitive."""
    for line in head.decode("latin-1").split("\r\n")[1:]:
        key, _, value = line.partition(":")
        if key.strip().lower() == name.lower():
            return value.strip()
    return None
