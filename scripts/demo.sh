#!/usr/bin/env bash
# Installs what is needed, builds and installs the module with its Core, and runs the demo
# against servers it starts on 127.0.0.1.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh
scripts/venv.sh
stack=$(scripts/stack.sh | tail -1)
build/venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps \
  -Ccmake.define.CORVINA_STACK="$stack" .
cd examples
exec "$root/build/venv/bin/python" demo.py
