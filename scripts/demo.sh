#!/usr/bin/env bash
# Installs what is missing, builds the Python modules, writes a sample PDF and
# extracts its text, links and images from Python and with the `quarvel` command.
#
#   scripts/demo.sh [file.pdf]     # a PDF of your own instead of the sample
#
# BUILD_DIR chooses the build directory (default build/).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

build_dir="${BUILD_DIR:-build}"
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    echo "demo: configuring $build_dir"
    .venv/bin/cmake -S . -B "$build_dir" -G Ninja \
        -DPython3_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
fi
echo "demo: building the Python module"
log=$(mktemp)
if ! .venv/bin/cmake --build "$build_dir" --target quarvel_module quarvel_full_module -j"$(nproc)" >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    exit 1
fi
rm -f "$log"

if [ $# -ge 1 ]; then
    pdf="$1"
else
    pdf="$build_dir/sample.pdf"
    .venv/bin/python scripts/make_sample_pdf.py "$pdf"
    echo "demo: wrote the sample $pdf"
fi

PYTHONPATH="$PWD/$build_dir/python" .venv/bin/python - "$pdf" <<'PY'
import sys

import quarvel_full

path = sys.argv[1]
blocks, images = quarvel_full.extract(path)
print(f"quarvel_full {quarvel_full.__version__}: {path}")
print(f"-- text: {len(blocks)} blocks, in reading order")
for block in blocks:
    for line in block["lines"]:
        text = " ".join(span["text"] for span in line["spans"])
        x0, y0, _, _ = line["bbox"]
        print(f"  page {block['page']} [{x0:6.1f} {y0:6.1f}] {text}")
print("-- links:")
for link in quarvel_full.extract_links(path):
    print(f"  page {link['page']}: {link['uri']}  at {link['bbox']}")
print(f"-- images: {len(images)}")
for image in images:
    print(f"  {image['width']}x{image['height']} {image['colorspace']} {image['ext']}, "
          f"{len(image['image'])} bytes at {image['bbox']}")
PY

echo "-- the same from the command line: quarvel text $pdf"
PYTHONPATH="$PWD/$build_dir/python:$PWD/python" .venv/bin/python -m quarvel_tools text "$pdf"
