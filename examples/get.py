"""A plain blocking GET: the head, the whole body and the redirects that were followed.

    python examples/get.py URL
"""

import sys

import corvina_native as cn


def get(engine: cn.PyEngine, url: str) -> bytes:
    request = engine.request("GET", url, timeout=30)
    response = request.start_stream()  # waits for the head with the interpreter lock released
    body = request.read_body()  # the whole body, in one bytes object
    for status, _head, from_url, to_url in request.take_redirects():
        print(f"  redirect {status}: {from_url} -> {to_url}")
    status_line = response.headers.split(b"\r\n", 1)[0].decode("latin-1")
    print(f"GET {url}: {response.status_code} ({status_line}), {len(body)} bytes")
    return body


if __name__ == "__main__":
    get(cn.PyEngine(), sys.argv[1])
