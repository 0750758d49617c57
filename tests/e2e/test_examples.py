"""The examples as a newcomer runs them: each ends, and nothing it started outlives it."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

# Runs one example as a child reaper: a process the example leaves behind becomes this wrapper's
# child when its parent ends, so whatever is left once the example exits is listed, then killed.
REAPER = r"""
import ctypes, os, signal, subprocess, sys, time
ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
code = subprocess.run([sys.executable, sys.argv[1]], timeout=120).returncode

def orphans():
    me, out = str(os.getpid()), []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                state, ppid = f.read().rsplit(")", 1)[1].split()[:2]
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                cmd = f.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if ppid != me:
            continue
        if state == "Z":
            os.waitpid(int(pid), 0)  # ended after its parent: nothing left running
        else:
            out.append((int(pid), cmd))
    return out

deadline = time.monotonic() + 3  # a process on its way out after its parent ended
while (left := orphans()) and time.monotonic() < deadline:
    time.sleep(0.1)
for pid, _ in left:
    os.kill(pid, signal.SIGKILL)
print("exit", code)
print("left", repr([cmd for _, cmd in left]))
"""


@pytest.mark.parametrize("example", ["http3.py"])
def test_example_leaves_nothing_running(example):
    pytest.importorskip("hypercorn")
    pytest.importorskip("trustme")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, sys.path)))
    out = subprocess.run([sys.executable, "-c", REAPER, str(ROOT / "examples" / example)],
                         cwd=ROOT / "examples", env=env, capture_output=True, text=True,
                         timeout=180)
    assert "exit 0" in out.stdout, out.stdout + out.stderr
    assert "left []" in out.stdout, out.stdout
