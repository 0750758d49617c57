#!/usr/bin/env bash
# Builds everything from scratch and runs the whole suite: layout check, C++ unit tests, the
# x86_64 wheel installed and tested (pytest against the scripted Core and end to end against the
# real Core, then on the oldest and newest CPython), the aarch64 wheel under emulation, then the
# scripted suite again under ASan+UBSan and the concurrency tests under ThreadSanitizer, then a
# bounded fuzzing run. Every build links the pinned static
# network stack of scripts/stack.sh (built once, cached outside the tree), as the wheels do: the
# x86_64 one that zig builds for glibc 2.17 (plain C libraries, which GCC and clang link alike);
# the aarch64 one builds beside it for the aarch64 wheel, smoke-tested under emulation. A
# Core-only build against the system's libcurl checks that distributors can still link that.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${JOBS:-2}
py="$root/build/venv/bin/python"

# Sanitizer reports go to files here (log_path), not to a stderr that pytest may capture; they
# are kept, and printed when the run fails.
reports="$root/build/sanitizer-reports"
rm -rf "$reports" && mkdir -p "$reports"
show_reports() {
  local code=$?
  if [ "$code" -ne 0 ] && compgen -G "$reports/*" >/dev/null; then
    for f in "$reports"/*; do printf '\n==== sanitizer report %s\n' "$f"; cat "$f"; done
  fi
  return "$code"
}
trap show_reports EXIT
asan_opts="abort_on_error=1:log_path=$reports/asan"
ubsan_opts="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"

start=$SECONDS
step() { printf '\n==== [%dm%02ds] %s\n' $(((SECONDS - start) / 60)) $(((SECONDS - start) % 60)) "$*"; }

step "system packages"
scripts/install-deps.sh
step "virtual environment"
scripts/venv.sh
step "network stack (scripts/stack.sh; cached)"
stack=$(CORVINA_STACK_TARGET=x86_64-linux-gnu.2.17 scripts/stack.sh | tail -1)
echo "$stack"
# The aarch64 stack (its sources are fetched by now) and the arm64 root are made in the
# background, at a lower priority, and waited for at the wheels.
mkdir -p build
(CORVINA_STACK_TARGET=aarch64-linux-gnu.2.17 nice -n 10 scripts/stack.sh &&
  nice -n 10 scripts/arm64-root.sh) >build/aarch64-prep.log 2>&1 &
aarch64_prep=$!

step "layout of the Core records (-m32 and 64-bit)"
for arch in -m32 -m64; do
  gcc $arch -std=c11 -Wall -Werror -Ikestrin/include -c tests/layout/layout_check.c -o /dev/null
  g++ $arch -std=c++20 -x c++ -Wall -Werror -Ikestrin/include -c tests/layout/layout_check.c -o /dev/null
done
echo "layout ok"

cmake_build() { # dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$py" \
    -DCORVINA_STACK="$stack" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

# Builds that run beside the single-threaded test steps, at a lower priority, so that the second
# CPU is not idle there; each is waited for where its result is used.
background() { # log, command...
  local log=$1; shift
  (renice -n 10 "$BASHPID" >/dev/null; "$@") >"$log" 2>&1 &
}
await() { # pid, log, what
  wait "$1" || { tail -30 "$2"; echo "$3 failed; see $2"; exit 1; }
}
# The free-threaded interpreters (built once and cached, like the stack) and their environments.
ft_py="$root/build/ft-venv/bin/python"
tsan_ft_py="$root/build/tsan-ft-venv/bin/python"
freethreaded_venv() { # flavour, venv, packages beyond the test runner's
  local flavour=$1 venv=$2 python
  shift 2
  python=$(scripts/freethreaded.sh "$flavour" | tail -1)
  "$venv/bin/python" -m pip --version >/dev/null 2>&1 || { rm -rf "$venv"; "$python" -m venv "$venv"; }
  # The newest hypothesis builds a native part from source on a free-threaded interpreter.
  "$venv/bin/python" -m pip install -q --disable-pip-version-check pytest pytest-timeout \
    "hypothesis==6.150.0" "$@"
}
# The ThreadSanitizer build, for the stress suite near the end: at the lowest priority, so that it
# takes only what the plain one and the tests leave of the CPUs.
tsan_freethreaded_venv() {
  renice -n 19 "$BASHPID" >/dev/null
  # Both builds share one tarball, which the plain one fetches: never fetch it twice at once.
  local tarballs=${CORVINA_PYTHON_CACHE:-$HOME/.cache/corvina-python}/tarballs i
  for i in $(seq 600); do
    compgen -G "$tarballs/*.orig.tar.xz" >/dev/null && ! compgen -G "$tarballs/*.part" >/dev/null && break
    sleep 1
  done
  freethreaded_venv tsan build/tsan-ft-venv
}
background build/freethreaded.log freethreaded_venv plain build/ft-venv "scikit-build-core>=0.10" cmake ninja
freethreaded_prep=$!
background build/tsan-freethreaded.log tsan_freethreaded_venv
tsan_freethreaded_prep=$!

system_curl_build() {
  cmake -S . -B build/system-curl -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$py" \
    -DCORVINA_STACK= -DCORVINA_BUILD_MODULE=ON >/dev/null
  cmake --build build/system-curl -j"$jobs" --target kestrin
  # Read whole before matching: grep -q stops reading early, and under pipefail the writer's
  # SIGPIPE would fail the check.
  local needed
  needed=$(ldd build/system-curl/kestrin/libkestrin.so)
  grep -q 'libcurl\.so' <<<"$needed" ||
    { echo "the system-libcurl build does not link the system's libcurl"; return 1; }
}

step "test build (GCC): module, scripted Core and C++ unit tests"
cmake_build build/test -DCORVINA_BUILD_MODULE=ON -DCORVINA_BUILD_TESTING=ON
ctest --test-dir build/test --output-on-failure -j"$jobs"

step "the x86_64 wheel and sdist, installed in the virtual environment"
WHEEL_ARCHS=x86_64 scripts/wheel.sh
"$py" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps \
  dist/corvina_native-*-cp310-abi3-manylinux*_x86_64.whl
# The wheel's scripted Core comes from the wheel's toolchain (see scripts/wheel-test.sh).
wheel_scripted_core=$(scripts/wheel-test.sh --scripted-core | tail -1)

run_pytest() { # python args...
  local rc=0
  "$@" || rc=$?
  if [ "$rc" -eq 5 ]; then echo "pytest collected no tests"; return 1; fi
  return "$rc"
}

# What distributors may build: the Core against the system's libcurl and OpenSSL.
background build/system-curl.log system_curl_build
system_curl=$!

step "pytest: module contracts against the scripted Core (installed wheel)"
(cd tests && CORVINA_SCRIPTED_CORE="$wheel_scripted_core" \
  run_pytest "$py" -m pytest -q -p no:cacheprovider scripted)

# The wheel links its C++ runtime in, so the shim's operator new reaches only the GCC build.
step "pytest: each of the module's own allocations failing in turn (preloaded operator new)"
(cd tests && LD_PRELOAD="$root/build/test/tests/alloc_shim/liballoc_shim.so" \
  PYTHONPATH="$root/build/test/bindings/python" \
  CORVINA_SCRIPTED_CORE="$root/build/test/tests/scripted_core/libkestrin.so" \
  run_pytest "$py" -m pytest -q -p no:cacheprovider scripted/test_torture_cxx.py)

if [ -d tests/e2e ] && ls tests/e2e/test_*.py >/dev/null 2>&1; then
  step "pytest: end to end through the real Core"
  (cd tests && run_pytest "$py" -m pytest -q -p no:cacheprovider e2e)
fi

step "the Core against the system's libcurl and OpenSSL (built in the background)"
await "$system_curl" build/system-curl.log "the system-libcurl build"
echo "system libcurl build ok"

background build/asan.log cmake_build build/asan -DCORVINA_SANITIZE=address -DCORVINA_BUILD_TESTING=ON
asan_build=$!
step "the x86_64 wheel on the oldest and newest CPython: scripted suite, e2e subset, mypy"
scripts/wheel-test.sh --ends

step "free-threaded CPython: its wheel, and the scripted suite with the lock off"
await "$freethreaded_prep" build/freethreaded.log "the free-threaded interpreter"
WHEEL_ARCHS=x86_64 WHEEL_PYTHON="$ft_py" scripts/wheel.sh
"$ft_py" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps \
  dist/corvina_native-*-cp3*t-manylinux*_x86_64.whl
(cd tests && CORVINA_SCRIPTED_CORE="$wheel_scripted_core" \
  run_pytest "$ft_py" -X faulthandler -m pytest -q -p no:cacheprovider scripted)

step "the aarch64 wheel (its stack and the arm64 root were made in the background)"
wait "$aarch64_prep" || { tail -30 build/aarch64-prep.log; exit 1; }
WHEEL_ARCHS=aarch64 scripts/wheel.sh
step "the aarch64 wheel under emulation: import, one HTTPS request, one WebSocket echo"
"$py" tests/wheel/aarch64_smoke.py --smoke --wheel dist/corvina_native-*-cp310-abi3-manylinux*_aarch64.whl

step "benchmark harness smoke run (no timing assertions)"
PYTHON="$py" bench/smoke.sh

step "ASan+UBSan build of module and Cores (begun in the background)"
await "$asan_build" build/asan.log "the ASan build"
ASAN_OPTIONS="$asan_opts" UBSAN_OPTIONS="$ubsan_opts" \
  ctest --test-dir build/asan --output-on-failure -j"$jobs"
# libstdc++ is preloaded too: the interpreter does not link it, and ASan must see its throw.
asan_rt="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so.6)"
(cd tests && LD_PRELOAD="$asan_rt" ASAN_OPTIONS="detect_leaks=0:$asan_opts" \
  UBSAN_OPTIONS="$ubsan_opts" \
  PYTHONPATH="$root/build/asan/bindings/python" \
  CORVINA_SCRIPTED_CORE="$root/build/asan/tests/scripted_core/libkestrin.so" \
  run_pytest "$py" -m pytest -q -p no:cacheprovider scripted)
if [ -d tests/e2e ]; then
  (cd tests && LD_PRELOAD="$asan_rt" ASAN_OPTIONS="detect_leaks=0:$asan_opts" \
    UBSAN_OPTIONS="$ubsan_opts" \
    PYTHONPATH="$root/build/asan/bindings/python" \
    run_pytest "$py" -m pytest -q -p no:cacheprovider -m "not slow" e2e)
fi

step "ThreadSanitizer build: concurrency tests"
cmake_build build/tsan -DCORVINA_SANITIZE=thread -DCORVINA_BUILD_TESTING=ON
TSAN_OPTIONS="halt_on_error=1:log_path=$reports/tsan" ctest --test-dir build/tsan --output-on-failure -j"$jobs"
tsan_rt=$(gcc -print-file-name=libtsan.so)
(cd tests && LD_PRELOAD="$tsan_rt" \
  TSAN_OPTIONS="suppressions=$root/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan" \
  PYTHONPATH="$root/build/tsan/bindings/python" \
  CORVINA_SCRIPTED_CORE="$root/build/tsan/tests/scripted_core/libkestrin.so" \
  run_pytest "$py" -m pytest -q -p no:cacheprovider -m concurrency scripted)

step "ThreadSanitizer on the free-threaded interpreter: the stress suite and exit, lock off"
await "$tsan_freethreaded_prep" build/tsan-freethreaded.log "the ThreadSanitizer free-threaded interpreter"
cmake -S . -B build/tsan-ft -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$tsan_ft_py" \
  -DCORVINA_STACK="$stack" -DCORVINA_SANITIZE=thread -DCORVINA_BUILD_TESTING=ON >/dev/null
cmake --build build/tsan-ft -j"$jobs" --target corvina_native kestrin_scripted
# CPython's own suppressions for its free-threaded build, from the tarball it was built from,
# and ours (each with its reason).
tsan_ft_version=$("$tsan_ft_py" -c 'import platform; print(platform.python_version())')
tar -xJOf "${CORVINA_PYTHON_CACHE:-$HOME/.cache/corvina-python}"/tarballs/python*_"$tsan_ft_version".orig.tar.xz \
  "Python-$tsan_ft_version/Tools/tsan/suppressions_free_threading.txt" >build/tsan-ft/tsan.supp
cat tests/tsan-freethreaded.supp >>build/tsan-ft/tsan.supp
(cd tests && TSAN_OPTIONS="suppressions=$root/build/tsan-ft/tsan.supp:halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan-ft" \
  PYTHONPATH="$root/build/tsan-ft/bindings/python" \
  CORVINA_SCRIPTED_CORE="$root/build/tsan-ft/tests/scripted_core/libkestrin.so" \
  run_pytest "$tsan_ft_py" -X faulthandler -m pytest -q -p no:cacheprovider \
  scripted/test_stress_threads.py scripted/test_exit.py)

step "fuzzing: each libFuzzer target for a bounded time (clang, ASan+UBSan)"
FUZZ_SECONDS=${FUZZ_SECONDS:-10} PYTHON="$py" CORVINA_STACK="$stack" scripts/fuzz.sh

step "all tests passed"
