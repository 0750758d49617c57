"""Against an aiohttp application: echo, uploads, failures mid-body, huge headers,
back-pressure on a real socket, cache validators, browser profiles."""

import importlib.metadata
import json
import threading
import time
from pathlib import Path

import pytest

import corvina_native as cn
from conftest import SANITIZED, fetch, head_value


def echo(engine, app, method="GET", **kwargs):
    status, head, body, _ = fetch(engine, method, app.url("/echo"), **kwargs)
    assert status == 200
    return json.loads(body)


def test_methods_headers_and_bodies_reach_the_server(app, engine):
    for method in ("GET", "DELETE", "OPTIONS", "PATCH", "PUT", "POST", "PROPFIND"):
        seen = echo(engine, app, method, body=b"x" * 10)
        assert (seen["method"], seen["body"]) == (method, "x" * 10)
    seen = echo(engine, app, "POST", body=bytes(range(256)))
    assert seen["length"] == 256
    seen = echo(engine, app, headers=[("X-One", "1"), ("x-two", "a"), ("x-two", "b")])
    assert ["X-One", "1"] in seen["headers"]
    assert [v for k, v in seen["headers"] if k.lower() == "x-two"] == ["a", "b"]
    names = [k.lower() for k, _ in seen["headers"]]
    assert "user-agent" in names and "accept-encoding" in names


def test_one_version_names_package_core_and_user_agent(app, engine):
    version = (Path(__file__).resolve().parents[2] / "VERSION").read_text().strip()
    assert importlib.metadata.version("corvina_native") == version
    assert cn.PyEngine.core_version().startswith(f"kestrin {version}")
    seen = dict((k.lower(), v) for k, v in echo(engine, app)["headers"])
    assert seen["user-agent"] == f"kestrin/{version}"


def test_engine_defaults_and_request_overrides(app):
    engine = cn.PyEngine(user_agent="e2e-agent/2", accept_language="nl")
    seen = dict((k.lower(), v) for k, v in echo(engine, app)["headers"])
    assert (seen["user-agent"], seen["accept-language"]) == ("e2e-agent/2", "nl")
    seen = dict((k.lower(), v) for k, v in
                echo(engine, app, headers=[("User-Agent", "mine")])["headers"])
    assert seen["user-agent"] == "mine"


@pytest.mark.parametrize("profile,marker", [("chrome", "Chrome/131"), ("chrome120", "Chrome/120"),
                                            ("firefox_133", "Firefox/133"),
                                            ("safari_18", "Version/18")])
def test_impersonation_profiles_send_browser_headers(app, profile, marker):
    engine = cn.PyEngine(impersonate=profile)
    headers = echo(engine, app)["headers"]
    names = [k.lower() for k, _ in headers]
    assert marker in dict((k.lower(), v) for k, v in headers)["user-agent"]
    assert names.index("user-agent") < names.index("accept") < names.index("accept-encoding")
    assert "sec-fetch-mode" in names
    assert ("sec-ch-ua" in names) == profile.startswith("chrome")


def test_unknown_profile_and_namespace_conflict():
    with pytest.raises(RuntimeError, match="^ProfileUnsupported$"):
        cn.PyEngine(impersonate="netscape_4")
    first = cn.PyEngine(impersonate="chrome", profile_namespace="e2e-ns")
    with pytest.raises(RuntimeError, match="^ProfileConflict$"):
        cn.PyEngine(impersonate="firefox_133", profile_namespace="e2e-ns")
    del first
    cn.PyEngine(impersonate="firefox_133", profile_namespace="e2e-ns")


def test_chunked_upload_in_blocking_code(app, engine):
    request = engine.request("PUT", app.url("/echo"), chunked=True)
    request.start()
    sent = b""
    for i in range(40):
        piece = bytes([i]) * 100_000
        request.upload_write(piece, False)
        sent += piece
    request.upload_write(b"tail", True)
    sent += b"tail"
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        request.upload_write(b"late", False)
    response = request.await_response()
    seen = json.loads(request.read_body())
    assert response.status_code == 200
    assert (seen["method"], seen["length"], seen["chunked"]) == ("PUT", len(sent), "chunked")
    assert seen["sha256"] == __import__("hashlib").sha256(sent).hexdigest()

    plain = engine.request("POST", app.url("/echo"), body=b"x")
    plain.start()
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        plain.upload_write(b"y", True)
    plain.cancel()


def test_chunked_upload_holds_bounded_memory(app, engine):
    from test_http_nginx import rss_bytes

    request = engine.request("POST", app.url("/slow-upload"), chunked=True)
    request.start()
    piece = b"m" * (1 << 20)
    start = peak = rss_bytes()
    for _ in range(96):
        request.upload_write(piece, False)  # blocks while the Core's buffer is full
        peak = max(peak, rss_bytes())
    request.upload_finish()
    request.await_response()
    assert json.loads(request.read_body())["length"] == 96 << 20
    assert SANITIZED or peak - start < 32 << 20, f"upload grew memory by {(peak - start) >> 20} MiB"


def test_status_codes_are_responses(app, engine):
    for code in (201, 204, 404, 418, 500, 503):
        status, _, _, _ = fetch(engine, "GET", app.url(f"/status/{code}"))
        assert status == code


def test_failures_mid_body(app, engine):
    request = engine.request("GET", app.url("/reset"))
    assert request.start_stream().status_code == 200
    with pytest.raises(RuntimeError, match=r"^Network \(Chromium net error -101\)"):
        request.read_body()

    request = engine.request("GET", app.url("/truncated-chunked"))
    request.start_stream()
    with pytest.raises(RuntimeError, match=r"^Network \(Chromium net error -355\)"):
        request.read_body()

    with pytest.raises(RuntimeError, match=r"^Timeout \(Chromium net error -7\)"):
        fetch(engine, "GET", app.url("/delay/2000"), timeout=0.3)
    assert fetch(engine, "GET", app.url("/delay/50"), timeout=5)[2] == b"late"


def test_cancel_from_another_thread_while_waiting_for_body(app, engine):
    request = engine.request("GET", app.url("/drip"))
    request.start_stream()
    threading.Timer(0.3, request.cancel).start()
    start = time.monotonic()
    with pytest.raises(RuntimeError, match=r"^Canceled \(Chromium net error -3\)"):
        request.read_body()
    assert time.monotonic() - start < 10


def test_huge_response_headers(app, engine):
    status, head, body, _ = fetch(engine, "GET", app.url("/huge-headers"))
    assert (status, body) == (200, b"many headers")
    assert len(head) > 90_000
    assert head_value(head, "X-Long") == "L" * 30000
    assert head_value(head, "X-Big-59") == "h" * 1000


def test_back_pressure_stalls_the_server(app, engine):
    state = app.state
    request = engine.request("GET", app.url("/stream"))
    request.start_stream()
    assert request.next_body()
    # Nobody reads now: the module pauses the Core at 1 MiB, the Core stops reading the
    # socket, and the server's writes stall once the kernel buffers are full.
    time.sleep(1.0)
    stalled_at = state.stream_written
    time.sleep(0.5)
    assert state.stream_written == stalled_at
    assert not state.stream_done
    assert stalled_at < 32 << 20
    total = 0
    while (chunk := request.next_body()) is not None:
        total += len(chunk)
    assert state.stream_done


def test_cache_modes_with_validators(app):
    engine = cn.PyEngine()
    url = app.url("/cache/etag")
    log = app.state.conditional
    log.clear()
    body1 = fetch(engine, "GET", url)[2]
    assert fetch(engine, "GET", url)[2] == body1  # fresh: not asked
    assert len(log) == 1

    assert fetch(engine, "GET", url, cache="validate")[2] == body1
    assert log[-1] == ("etag", '"e1"', None) and len(log) == 2  # answered 304

    body2 = fetch(engine, "GET", url, cache="bypass")[2]
    assert body2 != body1 and log[-1] == ("etag", None, None)
    assert fetch(engine, "GET", url, cache="only_if_cached")[2] == body2

    fresh_url = app.url("/cache/etag?max_age=0")
    stale_body = fetch(engine, "GET", fresh_url, cache="no_store")[2]
    with pytest.raises(RuntimeError, match=r"^CacheMiss \(Chromium net error -400\)"):
        fetch(engine, "GET", fresh_url, cache="only_if_cached")
    fetch(engine, "GET", fresh_url)
    asked = len(log)
    assert fetch(engine, "GET", fresh_url, cache="force")[2]  # stale, used unvalidated
    assert len(log) == asked
    fetch(engine, "GET", fresh_url)  # stale: default mode revalidates
    assert len(log) == asked + 1 and log[-1][1] == '"e1"'
    assert stale_body

    lm_url = app.url("/cache/lm")
    first = fetch(engine, "GET", lm_url)[2]
    assert fetch(engine, "GET", lm_url)[2] == first  # no-cache: revalidated, 304
    assert log[-1] == ("lm", None, "Mon, 01 Jan 2024 00:00:00 GMT")

    off = cn.PyEngine(cache=False)
    fetch(off, "GET", url)
    with pytest.raises(RuntimeError, match=r"^CacheMiss"):
        fetch(off, "GET", url, cache="only_if_cached")
