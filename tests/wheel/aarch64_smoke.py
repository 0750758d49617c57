"""Checks a corvina_native build from another Python, typically the aarch64 wheel under the
arm64 CPython of scripts/arm64-root.sh: this host side starts the test servers on 127.0.0.1 (the
e2e suite's nginx with TLS, aiohttp app, HTTP/3 peer, tinyproxy and WebSocket peers), runs
aarch64_client.py with the client command against them and stops them.

    build/venv/bin/python tests/wheel/aarch64_smoke.py --smoke --wheel dist/X-aarch64.whl
    build/venv/bin/python tests/wheel/aarch64_smoke.py --wheel dist/X-aarch64.whl     # full
    PYTHONPATH=build/dev/bindings/python build/venv/bin/python tests/wheel/aarch64_smoke.py \\
        --client build/venv/bin/python                                               # host build

--client is the command (split like a shell would) that runs the client script; by default
scripts/arm64-run.sh, with --wheel W passed on to it. --smoke: import, Core version, one HTTPS
request and one WebSocket echo (nginx and a WebSocket peer only). The host Python needs the
e2e suite's tools: aiohttp, websockets, trustme, hypercorn and aioquic, nginx and tinyproxy."""

import argparse
import contextlib
import hashlib
import json
import os
import pathlib
import shlex
import signal
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
TESTS = HERE.parent
sys.path[:0] = [str(TESTS / "e2e"), str(TESTS)]

import trustme  # noqa: E402

from servers import TEXT, App, Nginx, TinyProxy  # noqa: E402
from support.h3_peer import H3Server, body_sha256  # noqa: E402
from ws_servers import WsPeer  # noqa: E402

PROXY_USER, PROXY_PASSWORD = "tester", "s3cret"
H3_BYTES = 3 << 20


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--smoke", action="store_true", help="the short CI level")
    parser.add_argument("--wheel", help="wheel for scripts/arm64-run.sh to unpack")
    parser.add_argument("--client", help="command that runs the client script")
    parser.add_argument("--timeout", type=float, default=None,
                        help="seconds for the client run (default 180, or 600 in full)")
    args = parser.parse_args()
    if args.client:
        client = shlex.split(args.client)
    else:
        client = [str(TESTS.parent / "scripts" / "arm64-run.sh")]
        if args.wheel:
            client += ["--wheel", os.path.abspath(args.wheel)]
    level = "smoke" if args.smoke else "full"
    timeout = args.timeout or (180 if args.smoke else 600)

    with tempfile.TemporaryDirectory(prefix="aarch64-smoke-") as work, \
            contextlib.ExitStack() as stack:
        work = pathlib.Path(work)
        ca = trustme.CA()
        cert = ca.issue_cert("127.0.0.1", "localhost")
        cert_file, key_file, ca_file = work / "server.pem", work / "server.key", work / "ca.pem"
        cert_file.write_bytes(b"".join(blob.bytes() for blob in cert.cert_chain_pems))
        key_file.write_bytes(cert.private_key_pem.bytes())
        ca_file.write_bytes(ca.cert_pem.bytes())
        server_ctx = __import__("ssl").SSLContext(__import__("ssl").PROTOCOL_TLS_SERVER)
        cert.configure_cert(server_ctx)

        def started(server):
            stack.callback(server.stop)
            return server

        app = started(App())
        (work / "nginx").mkdir()
        nginx = started(Nginx(str(work / "nginx"), str(cert_file), str(key_file), app.port,
                              1 << 20))
        ws = started(WsPeer())
        cfg = {
            "level": level,
            "ca_file": str(ca_file),
            "https_small": nginx.url("/small.txt", "https"),
            "ws_echo": f"ws://127.0.0.1:{ws.port}/echo",
        }
        if level == "full":
            h3 = started(H3Server(str(cert_file), str(key_file), str(work / "h3.log")))
            (work / "tinyproxy").mkdir()
            proxy = started(TinyProxy(str(work / "tinyproxy"), PROXY_USER, PROXY_PASSWORD))
            wss = started(WsPeer(ssl_context=server_ctx))
            cfg.update({
                "http_small": nginx.url("/small.txt"),
                "https_text": nginx.url("/text.txt", "https"),
                "text_sha256": hashlib.sha256(TEXT).hexdigest(),
                "h3_echo": h3.url("/echo"),
                "h3_bytes": h3.url(f"/bytes/{H3_BYTES}"),
                "h3_bytes_sha256": body_sha256(H3_BYTES),
                "proxy": f"http://127.0.0.1:{proxy.port}",
                "proxy_user": PROXY_USER,
                "proxy_password": PROXY_PASSWORD,
                "stream": app.url("/stream"),
                "stream_size": 64 << 20,  # what the app's /stream sends
                "echo": app.url("/echo"),
                "wss_echo": f"wss://127.0.0.1:{wss.port}/echo",
            })
        config = work / "config.json"
        config.write_text(json.dumps(cfg))
        argv = [*client, str(HERE / "aarch64_client.py"), str(config)]
        print("client:", shlex.join(argv), flush=True)
        try:
            # Its own session, so a timeout ends qemu and everything it started.
            proc = subprocess.Popen(argv, start_new_session=True)
            code = proc.wait(timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGTERM)
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
            print(f"client: no answer in {timeout:.0f} s")
            code = 1
    return code


if __name__ == "__main__":
    sys.exit(main())
