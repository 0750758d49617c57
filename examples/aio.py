"""A minimal asyncio driver for corvina_native requests and WebSockets.

The module never runs Python code on its own threads: it only schedules `notify` on the loop
(coalesced, at most once between two polls). Each wake-up drains the events in batches.
"""

import asyncio

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
        self._batch: list = []
        self._done = False

    def __aiter__(self):
        return self

    async def __anext__(self):
        while not self._batch:
            if self._done:
                raise StopAsyncIteration
            self._batch = self._request.poll_events()
            if not self._batch:
                await self._wake.wait()
                self._wake.clear()
        event = self._batch.pop(0)
        if event[0] in ("done", "error"):
            self._done = True
        return event


async def fetch(engine: cn.PyEngine, method: str, url: str, **kwargs):
    """Returns (status, raw head, body) or raises RuntimeError with the failure text."""
    status, head, chunks = 0, b"", []
    async for kind, st, headers, body, error in RequestEvents(engine.request(method, url, **kwargs)):
        if kind == "response":
            status, head = st, headers
        elif kind == "body":
            chunks.append(body)
        elif kind == "error":
            raise RuntimeError(error)
    return status, head, b"".join(chunks)


class AsyncWebSocket:
    """A WebSocket on the running loop: `events()` yields (kind, payload, code, text) tuples
    until "closed" or "error".

    `close` and `cancel` remove the notifier, so what follows them (the "closed" reply) comes
    without a notification: after a local close the rest is read with the blocking `recv` on a
    worker thread.
    """

    def __init__(self, ws: cn.PyWebSocket):
        self.ws = ws
        self._wake = asyncio.Event()
        self._closing = False
        ws.start_async(asyncio.get_running_loop(), self._wake.set)

    def close(self, code: int = 1000, reason: str = "") -> None:
        self._closing = True
        self.ws.close(code, reason)
        self._wake.set()

    async def events(self):
        while True:
            batch = self.ws.poll_events()
            if not batch:
                if not self._closing:
                    await self._wake.wait()
                    self._wake.clear()
                    continue
                event = await asyncio.to_thread(self.ws.recv)
                if event is None:
                    return
                batch = [event]
            for event in batch:
                yield event
                if event[0] in ("closed", "error"):
                    return
