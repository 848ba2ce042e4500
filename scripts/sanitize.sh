#!/usr/bin/env bash
# The sanitizer stages of the test command:
#   asan  — the C++ tests (fuzz replays included) and the Python tests under
#           AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/, and
#           the whole-document fuzz target over the shared corpus with
#           LeakSanitizer on;
#   tsan  — the multi-threaded C++ tests under ThreadSanitizer in build-tsan/.
#
#   scripts/sanitize.sh            # both
#   scripts/sanitize.sh asan       # one
set -euo pipefail
cd "$(dirname "$0")/.."
stages=("${@:-asan tsan}")
# shellcheck disable=SC2206
stages=(${stages[*]})
corpus_dir="${QUARVEL_CORPUS:-../shared/corpus}"
status=0

configure() { # dir sanitizers [extra cmake args]
    local dir=$1 san=$2
    shift 2
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        # -O1 keeps sanitized runs quick to build and fast enough to run; -g1
        # gives reports file and line.
        .venv/bin/cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -g1" -DQUARVEL_SANITIZE="$san" \
            -DQUARVEL_BUILD_BENCH=OFF -DPython3_EXECUTABLE="$PWD/.venv/bin/python" "$@" >/dev/null
    fi
}

run_asan() {
    local dir=build-asan
    configure "$dir" "address;undefined"
    .venv/bin/cmake --build "$dir" -j"$(nproc)"
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    echo "sanitize: C++ tests under ASan+UBSan"
    (cd "$dir" && ASAN_OPTIONS=detect_leaks=1 ../.venv/bin/ctest --output-on-failure \
        -j"$(nproc)") || status=1
    if [ -d "$corpus_dir" ]; then
        echo "sanitize: every corpus file through the document target under LeakSanitizer"
        local log="$dir/corpus-replay.log"
        if ! ASAN_OPTIONS=detect_leaks=1 "$dir/fuzz/document_replay" "$corpus_dir" 2>"$log"; then
            tail -n 60 "$log"
            status=1
        fi
    fi
    if [ -d "$dir/python" ] && ls tests/python/test_*.py >/dev/null 2>&1; then
        echo "sanitize: Python tests under ASan+UBSan"
        # The interpreter is not instrumented, so the ASan runtime must be
        # loaded first; its own allocations at exit are not ours to report.
        LD_PRELOAD="$(g++ -print-file-name=libasan.so)" \
            ASAN_OPTIONS=detect_leaks=0:alloc_dealloc_mismatch=0 \
            PYTHONPATH="$PWD/$dir/python" QUARVEL_SANITIZED=address QUARVEL_MUTATIONS=40 \
            .venv/bin/python -m pytest -q -p no:cacheprovider tests/python || status=1
    fi
}

run_tsan() {
    local dir=build-tsan
    configure "$dir" thread -DQUARVEL_BUILD_PYTHON=OFF
    # Only the executables whose tests start threads.
    local targets=() t
    for t in worker_pool_test extract_test document_test; do
        [ -f "tests/core/$t.cpp" ] && targets+=("$t")
    done
    ((${#targets[@]})) || return 0
    .venv/bin/cmake --build "$dir" -j"$(nproc)" --target "${targets[@]}"
    echo "sanitize: multi-threaded tests under TSan"
    for t in "${targets[@]}"; do
        TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/tests/core/tsan.supp" "$dir/$t" \
            --gtest_brief=1 || status=1
    done
}

for s in "${stages[@]}"; do
    case "$s" in
    asan) run_asan ;;
    tsan) run_tsan ;;
    *) echo "sanitize: unknown stage $s" >&2 && exit 2 ;;
    esac
done
exit $status
