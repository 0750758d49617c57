"""The local servers of the benchmark: nginx for HTTP and an echo server for WebSockets.

Both listen on 127.0.0.1 only, on ports picked by the kernel, and are pinned to a CPU that the
runner can change between placements.
"""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
NODE_MODULE_DIRS = ["/usr/share/nodejs", "/usr/lib/nodejs", "/usr/lib/node_modules"]


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port: int, deadline: float) -> None:
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"server on port {port} did not come up")


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


NGINX_CONF = """\
daemon off;
worker_processes 1;
worker_rlimit_nofile 40000;
pid {dir}/nginx.pid;
error_log {dir}/error.log warn;
events {{
    worker_connections 30000;
    multi_accept on;
}}
http {{
    access_log off;
    sendfile on;
    tcp_nopush on;
    tcp_nodelay on;
    keepalive_requests 10000000;
    keepalive_timeout 120s;
    default_type application/octet-stream;
    client_body_temp_path {dir}/tmp/body;
    proxy_temp_path {dir}/tmp/proxy;
    fastcgi_temp_path {dir}/tmp/fastcgi;
    uwsgi_temp_path {dir}/tmp/uwsgi;
    scgi_temp_path {dir}/tmp/scgi;
    server {{
        listen 127.0.0.1:{port} backlog=16384;
        root {dir}/www;
        # Upload sink: nginx reads and discards the request body, then answers.
        location = /upload {{
            client_max_body_size 0;
            return 200 "ok\\n";
        }}
    }}
}}
"""


class Servers:
    """nginx serving /1b and /big (a sparse file) plus a WebSocket echo server."""

    def __init__(self, big_size: int, cpu: str = "0", websocket: bool = True):
        self.dir = Path(tempfile.mkdtemp(prefix="corvina-bench-"))
        self.dir.chmod(0o755)
        self.big_size = big_size
        self.procs: list[subprocess.Popen] = []
        self.nginx = None
        self.ws = None
        self.ws_server = "none"
        self.notes: list[str] = []
        try:
            self._start_nginx(cpu)
            if websocket:
                self._start_ws(cpu)
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
        (self.dir / "tmp").mkdir()
        (www / "1b").write_bytes(b"x")
        with open(www / "big", "wb") as f:
            f.truncate(self.big_size)  # sparse: served from the page cache, no disk needed
        for p in [www, www / "1b", www / "big"]:
            p.chmod(0o755 if p.is_dir() else 0o644)
        self.http_port = free_port()
        conf = self.dir / "nginx.conf"
        conf.write_text(NGINX_CONF.format(dir=self.dir, port=self.http_port))
        self.nginx = subprocess.Popen(
            ["taskset", "-c", str(cpu), nginx, "-p", str(self.dir), "-c", str(conf), "-e",
             str(self.dir / "error.log")],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
        self.procs.append(self.nginx)
        wait_port(self.http_port, time.monotonic() + 10)
        self.base = f"http://127.0.0.1:{self.http_port}"
        out = subprocess.run([nginx, "-v"], capture_output=True, text=True)
        self.nginx_version = (out.stderr or out.stdout).strip().split("/")[-1]

    def _start_ws(self, cpu: str) -> None:
        self.ws_port = free_port()
        node = shutil.which("node") or shutil.which("nodejs")
        node_path = ":".join(d for d in NODE_MODULE_DIRS if Path(d, "ws").is_dir())
        if node and node_path:
            env = dict(os.environ, NODE_PATH=node_path)
            cmd = ["taskset", "-c", str(cpu), node, str(HERE / "ws_echo.js"), str(self.ws_port)]
            version = subprocess.run(
                [node, "-p", "require('ws/package.json').version"], env=env, capture_output=True,
                text=True).stdout.strip()
            node_version = subprocess.run([node, "--version"], capture_output=True,
                                          text=True).stdout.strip()
            self.ws_server = f"node {node_version} + ws {version}"
        else:
            import sys
            env = dict(os.environ)
            cmd = ["taskset", "-c", str(cpu), sys.executable, str(HERE / "ws_echo_py.py"),
                   str(self.ws_port)]
            import websockets
            self.ws_server = f"websockets {websockets.__version__} (Python; Node's ws not found)"
            self.notes.append("Node's `ws` package was not found (apt-get install node-ws); "
                              "the WebSocket echo server is the `websockets` library's, so the "
                              "server side is slower than intended.")
        self.ws = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, start_new_session=True)
        self.procs.append(self.ws)
        wait_port(self.ws_port, time.monotonic() + 15)
        self.ws_url = f"ws://127.0.0.1:{self.ws_port}/"

    def cpu_seconds(self) -> float:
        """User + system time so far of every server process (nginx master and worker, ws)."""
        ticks = os.sysconf("SC_CLK_TCK")
        total = 0
        for proc in self.procs:
            for pid in process_tree(proc.pid):
                try:
                    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
                except OSError:
                    continue
                total += int(fields[11]) + int(fields[12])  # utime, stime
        return total / ticks

    def pin(self, cpu: str) -> None:
        for proc in self.procs:
            if proc.poll() is None:
                pin(proc.pid, cpu)

    def stop(self) -> None:
        for proc in self.procs:
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
        for proc in self.procs:
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        self.procs.clear()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
