#!/usr/bin/env bash
# Runs the libFuzzer targets, one after another, each for a while.
#
#   scripts/fuzz.sh                      # every target, 600 s each
#   scripts/fuzz.sh document 3600        # one target for an hour
#   JOBS=2 scripts/fuzz.sh content 600   # two fuzzing processes
#
# Builds the targets with clang, AddressSanitizer and UndefinedBehavior-
# Sanitizer in build-fuzz/, writes seeds (the PDF builder's and, when present,
# the shared corpus of real files) and keeps each target's growing corpus in
# fuzz/out/<target>/ (not committed). A finding lands in
# fuzz/out/crashes/<target>/; copy it to fuzz/crashes/<target>/ once fixed so
# the replay test in CTest keeps it fixed.
set -euo pipefail
cd "$(dirname "$0")/.."

all_targets=(object filters xref recovery cmap content layout document)
targets=("${1:-all}")
[ "${targets[0]}" = all ] && targets=("${all_targets[@]}")
seconds="${2:-600}"
jobs="${JOBS:-1}"
build_dir="${FUZZ_BUILD_DIR:-build-fuzz}"
corpus_dir="${QUARVEL_CORPUS:-../shared/corpus}"

cxx="${CXX:-}"
if [ -z "$cxx" ]; then
    for c in clang++-19 clang++; do command -v "$c" >/dev/null && cxx=$c && break; done
fi
[ -n "$cxx" ] || {
    echo "fuzz: needs clang and libFuzzer (apt-get install clang-19 libclang-rt-19-dev)" >&2
    exit 1
}
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    CXX="$cxx" .venv/bin/cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUARVEL_BUILD_FUZZ=ON -DQUARVEL_BUILD_TESTS=OFF -DQUARVEL_BUILD_PYTHON=OFF \
        -DQUARVEL_BUILD_BENCH=OFF "-DQUARVEL_SANITIZE=address;undefined" >/dev/null
fi
build_targets=(fuzz_seeds)
for t in "${targets[@]}"; do build_targets+=("${t}_fuzzer"); done
# NO_BUILD=1 runs what is built (several runs at once share one build).
[ "${NO_BUILD:-0}" = 1 ] || .venv/bin/cmake --build "$build_dir" -j2 --target "${build_targets[@]}"

seeds=fuzz/out/seeds
if [ ! -d "$seeds" ]; then
    "$build_dir/fuzz/fuzz_seeds" "$seeds"
    if [ -d "$corpus_dir" ]; then
        .venv/bin/python fuzz/corpus_seeds.py "$corpus_dir" "$seeds"
    fi
fi

for t in "${targets[@]}"; do
    mkdir -p "fuzz/out/$t" "fuzz/out/crashes/$t"
    # Real files run to megabytes; libFuzzer mutates smaller inputs faster,
    # and the structures worth mutating sit in the first few hundred KiB.
    max_len=65536
    case "$t" in document | xref | recovery) max_len=300000 ;; esac
    # Parallel jobs write their logs (fuzz-N.log) into the working folder.
    parallel=()
    ((jobs > 1)) && parallel=(-jobs="$jobs" -workers="$jobs")
    echo "fuzz: $t for ${seconds}s"
    (cd fuzz/out && "../../$build_dir/fuzz/${t}_fuzzer" "$t" "seeds/$t" "../corpus/$t" \
        -dict=../pdf.dict -max_len="$max_len" -timeout=30 -rss_limit_mb=3072 \
        -max_total_time="$seconds" -print_final_stats=1 "${parallel[@]}" \
        -artifact_prefix="crashes/$t/") 2>&1 | tee "fuzz/out/$t.log" |
        grep -E "^#[0-9]+.*(INITED|DONE)|stat::|ERROR|SUMMARY|Test unit written" || true
done
