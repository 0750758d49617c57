"""The local servers of the benchmark: nginx for HTTP, an echo server for WebSockets and, for
HTTP/3, hypercorn over QUIC (tests/support/h3_peer.py, with a self-signed certificate).

The echo server is ours in C++ (bench/ws_echo, built on first use into build/bench-ws-echo) so
that large messages measure the client; Node's `ws` and the `websockets` library can be picked
instead. All listen on 127.0.0.1 only, on ports picked by the kernel, and are pinned to a CPU
that the runner can change between placements.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from support.local_servers import (Process, free_port, nginx_config,  # noqa: E402
                                   node_ws_path, start_nginx)
from support.h3_peer import H3Server  # noqa: E402


def process_tree(pid: int) -> list[int]:
    """The pid and its children's pids, read from /proc (nginx master and worker)."""
    pids = [pid]
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            text = Path(f"/proc/{pid}/task/{task}/children").read_text()
            pids += [int(p) for p in text.split()]
    except OSError:
        pass
    return pids


def pin(pid: int, cpu: str) -> None:
    for p in process_tree(pid):
        subprocess.run(["taskset", "-a", "-p", "-c", str(cpu), str(p)], check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


WS_ECHO_SOURCE = HERE / "ws_echo"
WS_ECHO_BUILD = HERE.parent / "build" / "bench-ws-echo"


def build_ws_echo() -> Path:
    """Configures (once) and builds the C++ echo server; ninja makes a fresh build a no-op."""
    cmake = shutil.which("cmake")
    if cmake is None:
        raise RuntimeError("cmake is needed to build bench/ws_echo (or pass --ws-server node)")
    steps = [[cmake, "--build", str(WS_ECHO_BUILD), "-j2"]]
    if not (WS_ECHO_BUILD / "CMakeCache.txt").exists():
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        steps.insert(0, [cmake, "-S", str(WS_ECHO_SOURCE), "-B", str(WS_ECHO_BUILD), *generator,
                         "-DCMAKE_BUILD_TYPE=Release"])
    for step in steps:
        out = subprocess.run(step, capture_output=True, text=True, timeout=600)
        if out.returncode != 0:
            raise RuntimeError(f"building bench/ws_echo failed:\n{out.stdout}{out.stderr}")
    return WS_ECHO_BUILD / "ws_echo"


NGINX_HTTP = """access_log off;
    sendfile on;
    tcp_nopush on;
    tcp_nodelay on;
    keepalive_requests 10000000;
    keepalive_timeout 120s;
    default_type application/octet-stream;"""

NGINX_SERVER = """
        listen 127.0.0.1:{port} backlog=16384;
        root {dir}/www;
        # Upload sink: nginx reads and discards the request body, then answers.
        location = /upload {{
            client_max_body_size 0;
            return 200 "ok\\n";
        }}"""


class Servers:
    """nginx serving /1b and /big (a sparse file) plus a WebSocket echo server."""

    def __init__(self, big_size: int, cpu: str = "0", websocket: bool = True,
                 ws_server: str = "beast", h3: bool = False, deflate: bool = False):
        self.dir = Path(tempfile.mkdtemp(prefix="corvina-bench-"))
        self.dir.chmod(0o755)
        self.big_size = big_size
        self.servers: list[Process] = []
        self.nginx = None
        self.ws = None
        self.ws_server = "none"
        self.deflate_ws_server = "none"
        self.cpu = cpu
        self.h3_server = "none"
        self.h3_base = None  # None: no HTTP/3 server, and h3_missing says why
        self.h3_missing = "HTTP/3 server not started"
        self.notes: list[str] = []
        try:
            self._start_nginx(cpu)
            if websocket:
                self._start_ws(cpu, ws_server)
            if deflate:
                self._start_deflate_ws(cpu)
            if h3:
                self._start_h3(cpu)
        except BaseException:
            self.stop()
            raise

    @property
    def big_path(self) -> Path:
        return self.dir / "www" / "big"

    def _start_nginx(self, cpu: str) -> None:
        nginx = shutil.which("nginx") or "/usr/sbin/nginx"
        www = self.dir / "www"
        www.mkdir()
        (www / "1b").write_bytes(b"x")
        with open(www / "big", "wb") as f:
            f.truncate(self.big_size)  # sparse: served from the page cache, no disk needed
        # Reading a hole the first time makes the page cache allocate and zero its pages: read
        # it through once here, or the first client measured pays that on nginx's side.
        with open(www / "big", "rb", buffering=0) as f:
            chunk = bytearray(1 << 20)
            while f.readinto(chunk):
                pass
        for p in [www, www / "1b", www / "big"]:
            p.chmod(0o755 if p.is_dir() else 0o644)
        self.http_port = free_port()
        config = nginx_config(
            self.dir, [NGINX_SERVER.format(dir=self.dir, port=self.http_port)], http=NGINX_HTTP,
            events="worker_connections 30000; multi_accept on;",
            main="worker_rlimit_nofile 40000;")
        self.nginx = start_nginx(self.dir, config, (self.http_port,),
                                 prefix=("taskset", "-c", str(cpu)))
        self.servers.append(self.nginx)
        self.base = f"http://127.0.0.1:{self.http_port}"
        out = subprocess.run([nginx, "-v"], capture_output=True, text=True)
        self.nginx_version = (out.stderr or out.stdout).strip().split("/")[-1]

    def _start_ws(self, cpu: str, kind: str) -> None:
        self.ws_port = free_port()
        env = dict(os.environ)
        node, node_path = shutil.which("node"), node_ws_path()
        if kind == "node" and not (node and node_path):
            kind = "python"
            self.notes.append("Node's `ws` package was not found (apt-get install node-ws); "
                              "the WebSocket echo server is the `websockets` library's, so the "
                              "server side is slower than intended.")
        if kind == "beast":
            binary = str(build_ws_echo())
            cmd = [binary, str(self.ws_port)]
            boost = subprocess.run([binary, "--version"], capture_output=True,
                                   text=True).stdout.strip()
            self.ws_server = f"bench/ws_echo (C++, Boost.Beast of Boost {boost}, one thread)"
        elif kind == "node":
            env["NODE_PATH"] = node_path
            cmd = [node, str(HERE / "ws_echo.js"), str(self.ws_port)]
            version = subprocess.run(
                [node, "-p", "require('ws/package.json').version"], env=env, capture_output=True,
                text=True).stdout.strip()
            node_version = subprocess.run([node, "--version"], capture_output=True,
                                          text=True).stdout.strip()
            self.ws_server = f"node {node_version} + ws {version}"
        else:
            cmd = [sys.executable, str(HERE / "ws_echo_py.py"), str(self.ws_port)]
            import websockets
            self.ws_server = f"websockets {websockets.__version__} (Python)"
        self.ws = Process(["taskset", "-c", str(cpu), *cmd], self.ws_port, self.dir / "ws.out",
                          env=env, timeout=15)
        self.servers.append(self.ws)
        self.ws_url = f"ws://127.0.0.1:{self.ws_port}/"

    def _start_deflate_ws(self, cpu: str) -> None:
        """The echo server of S4z with compression on: Node's `ws`, else the `websockets`
        library (bench/ws_echo has none)."""
        self.deflate_ws_port = free_port()
        env = dict(os.environ)
        node, node_path = shutil.which("node"), node_ws_path()
        if node and node_path:
            env["NODE_PATH"] = node_path
            cmd = [node, str(HERE / "ws_echo.js"), str(self.deflate_ws_port), "deflate"]
            self.deflate_ws_server = "node ws, perMessageDeflate on"
        else:
            cmd = [sys.executable, str(HERE / "ws_echo_py.py"), str(self.deflate_ws_port),
                   "deflate"]
            self.deflate_ws_server = "websockets (Python), compression on"
        proc = Process(["taskset", "-c", str(cpu), *cmd], self.deflate_ws_port,
                       self.dir / "ws-deflate.out", env=env, timeout=15)
        self.servers.append(proc)

    def relayed(self, target_port: int):
        """A counting relay (ws_relay.py) in front of target_port, on the servers' CPU; its
        own CPU is not counted as the server's. Returns (url, stop), stop() gives its counts."""
        port = free_port()
        log = self.dir / f"relay-{port}.out"
        proc = Process(["taskset", "-c", self.cpu, sys.executable, str(HERE / "ws_relay.py"),
                        str(port), str(target_port)], port, log)

        def stop() -> dict:
            proc.stop()
            lines = [ln for ln in log.read_text().splitlines() if ln.startswith("{")]
            return json.loads(lines[-1]) if lines else {}

        return f"ws://127.0.0.1:{port}/", stop

    def _start_h3(self, cpu: str) -> None:
        try:
            from importlib import metadata
            versions = {d: metadata.version(d) for d in ("hypercorn", "aioquic")}
        except metadata.PackageNotFoundError as e:
            self.h3_missing = f"not installed: {e.name} (the HTTP/3 server)"
            self.notes.append(f"S7 skipped: {self.h3_missing}")
            return
        cert, key = self.dir / "h3-cert.pem", self.dir / "h3-key.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", str(key), "-out", str(cert)],
                       check=True, capture_output=True)
        server = H3Server(str(cert), str(key), self.dir / "h3.out",
                          prefix=("taskset", "-c", str(cpu)))
        self.servers.append(server)
        self.h3_base = f"https://127.0.0.1:{server.port}"
        self.h3_server = (f"hypercorn {versions['hypercorn']} + aioquic {versions['aioquic']} "
                          "(Python, one process)")

    def cpu_seconds(self) -> float:
        """User + system time so far of every server process (nginx master and worker, ws)."""
        ticks = os.sysconf("SC_CLK_TCK")
        total = 0
        for server in self.servers:
            for pid in process_tree(server.proc.pid):
                try:
                    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
                except OSError:
                    continue
                total += int(fields[11]) + int(fields[12])  # utime, stime
        return total / ticks

    def pin(self, cpu: str) -> None:
        self.cpu = cpu
        for server in self.servers:
            if server.proc.poll() is None:
                pin(server.proc.pid, cpu)

    def stop(self) -> None:
        for server in self.servers:
            server.stop()
        self.servers.clear()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
