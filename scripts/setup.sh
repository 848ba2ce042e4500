#!/usr/bin/env bash
# Installs what building and testing quarvel needs, and nothing when all of it
# is present: Debian's C++ libraries, and the Python tools in .venv.
set -euo pipefail
cd "$(dirname "$0")/.."

apt_packages=(g++ make zlib1g-dev libdeflate-dev libfast-float-dev libssl-dev libtbb-dev libgtest-dev libbenchmark-dev python3-dev python3-venv qpdf poppler-utils)
missing=()
for p in "${apt_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python_bin="${PYTHON:-python3}"
if [ ! -x .venv/bin/python ]; then
    echo "setup: creating .venv"
    "$python_bin" -m venv .venv
fi
# Reinstall the Python tools only when the list below changes.
# pyarrow, tqdm, dask and distributed are the tools' optional extras, Pillow
# and mypy test aids of their tests; pymupdf and pypdfium2 are reference
# readers the agreement tests compare with, weasyprint and markdown make the
# test documents whose structure is known.
requirements="scikit-build-core>=0.10 cmake>=3.24 ninja pytest hypothesis numpy pymupdf pypdfium2 weasyprint markdown pillow mypy pyarrow tqdm dask distributed"
stamp=.venv/.quarvel-setup
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$requirements" ]; then
    echo "setup: installing Python tools into .venv"
    log=$(mktemp)
    # shellcheck disable=SC2086
    if ! .venv/bin/python -m pip install -q $requirements >"$log" 2>&1; then
        cat "$log" >&2
        exit 1
    fi
    rm -f "$log"
    echo "$requirements" > "$stamp"
fi
