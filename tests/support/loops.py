"""Stand-ins for an event loop, for tests of the notifier (only call_soon_threadsafe is used)."""

import threading


class CountingLoop:
    """Counts notifications; keeps no reference to what it is asked to schedule."""

    def __init__(self):
        self.calls = 0

    def call_soon_threadsafe(self, fn):
        self.calls += 1


class RecordingLoop:
    """Records each call's arguments and the thread it came from."""

    def __init__(self):
        self.calls = []

    def call_soon_threadsafe(self, *args, **kwargs):
        self.calls.append((args, kwargs, threading.get_native_id()))


class FailingLoop:
    """A closed loop: every notification raises."""

    def __init__(self):
        self.attempts = 0

    def call_soon_threadsafe(self, fn):
        self.attempts += 1
        raise RuntimeError("loop is closed")
