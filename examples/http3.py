"""One HTTP/3 request to a QUIC server started on 127.0.0.1 (hypercorn with aioquic)."""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from types import TracebackType

import trustme

import corvina_native as cn

APP = '''
async def app(scope, receive, send):
    if scope["type"] != "http":
        return
    body = f"hello over HTTP/{scope['http_version']}\\n".encode()
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"content-length", str(len(body)).encode())]})
    await send({"type": "http.response.body", "body": body})
'''


class QuicServer:
    """hypercorn serving TLS over TCP and QUIC over UDP on one port of 127.0.0.1."""

    def __enter__(self) -> QuicServer:
        self._dir = tempfile.TemporaryDirectory()
        root = Path(self._dir.name)
        ca = trustme.CA()
        ca.issue_cert("127.0.0.1").private_key_and_cert_chain_pem.write_to_path(root / "cert.pem")
        self.ca_pem = ca.cert_pem.bytes()
        (root / "h3app.py").write_text(APP)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        self.base = f"https://127.0.0.1:{port}"
        log = root / "log"
        pem = str(root / "cert.pem")
        with open(log, "wb") as out:
            self._proc = subprocess.Popen(
                [sys.executable, "-m", "hypercorn", "--certfile", pem, "--keyfile", pem,
                 "--bind", f"127.0.0.1:{port}", "--quic-bind", f"127.0.0.1:{port}", "h3app:app"],
                cwd=root, stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + 20
        while b"(QUIC)" not in log.read_bytes():  # the QUIC listener comes up last
            if self._proc.poll() is not None or time.monotonic() > deadline:
                self.__exit__(None, None, None)
                raise RuntimeError("the HTTP/3 server did not start:\n" + log.read_text())
            time.sleep(0.05)
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 tb: TracebackType | None) -> None:
        # hypercorn serves from a worker process of its own: stop the whole group, or the worker
        # outlives its parent and keeps the ports.
        self._signal_group(signal.SIGTERM)
        try:
            self._proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            pass
        self._signal_group(signal.SIGKILL)  # whatever ignored SIGTERM
        self._proc.wait()
        self._dir.cleanup()


    def _signal_group(self, sig: int) -> None:
        try:
            os.killpg(self._proc.pid, sig)
        except ProcessLookupError:
            pass


def http3(url: str, ca_pem: bytes) -> None:
    engine = cn.PyEngine(http_version="h3", ca_pem=ca_pem)
    request = engine.request("GET", url, timeout=10)
    response = request.start_stream()
    version = response.headers.split(b" ", 1)[0].decode()
    print(f"HTTP/3 request: {version} {response.status_code}, {request.read_body().decode().strip()}")


if __name__ == "__main__":
    with QuicServer() as server:
        http3(f"{server.base}/", server.ca_pem)
