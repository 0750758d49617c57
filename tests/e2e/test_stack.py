"""What the network stack under the Core provides, in every build: its versions are named,
and host names outside ASCII go out as their IDNA A-labels."""

import json

import corvina_native as cn
from conftest import fetch


def test_core_version_names_the_stack():
    version = cn.PyEngine.core_version()
    assert version.startswith("kestrin "), version
    for part in (" libcurl/", " OpenSSL/", " nghttp2/"):
        assert part in version, version


def test_non_ascii_host_name_is_sent_as_its_a_label(app, engine):
    # Names under .localhost reach the loopback without a DNS query, so only the IDNA
    # conversion decides whether this works.
    status, _, body, _ = fetch(engine, "GET", f"http://bücher.localhost:{app.port}/echo")
    assert status == 200
    headers = {k.lower(): v for k, v in json.loads(body)["headers"]}
    assert headers["host"] == f"xn--bcher-kva.localhost:{app.port}"
