"""Proxies (tinyproxy with Basic authentication, dante SOCKS5) and asyncio use."""

import asyncio
import json
import time

import pytest

import corvina_native as cn
from conftest import PROXY_PASSWORD, PROXY_USER, fetch, fetch_async


def proxy_url(server):
    return f"http://127.0.0.1:{server.port}"


def test_http_proxy_with_right_and_wrong_credentials(tinyproxy, nginx, tls):
    good = cn.PyEngine(proxy=proxy_url(tinyproxy), proxy_username=PROXY_USER,
                       proxy_password=PROXY_PASSWORD, ca_pem=tls["ca_pem"])
    assert fetch(good, "GET", nginx.url("/small.txt"))[2] == b"small file\n"
    # HTTPS goes through a CONNECT tunnel.
    status, head, body, _ = fetch(good, "GET", nginx.url("/small.txt", "https"))
    assert (status, body) == (200, b"small file\n")
    assert head.startswith(b"HTTP/2 200")

    for user, password in ((PROXY_USER, "wrong"), (None, None)):
        bad = cn.PyEngine(proxy=proxy_url(tinyproxy), proxy_username=user,
                          proxy_password=password, ca_pem=tls["ca_pem"])
        # In clear the proxy's refusal is an ordinary response (tinyproxy answers 401) ...
        refusal = fetch(bad, "GET", nginx.url("/small.txt"))[0]
        assert refusal in (401, 407)
        # ... for a tunnel it is a proxy failure.
        net = -127 if refusal == 407 else -111
        with pytest.raises(RuntimeError, match=rf"^Proxy \(Chromium net error {net}\)"):
            fetch(bad, "GET", nginx.url("/small.txt", "https"))


def test_https_proxy_is_verified_and_authenticated(https_proxy, nginx, tls):
    proxy = f"https://127.0.0.1:{https_proxy.port}"
    good = cn.PyEngine(proxy=proxy, proxy_username=PROXY_USER, proxy_password=PROXY_PASSWORD,
                       ca_pem=tls["ca_pem"])
    assert fetch(good, "GET", nginx.url("/small.txt"))[2] == b"small file\n"
    assert fetch(good, "GET", nginx.url("/small.txt", "https"))[2] == b"small file\n"
    # The proxy's certificate is checked like a server's.
    untrusted = cn.PyEngine(proxy=proxy, proxy_username=PROXY_USER,
                            proxy_password=PROXY_PASSWORD)
    with pytest.raises(RuntimeError, match=r"^Tls \(Chromium net error -202\)"):
        fetch(untrusted, "GET", nginx.url("/small.txt"))


def test_unreachable_proxy(nginx):
    with __import__("socket").socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    engine = cn.PyEngine(proxy=f"http://127.0.0.1:{port}")
    with pytest.raises(RuntimeError, match=r"^Proxy \(Chromium net error -130\)"):
        fetch(engine, "GET", nginx.url("/small.txt"))


@pytest.mark.parametrize("scheme", ["socks5", "socks5h"])
def test_socks5_proxy(socks5, nginx, tls, scheme):
    engine = cn.PyEngine(proxy=f"{scheme}://127.0.0.1:{socks5.port}")
    assert fetch(engine, "GET", nginx.url("/small.txt"))[2] == b"small file\n"
    # QUIC goes through no proxy of ours: an HTTP/3 engine tunnels over TCP, as auto does.
    h3 = cn.PyEngine(proxy=f"{scheme}://127.0.0.1:{socks5.port}", http_version="h3",
                     ca_pem=tls["ca_pem"])
    _, head, body, _ = fetch(h3, "GET", nginx.url("/small.txt", "https"))
    assert head.startswith(b"HTTP/2 200") and body == b"small file\n"


def test_asyncio_get_redirects_and_errors(nginx, app):
    async def main():
        engine = cn.PyEngine()
        status, head, body, hops = await fetch_async(engine, "GET", nginx.url("/chain/3"))
        assert (status, body, len(hops)) == (200, b"small file\n", 3)
        status, _, body, _ = await fetch_async(engine, "GET", nginx.url("/text.txt"))
        assert status == 200 and len(body) > 100_000
        with pytest.raises(RuntimeError, match=r"^Network \(Chromium net error -101\)"):
            await fetch_async(engine, "GET", app.url("/reset"))
        with pytest.raises(RuntimeError, match=r"^Timeout"):
            await fetch_async(engine, "GET", app.url("/delay/3000"), timeout=0.2)

    asyncio.run(main())


def test_asyncio_chunked_upload(app):
    async def main():
        engine = cn.PyEngine()
        loop = asyncio.get_running_loop()
        request = engine.request("POST", app.url("/echo"), chunked=True)
        done = loop.create_future()
        body = []

        def notify():
            for kind, _, _, data, error in request.poll_events():
                if kind == "body":
                    body.append(data)
                elif kind in ("done", "error") and not done.done():
                    done.set_result(error)

        request.attach_async(loop, notify)
        request.start()
        for i in range(5):
            await loop.run_in_executor(None, request.upload_write, b"%d" % i * 1000, False)
        await loop.run_in_executor(None, request.upload_finish)
        assert await done is None
        return json.loads(b"".join(body))

    seen = asyncio.run(main())
    assert seen["length"] == 5000 and seen["chunked"] == "chunked"


@pytest.mark.parametrize("scheme", ["http", "https"])
def test_thousand_concurrent_requests_on_one_engine(nginx, tls, scheme):
    async def main():
        engine = cn.PyEngine(ca_pem=tls["ca_pem"])
        results = await asyncio.gather(*(
            fetch_async(engine, "GET", nginx.url(f"/small.txt?{scheme}={i}", scheme),
                        priority=("highest", "low", "idle")[i % 3])
            for i in range(1000)))
        return results

    results = asyncio.run(asyncio.wait_for(main(), 120))
    assert len(results) == 1000
    assert all(status == 200 and body == b"small file\n" for status, _, body, _ in results)
    # Connections are reused, at most the browser's six per host; over TLS the streams are
    # multiplexed on HTTP/2.
    time.sleep(0.2)  # nginx writes its log after answering
    assert 1 <= len(nginx.connections_for(f"/small.txt?{scheme}=")) <= 6
    expected = b"HTTP/2 200" if scheme == "https" else b"HTTP/1.1 200"
    assert all(head.startswith(expected) for _, head, _, _ in results)
