#!/usr/bin/env python3
"""Page-parallel scaling: for both modules, on the generated 2,000-page text
document and on the corpus, the one-thread time, the page-parallel time, the
serial fraction and the speed-up Amdahl's law projects from it.

    PYTHONPATH=build/python .venv/bin/python bench/scaling.py [--pages 2000]
        [--corpus ../shared/corpus] [--repeat 5]

The calling thread turns every page into Python objects under the
interpreter lock while the workers extract the next ones; that conversion is
the part no number of cores shortens. Its share is measured as CPU time,
which other load on the machine does not distort: the serial fraction is the
calling thread's CPU time during the page-parallel call (time.thread_time)
over the process's CPU time for the same call on one thread
(time.process_time), and the projection on N cores is 1 / (s + (1 - s) / N).
Wall-clock times are the median of --repeat runs, readers and modes
interleaved in one process per module, and "best ×" is the ratio of the
fastest run of each mode; on a loaded machine the measured speed-up falls
below what the CPU shares allow, so the load average is printed beside
them.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

CORES = (2, 4, 8, 16)

CHILD = r"""
import gc, json, sys, time
module = __import__(sys.argv[1])
paths, repeat = json.loads(sys.argv[2]), int(sys.argv[3])

def run(parallel):
    wall = caller = process = 0.0
    for path in paths:
        gc.collect()
        w, c, p = time.perf_counter(), time.thread_time(), time.process_time()
        try:
            result = module.extract(path, page_parallel=parallel, include_images=False)
        except ValueError:
            result = None
        wall += time.perf_counter() - w
        caller += time.thread_time() - c
        process += time.process_time() - p
        del result
    return {"wall": wall, "caller": caller, "process": process}

runs = {"one": [], "parallel": []}
for _ in range(repeat):
    for mode in ("one", "parallel"):
        runs[mode].append(run(mode == "parallel"))
print(json.dumps(runs))
"""


def amdahl(serial: float, cores: int) -> float:
    return 1.0 / (serial + (1.0 - serial) / cores)


def measure(module: str, paths: list[str], repeat: int) -> dict:
    out = subprocess.run([sys.executable, "-c", CHILD, module, json.dumps(paths), str(repeat)],
                         check=True, capture_output=True, text=True)
    runs = json.loads(out.stdout)
    med = {mode: {key: statistics.median(r[key] for r in runs[mode])
                  for key in ("wall", "caller", "process")} for mode in runs}
    serial = med["parallel"]["caller"] / med["one"]["process"]
    best = {mode: min(r["wall"] for r in runs[mode]) for mode in runs}
    return {"one": med["one"]["wall"], "parallel": med["parallel"]["wall"],
            "speedup": med["one"]["wall"] / med["parallel"]["wall"],
            "best_speedup": best["one"] / best["parallel"], "serial": serial,
            "caller_cpu": med["parallel"]["caller"], "one_cpu": med["one"]["process"]}


def report(name: str, paths: list[str], repeat: int) -> None:
    print(f"\n{name}: {len(paths)} files")
    print("| module | one thread s | page-parallel s | measured × | best × | caller CPU s"
          " | serial fraction" + "".join(f" | projected × {n} cores" for n in CORES) + " |")
    print("| --- | ---: | ---: | ---: | ---: | ---: | ---:" + " | ---:" * len(CORES) + " |")
    for module in ("quarvel", "quarvel_full"):
        m = measure(module, paths, repeat)
        print(f"| {module} | {m['one']:.3f} | {m['parallel']:.3f} | {m['speedup']:.2f} "
              f"| {m['best_speedup']:.2f} "
              f"| {m['caller_cpu']:.3f} | {m['serial'] * 100:.1f} %"
              + "".join(f" | {amdahl(m['serial'], n):.2f}" for n in CORES) + " |", flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pages", type=int, default=2000)
    parser.add_argument("--corpus", type=Path,
                        default=Path(__file__).resolve().parents[2] / "shared" / "corpus")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    print(f"machine: {os.cpu_count()} CPUs; load average before: "
          + ", ".join(f"{x:.2f}" for x in os.getloadavg()))
    from large_docs import text_document

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, f"text{args.pages}.pdf")
        Path(path).write_bytes(text_document(args.pages))
        report(f"generated, {args.pages} text-dense pages", [path], args.repeat)
    if args.corpus.is_dir():
        files = sorted(str(p) for p in args.corpus.iterdir() if p.suffix.lower() == ".pdf")
        report(f"corpus {args.corpus}", files, args.repeat)
    print("\nload average after: " + ", ".join(f"{x:.2f}" for x in os.getloadavg()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
