#!/usr/bin/env bash
# Runs the scripted suite (tests/scripted) against the aarch64 wheel under qemu
# (scripts/arm64-run.sh), with the scripted Core built for aarch64 by the wheel's zig toolchain
# (scripts/wheel-test.sh --scripted-core aarch64). `--wheel W` (default: dist's aarch64 wheel);
# further arguments go to pytest, run from tests/ (test paths, e.g. scripted/test_exit.py, take
# the place of the whole suite).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
if [ "${1:-}" = "--wheel" ]; then
  wheel=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
  shift 2
else
  wheel=$(ls "$root"/dist/corvina_native-*-cp310-abi3-*manylinux*_aarch64.whl)
fi
# The same toolchain as the wheel's Core, so that the C++ runtime an exception crosses is the one
# the module meets on a real aarch64 machine.
core=$(scripts/wheel-test.sh --scripted-core aarch64 | tail -1)
header=$(readelf -h "$core")
grep -q AArch64 <<<"$header" || { echo "arm64-scripted: $core is not aarch64" >&2; exit 1; }
# From tests/, with nothing of the build tree on the path: the import must be the wheel's.
cd tests
CORVINA_SCRIPTED_CORE="$core" "$root/scripts/arm64-run.sh" --wheel "$wheel" -c '
import pathlib, sys
from support.kst import ScriptedCore
core = ScriptedCore()
import corvina_native
site = pathlib.Path(corvina_native.__file__).parent
assert site.parent.name.startswith("arm64-run."), corvina_native.__file__
print("arm64: corvina_native from", site.name, "of", sys.argv[1], "with", core.path)
' "$(basename "$wheel")"
args=("$@")
case " $* " in *" scripted"*) ;; *) args+=(scripted) ;; esac
CORVINA_SCRIPTED_CORE="$core" "$root/scripts/arm64-run.sh" --wheel "$wheel" \
  -m pytest -q -p no:cacheprovider "${args[@]}"
