#!/usr/bin/env bash
# Smoke run of the benchmark harness: a few hundred operations per scenario, one placement,
# no timing judged. Fails when a corvina_native run fails; missing peers are skipped. The first
# run builds the WebSocket echo server (bench/ws_echo) into build/bench-ws-echo.
# Python: $PYTHON, else build/bench-venv, else build/venv, else python3 (needs corvina_native).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=${PYTHON:-}
if [ -z "$py" ]; then
  for candidate in "$root/build/bench-venv/bin/python" "$root/build/venv/bin/python"; do
    if [ -x "$candidate" ]; then py=$candidate; break; fi
  done
fi
py=${py:-python3}
exec timeout 600 "$py" "$root/bench/run.py" --smoke --python "$py" "$@"
