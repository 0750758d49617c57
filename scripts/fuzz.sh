#!/usr/bin/env bash
# Builds the libFuzzer targets (build/fuzz, clang-14, ASan+UBSan) and runs each for a bounded
# time from a scratch copy of its committed seed corpus, so the committed files never change.
# Exits non-zero when a target crashes; the crashing input is kept under $FUZZ_WORK/<target>/.
#
#   FUZZ_SECONDS   seconds per target (default 20; CI gives 10)
#   FUZZ_TARGETS   which targets (default all six)
#   FUZZ_WORK      scratch directory (default a temporary one, removed unless a target crashed)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/fuzz"
seconds="${FUZZ_SECONDS:-20}"
targets=(${FUZZ_TARGETS:-fuzz_utf8 fuzz_quote fuzz_core_head fuzz_core_url fuzz_core_cache fuzz_callbacks})
python="${PYTHON:-$(command -v python3)}"
python="$("$python" -c 'import sys; print(sys.executable)')"

# CORVINA_STACK: a stack prefix already built (the suite passes its own); else the host's.
stack="${CORVINA_STACK:-$("$root/scripts/stack.sh" | tail -1)}"
CC="${CC:-clang-14}" CXX="${CXX:-clang++-14}" cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVINA_FUZZ=ON -DCORVINA_SANITIZE=address \
    -DCORVINA_BUILD_MODULE=ON -DPython_EXECUTABLE="$python" \
    -DCORVINA_STACK="$stack" >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

work="${FUZZ_WORK:-$(mktemp -d /tmp/corvina-fuzz.XXXXXX)}"
failed=()
for t in "${targets[@]}"; do
    dir="$work/$t"
    rm -rf "$dir"
    mkdir -p "$dir/corpus" "$dir/artifacts"
    cp "$root/tests/fuzz/corpus/$t/." "$dir/corpus/" -r
    echo "== $t: ${seconds}s"
    # Leak checks stay off: the embedded interpreter keeps its allocations for the process
    # lifetime, and the module's reference counts are checked by the pytest leak tests.
    if ASAN_OPTIONS="detect_leaks=0:${ASAN_OPTIONS:-}" "$build/tests/fuzz/$t" \
        -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=2048 -timeout=30 \
        -detect_leaks=0 -print_final_stats=1 -artifact_prefix="$dir/artifacts/" \
        "$dir/corpus" >"$dir/log" 2>&1; then
        grep -E '^stat::(number_of_executed_units|new_units_added)' "$dir/log" || true
        echo "   corpus: $(ls "$dir/corpus" | wc -l) files"
    else
        echo "!! $t crashed; log and input in $dir" >&2
        grep -E 'ERROR|fuzz_[a-z_]+: |SUMMARY' "$dir/log" | head -20 >&2 || true
        failed+=("$t")
    fi
done

if [ "${#failed[@]}" -gt 0 ]; then
    echo "fuzz targets that crashed: ${failed[*]}" >&2
    exit 1
fi
[ -n "${FUZZ_WORK:-}" ] || rm -rf "$work"
echo "fuzzing: all ${#targets[@]} targets ran ${seconds}s without a crash"
