"""A chunked upload fed from Python while the request runs.

    python examples/upload.py URL
"""

import sys

import corvina_native as cn


def upload(engine: cn.PyEngine, url: str, chunks: int = 16, size: int = 256 * 1024) -> bytes:
    request = engine.request("POST", url, headers=[("Content-Type", "application/octet-stream")],
                             chunked=True)
    request.start()
    piece = bytes(range(256)) * (size // 256)
    for _ in range(chunks):
        request.upload_write(piece, False)  # may wait while the Core's upload buffer is full
    request.upload_finish()
    response = request.await_response()
    body = request.read_body()
    print(f"uploaded {chunks * len(piece)} bytes: {response.status_code} {body.decode()}")
    return body


if __name__ == "__main__":
    upload(cn.PyEngine(), sys.argv[1])
