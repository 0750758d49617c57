"""A minimal asyncio driver for corvina_native requests and WebSockets.

The module never runs Python code on its own threads: it only schedules `notify` on the loop
(coalesced, at most once between two polls). Each wake-up drains the events in batches.

`notify` is an `asyncio.Event`'s `set`, which refers to nothing that holds the request, so no
reference cycle forms (see "Lifetimes on an event loop" in the README). A task that stops
awaiting before the terminal tuple cancels what it awaited, in a `finally`: that frees the
connection and removes the notifier. `cancel()` leaves nothing to be notified, so the loops
also end when a poll finds nothing once `is_finished()` is true.
"""

from __future__ import annotations

import asyncio
from typing import Any, AsyncIterator

import corvina_native as cn


class RequestEvents:
    """Async iterator over the (kind, status, headers, body, error) tuples of one request."""

    def __init__(self, request: cn.PyRequest, start: bool = True):
        self._request = request
        self._wake = asyncio.Event()
        loop = asyncio.get_running_loop()
        if start:
            request.start_async(loop, self._wake.set)
        else:
            request.attach_async(loop, self._wake.set)
        self._batch: list[cn.RequestEvent] = []
        self._done = False

    def __aiter__(self) -> RequestEvents:
        return self

    async def __anext__(self) -> cn.RequestEvent:
        while not self._batch:
            if self._done:
                raise StopAsyncIteration
            finished = self._request.is_finished()  # before the poll: then empty means the end
            self._batch = self._request.poll_events()
            if not self._batch:
                if finished:
                    self._done = True  # cancelled before its head: no tuple will come
                    raise StopAsyncIteration
                await self._wake.wait()
                self._wake.clear()
        event = self._batch.pop(0)
        if event[0] in ("done", "error"):
            self._done = True
        return event

    def cancel(self) -> None:
        """Gives the request up unless its terminal tuple was handed out; iteration ends."""
        if not self._done:
            self._done = True
            self._request.cancel()
            self._wake.set()


async def fetch(engine: cn.PyEngine, method: str, url: str, **kwargs: Any) -> tuple[int, bytes, bytes]:
    """Returns (status, raw head, body) or raises RuntimeError with the failure text."""
    status, head, chunks, complete = 0, b"", list[bytes](), False
    events = RequestEvents(engine.request(method, url, **kwargs))
    try:
        async for kind, st, headers, body, error in events:
            if kind == "response":
                status, head = st, headers
            elif kind == "body":
                chunks.append(body)
            elif kind == "error":
                raise RuntimeError(error)
            complete = kind == "done"
    finally:
        events.cancel()  # this task was cancelled or failed: frees the connection
    if not complete:
        raise RuntimeError("request cancelled before its response")
    return status, head, b"".join(chunks)


class AsyncWebSocket:
    """A WebSocket on the running loop: `events()` yields (kind, payload, code, text) tuples
    until "closed" or "error".

    `close` and `cancel` remove the notifier, so what follows them (the "closed" reply) comes
    without a notification: after a local close the rest is read with the blocking `recv` on a
    worker thread, and after `cancel` the events end. A task that stops awaiting `events()`
    before the end cancels the connection.
    """

    def __init__(self, ws: cn.PyWebSocket):
        self.ws = ws
        self._wake = asyncio.Event()
        self._closing = False
        self._ended = False
        ws.start_async(asyncio.get_running_loop(), self._wake.set)

    def close(self, code: int = 1000, reason: str = "") -> None:
        self._closing = True
        self.ws.close(code, reason)
        self._wake.set()

    def cancel(self) -> None:
        """Gives the connection up unless its terminal tuple was handed out; events() ends."""
        if not self._ended:
            self._ended = True
            self.ws.cancel()
            self._wake.set()

    async def events(self) -> AsyncIterator[cn.WebSocketEvent]:
        try:
            while not self._ended:
                finished = self.ws.is_finished()  # before the poll: then empty means the end
                batch = self.ws.poll_events()
                if not batch:
                    if finished:
                        break
                    if not self._closing:
                        await self._wake.wait()
                        self._wake.clear()
                        continue
                    event = await asyncio.to_thread(self.ws.recv)
                    if event is None:
                        break
                    batch = [event]
                for event in batch:
                    self._ended = event[0] in ("closed", "error")
                    yield event
                    if self._ended:
                        return
            self._ended = True
        finally:
            self.cancel()  # only when the awaiting task was cancelled or left early
