"""PyEngine.request: argument conversion, the checks in their order, the ks_request_create
record byte for byte, and the clean-up when the Core refuses."""

import math
import struct

import pytest

import corvina_native as cn

URL = "http://127.0.0.1:8080/path?q=1"


@pytest.fixture
def engine():
    return cn.PyEngine()


def record(core):
    return core.last_record("ks_request_create")


def raw_record(core):
    return core.calls("ks_request_create")[-1]["record"]


class TestRecord:
    def test_minimal_record_bytes(self, core, engine):
        engine.request("GET", URL)
        raw = raw_record(core)
        assert len(raw) == 144
        # 64-bit natural layout: head, three (pointer, length) pairs, timeout, callbacks at 64,
        # body pair at 112, four u32 codes at 128, tail padding at 140.
        size, abi, url, url_len, method, method_len, headers, count, timeout = struct.unpack_from(
            "<IIQQQQQQQ", raw, 0
        )
        assert (size, abi, url_len, method_len) == (144, 8, len(URL), 3)
        assert url != 0 and method != 0
        assert (headers, count, timeout) == (0, 0, 0)
        cb_size, cb_abi, user_data, *fns = struct.unpack_from("<IIQQQQQ", raw, 64)
        assert (cb_size, cb_abi) == (48, 8) and user_data != 0 and all(fns)
        assert struct.unpack_from("<QQIIII", raw, 112) == (0, 0, 0, 0, 0, 0)
        rec = record(core)
        assert rec["url"] == URL.encode() and rec["method"] == b"GET"

    def test_every_option(self, core, engine):
        engine.request(
            "patch",
            URL,
            headers=[("X-A", "1"), ("x-a", "2"), ("X-\u00e9", "")],
            body=b"payload",
            timeout=2.5,
            redirect="error",
            cache="only_if_cached",
            priority="idle",
        )
        rec = record(core)
        assert rec["method"] == b"patch"  # unchanged, no case folding
        assert rec["headers"] == [[b"X-A", b"1"], [b"x-a", b"2"], ["X-\u00e9".encode(), None]]
        assert rec["header_count"] == 3
        assert (rec["body"], rec["body_len"], rec["body_kind"]) == (b"payload", 7, 1)
        assert rec["timeout_ms"] == 2500
        assert (rec["redirect_mode"], rec["cache_mode"], rec["priority"]) == (2, 5, 5)

    def test_all_parameters_positionally(self, core, engine):
        engine.request("PUT", URL, [("a", "b")], [104, 105], 1, False, None, "bypass", "low", False)
        rec = record(core)
        assert rec["body"] == b"hi" and rec["timeout_ms"] == 1000
        assert (rec["redirect_mode"], rec["cache_mode"], rec["priority"]) == (1, 2, 3)

    def test_user_data_differs_per_request(self, core, engine):
        kept = [engine.request("GET", URL), engine.request("GET", URL)]
        calls = core.calls("ks_request_create")
        assert calls[0]["config"]["callbacks"]["user_data"] != 0
        assert len({c["config"]["callbacks"]["user_data"] for c in calls}) == len(kept)


class TestBody:
    @pytest.mark.parametrize(
        "kwargs,kind,body",
        [
            ({}, 0, None),
            ({"body": None}, 0, None),
            ({"body": b""}, 1, None),  # empty bytes: kind 1, null pointer, length 0
            ({"body": bytearray(b"xy")}, 1, b"xy"),
            ({"chunked": True}, 2, None),
            ({"chunked": True, "body": b"dropped"}, 2, None),
            ({"chunked": False, "body": b"kept"}, 1, b"kept"),
        ],
    )
    def test_body_kinds(self, core, engine, kwargs, kind, body):
        engine.request("POST", URL, **kwargs)
        rec = record(core)
        assert rec["body_kind"] == kind and rec["body"] == body
        assert rec["body_len"] == (len(body) if body else 0)

    def test_chunked_still_converts_the_body_first(self, engine):
        with pytest.raises(TypeError, match="argument 'body'"):
            engine.request("POST", URL, body="text", chunked=True)


class TestKeywords:
    @pytest.mark.parametrize(
        "kwargs,mode",
        [
            ({}, 0),
            ({"allow_redirects": True}, 0),
            ({"allow_redirects": False}, 1),
            ({"redirect": "manual", "allow_redirects": True}, 1),
            ({"redirect": "follow", "allow_redirects": False}, 0),
            ({"redirect": None, "allow_redirects": False}, 1),
            ({"redirect": "error"}, 2),
        ],
    )
    def test_redirect_mode(self, core, engine, kwargs, mode):
        engine.request("GET", URL, **kwargs)
        assert record(core)["redirect_mode"] == mode

    @pytest.mark.parametrize(
        "keyword,code",
        [(None, 0), ("default", 0), ("validate", 1), ("bypass", 2), ("no_store", 3), ("force", 4),
         ("only_if_cached", 5)],
    )
    def test_cache_mode(self, core, engine, keyword, code):
        engine.request("GET", URL, cache=keyword)
        assert record(core)["cache_mode"] == code

    @pytest.mark.parametrize(
        "keyword,code",
        [(None, 0), ("default", 0), ("highest", 1), ("medium", 2), ("low", 3), ("lowest", 4),
         ("idle", 5)],
    )
    def test_priority(self, core, engine, keyword, code):
        engine.request("GET", URL, priority=keyword)
        assert record(core)["priority"] == code

    @pytest.mark.parametrize(
        "param,value,message",
        [
            ("redirect", "Follow", 'unknown redirect mode "Follow"'),
            ("redirect", "", 'unknown redirect mode ""'),
            ("cache", "DEFAULT", 'unknown cache mode "DEFAULT"'),
            ("cache", 'a"b\\', 'unknown cache mode "a\\"b\\\\"'),
            ("priority", "high\n", 'unknown priority "high\\n"'),
            ("priority", "x\u0301", 'unknown priority "x\\u{301}"'),
        ],
    )
    def test_unknown_keywords(self, core, engine, param, value, message):
        with pytest.raises(RuntimeError) as info:
            engine.request("GET", URL, **{param: value})
        assert type(info.value) is RuntimeError and str(info.value) == message
        assert core.calls("ks_request_create") == []


class TestTimeout:
    @pytest.mark.parametrize(
        "timeout,ms",
        [(None, 0), (0, 0), (0.0004, 0), (0.0015, 1), (2.5, 2500), (3, 3000), (1e-10, 0),
         (0.9999999996, 1000), (2.0**63, 2**64 - 1)],
    )
    def test_milliseconds(self, core, engine, timeout, ms):
        engine.request("GET", URL, timeout=timeout)
        assert record(core)["timeout_ms"] == ms

    @pytest.mark.parametrize("bad", [-1, -0.0, math.nan, math.inf, -math.inf, 2.0**64])
    def test_refused(self, core, engine, bad):
        with pytest.raises(RuntimeError, match="^timeout must be a finite non-negative number$"):
            engine.request("GET", URL, timeout=bad)
        assert core.calls("ks_request_create") == []

    def test_not_a_number_is_a_type_error(self, engine):
        with pytest.raises(TypeError, match="^argument 'timeout': "):
            engine.request("GET", URL, timeout="1")


class TestOrderOfChecks:
    def test_timeout_before_keywords(self, engine):
        with pytest.raises(RuntimeError, match="^timeout must be"):
            engine.request("GET", URL, timeout=-1, redirect="x", cache="y", priority="z")

    def test_redirect_before_cache_before_priority(self, engine):
        with pytest.raises(RuntimeError, match="^unknown redirect mode"):
            engine.request("GET", URL, redirect="x", cache="y", priority="z")
        with pytest.raises(RuntimeError, match="^unknown cache mode"):
            engine.request("GET", URL, cache="y", priority="z")

    def test_conversions_come_before_every_check(self, engine):
        # A bad flag late in the list is a conversion error, reported before the bad timeout.
        with pytest.raises(TypeError, match="^argument 'chunked': "):
            engine.request("GET", URL, timeout=-1, chunked=None)

    def test_first_conversion_failure_wins(self, engine):
        with pytest.raises(TypeError, match="^argument 'url': "):
            engine.request("GET", 5, headers="bad")


class TestConversionErrors:
    def test_missing_url(self, engine):
        with pytest.raises(TypeError, match="url"):
            engine.request("GET")

    def test_unknown_keyword(self, engine):
        with pytest.raises(TypeError, match="unexpected keyword argument 'verb'"):
            engine.request("GET", URL, verb=1)

    @pytest.mark.parametrize("param", ["allow_redirects", "chunked"])
    @pytest.mark.parametrize("value", [None, 1, 0, "yes"])
    def test_flags_accept_only_bools(self, engine, param, value):
        with pytest.raises(TypeError, match=f"^argument '{param}': "):
            engine.request("GET", URL, **{param: value})

    def test_headers_as_str(self, engine):
        with pytest.raises(TypeError, match="^argument 'headers': Can't extract `str` to `Vec`$"):
            engine.request("GET", URL, headers="a: b")

    def test_header_tuple_of_wrong_length(self, engine):
        message = "^expected tuple of length 2, but got tuple of length 1$"
        with pytest.raises(ValueError, match=message):
            engine.request("GET", URL, headers=[("a",)])

    def test_body_item_out_of_range(self, engine):
        with pytest.raises(OverflowError):
            engine.request("GET", URL, body=[256])

    def test_method_not_text(self, engine):
        with pytest.raises(TypeError, match="^argument 'method': "):
            engine.request(b"GET", URL)


class TestCreateFailure:
    @pytest.mark.parametrize(
        "status,text",
        [(1, "InvalidArgument"), (5, "InvalidState"), (15, "ProfileUnsupported"),
         (16, "native error 16"), (2**32 - 1, "native error -1")],
    )
    def test_status_is_raised_and_nothing_survives(self, core, engine, status, text):
        core.push_status("ks_request_create", status)
        with pytest.raises(RuntimeError) as info:
            engine.request("GET", URL)
        assert str(info.value) == text and type(info.value) is RuntimeError
        assert core.live("request") == 0
        assert core.sequence()[-1] == "ks_request_create"

    def test_success_without_handle(self, core, engine):
        core.push_status("ks_request_create", 0, null_handle=True)
        with pytest.raises(RuntimeError, match="^InitializationFailed$"):
            engine.request("GET", URL)

    def test_engine_keeps_working(self, core, engine):
        core.push_status("ks_request_create", 8)
        with pytest.raises(RuntimeError, match="^Network$"):
            engine.request("GET", URL)
        req = engine.request("GET", URL)
        assert isinstance(req, cn.PyRequest)

    def test_a_throwing_core_becomes_the_fault(self, core, engine):
        core.throw_next("ks_request_create")
        with pytest.raises(BaseException) as info:
            engine.request("GET", URL)
        assert not isinstance(info.value, Exception)  # the module's fault type
        assert core.live("request") == 0


class TestLifecycle:
    def test_idle_request_releases_once_without_callbacks(self, core, engine):
        req = engine.request("GET", URL)
        assert core.live("request") == 1
        assert req.is_finished() is False
        del req
        assert core.live("request") == 0
        assert core.sequence()[-2:] == ["ks_request_create", "ks_request_release"]

    def test_request_outlives_its_engine(self, core):
        req = cn.PyEngine().request("GET", URL)
        assert "ks_engine_release" in core.sequence()
        core.req_response(status=204, where=1)
        core.req_complete(where=1)
        assert req.start_stream().status_code == 204
        assert req.read_body() == b""
