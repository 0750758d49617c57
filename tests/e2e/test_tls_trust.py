"""Trust as browsers see it: a leaf named only by its common name is refused, and a namespace's
shared cache never hands a response to an engine that would have refused its origin."""

import datetime
import ssl

import pytest
import trustme
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

import corvina_native as cn
from conftest import PROXY_PASSWORD, PROXY_USER, fetch
from hostile import CLOSE, HANG, HostileServer, WsAccept
from servers import TlsRelay
from ws_fixtures import recv_all, wait_open

TIMEOUT = 10
CACHEABLE = (b"HTTP/1.1 200 OK\r\nCache-Control: max-age=300\r\nConnection: close\r\n"
             b"Content-Length: 2\r\n\r\nok", CLOSE)
NOW, DAY = datetime.datetime.now(datetime.timezone.utc), datetime.timedelta(days=1)


def cn_only_leaf(ca, workdir):
    """Files of a leaf for CN=localhost with no subjectAltName, issued by ca."""
    ca_cert = x509.load_pem_x509_certificate(ca.cert_pem.bytes())
    key = ec.generate_private_key(ec.SECP256R1())
    cert = (x509.CertificateBuilder().issuer_name(ca_cert.subject)
            .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "localhost")]))
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(NOW - DAY).not_valid_after(NOW + DAY)
            .sign(serialization.load_pem_private_key(ca.private_key_pem.bytes(), None),
                  hashes.SHA256()))
    files = (workdir / "cn-only.pem", workdir / "cn-only.key")
    files[0].write_bytes(cert.public_bytes(serialization.Encoding.PEM))
    files[1].write_bytes(key.private_bytes(serialization.Encoding.PEM,
                                           serialization.PrivateFormat.PKCS8,
                                           serialization.NoEncryption()))
    return tuple(map(str, files))


@pytest.fixture(scope="module")
def trust(tmp_path_factory):
    """The root the engines trust, another root, and servers whose leaves the root issued:
    named by CN only (its files also serve an https:// proxy), expired, good; one in clear."""
    root, other = trustme.CA(), trustme.CA()
    cn_only = cn_only_leaf(root, tmp_path_factory.mktemp("trust"))
    contexts = {name: ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                for name in ("cn_only", "expired", "good")}
    contexts["cn_only"].load_cert_chain(*cn_only)
    root.issue_cert("127.0.0.1", not_before=NOW - 9 * DAY,
                    not_after=NOW - DAY).configure_cert(contexts["expired"])
    root.issue_cert("127.0.0.1").configure_cert(contexts["good"])
    servers = {}
    try:
        for name, context in [*contexts.items(), ("plain", None)]:
            servers[name] = HostileServer(ssl_context=context)
        yield {"root": root.cert_pem.bytes(), "other": other.cert_pem.bytes(),
               "cn_only_files": cn_only, **servers}
    finally:
        for server in servers.values():
            server.stop()


@pytest.mark.parametrize("verify", [True, False], ids=["verifying", "verify-off"])
@pytest.mark.parametrize("kind", ["https", "wss", "https-proxy"])
def test_leaf_without_subject_alt_name(trust, request, kind, verify):
    settings = {"ca_pem": trust["root"]} if verify else {"verify": False}
    server, relay = trust["cn_only"], None
    if kind == "https-proxy":
        relay = TlsRelay(*trust["cn_only_files"], request.getfixturevalue("tinyproxy").port)
        settings.update(proxy=f"https://localhost:{relay.port}", proxy_username=PROXY_USER,
                        proxy_password=PROXY_PASSWORD)
        server = trust["plain"]
    steps = (WsAccept(), HANG) if kind == "wss" else CACHEABLE
    path = server.script(f"/{kind}-{verify}", *steps)
    url = server.url(path) if relay else f"{kind}://localhost:{server.port}{path}"
    engine = cn.PyEngine(**settings)
    try:
        if kind != "wss":
            if verify:
                with pytest.raises(RuntimeError, match=r"^Tls \(Chromium net error -200\)"):
                    fetch(engine, "GET", url, timeout=TIMEOUT)
            else:
                assert fetch(engine, "GET", url, timeout=TIMEOUT)[2] == b"ok"
        elif verify:
            ws = engine.websocket(url)
            ws.connect()
            (event,) = recv_all(ws)
            assert event[0] == "error" and event[3].startswith("Tls (Chromium net error -200,")
        else:
            wait_open(engine.websocket(url))
        assert len(server.connections_of(path)) == (0 if verify else 1)
    finally:
        del engine
        if relay:
            relay.stop()


# case: (A's settings, B's settings, server, B's refusal, whether A's entry is shared)
CACHE_CASES = {
    "verify-off": ({"verify": False}, "root", "expired", -201, False),
    "other-root": ("root", "other", "good", -202, True),
    "via-proxy": ("root+proxy", "root", "good", None, True),
}


@pytest.mark.parametrize("case", CACHE_CASES)
def test_shared_cache_keeps_to_one_trust(trust, request, case):
    """Engine A fills its namespace's cache; B, trusting otherwise, must go to the origin (and
    be refused where it should); a second engine like A still shares A's entry, unless A
    fetched it unverified, which is never stored."""
    first, second, server, refusal, shared = CACHE_CASES[case]

    def settings(name):
        if name == "root+proxy":
            return {**settings("root"), "proxy_username": PROXY_USER,
                    "proxy_password": PROXY_PASSWORD,
                    "proxy": f"http://127.0.0.1:{request.getfixturevalue('tinyproxy').port}"}
        return {"ca_pem": trust[name]} if isinstance(name, str) else name

    server = trust[server]
    path = server.script(f"/cache/{case}", *CACHEABLE)
    url, ns = server.url(path), f"trust-{case}"
    engines = [cn.PyEngine(profile_namespace=ns, **settings(first))]
    assert fetch(engines[0], "GET", url, timeout=TIMEOUT)[2] == b"ok"
    engines.append(cn.PyEngine(profile_namespace=ns, **settings(second)))
    if refusal:
        with pytest.raises(RuntimeError, match=rf"^Tls \(Chromium net error {refusal}\)"):
            fetch(engines[1], "GET", url, timeout=TIMEOUT)
    else:
        assert fetch(engines[1], "GET", url, timeout=TIMEOUT)[2] == b"ok"
    seen = len(server.connections_of(path))
    assert seen == (1 if refusal else 2)
    engines.append(cn.PyEngine(profile_namespace=ns, **settings(first)))
    assert fetch(engines[2], "GET", url, timeout=TIMEOUT)[2] == b"ok"
    assert len(server.connections_of(path)) == seen + (0 if shared else 1)
