"""SOCKS5 proxies that ask for a user name and password: the engine's credentials are used."""

import pytest

import corvina_native as cn
from socks_auth import AuthSocks5


@pytest.fixture(scope="module")
def auth_socks():
    server = AuthSocks5(b"sockuser", b"s3cret")
    yield server
    server.stop()


def get(engine, url):
    request = engine.request("GET", url, timeout=10)
    response = request.start_stream()
    return response.status_code, request.read_body()


@pytest.mark.parametrize("scheme", ["socks5", "socks5h"])
def test_right_credentials(auth_socks, nginx, scheme):
    engine = cn.PyEngine(proxy=f"{scheme}://127.0.0.1:{auth_socks.port}",
                         proxy_username="sockuser", proxy_password="s3cret")
    assert get(engine, nginx.url("/small.txt")) == (200, b"small file\n")
    assert auth_socks.attempts[-1] == (b"sockuser", b"s3cret")


def test_wrong_credentials_fail_as_a_proxy_error(auth_socks, nginx):
    engine = cn.PyEngine(proxy=f"socks5://127.0.0.1:{auth_socks.port}",
                         proxy_username="sockuser", proxy_password="wrong")
    with pytest.raises(RuntimeError, match=r"^Proxy \(Chromium net error -\d+\)$"):
        get(engine, nginx.url("/small.txt"))
    assert auth_socks.attempts[-1] == (b"sockuser", b"wrong")
