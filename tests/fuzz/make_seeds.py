"""Writes the hand-made seed inputs under corpus/<target>/ (run once; the files are committed).

The callback seeds follow the byte layout read by callbacks_driver.Input: one scenario each,
so fuzzing starts from complete request and WebSocket lifetimes rather than from nothing.
"""

import hashlib
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent


def write(target, seeds):
    out = HERE / "corpus" / target
    out.mkdir(parents=True, exist_ok=True)
    for data in seeds:
        (out / hashlib.sha1(data).hexdigest()).write_bytes(data)


def blob(b):
    assert len(b) < 200
    return bytes([len(b)]) + b


NULL = b"\xff"
u32 = lambda v: struct.pack("<I", v & 0xFFFFFFFF)  # noqa: E731

UTF8 = [
    b"",
    b"plain ascii",
    "héllo wörld ✓ 𝄞".encode(),
    b"\xc0\xaf\xe0\x80\xaf\xed\xa0\x80\xf4\x90\x80\x80\xf8\x88\x80\x80\x80",
    b"\xe2\x82\xf0\x9f\x98\xff\xfe\x80\xbf",
    b"abc\xe2\x82",
    b"\xef\xbf\xbd\xf0\x9f\x98\x80\xed\x9f\xbf\xee\x80\x80",
]

QUOTE = UTF8 + [
    b'say "hi" \\ back\tslash\r\n\x00end',
    b"\x01\x1b[31m\x7f\xc2\x80\xc2\x9f\xc2\xa0",
    "e\u0301 \u0301start \u200b\u200d \ufeff \U000e0001 \u2028".encode(),
    b"\xcd\x8f\xe0\xa4\xbf",
]

# FuzzedDataProvider reads integers from the end and strings from the front; these are just
# varied starting points: request, WebSocket, head and redirect selectors in the last byte.
CORE_HEAD = [
    b"GET\\ http://127.0.0.1/path\\ X-Test\\ value\\ \x00\x00\x00",
    b"ws://127.0.0.1/chat\\ https://origin.test\\ chat\\ X-A\\ b\\ \x01\x01\x01\x01",
    b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nCache-Control: no-cache, max-age=0\r\n"
    b"Set-Cookie: a=b\r\n\r\n\\ no-cache\\ \x02\x02",
    b"http://a.test/b/c?d\\ ../x y?z#frag\\ \x2d\x01\x00\x00\x03\x03",
    b"https://[::1]:8443/\\ //other.test/p\\ \x33\x01\x00\x00\x03\x03",
]


def req(mode, *ops):
    return bytes([0, mode]) + b"".join(ops)


def ws(mode, *ops):
    return bytes([1, mode]) + b"".join(ops)


NOW = b"\x00"
WORKER = b"\x06"
lie_none = b"\x00"


def r_response(status_index, head, where=NOW):
    return b"\x00" + where + bytes([status_index]) + blob(head) + lie_none


def r_body(data, where=NOW):
    return b"\x03" + where + blob(data) + lie_none


def r_complete(status, net, where=NOW):
    return b"\x06" + where + bytes([status]) + u32(net)


def r_redirect(head, frm, to):
    return b"\x07" + NOW + bytes([4]) + blob(head) + blob(frm) + blob(to) + lie_none


R_POLL = b"\x08\x00\x40"
R_NEXT = b"\x09\x00\x00"
R_READ = b"\x09\x00\x01"
R_HEADERS = b"\x0a\x00"
R_CANCEL = b"\x0b\x00\x02"
R_MANUAL = b"\x0c\x00"
HEAD = b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nX-Bytes: \xff\xfe\r\n\r\n"

CALLBACKS = [
    req(16, r_response(1, HEAD), r_body(b"hello"), r_body(b""), r_complete(0, 0), R_POLL),
    req(0, r_response(1, HEAD), R_POLL, R_HEADERS, r_body(b"x" * 150), r_complete(0, 0),
        R_READ),
    req(2, r_redirect(b"HTTP/1.1 302 Found\r\nLocation: /b\r\n\r\n", b"http://127.0.0.1/",
                      b"http://127.0.0.1/b"), R_MANUAL, b"\x0b\x00\x01",
        r_response(1, HEAD), r_complete(0, 0)),
    req(16, r_body(b"early"), r_complete(8, -100), R_POLL),
    req(0, r_response(1, HEAD, WORKER), r_body(b"abc", WORKER), R_CANCEL, R_NEXT),
    req(24, b"\x0d\x00" + blob(b"chunk") + b"\x01\x01", r_complete(0, 0), R_POLL),
    # An absurd head length: a callback fault in place of the head.
    req(16, b"\x00\x00\x01" + blob(b"H") + b"\xe0\x00", R_POLL),
    ws(2, b"\x00\x00" + blob(b"chat") + blob(b"ext") + lie_none,
       b"\x02\x00\x01" + u32(0) + blob(b"\xff\xfe text") + lie_none,
       b"\x02\x00\x02" + u32(0) + blob(b"\x00\x01") + lie_none,
       b"\x05\x00", b"\x06\x00\x00" + b"\x00" + blob(b"bye") + lie_none + b"\x01", R_POLL),
    ws(0, b"\x00\x00" + blob(b"") + NULL + lie_none, b"\x0a\x00" + blob(b"ping") + b"\x00",
       b"\x0b\x00" + u32(1000) + blob(b"done"),
       b"\x07\x00\x08" + u32(-100) + u32(0) + blob(b"reset") + lie_none, b"\x09\x00"),
    ws(2, b"\x02\x00\x03" + u32(7) + blob(b"odd type") + lie_none, b"\x0c\x00\x00", R_POLL),
]

if __name__ == "__main__":
    write("fuzz_utf8", UTF8)
    write("fuzz_quote", QUOTE)
    write("fuzz_core_head", CORE_HEAD)
    write("fuzz_callbacks", CALLBACKS)
