"""Manual redirects: the Core stops at each hop and the caller decides.

    python examples/manual_redirect.py URL
"""

import sys

import corvina_native as cn


def follow_manually(engine: cn.PyEngine, url: str, limit: int = 10) -> bytes:
    request = engine.request("GET", url, redirect="manual")
    request.start()
    hops = 0
    while True:
        hop, head = request.wait_manual(timeout=10)
        if hop is not None:
            status, _head, from_url, to_url = hop
            hops += 1
            print(f"  hop {hops}: {status} {from_url} -> {to_url}")
            if hops > limit:
                request.cancel()
                raise RuntimeError("too many redirects")
            request.follow_redirect()
        elif head is not None:
            body = request.read_body()
            print(f"final response {head[0]} after {hops} hops: {body!r}")
            return body
        else:
            raise TimeoutError("no redirect or response within 10 s")


if __name__ == "__main__":
    follow_manually(cn.PyEngine(), sys.argv[1])
