#!/usr/bin/env bash
# Configures and builds everything (core, module, tests, benchmarks) in
# build/, or in $BUILD_DIR with extra CMake arguments passed through.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build}"
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    .venv/bin/cmake -S . -B "$build_dir" -G Ninja \
        -DPython3_EXECUTABLE="$PWD/.venv/bin/python" "$@" >/dev/null
fi
.venv/bin/cmake --build "$build_dir" -j"$(nproc)"
