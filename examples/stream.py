"""A streamed download with a progress bar: chunks as the Core delivers them, memory bounded.

    python examples/stream.py URL
"""

import re
import sys
import time

import corvina_native as cn


def stream(engine: cn.PyEngine, url: str) -> int:
    request = engine.request("GET", url)
    response = request.start_stream()
    match = re.search(rb"(?im)^content-length:\s*(\d+)", response.headers)
    total = int(match.group(1)) if match else 0
    received, started, shown = 0, time.monotonic(), -1
    while (chunk := request.next_body()) is not None:
        received += len(chunk)
        done = received * 40 // total if total else 0
        if total and done != shown:
            shown = done
            print(f"\r  [{'#' * done}{'.' * (40 - done)}] {received >> 20} MiB", end="", flush=True)
    seconds = max(time.monotonic() - started, 1e-9)
    print(f"\rstreamed {received} bytes in {seconds:.2f} s ({received / seconds / 1e6:.0f} MB/s)" + " " * 20)
    return received


if __name__ == "__main__":
    stream(cn.PyEngine(), sys.argv[1])
