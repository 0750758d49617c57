#!/usr/bin/env bash
# Installs dist/'s wheel into a fresh virtual environment for each CPython given (default: every
# 3.10+ that pyenv has) and runs, against the installed wheel and not the build tree: the scripted
# suite, a short end-to-end subset (HTTPS over HTTP/2 with the browser profiles, HTTP, HTTPS and
# SOCKS proxies, streamed bodies, WebSocket echo), an ldd check that the Core resolves no
# libcurl, OpenSSL or codec library of the system, the import time, and mypy --strict on
# examples/ with the installed stubs.
# `--ends`: only the oldest and the newest of those CPythons.
# `--scripted-core [ARCH]`: only builds the scripted Core for the wheel (or for the zig wheel of
# ARCH) and prints its path.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
arch=x86_64
if [ "${1:-}" = "--scripted-core" ] && [ -n "${2:-}" ]; then
  arch=$2
  set -- --scripted-core
  wheel=manylinux_2_17_ # another CPU's Core comes from zig, as its wheel does
else
  wheel=$(ls dist/corvina_native-*-cp310-abi3-*manylinux*_x86_64.whl)
fi
pyroot=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
versions=("$@")
if [ "$*" = "--scripted-core" ]; then
  versions=(none)
elif [ "${#versions[@]}" -eq 0 ] || [ "$*" = "--ends" ]; then
  versions=()
  for v in $(ls "$pyroot/versions" | sort -V); do
    case $v in 3.1[0-9].*) versions+=("$v") ;; esac
  done
  [ "${#versions[@]}" -gt 0 ] || { echo "wheel-test: pyenv has no CPython 3.10 or newer"; exit 1; }
  [ "$*" != "--ends" ] || versions=("${versions[0]}" "${versions[-1]}")
fi
# The scripted Core is built by the wheel's own toolchain, so that its C++ runtime is the one the
# wheel's Core has: an exception it throws into the module is then the kind the module can meet.
if [[ $wheel == *manylinux_2_17_* ]]; then
  stack=$(CORVINA_STACK_TARGET="$arch-linux-gnu.2.17" scripts/stack.sh | tail -1)
  scripted_build=build/wheel-scripted-$arch
  cmake_args=(-DCMAKE_TOOLCHAIN_FILE="$stack/toolchain/toolchain.cmake" -DCORVINA_BUILD_SCRIPTED_CORE=ON)
else
  stack=$(scripts/stack.sh | tail -1)
  scripted_build=build/test
  cmake_args=(-DPython_EXECUTABLE="$root/build/venv/bin/python" -DCORVINA_BUILD_TESTING=ON)
fi
if [ ! -f "$scripted_build/CMakeCache.txt" ]; then
  cmake -S . -B "$scripted_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCORVINA_STACK="$stack" -DCORVINA_BUILD_MODULE=OFF "${cmake_args[@]}" >/dev/null
fi
cmake --build "$scripted_build" -j"${JOBS:-2}" --target kestrin_scripted >/dev/null
scripted_core="$root/$scripted_build/tests/scripted_core/libkestrin.so"
if [ "$*" = "--scripted-core" ]; then
  echo "$scripted_core"
  exit 0
fi
e2e=(
  "e2e/test_http_nginx.py::test_connections_are_reused_and_http_versions"
  "e2e/test_http_nginx.py::test_profiles_complete_tls_handshakes"
  "e2e/test_http_nginx.py::test_paused_http2_stream_leaves_the_connection_usable"
  "e2e/test_http_nginx.py::test_gzip_body_arrives_decoded_with_wire_headers"
  "e2e/test_http_app.py::test_back_pressure_stalls_the_server"
  "e2e/test_proxy_async.py::test_http_proxy_with_right_and_wrong_credentials"
  "e2e/test_proxy_async.py::test_https_proxy_is_verified_and_authenticated"
  "e2e/test_proxy_async.py::test_socks5_proxy"
  "e2e/test_websocket_echo.py::TestBlocking::test_echo_every_frame_length_class"
  "e2e/test_websocket_echo.py::TestTls::test_wss_echo_with_the_test_ca"
)

for v in "${versions[@]}"; do
  printf '\n==== CPython %s: %s\n' "$v" "$(basename "$wheel")"
  venv="$root/build/wheel-venv/$v"
  rm -rf "$venv"
  "$pyroot/versions/$v/bin/python" -m venv "$venv"
  py="$venv/bin/python"
  "$py" -m pip install -q --disable-pip-version-check "$wheel" pytest pytest-timeout hypothesis \
    aiohttp websockets trustme h2 mypy
  # From tests/, with nothing of the build tree on the path: the import must be the wheel's.
  (cd tests && "$py" - <<'CHECK'
import pathlib, subprocess, sys, sysconfig, time
import corvina_native
site = pathlib.Path(sysconfig.get_paths()["platlib"])
assert pathlib.Path(corvina_native.__file__).parent == site, corvina_native.__file__
core = site / "corvina_native.libs" / "libkestrin.so"
ldd = subprocess.run(["ldd", str(core)], capture_output=True, text=True, check=True).stdout
banned = ("libcurl", "libssl", "libcrypto", "libnghttp2", "libz.", "libbrotli", "libzstd", "libidn2",
          "libpsl", "libssh", "libldap", "libgssapi", "librtmp")
found = [line.strip() for line in ldd.splitlines() if any(b in line for b in banned)]
assert not found, found
print("ldd libkestrin.so:", ", ".join(line.split()[0] for line in ldd.splitlines()))
best = min(float(subprocess.run([sys.executable, "-c",
    "import time; t = time.perf_counter(); import corvina_native; print(time.perf_counter() - t)"],
    capture_output=True, text=True, check=True).stdout) for _ in range(5))
print(f"import corvina_native: {best * 1000:.1f} ms (best of 5), Core {corvina_native.PyEngine.core_version()}")
CHECK
  )
  (cd tests && CORVINA_SCRIPTED_CORE="$scripted_core" "$py" -m pytest -q -p no:cacheprovider scripted)
  (cd tests && "$py" -m pytest -q -p no:cacheprovider "${e2e[@]}")
  (cd examples && "$venv/bin/mypy" --strict --no-incremental . )
done
