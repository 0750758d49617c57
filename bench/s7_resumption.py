"""S7 with a new QUIC connection per request, with and without TLS session resumption.

    python bench/s7_resumption.py [--count 600] [--rounds 6] [--write bench/RESULTS.md]

The server (aioquic, in a process of its own) answers each request with one byte and then closes
the connection, so every request connects anew; it issues session tickets in one run and none in
the other, and reports how many handshakes resumed. The client is one corvina_native engine over
HTTP/3, sequential requests with a pause between them (outside the clock) so that each finds its
last connection closed. Per request: wall time from request to body, and the client process's CPU
time; medians and means over all rounds (which alternate the two), start-up and warm-up excluded.
The server's counts are of every handshake, each round's warm-up and counting request included.
"""

import argparse
import asyncio
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from support.h3_peer import HOST, free_port_pair  # noqa: E402

WARM = 20


def serve(port, cert, key, tickets):
    from aioquic.asyncio import QuicConnectionProtocol, serve as quic_serve
    from aioquic.h3.connection import H3Connection
    from aioquic.h3.events import HeadersReceived
    from aioquic.quic.configuration import QuicConfiguration
    from aioquic.quic.events import HandshakeCompleted, ProtocolNegotiated

    config = QuicConfiguration(is_client=False, alpn_protocols=["h3"])
    config.load_cert_chain(cert, key)
    store, counts = {}, {"resumed": 0, "full": 0}

    class Protocol(QuicConnectionProtocol):
        h3 = None

        def quic_event_received(self, event):
            if isinstance(event, ProtocolNegotiated):
                self.h3 = H3Connection(self._quic)
            if isinstance(event, HandshakeCompleted):
                counts["resumed" if event.session_resumed else "full"] += 1
            if self.h3 is None:
                return
            for h3_event in self.h3.handle_event(event):
                if isinstance(h3_event, HeadersReceived):
                    if dict(h3_event.headers)[b":path"] == b"/counts":
                        body = b"%d %d" % (counts["resumed"], counts["full"])
                    else:
                        body = b"x"
                    self.h3.send_headers(h3_event.stream_id, [(b":status", b"200")])
                    self.h3.send_data(h3_event.stream_id, body, True)
                    self.transmit()
                    asyncio.get_running_loop().call_later(0.002, self.close)

    async def main():
        await quic_serve(HOST, port, configuration=config, create_protocol=Protocol,
                         **(dict(session_ticket_handler=lambda t: store.__setitem__(t.ticket, t),
                                 session_ticket_fetcher=lambda label: store.pop(label, None))
                            if tickets else {}))
        print("ready", flush=True)
        await asyncio.Future()

    asyncio.run(main())


def run(count, tickets, cert, key):
    import corvina_native as cn

    port = free_port_pair()
    server = subprocess.Popen([sys.executable, __file__, "--serve", str(port), cert, key,
                               "1" if tickets else "0"], stdout=subprocess.PIPE)
    try:
        assert server.stdout.readline().strip() == b"ready"
        engine = cn.PyEngine(http_version="h3", verify=False, cache=False)
        url = f"https://{HOST}:{port}/1b"
        walls, cpus = [], []
        for i in range(WARM + count):
            time.sleep(0.02)  # the last connection's close arrives
            c0, t0 = time.process_time(), time.perf_counter()
            request = engine.request("GET", url, timeout=10)
            try:
                response = request.start_stream()
                body = request.read_body()
            except RuntimeError as e:
                raise RuntimeError(f"request {i}: {e}") from None
            t1, c1 = time.perf_counter(), time.process_time()
            assert response.status_code == 200 and body == b"x"
            if i >= WARM:
                walls.append(t1 - t0)
                cpus.append(c1 - c0)
        time.sleep(0.02)
        request = engine.request("GET", f"https://{HOST}:{port}/counts", timeout=10)
        request.start_stream()
        resumed, full = map(int, request.read_body().split())
        return walls, cpus, resumed, full
    finally:
        server.kill()
        server.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--count", type=int, default=600)
    parser.add_argument("--rounds", type=int, default=6)
    parser.add_argument("--write", help="append the table to this Markdown file")
    parser.add_argument("--serve", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        port, cert, key, tickets = args.serve
        return serve(int(port), cert, key, tickets == "1")

    import trustme

    ca = trustme.CA()
    leaf = ca.issue_cert(HOST)
    with tempfile.TemporaryDirectory() as d:
        cert, key = os.path.join(d, "cert.pem"), os.path.join(d, "key.pem")
        leaf.cert_chain_pems[0].write_to_path(cert)
        for blob in leaf.cert_chain_pems[1:]:
            blob.write_to_path(cert, append=True)
        leaf.private_key_pem.write_to_path(key)
        # Rounds alternate the two, so that a drift of the machine falls on both alike.
        runs = {True: [[], [], 0, 0], False: [[], [], 0, 0]}
        for _ in range(args.rounds):
            for tickets in (True, False):
                walls, cpus, resumed, full = run(args.count // args.rounds, tickets, cert, key)
                acc = runs[tickets]
                acc[0] += walls
                acc[1] += cpus
                acc[2] += resumed
                acc[3] += full
        rows = []
        for tickets, (walls, cpus, resumed, full) in runs.items():
            rows.append((
                "resumed (server issues tickets)" if tickets else "full handshake (no tickets)",
                statistics.median(walls) * 1e6, statistics.mean(walls) * 1e6,
                statistics.median(cpus) * 1e6, statistics.mean(cpus) * 1e6,
                f"{resumed} resumed, {full} full"))
    table = ["| handshake | wall median µs | wall mean µs | client CPU median µs | "
             "client CPU mean µs | server saw |", "|---|---|---|---|---|---|"]
    table += [f"| {name} | {wm:.0f} | {wa:.0f} | {cm:.0f} | {ca_:.0f} | {seen} |"
              for name, wm, wa, cm, ca_, seen in rows]
    text = "\n".join(table)
    print(text)
    if args.write:
        with open(args.write, "a") as f:
            f.write(f"\n{text}\n")


if __name__ == "__main__":
    sys.exit(main())
