"""Tests against the scripted Core.

The scripted libkestrin.so (env CORVINA_SCRIPTED_CORE, default the dev build) is loaded here,
before any test module imports corvina_native, so the module binds to it instead of the real
Core. Every test starts from a reset Core and fails if the module broke the Core's contract.
"""

import gc
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))

from support.kst import ScriptedCore  # noqa: E402

if "corvina_native" in sys.modules:
    raise RuntimeError("corvina_native was imported before the scripted Core was loaded")

CORE = ScriptedCore()

# Seconds a test's leftover deliveries may take to finish before the test is failed.
IDLE_LIMIT = 10.0


@pytest.fixture
def core() -> ScriptedCore:
    return CORE


@pytest.fixture(autouse=True)
def _scripted_core_contract():
    if not CORE.wait_idle(IDLE_LIMIT):
        pytest.fail("scripted Core still busy with an earlier test's deliveries")
    CORE.reset()
    yield
    # Collect dropped module objects now so their releases count against this test.
    gc.collect()
    if not CORE.wait_idle(IDLE_LIMIT):
        pytest.fail("scripted Core deliveries did not finish (deadlock in a callback?)")
    problems = CORE.violations()
    if problems:
        pytest.fail("Core contract violated:\n  " + "\n  ".join(problems), pytrace=False)


@pytest.fixture
def no_overlapped_terminal():
    """Fails a test whose terminal callback had to stop waiting for another callback of the same
    object: a sign that the module held the interpreter lock that callback needed."""
    yield
    CORE.wait_idle(10)
    assert not [e for e in CORE.callbacks() if e.get("overlapped")]
