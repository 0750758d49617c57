"""Resident memory across large downloads through one engine: RSS after each body is dropped,
against the RSS after a warm-up request, for whole bodies (read_body), streamed ones
(next_body) and asyncio (start_async + poll_events).

    PYTHONPATH=build/dev/bindings/python build/venv/bin/python bench/rss.py [--mib 64] [--runs 20]

Prints one line per mode: the highest and last excess over the baseline, in MiB, and the heap
in use (mallinfo2) at the end, which tells memory the allocator keeps from memory still held.
"""

import argparse
import asyncio
import ctypes
import gc
import os
import sys

from servers import Servers

import corvina_native as cn

PAGE = os.sysconf("SC_PAGE_SIZE")
MIB = 1 << 20


class MallInfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                 "uordblks", "fordblks", "keepcost")]


libc = ctypes.CDLL(None)
libc.mallinfo2.restype = MallInfo2


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def in_use() -> int:
    m = libc.mallinfo2()
    return m.uordblks + m.hblkhd


def whole(engine, url):
    r = engine.request("GET", url)
    r.start_stream()
    body = r.read_body()
    return len(body)


def streamed(engine, url):
    r = engine.request("GET", url)
    r.start_stream()
    n = 0
    while (chunk := r.next_body()) is not None:
        n += len(chunk)
    return n


def in_asyncio(engine, url):
    async def run():
        loop = asyncio.get_running_loop()
        r = engine.request("GET", url)
        wake = asyncio.Event()
        r.start_async(loop, wake.set)
        n = 0
        while True:
            batch = r.poll_events()
            if not batch:
                await wake.wait()
                wake.clear()
                continue
            for kind, _, _, body, error in batch:
                if kind == "body":
                    n += len(body)
                elif kind == "done":
                    return n
                elif kind == "error":
                    raise RuntimeError(error)
    return asyncio.run(run())


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--mib", type=int, default=64)
    p.add_argument("--runs", type=int, default=20)
    p.add_argument("--modes", default="whole,streamed,asyncio")
    args = p.parse_args()
    size = args.mib * MIB
    with Servers(size, websocket=False) as s:
        url = f"http://127.0.0.1:{s.http_port}/big"
        for mode in args.modes.split(","):
            fn = {"whole": whole, "streamed": streamed, "asyncio": in_asyncio}[mode]
            engine = cn.PyEngine()
            fn(engine, f"http://127.0.0.1:{s.http_port}/1b")
            gc.collect()
            base = rss()
            excess = []
            for _ in range(args.runs):
                assert fn(engine, url) == size
                gc.collect()
                excess.append(rss() - base)
            print(f"{mode:9} {args.runs} x {args.mib} MiB: RSS over baseline max "
                  f"{max(excess) / MIB:5.1f} MiB, last {excess[-1] / MIB:5.1f} MiB; "
                  f"heap in use {in_use() / MIB:5.1f} MiB", flush=True)
            del engine
            gc.collect()


if __name__ == "__main__":
    sys.exit(main())
