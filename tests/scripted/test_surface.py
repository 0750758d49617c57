"""The module's face: attributes, classes, signatures, documentation and construction rules."""

import ast
import inspect
import pathlib
import re

import pytest

import corvina_native as cn

ENGINE_SIG = (
    "(impersonate=None, proxy=None, verify=True, ca_pem=None, user_agent=None, "
    "accept_language=None, proxy_username=None, proxy_password=None, http_version=None, "
    "cache=True, profile_namespace=None)"
)

# method: (text signature, documentation body)
REQUEST_METHODS = {
    "cancel": ("($self)", ""),
    "detach_callback": ("($self)", ""),
    "is_finished": ("($self)", ""),
    "upload_write": (
        "($self, data, final_chunk)",
        "Feeds one chunk of a chunked upload.  Only valid when the request was\n"
        'created with `upload="chunked"`.',
    ),
    "upload_finish": ("($self)", ""),
    "resume_read": ("($self)", ""),
    "follow_redirect": ("($self)", ""),
    "take_redirects": (
        "($self)",
        "Drains redirect hops the Core has already reported.  The Core reports\n"
        "them in follow mode too, which is what lets the facade rebuild\n"
        "`Response.history` and the post-redirect URL without deferring hops.",
    ),
    "wait_redirect": ("($self, timeout=None)", ""),
    "wait_manual": (
        "($self, timeout=None)",
        "Blocks until the Core reports a deferred redirect or the response\n"
        "headers arrive, whichever happens first.\n\n"
        "`manual` redirect mode makes Chromium defer the hop and wait for\n"
        "`follow_redirect`, so waiting only on the response would hang.  Returns\n"
        "`(redirect, head)` with exactly one side set, or `(None, None)` on timeout.",
    ),
    "start_stream": ("($self)", ""),
    "start": (
        "($self)",
        "Starts the request without waiting for headers.  The facade uses this for\n"
        "chunked uploads, where the body must be fed before headers can arrive.",
    ),
    "await_response": ("($self)", "Waits for the headers of a request already started by `start`."),
    "next_body": ("($self)", ""),
    "read_body": (
        "($self)",
        "Reads the whole body with the GIL released.  Saves one Python round trip\n"
        "per chunk on the non-streaming synchronous path.",
    ),
    "start_async": (
        "($self, loop_, notify)",
        "Starts a request and arranges a thread-safe notification on an\n"
        "asyncio-compatible event loop. The callback only schedules `notify`; it\n"
        "never runs user Python code or waits for network I/O.",
    ),
    "attach_async": (
        "($self, loop_, notify)",
        "Registers the asyncio bridge without starting the request, for chunked\n"
        "uploads that must be fed after `start`.",
    ),
    "poll_event": (
        "($self)",
        "Returns one non-blocking event as `(kind, status, headers, body, error)`.\n"
        "`kind` is `response`, `body`, `done`, or `error`; `None` means pending.",
    ),
    "poll_events": (
        "($self, limit=64)",
        "Drains up to `limit` events in one call.  Batching keeps a large download\n"
        "from costing one event-loop round trip per Core chunk.",
    ),
}

WEBSOCKET_METHODS = {
    "connect": ("($self)", ""),
    "send_text": ("($self, text)", ""),
    "send_bytes": ("($self, data)", ""),
    "recv": ("($self)", ""),
    "close": ("($self, code, reason)", ""),
    "cancel": ("($self)", ""),
    "detach_callback": ("($self)", ""),
    "is_finished": ("($self)", ""),
    "start_async": ("($self, loop_, notify)", ""),
    "poll_event": ("($self)", ""),
    "poll_events": (
        "($self, limit=64)",
        "Drains up to `limit` queued events in one call so a busy socket does not\n"
        "pay an event-loop round trip per frame.",
    ),
}

ENGINE_METHODS = {
    "abi_version": ("()", ""),
    "core_version": ("()", ""),
    "request": (
        "($self, method, url, headers=None, body=None, timeout=None, allow_redirects=True, "
        "redirect=None, cache=None, priority=None, chunked=False)",
        "",
    ),
    "websocket": ('($self, url, origin="", headers=None, timeout=None, protocols=None)', ""),
}

CLASSES = ["PyEngine", "PyRequest", "PyResponse", "PyWebSocket"]


def test_module_attributes():
    assert cn.__all__ == [*CLASSES, "abi_version"]
    assert cn.abi_version == 8 and type(cn.abi_version) is int
    assert cn.__doc__ == ""
    assert [n for n in dir(cn) if not n.startswith("__")] == sorted(cn.__all__)


@pytest.mark.parametrize("name", CLASSES)
def test_class_shape(name):
    cls = getattr(cn, name)
    assert cls.__module__ == "builtins" and cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    assert not hasattr(cls, "__dict__") or "__dict__" not in cls.__dict__
    assert "__weakref__" not in dir(cls)
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", ["PyRequest", "PyResponse", "PyWebSocket"])
def test_classes_without_constructor_refuse_construction(name):
    with pytest.raises(TypeError) as info:
        getattr(cn, name)()
    assert str(info.value) == f"cannot create 'builtins.{name}' instances"


def test_engine_class_documentation_is_its_signature():
    assert cn.PyEngine.__text_signature__ == ENGINE_SIG
    assert str(inspect.signature(cn.PyEngine)) == ENGINE_SIG
    assert not cn.PyEngine.__doc__  # the class documentation holds only the signature


@pytest.mark.parametrize(
    "cls,table",
    [(cn.PyEngine, ENGINE_METHODS), (cn.PyRequest, REQUEST_METHODS), (cn.PyWebSocket, WEBSOCKET_METHODS)],
    ids=["PyEngine", "PyRequest", "PyWebSocket"],
)
def test_method_signatures_and_documentation(cls, table):
    own = [
        n for n, v in vars(cls).items()
        if (callable(v) or isinstance(v, staticmethod)) and n != "__new__"
    ]
    assert sorted(own) == sorted(table)
    for name, (signature, body) in table.items():
        method = getattr(cls, name)
        assert method.__text_signature__ == signature, name
        assert (method.__doc__ or "") == body, name


def test_method_tables_keep_their_order():
    assert [n for n in vars(cn.PyRequest) if n in REQUEST_METHODS] == list(REQUEST_METHODS)
    assert [n for n in vars(cn.PyWebSocket) if n in WEBSOCKET_METHODS] == list(WEBSOCKET_METHODS)


def test_response_attributes_are_read_only_descriptors():
    for name in ("status_code", "headers", "content"):
        descriptor = vars(cn.PyResponse)[name]
        assert descriptor.__doc__ is None
        assert type(descriptor).__name__ == "getset_descriptor"


def test_no_special_methods_of_their_own():
    for name in CLASSES:
        own = {k for k in vars(getattr(cn, name)) if k.startswith("__") and k.endswith("__")}
        assert own <= {"__doc__", "__module__", "__new__", "__text_signature__"}, own


def test_method_binding_messages(core):
    engine = cn.PyEngine()
    with pytest.raises(TypeError) as info:
        engine.request("GET")
    assert str(info.value) == "PyEngine.request() missing 1 required positional argument: 'url'"
    with pytest.raises(TypeError) as info:
        engine.request()
    assert str(info.value) == (
        "PyEngine.request() missing 2 required positional arguments: 'method' and 'url'"
    )
    with pytest.raises(TypeError, match=r"^PyEngine\.request\(\) got an unexpected keyword argument 'bogus'$"):
        engine.request("GET", "http://x", bogus=1)
    with pytest.raises(TypeError, match=r"^PyEngine\.request\(\) got multiple values for argument 'url'$"):
        engine.request("GET", "http://x", url="http://y")
    with pytest.raises(TypeError, match=r"^PyEngine\.request\(\) takes from 2 to 10 positional"):
        engine.request(*["x"] * 11)
    with pytest.raises(TypeError, match=r"^PyEngine\.websocket\(\) missing 1 required"):
        engine.websocket()
    assert core.calls("ks_request_create") == [] and core.calls("ks_websocket_create") == []


STUB = pathlib.Path(__file__).resolve().parents[2] / "bindings/python/stubs/__init__.pyi"


def stub_parameters():
    """{(class, method): [(name, default)]} from the stub, without self or cls."""
    out = {}
    for cls in ast.parse(STUB.read_text()).body:
        if not isinstance(cls, ast.ClassDef) or cls.name not in CLASSES:
            continue
        for fn in cls.body:
            if not isinstance(fn, ast.FunctionDef):
                continue
            if any(isinstance(d, ast.Name) and d.id == "property" for d in fn.decorator_list):
                continue
            assert not fn.args.kwonlyargs and not fn.args.vararg and not fn.args.kwarg, fn.name
            args = [a.arg for a in fn.args.posonlyargs + fn.args.args]
            if args[:1] in (["self"], ["cls"]):
                args = args[1:]
            defaults = [ast.literal_eval(d) for d in fn.args.defaults]
            defaults = [inspect.Parameter.empty] * (len(args) - len(defaults)) + defaults
            out[cls.name, fn.name] = list(zip(args, defaults))
    return out


def documented_parameters(callable_):
    """[(name, default)] from the signature line of the documentation, without $self."""
    params = list(inspect.signature(callable_).parameters.values())
    if params and params[0].name == "self":
        params = params[1:]
    return [(p.name, p.default) for p in params]


class Unconvertible:
    pass


def test_documentation_stub_and_binding_agree_on_every_signature(core):
    engine = cn.PyEngine()
    owners = {
        "PyEngine": engine,
        "PyRequest": engine.request("GET", "http://127.0.0.1/"),
        "PyWebSocket": engine.websocket("ws://127.0.0.1/"),
    }
    stub = stub_parameters()
    documented = {("PyEngine", "__new__"): documented_parameters(cn.PyEngine)}
    for cls in (cn.PyEngine, cn.PyRequest, cn.PyWebSocket):
        for name in {**ENGINE_METHODS, **REQUEST_METHODS, **WEBSOCKET_METHODS}:
            if name in vars(cls):
                documented[cls.__name__, name] = documented_parameters(getattr(cls, name))
    assert sorted(stub) == sorted(documented)
    for (owner, name), params in documented.items():
        # Defaults compared with their types: True is not 1.
        assert [(n, repr(d)) for n, d in stub[owner, name]] == [
            (n, repr(d)) for n, d in params], (owner, name)
        if not params:
            continue
        method = cn.PyEngine if name == "__new__" else getattr(owners[owner], name)
        label = "PyEngine.__new__()" if name == "__new__" else f"{owner}.{name}()"
        # Each documented name is taken as a keyword (the call then fails on the missing or
        # unconvertible argument, before any Core call), and nothing else is.
        for param, _ in params:
            with pytest.raises(TypeError) as info:
                method(**{param: Unconvertible()})
            assert "unexpected keyword" not in str(info.value), (label, param)
        with pytest.raises(TypeError) as info:
            method(undocumented=1)
        assert str(info.value) == f"{label} got an unexpected keyword argument 'undocumented'"
        with pytest.raises(TypeError, match=rf"^{re.escape(label)} takes "):
            method(*[Unconvertible()] * (len(params) + 1))
