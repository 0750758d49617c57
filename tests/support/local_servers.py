"""What every local server of the tests and the benchmark shares: ports on 127.0.0.1, server
processes that are stopped for sure, the one nginx configuration and where Node's `ws` is."""

import os
import shutil
import socket
import subprocess
import time

HOST = "127.0.0.1"
NODE_MODULE_DIRS = ("/usr/share/nodejs", "/usr/lib/nodejs", "/usr/lib/node_modules",
                    "/usr/local/lib/node_modules")


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def wait_port(port, proc=None, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc is not None and proc.poll() is not None:
            raise RuntimeError(f"server exited with {proc.returncode}")
        try:
            with socket.create_connection((HOST, port), timeout=0.2):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"nothing listens on {HOST}:{port}")


class Process:
    """A server process that is terminated (then killed) on stop."""

    def __init__(self, argv, port, log_path, env=None, timeout=10.0):
        self.log = open(log_path, "wb")
        self.proc = subprocess.Popen(argv, stdout=self.log, stderr=subprocess.STDOUT, env=env)
        try:
            wait_port(port, self.proc, timeout)
        except Exception:
            self.stop()
            raise

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        self.log.close()


def nginx_config(workdir, servers, http="", events="worker_connections 4096;", main=""):
    """An nginx configuration: one worker in the foreground, every file under `workdir`, one
    `server` block for each body in `servers`; `http`, `events` and `main` add directives."""
    user = "user root;" if os.geteuid() == 0 else ""
    blocks = "".join(f"    server {{{body}\n    }}\n" for body in servers)
    return f"""{user}
{main}
worker_processes 1;
daemon off;
pid {workdir}/nginx.pid;
error_log {workdir}/error.log warn;
events {{ {events} }}
http {{
    client_body_temp_path {workdir}/tmp/body;
    proxy_temp_path {workdir}/tmp/proxy;
    fastcgi_temp_path {workdir}/tmp/fastcgi;
    uwsgi_temp_path {workdir}/tmp/uwsgi;
    scgi_temp_path {workdir}/tmp/scgi;
    {http}
{blocks}}}
"""


def start_nginx(workdir, config, ports, prefix=()):
    """Writes `config` into `workdir` and runs nginx on it (after `prefix`, e.g. taskset) until
    every port listens."""
    os.makedirs(os.path.join(workdir, "tmp"), exist_ok=True)
    conf = os.path.join(workdir, "nginx.conf")
    with open(conf, "w") as f:
        f.write(config)
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    process = Process([*prefix, nginx, "-p", str(workdir), "-c", conf, "-e",
                       os.path.join(workdir, "error.log")], ports[0],
                      os.path.join(workdir, "nginx.out"))
    try:
        for port in ports[1:]:
            wait_port(port, process.proc)
    except Exception:
        process.stop()
        raise
    return process


def node_ws_path():
    """The directory that holds Node's `ws` package, or None."""
    if shutil.which("node") is None:
        return None
    for root in NODE_MODULE_DIRS:
        if os.path.isfile(os.path.join(root, "ws", "package.json")):
            return root
    return None
