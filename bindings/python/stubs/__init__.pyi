"""Type stubs for corvina_native, the native HTTP and WebSocket layer."""

from typing import Any, Final, Optional, Protocol, Sequence, SupportsFloat, SupportsIndex, Tuple, Union, final

__all__ = ["PyEngine", "PyRequest", "PyResponse", "PyWebSocket", "abi_version"]

abi_version: Final[int]

_Bytes = Union[bytes, bytearray, Sequence[SupportsIndex]]
_Headers = Optional[Sequence[Tuple[str, str]]]
_Timeout = Optional[SupportsFloat]

class _Loop(Protocol):
    def call_soon_threadsafe(self, callback: Any, /) -> Any: ...

# (status, head, first URL text, second URL text)
RedirectHop = Tuple[int, bytes, str, str]
# (kind, status, headers, body, error); kind is "redirect", "response", "body", "done" or "error"
RequestEvent = Tuple[str, int, bytes, bytes, Optional[str]]
# (kind, payload, code, text); kind is "open", "text", "binary", "closing", "closed" or "error"
WebSocketEvent = Tuple[str, bytes, Optional[int], Optional[str]]

@final
class PyEngine:
    def __new__(
        cls,
        impersonate: Optional[str] = None,
        proxy: Optional[str] = None,
        verify: bool = True,
        ca_pem: Optional[_Bytes] = None,
        user_agent: Optional[str] = None,
        accept_language: Optional[str] = None,
        proxy_username: Optional[str] = None,
        proxy_password: Optional[str] = None,
        http_version: Optional[str] = None,
        cache: bool = True,
        profile_namespace: Optional[str] = None,
    ) -> "PyEngine": ...
    @staticmethod
    def abi_version() -> int: ...
    @staticmethod
    def core_version() -> Optional[str]: ...
    def request(
        self,
        method: str,
        url: str,
        headers: _Headers = None,
        body: Optional[_Bytes] = None,
        timeout: _Timeout = None,
        allow_redirects: bool = True,
        redirect: Optional[str] = None,
        cache: Optional[str] = None,
        priority: Optional[str] = None,
        chunked: bool = False,
    ) -> "PyRequest": ...
    def websocket(
        self,
        url: str,
        origin: str = "",
        headers: _Headers = None,
        timeout: _Timeout = None,
        protocols: Optional[Sequence[str]] = None,
    ) -> "PyWebSocket": ...

@final
class PyRequest:
    def cancel(self) -> None: ...
    def detach_callback(self) -> None: ...
    def is_finished(self) -> bool: ...
    def upload_write(self, data: _Bytes, final_chunk: bool) -> None:
        """Feeds one chunk of a chunked upload.  Only valid when the request was
        created with `upload="chunked"`."""
    def upload_finish(self) -> None: ...
    def resume_read(self) -> None: ...
    def follow_redirect(self) -> None: ...
    def take_redirects(self) -> list[RedirectHop]:
        """Drains redirect hops the Core has already reported.  The Core reports
        them in follow mode too, which is what lets the facade rebuild
        `Response.history` and the post-redirect URL without deferring hops."""
    def wait_redirect(self, timeout: _Timeout = None) -> Optional[RedirectHop]: ...
    def wait_manual(
        self, timeout: _Timeout = None
    ) -> Tuple[Optional[RedirectHop], Optional[Tuple[int, bytes]]]:
        """Blocks until the Core reports a deferred redirect or the response
        headers arrive, whichever happens first."""
    def start_stream(self) -> "PyResponse": ...
    def start(self) -> None:
        """Starts the request without waiting for headers."""
    def await_response(self) -> "PyResponse":
        """Waits for the headers of a request already started by `start`."""
    def next_body(self) -> Optional[bytes]: ...
    def read_body(self) -> bytes:
        """Reads the whole body with the GIL released."""
    def start_async(self, loop_: _Loop, notify: Any) -> None:
        """Starts a request and arranges a thread-safe notification on an
        asyncio-compatible event loop."""
    def attach_async(self, loop_: _Loop, notify: Any) -> None:
        """Registers the asyncio bridge without starting the request."""
    def poll_event(self) -> Optional[RequestEvent]:
        """Returns one non-blocking event, or `None` when nothing is ready."""
    def poll_events(self, limit: SupportsIndex = 64) -> list[RequestEvent]:
        """Drains up to `limit` events in one call."""

@final
class PyResponse:
    @property
    def status_code(self) -> int: ...
    @property
    def headers(self) -> bytes: ...
    @property
    def content(self) -> bytes: ...

@final
class PyWebSocket:
    def connect(self) -> None: ...
    def send_text(self, text: str) -> None: ...
    def send_bytes(self, data: _Bytes) -> None: ...
    def recv(self) -> Optional[WebSocketEvent]: ...
    def close(self, code: SupportsIndex, reason: str) -> None: ...
    def cancel(self) -> None: ...
    def detach_callback(self) -> None: ...
    def is_finished(self) -> bool: ...
    def start_async(self, loop_: _Loop, notify: Any) -> None: ...
    def poll_event(self) -> Optional[WebSocketEvent]: ...
    def poll_events(self, limit: SupportsIndex = 64) -> list[WebSocketEvent]:
        """Drains up to `limit` queued events in one call."""
