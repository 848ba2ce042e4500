#!/usr/bin/env python3
"""Peak memory of a batch over the corpus listed twice: the streaming
iter_extract, the command line's batch (which reads through it) and the
whole-list extract_many beside them.

    PYTHONPATH=build/python:python .venv/bin/python bench/batch_memory.py
        [--corpus ../shared/corpus] [--copies 2]

Each run is a fresh child process whose peak resident memory (VmHWM) is its
own. "batch" is the command line writing JSON Lines, "batch.parquet" the
same writing Parquet. The consumer of iter_extract keeps nothing, as a loop that writes each
result out would; extract_many has to hold the whole list.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

CHILD = r"""
import json, sys, time
which, inputs, out = sys.argv[1], json.loads(sys.argv[2]), sys.argv[3]

def vm_hwm():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024

start = time.perf_counter()
if which.startswith("batch"):
    from quarvel_tools.cli import main
    main(["batch", *inputs, "-o", out])
else:
    import quarvel_full
    from quarvel_tools.batch import find_pdfs
    paths = find_pdfs(inputs)
    if which.startswith("iter_extract"):
        images = which.endswith("images")
        for path, result in quarvel_full.iter_extract(paths, include_images=images):
            del result
    else:
        results = quarvel_full.extract_many(paths, include_images=which.endswith("images"))
print(json.dumps({"peak": vm_hwm(), "seconds": time.perf_counter() - start}))
"""

RUNS = ["iter_extract", "iter_extract+images", "batch", "batch.parquet", "extract_many", "extract_many+images"]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=Path,
                        default=Path(__file__).resolve().parents[2] / "shared" / "corpus")
    parser.add_argument("--copies", type=int, default=2)
    parser.add_argument("--runs", nargs="+", default=RUNS)
    args = parser.parse_args()
    print(f"load average before: {', '.join(f'{x:.2f}' for x in os.getloadavg())}")
    with tempfile.TemporaryDirectory() as tmp:
        # The corpus under several names, so that each file is read once per
        # copy (the batch lists every path once).
        inputs = []
        for copy in range(args.copies):
            link = os.path.join(tmp, f"copy{copy}")
            os.symlink(args.corpus.resolve(), link)
            inputs.append(link)
        files = sum(1 for p in args.corpus.iterdir() if p.suffix.lower() == ".pdf")
        print(f"{args.corpus}: {files} files, listed {args.copies} times")
        for which in args.runs:
            # "batch" writes JSON Lines, "batch.parquet" Parquet.
            out = os.path.join(tmp, which if "." in which else f"{which}.jsonl")
            done = subprocess.run([sys.executable, "-c", CHILD, which, json.dumps(inputs), out],
                                  check=True, capture_output=True, text=True)
            m = json.loads(done.stdout.strip().splitlines()[-1])
            print(f"  {which:22} peak RSS {m['peak'] / 2**20:7.1f} MiB  {m['seconds']:6.2f} s",
                  flush=True)
    print(f"load average after: {', '.join(f'{x:.2f}' for x in os.getloadavg())}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
