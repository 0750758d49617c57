#!/usr/bin/env bash
# Runs the arm64 CPython 3.11 of scripts/arm64-root.sh under qemu-aarch64-static (no binfmt_misc
# needed) with the given arguments, e.g. `scripts/arm64-run.sh -m pytest -q tests/scripted`.
# `--wheel W` first unpacks wheel W into a scratch site directory that leads sys.path (removed
# afterwards). The root's test tools (pytest, hypothesis) are on the path too; the host's
# PYTHONPATH is not passed on (it may hold x86-64 modules): ARM64_PYTHONPATH is appended instead.
# sys.executable is a wrapper that re-enters qemu, so the arm64 Python can start itself again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$("$here/arm64-root.sh" | tail -1)
qemu=$(command -v qemu-aarch64-static)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/arm64-run.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
path="$root/opt/site"
if [ "${1:-}" = "--wheel" ]; then
  [ -f "${2:-}" ] || { echo "arm64-run: no wheel ${2:-}" >&2; exit 2; }
  python3 -m zipfile -e "$2" "$scratch/site"
  path="$scratch/site:$path"
  shift 2
fi
[ -z "${ARM64_PYTHONPATH:-}" ] || path="$path:$ARM64_PYTHONPATH"
# Without binfmt_misc the kernel cannot exec the arm64 binary, so a subprocess started with
# sys.executable would fail. CPython takes sys.executable from argv[0], which qemu's -0 sets to
# this host script; PYTHONHOME keeps the prefix in the root, as CPython would otherwise look for
# its library beside the wrapper. The root's settings are fixed here so that a child with a
# trimmed environment still starts; PYTHONPATH comes from the environment, as it would natively.
mkdir "$scratch/bin"
cat >"$scratch/bin/python3" <<WRAPPER
#!/bin/sh
export QEMU_LD_PREFIX='$root' PYTHONHOME='$root/usr'
exec '$qemu' -0 "\$0" '$root/usr/bin/python3.11' "\$@"
WRAPPER
chmod +x "$scratch/bin/python3"
status=0
PYTHONPATH="$path" PYTHONNOUSERSITE=1 "$scratch/bin/python3" "$@" || status=$?
exit "$status"
