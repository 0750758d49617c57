"""PyEngine: option conversion and validation, the engine record, ABI check and release."""

import sys

import pytest

import corvina_native as cn

TEXT_FIELDS = {
    # parameter: record field
    "user_agent": "user_agent",
    "proxy": "proxy",
    "proxy_username": "proxy_username",
    "proxy_password": "proxy_password",
    "accept_language": "accept_language",
    "impersonate": "impersonate",
    "profile_namespace": "profile_namespace",
}


def record(core):
    return core.last_record("ks_engine_create")


def test_defaults_give_an_empty_record(core):
    cn.PyEngine()
    assert core.sequence()[:2] == ["ks_abi_version", "ks_engine_create"]
    rec = record(core)
    assert rec["struct_size"] == 152 and rec["abi_version"] == 8
    for field in [*TEXT_FIELDS.values(), "ca_pem"]:
        assert rec[field] is None and rec[field + "_len"] == 0
    assert (rec["cache_disabled"], rec["http_version"], rec["cert_mode"]) == (0, 0, 0)
    raw = core.last_struct("ks_engine_create")
    assert raw.struct_size == 152 and raw.user_agent is None and raw.ca_pem is None


@pytest.mark.parametrize("param,field", TEXT_FIELDS.items())
def test_each_text_reaches_its_field(core, param, field):
    cn.PyEngine(**{param: "v\u00e9"})
    rec = record(core)
    assert rec[field] == "v\u00e9".encode() and rec[field + "_len"] == 3
    others = [f for f in TEXT_FIELDS.values() if f != field]
    assert all(rec[f] is None for f in others)


def test_empty_text_is_passed_like_an_absent_one(core):
    cn.PyEngine(user_agent="", proxy="")
    rec = record(core)
    assert rec["user_agent"] is None and rec["user_agent_len"] == 0
    assert rec["proxy"] is None and rec["proxy_len"] == 0


def test_all_parameters_positionally(core):
    cn.PyEngine("chrome120", "http://p:1", True, b"PEM", "ua", "de", "u", "pw", "h2", False, "ns")
    rec = record(core)
    assert rec["impersonate"] == b"chrome_120"
    assert rec["proxy"] == b"http://p:1" and rec["ca_pem"] == b"PEM"
    assert rec["user_agent"] == b"ua" and rec["accept_language"] == b"de"
    assert (rec["proxy_username"], rec["proxy_password"]) == (b"u", b"pw")
    assert (rec["http_version"], rec["cache_disabled"], rec["cert_mode"]) == (2, 1, 1)
    assert rec["profile_namespace"] == b"ns"


@pytest.mark.parametrize(
    "verify,ca_pem,mode,pem",
    [
        (True, None, 0, None),
        (True, b"PEM", 1, b"PEM"),
        (True, b"", 1, None),  # given but empty: still mode 1, as (NULL, 0)
        (False, b"PEM", 2, b"PEM"),
        (False, None, 2, None),
        (True, bytearray(b"AB"), 1, b"AB"),
        (True, [104, 105], 1, b"hi"),
    ],
)
def test_certificate_mode(core, verify, ca_pem, mode, pem):
    cn.PyEngine(verify=verify, ca_pem=ca_pem)
    rec = record(core)
    assert rec["cert_mode"] == mode and rec["ca_pem"] == pem


@pytest.mark.parametrize(
    "given,sent",
    [
        ("chrome131", "chrome_131"),
        ("chrome_120", "chrome_120"),
        ("chrome", "chrome"),
        ("chrome_", "chrome_"),
        ("chrome_x1", "chrome_x1"),
        ("chrome12a", "chrome12a"),
        ("chrome__120", "chrome__120"),
        ("Chrome120", "Chrome120"),
        ("chrome\u0661\u0662", "chrome\u0661\u0662"),  # non-ASCII digits are not digits here
        ("firefox133", "firefox133"),
        ("chro", "chro"),
    ],
)
def test_impersonation_normalisation(core, given, sent):
    cn.PyEngine(impersonate=given)
    assert record(core)["impersonate"] == sent.encode()


@pytest.mark.parametrize(
    "text,code",
    [
        (None, 0), ("auto", 0), ("native", 0),
        ("h1", 1), ("v1", 1), ("http/1.1", 1),
        ("h2", 2), ("v2", 2), ("http/2", 2),
        ("h3", 3), ("v3", 3), ("http/3", 3),
    ],
)
def test_http_version_keywords(core, text, code):
    cn.PyEngine(http_version=text)
    assert record(core)["http_version"] == code


@pytest.mark.parametrize(
    "text,message",
    [
        ("HTTP/2", 'unknown http version "HTTP/2"'),
        ("2", 'unknown http version "2"'),
        ("", 'unknown http version ""'),
        ('h"4', 'unknown http version "h\\"4"'),
        ("a\\b\t\r\n\0", 'unknown http version "a\\\\b\\t\\r\\n\\0"'),
        ("\x07\u00e9\u0301\u200b\u00a0 ", 'unknown http version "\\u{7}\u00e9\\u{301}\\u{200b}\\u{a0} "'),
    ],
)
def test_unknown_http_version(core, text, message):
    with pytest.raises(RuntimeError) as info:
        cn.PyEngine(http_version=text)
    assert type(info.value) is RuntimeError and str(info.value) == message
    assert core.calls() == []  # refused before the Core is asked anything


def test_bad_http_version_is_reported_before_the_abi_check(core):
    core.set_abi_version(7)
    with pytest.raises(RuntimeError, match="unknown http version"):
        cn.PyEngine(http_version="h9")
    assert core.calls("ks_abi_version") == []


def test_wrong_core_abi_refuses_creation(core):
    core.set_abi_version(9)
    assert cn.PyEngine.abi_version() == 8 and cn.abi_version == 8
    with pytest.raises(RuntimeError) as info:
        cn.PyEngine()
    assert str(info.value) == "UnsupportedAbi"
    assert core.sequence() == ["ks_abi_version"]


@pytest.mark.parametrize(
    "status,text",
    [
        (1, "InvalidArgument"),
        (2, "UnsupportedAbi"),
        (6, "Timeout"),
        (14, "ProfileConflict"),
        (15, "ProfileUnsupported"),
        (16, "native error 16"),
        (2**31, "native error -2147483648"),
        (2**32 - 1, "native error -1"),
    ],
)
def test_create_status_becomes_runtime_error(core, status, text):
    core.push_status("ks_engine_create", status)
    with pytest.raises(RuntimeError) as info:
        cn.PyEngine()
    assert type(info.value) is RuntimeError and str(info.value) == text
    assert core.calls("ks_engine_release") == []


def test_success_without_a_handle_is_initialization_failed(core):
    core.push_status("ks_engine_create", 0, null_handle=True)
    with pytest.raises(RuntimeError) as info:
        cn.PyEngine()
    assert str(info.value) == "InitializationFailed"
    assert core.calls("ks_engine_release") == []


def test_engine_is_released_exactly_once_when_the_object_dies(core):
    engine = cn.PyEngine()
    alias = engine
    del engine
    assert core.calls("ks_engine_release") == []
    del alias
    releases = core.calls("ks_engine_release")
    assert len(releases) == 1 and releases[0]["engine"] == core.last_id("engine")
    assert core.live("engine") == 0


def test_engines_are_independent(core):
    engines = [cn.PyEngine(user_agent=str(i)) for i in range(5)]
    assert core.live("engine") == 5
    del engines[1:3]
    assert core.live("engine") == 3
    engines.clear()
    assert core.live("engine") == 0


@pytest.mark.parametrize(
    "value,expected",
    [(None, None), (b"kestrin 9", "kestrin 9"), (b"v\xff1", "v\ufffd1"), (b"", "")],
)
def test_core_version(core, value, expected):
    core.set_version_string(value)
    assert cn.PyEngine.core_version() == expected
    assert cn.PyEngine().core_version() == expected


def test_static_methods_take_no_arguments():
    for method in (cn.PyEngine.abi_version, cn.PyEngine.core_version):
        with pytest.raises(TypeError):
            method(1)
        with pytest.raises(TypeError):
            method(x=1)


class TestArgumentErrors:
    def test_wrong_types_name_the_argument(self, core):
        cases = [
            ({"impersonate": 1}, "argument 'impersonate': 'int' object is not an instance of 'str'"),
            ({"verify": 1}, "argument 'verify': 'int' object is not an instance of 'bool'"),
            ({"verify": None}, "argument 'verify': 'None' is not an instance of 'bool'"),
            ({"cache": "yes"}, "argument 'cache': 'str' object is not an instance of 'bool'"),
            ({"ca_pem": "PEM"}, "argument 'ca_pem': Can't extract `str` to `Vec`"),
            ({"ca_pem": 5}, "argument 'ca_pem': 'int' object is not an instance of 'Sequence'"),
            ({"profile_namespace": b"ns"},
             "argument 'profile_namespace': 'bytes' object is not an instance of 'str'"),
        ]
        for kwargs, message in cases:
            with pytest.raises(TypeError) as info:
                cn.PyEngine(**kwargs)
            assert str(info.value) == message
            assert isinstance(info.value.__cause__, TypeError)
            assert message.endswith(str(info.value.__cause__))
        assert core.calls() == []

    def test_byte_items_out_of_range_or_not_integers(self):
        with pytest.raises(OverflowError):
            cn.PyEngine(ca_pem=[256])
        with pytest.raises(OverflowError):
            cn.PyEngine(ca_pem=[-1])
        with pytest.raises(TypeError, match="^argument 'ca_pem': "):
            cn.PyEngine(ca_pem=["a"])

    def test_first_failing_parameter_in_declared_order_wins(self):
        with pytest.raises(TypeError, match="argument 'proxy'"):
            cn.PyEngine(cache=1, proxy=1, verify=1)

    def test_lone_surrogate_is_the_interpreters_encoding_error(self):
        with pytest.raises(UnicodeEncodeError):
            cn.PyEngine(user_agent="\ud800")

    def test_str_subclass_is_text(self, core):
        class S(str):
            pass

        cn.PyEngine(user_agent=S("sub"))
        assert record(core)["user_agent"] == b"sub"

    def test_numpy_bool_is_a_flag(self, core):
        np = pytest.importorskip("numpy")
        cn.PyEngine(cache=np.bool_(False))
        assert record(core)["cache_disabled"] == 1

    def test_binding_errors(self):
        with pytest.raises(TypeError, match=r"^PyEngine\.__new__\(\) takes from 0 to 11 "):
            cn.PyEngine(*range(12))
        with pytest.raises(TypeError, match="got an unexpected keyword argument 'verfy'"):
            cn.PyEngine(verfy=True)
        with pytest.raises(TypeError, match="got multiple values for argument 'impersonate'"):
            cn.PyEngine("chrome", impersonate="chrome")


class TestFaults:
    def test_core_exception_in_a_method_is_a_native_fault(self, core):
        core.throw_next("ks_engine_create")
        with pytest.raises(BaseException) as info:
            cn.PyEngine()
        fault = type(info.value)
        assert fault.__name__ == "NativeFault" and fault.__bases__ == (BaseException,)
        assert not isinstance(info.value, Exception)
        cn.PyEngine()  # usable afterwards

    def test_fault_while_releasing_goes_to_the_unraisable_hook(self, core, monkeypatch):
        seen = []
        monkeypatch.setattr(sys, "unraisablehook", seen.append)
        engine = cn.PyEngine()
        core.throw_next("ks_engine_release")
        del engine
        assert len(seen) == 1
        assert type(seen[0].exc_value).__name__ == "NativeFault"
        # The throwing release did not release: the Core still holds that engine.
        core.take_violations()
