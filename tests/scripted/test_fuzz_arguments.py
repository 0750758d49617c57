"""Every argument of every method, fed any Python value: the call works or raises one of the
documented exceptions (or the caller's own exception, raised from its own dunder method).
Never a NativeFault, a SystemError or a crash."""

import asyncio
import decimal
import fractions
import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvina_native as cn

URL = "http://127.0.0.1:8080/"
DOCUMENTED = (TypeError, ValueError, OverflowError, RuntimeError, UnicodeEncodeError)


class Boom(Exception):
    """Raised by the hostile objects below: the module must pass it on untouched."""


class Evil:
    """Every conversion hook raises."""

    def __index__(self):
        raise Boom("index")

    def __int__(self):
        raise Boom("int")

    def __float__(self):
        raise Boom("float")

    def __bool__(self):
        raise Boom("bool")

    def __len__(self):
        raise Boom("len")

    def __iter__(self):
        raise Boom("iter")

    def __str__(self):
        raise Boom("str")


class WrongIndex:
    def __index__(self):
        return "not an int"


class BigIndex:
    def __index__(self):
        return 1 << 200


class FloatLike:
    def __float__(self):
        return math.inf


class Text(str):
    pass


class Blob(bytes):
    pass


class Number(int):
    pass


class Real(float):
    pass


class Items(list):
    pass


def evil_generator():
    yield ("X-A", "1")
    raise Boom("generator")


texts = st.text(alphabet=st.characters(blacklist_categories=()), max_size=40)
scalars = st.one_of(
    st.none(), st.booleans(),
    st.integers(), st.integers(min_value=-(1 << 70), max_value=1 << 70),
    st.sampled_from([0, -1, 1, 2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**63 - 1, 2**63, 2**64,
                     -2**63 - 1, 65535, 65536, 999, 1000, 4999, 5000]),
    st.floats(), st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 1e-320, 1e308]),
    texts, st.binary(max_size=40),
    st.sampled_from(["GET", "http://127.0.0.1/", "ws://127.0.0.1/", "a\r\nb", "\0", "\ud800",
                     "é" * 50, "", " ", "chrome", "firefox", "safari", "auto", "manual", "follow",
                     "error", "default", "no_store", "bypass", "validate", "force",
                     "only_if_cached", "highest", "medium", "low", "lowest", "idle", "chunked"]),
    st.builds(bytearray, st.binary(max_size=20)),
    st.builds(lambda b: memoryview(b), st.binary(max_size=20)),
    st.builds(lambda b: memoryview(b)[::2], st.binary(min_size=2, max_size=20)),
    st.builds(Text, texts), st.builds(Blob, st.binary(max_size=10)),
    st.builds(Number, st.integers()), st.builds(Real, st.floats()),
    st.sampled_from([Evil(), WrongIndex(), BigIndex(), FloatLike(), object(), 1j,
                     decimal.Decimal("1.5"), decimal.Decimal("NaN"), fractions.Fraction(1, 3),
                     type, print, Ellipsis, NotImplemented, (), [], {}, set(), frozenset()]),
)
values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4), st.tuples(inner, inner), st.tuples(inner),
        st.tuples(inner, inner, inner), st.builds(Items, st.lists(inner, max_size=3)),
        st.dictionaries(texts, inner, max_size=3),
        st.builds(lambda xs: iter(xs), st.lists(inner, max_size=3)),
        st.just(evil_generator),  # the function itself, not called
        st.builds(lambda: evil_generator()),
    ),
    max_leaves=8,
)

NAMES = {
    "engine": ["impersonate", "proxy", "verify", "ca_pem", "user_agent", "accept_language",
               "proxy_username", "proxy_password", "http_version", "cache", "profile_namespace"],
    "request": ["method", "url", "headers", "body", "timeout", "allow_redirects", "redirect",
                "cache", "priority", "chunked"],
    "websocket": ["url", "origin", "headers", "timeout", "protocols"],
}


def arguments(names):
    """Positional values and keyword values: mostly sensible, any one of them anything."""
    return st.tuples(
        st.lists(values, max_size=len(names) + 1),
        st.dictionaries(st.sampled_from(names + ["bogus"]), values, max_size=4),
    )


def call(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except (*DOCUMENTED, Boom):
        pass
    # Anything else, NativeFault included (a BaseException), fails the example.


FUZZ = settings(max_examples=300, deadline=None,
                suppress_health_check=[HealthCheck.function_scoped_fixture,
                                       HealthCheck.too_slow])


@pytest.fixture(scope="module")
def engine():
    return cn.PyEngine()


@FUZZ
@given(arguments(NAMES["engine"]))
def test_engine_constructor(core, args):
    positional, keywords = args
    call(cn.PyEngine, *positional, **keywords)


@FUZZ
@given(arguments(NAMES["request"]), st.integers(0, 2))
def test_engine_request(core, engine, args, prefix):
    positional, keywords = args
    # A valid head keeps the later arguments reachable.
    positional = ["GET", URL][:prefix] + positional
    call(engine.request, *positional, **keywords)


@FUZZ
@given(arguments(NAMES["websocket"]), st.booleans())
def test_engine_websocket(core, engine, args, with_url):
    positional, keywords = args
    if with_url:
        positional = ["ws://127.0.0.1:8080/"] + positional
    call(engine.websocket, *positional, **keywords)


REQUEST_METHODS = [
    ("upload_write", ["data", "final_chunk"]),
    ("wait_redirect", ["timeout"]),
    ("wait_manual", ["timeout"]),
    ("poll_events", ["limit"]),
    ("start_async", ["loop_", "notify"]),
    ("attach_async", ["loop_", "notify"]),
] + [(name, []) for name in ("cancel", "detach_callback", "is_finished", "upload_finish",
                             "resume_read", "follow_redirect", "take_redirects", "poll_event")]


@FUZZ
@given(st.sampled_from(REQUEST_METHODS), st.data(), st.booleans())
def test_request_methods(core, engine, method, data, chunked):
    name, names = method
    positional, keywords = data.draw(arguments(names or ["x"]))
    request = engine.request("POST", URL, chunked=chunked)
    if name.startswith("wait_"):
        # A hop already queued, so a wait of any length returns at once.
        request.start()
        core.req_redirect(status=302, to_url=b"http://127.0.0.1:8080/next")
    call(getattr(request, name), *positional, **keywords)
    request.cancel()


WEBSOCKET_METHODS = [
    ("send_text", ["text"]),
    ("send_bytes", ["data"]),
    ("close", ["code", "reason"]),
    ("poll_events", ["limit"]),
    ("start_async", ["loop_", "notify"]),
] + [(name, []) for name in ("cancel", "detach_callback", "is_finished", "poll_event")]


@FUZZ
@given(st.sampled_from(WEBSOCKET_METHODS), st.data(), st.booleans())
def test_websocket_methods(core, engine, method, data, opened):
    name, names = method
    positional, keywords = data.draw(arguments(names or ["x"]))
    ws = engine.websocket("ws://127.0.0.1:8080/")
    if opened:
        ws.connect()
        core.ws_open()
    call(getattr(ws, name), *positional, **keywords)
    ws.cancel()


@FUZZ
@given(st.sampled_from(["limit", "timeout"]), values)
def test_valid_calls_with_one_bad_value(core, engine, which, value):
    # The common shapes of the facade's calls, one argument replaced.
    request = engine.request("GET", URL)
    if which == "limit":
        call(request.poll_events, value)
        call(request.poll_events, limit=value)
    else:
        call(engine.request, "GET", URL, timeout=value)
        call(engine.websocket, "ws://127.0.0.1:8080/", timeout=value)


def test_async_with_a_real_loop_and_a_hostile_notify(core, engine):
    # A notify that raises, and a "loop" whose call_soon_threadsafe raises: neither escapes
    # into the Core's thread nor faults the module.
    class BadLoop:
        def call_soon_threadsafe(self, fn):
            raise Boom("loop")

    loop = asyncio.new_event_loop()
    try:
        for target_loop in (loop, BadLoop(), object()):
            request = engine.request("GET", URL)
            request.start_async(target_loop, lambda: (_ for _ in ()).throw(Boom("notify")))
            core.req_response(status=200, head=b"HTTP/1.1 200 OK\r\n\r\n")
            core.req_complete(status=0)
            loop.run_until_complete(asyncio.sleep(0.01))
            assert [e[0] for e in request.poll_events()] == ["response", "done"]
    finally:
        loop.close()
