#!/usr/bin/env bash
# Runs every test: sets up what is missing, builds, runs the C++ tests with
# CTest and the Python module's tests with pytest against the fresh build,
# then both again under the sanitizers (scripts/sanitize.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
build_dir="${BUILD_DIR:-build}"
status=0
(cd "$build_dir" && ../.venv/bin/ctest --output-on-failure --no-tests=error -j"$(nproc)") || status=1
if [ -d tests/python ] && ls tests/python/test_*.py >/dev/null 2>&1; then
    PYTHONPATH="$PWD/$build_dir/python:$PWD/python" .venv/bin/python -m pytest -q tests/python || status=1
fi
# The same suites under AddressSanitizer + UndefinedBehaviorSanitizer, and the
# multi-threaded ones under ThreadSanitizer (QUARVEL_SANITIZERS=0 skips them
# for a quick local run).
if [ "${QUARVEL_SANITIZERS:-1}" != 0 ]; then
    scripts/sanitize.sh || status=1
fi
exit $status
