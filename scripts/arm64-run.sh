#!/usr/bin/env bash
# Runs the arm64 CPython 3.11 of scripts/arm64-root.sh under qemu-aarch64-static (no binfmt_misc
# needed) with the given arguments, e.g. `scripts/arm64-run.sh -m pytest -q tests/scripted`.
# `--wheel W` first unpacks wheel W into a scratch site directory that leads sys.path (removed
# afterwards). The root's test tools (pytest, hypothesis) are on the path too; the host's
# PYTHONPATH is not passed on (it may hold x86-64 modules): ARM64_PYTHONPATH is appended instead.
# A subprocess the arm64 Python starts runs natively, so tests that spawn Python need binfmt.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$("$here/arm64-root.sh" | tail -1)
site=""
if [ "${1:-}" = "--wheel" ]; then
  [ -f "${2:-}" ] || { echo "arm64-run: no wheel ${2:-}" >&2; exit 2; }
  site=$(mktemp -d "${TMPDIR:-/tmp}/arm64-site.XXXXXX")
  trap 'rm -rf "$site"' EXIT
  python3 -m zipfile -e "$2" "$site"
  shift 2
fi
path="$root/opt/site"
[ -z "$site" ] || path="$site:$path"
[ -z "${ARM64_PYTHONPATH:-}" ] || path="$path:$ARM64_PYTHONPATH"
status=0
PYTHONPATH="$path" PYTHONNOUSERSITE=1 QEMU_LD_PREFIX="$root" \
  qemu-aarch64-static "$root/usr/bin/python3.11" "$@" || status=$?
exit "$status"
