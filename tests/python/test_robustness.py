"""Hostile input, mutated real files and memory over many calls.

Each hostile file (tests/hostile/make_hostile.py) runs in a fresh child
process with its time and memory measured: it must be extracted or refused
with a ValueError carrying one of the core's own messages, within a few
seconds and a few hundred MiB. A short mutation run does the same for
damaged copies of the corpus files, and extracting the whole corpus many
times in one process must leave resident memory flat.

Under AddressSanitizer (scripts/sanitize.sh sets QUARVEL_SANITIZED) the
bounds on time and memory are scaled, and the address-space limit is not
set: the sanitizer reserves terabytes of address space up front.
"""

from __future__ import annotations

import functools
import importlib.util
import json
import os
import resource
import subprocess
import sys
import time
from pathlib import Path

import pytest

from conftest import CORPUS_DIR, REPO_ROOT

sys.path.insert(0, str(REPO_ROOT / "tests" / "hostile"))
import make_hostile  # noqa: E402

_spec = importlib.util.spec_from_file_location(
    "mutation_smoke", REPO_ROOT / "scripts" / "mutation_smoke.py")
mutation_smoke = importlib.util.module_from_spec(_spec)
sys.modules["mutation_smoke"] = mutation_smoke
_spec.loader.exec_module(mutation_smoke)

SANITIZED = bool(os.environ.get("QUARVEL_SANITIZED"))
SLOWDOWN = 5 if SANITIZED else 1
# Bombs inflate to the decode cap (256 MiB) once per call: about a second
# each on an idle core. The bound leaves room for a machine shared with
# parallel builds.
SECONDS_PER_FILE = 15 * SLOWDOWN
# A decompression bomb may legitimately hold one filter's capped output
# (256 MiB) while the next stage reads it; nothing else comes close.
PEAK_MIB = 900 if not SANITIZED else 3000
ADDRESS_SPACE = None if SANITIZED else 4 << 30

CHILD = r"""
import json, resource, sys, time
import quarvel, quarvel_full
path = sys.argv[1]
results = {}
t = time.monotonic()
for module in (quarvel, quarvel_full):
    for name, call in (
        ("extract", lambda: module.extract(path, include_images=True)),
        ("extract_many", lambda: module.extract_many([path], include_images=True)),
        ("extract_links", lambda: module.extract_links(path)),
    ):
        try:
            value = call()
            results[module.__name__ + "." + name] = ["ok", len(value)]
        except ValueError as e:
            results[module.__name__ + "." + name] = ["ValueError", str(e)]
for name, call in (
    ("document_info", lambda: quarvel_full.document_info(path)),
    ("extract_links_internal", lambda: quarvel_full.extract_links(path, internal=True)),
    ("extract_drawings", lambda: quarvel_full.extract_drawings(path)),
    ("extract_tables", lambda: quarvel_full.extract_tables(path)),
    ("to_markdown", lambda: quarvel_full.to_markdown(path)),
    # The first image objects the pages draw, each once, made into samples;
    # the first refusal is the result.
    ("image_pixels", lambda: [quarvel_full.image_pixels(path, x) for x in sorted(
        {i["xref"] for i in quarvel_full.extract(path)[1]})[:64] if x]),
):
    try:
        value = call()
        results["quarvel_full." + name] = ["ok", len(value)]
    except ValueError as e:
        results["quarvel_full." + name] = ["ValueError", str(e)]
results["seconds"] = time.monotonic() - t
results["peak_kib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps(results))
"""

KNOWN = mutation_smoke.known_messages()


def run_child(path: Path, timeout: float) -> dict:
    def limit() -> None:
        if ADDRESS_SPACE:
            resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE, ADDRESS_SPACE))

    try:
        proc = subprocess.run([sys.executable, "-c", CHILD, str(path)], capture_output=True,
                              text=True, timeout=timeout, preexec_fn=limit)
    except subprocess.TimeoutExpired:
        pytest.fail(f"no result within {timeout:.0f} s", pytrace=False)
    assert proc.returncode == 0, (
        f"child failed ({'signal %d' % -proc.returncode if proc.returncode < 0 else proc.returncode})"
        f": {proc.stderr[-3000:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


# --- the hostile set -----------------------------------------------------------


@functools.lru_cache(maxsize=None)
def hostile_files() -> tuple:
    return tuple((generate, tuple(generate())) for generate in make_hostile.GENERATORS)


def hostile_cases() -> list:
    params = []
    for generate, cases in hostile_files():
        if generate is make_hostile.truncations:
            # Every third cut still reaches every kind of boundary in both
            # cross-reference forms; the full set runs by hand.
            step = 1 if os.environ.get("QUARVEL_ALL_TRUNCATIONS") else 3
            cases = cases[::step]
        params += [pytest.param(data, id=name) for name, data in cases]
    return params


@pytest.mark.parametrize("data", hostile_cases())
def test_hostile_file_is_extracted_or_refused(data, tmp_path):
    path = tmp_path / "hostile.pdf"
    path.write_bytes(data)
    start = time.monotonic()
    # The bound was two files' worth for the four reads that lay out every
    # page (extract and extract_many of each module); quarvel_full's
    # drawings, tables, Markdown and image samples read every page once more each.
    layouts = 8
    bound = 2 * SECONDS_PER_FILE * layouts / 4
    result = run_child(path, timeout=bound * 1.5)
    elapsed = time.monotonic() - start
    for module in ("quarvel", "quarvel_full"):
        for name in ("extract", "extract_many", "extract_links"):
            outcome, detail = result[f"{module}.{name}"]
            if outcome == "ValueError":
                assert mutation_smoke.message_is_known(detail, KNOWN), f"{module}.{name}: {detail!r}"
        # extract_many never raises for a bad file: it gives an empty entry.
        assert result[f"{module}.extract_many"] == ["ok", 1]
    for name in ("document_info", "extract_links_internal", "extract_drawings", "extract_tables",
                 "to_markdown", "image_pixels"):
        outcome, detail = result[f"quarvel_full.{name}"]
        if outcome == "ValueError":
            assert mutation_smoke.message_is_known(detail, KNOWN), f"quarvel_full.{name}: {detail!r}"
    assert elapsed < bound, f"took {elapsed:.1f} s"
    assert result["peak_kib"] < PEAK_MIB * 1024, f"peak RSS {result['peak_kib'] // 1024} MiB"


def test_hostile_bombs_stay_small_on_disk():
    # The set must stay cheap to generate and to keep in a temporary folder.
    sizes = {name: len(data) for _, cases in hostile_files() for name, data in cases}
    assert max(sizes.values()) < 32 << 20
    assert len(sizes) > 100


def test_lzw_bomb_expands_as_a_decoder_reads_it():
    # The LZW bomb is only hostile if its code widths are the ones readers
    # use: decode one cycle with a plain early-change decoder.
    data = make_hostile.lzw_zeros(1)
    out = bytearray()
    table = [bytes([i]) for i in range(256)] + [b"", b""]
    width, pos, prev = 9, 0, None
    while pos + width <= len(data) * 8:
        code = int.from_bytes(data, "big") >> (len(data) * 8 - pos - width) & ((1 << width) - 1)
        pos += width
        if code == 256:
            table, width, prev = table[:258], 9, None
            continue
        if code == 257:
            break
        entry = table[code] if code < len(table) else prev + prev[:1]
        out += entry
        if prev is not None:
            table.append(prev + entry[:1])
        prev = entry
        if len(table) + 1 >= 1 << width and width < 12:
            width += 1
    assert len(out) > 7_000_000 and not any(out)


# --- mutations of the real corpus --------------------------------------------------


def small_corpus_files(limit: int) -> list[Path]:
    files = sorted(CORPUS_DIR.glob("*.pdf"), key=lambda p: p.stat().st_size)
    return files[:limit]


@pytest.mark.skipif(not CORPUS_DIR.is_dir(), reason="corpus not available")
def test_mutated_corpus_files_never_crash_or_hang():
    count = int(os.environ.get("QUARVEL_MUTATIONS", "1500"))
    report = mutation_smoke.run(small_corpus_files(1000), count=count, seconds=None, seed=20261208,
                                timeout=SECONDS_PER_FILE * 2, keep=None,
                                memory_bytes=ADDRESS_SPACE)
    assert report.files == count
    assert not report.failures, report.summary()


def test_unknown_messages_are_told_apart():
    known = mutation_smoke.known_messages()
    assert "flate decompression failed" in known
    assert "recovery: could not find Catalog root" in known
    assert mutation_smoke.message_is_known("unexpected byte: 0x41 ('A')", known)
    assert mutation_smoke.message_is_known("unexpected byte: 0xe9 ('\u00e9')", known)
    assert not mutation_smoke.message_is_known("unexpected byte: 0x41 ('AB')", known)
    assert not mutation_smoke.message_is_known("std::bad_alloc", known)


# --- memory over many calls --------------------------------------------------------

MEMORY_CHILD = r"""
import json, os, sys
import quarvel
paths = sys.argv[2:]
rounds = int(sys.argv[1])
page = os.sysconf("SC_PAGE_SIZE")
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * page
samples = []
for r in range(rounds):
    for p in paths:
        try:
            quarvel.extract(p, include_images=True)
            quarvel.extract_links(p)
        except ValueError:
            pass
    quarvel.extract_many(paths[:8], include_images=True)
    samples.append(rss())
print(json.dumps(samples))
"""


@pytest.mark.skipif(not CORPUS_DIR.is_dir(), reason="corpus not available")
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine holds freed memory on purpose")
def test_resident_memory_stays_flat_over_repeated_extraction():
    # The whole corpus a hundred times: under a minute on one core.
    rounds = int(os.environ.get("QUARVEL_MEMORY_ROUNDS", "100"))
    if rounds < 2:
        pytest.skip("a settled round and a later one are needed: QUARVEL_MEMORY_ROUNDS >= 2")
    limit = int(os.environ.get("QUARVEL_MEMORY_FILES", "1000"))
    paths = [str(p) for p in small_corpus_files(limit)]
    warmup = min(3, rounds - 1)
    proc = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(rounds), *paths],
                          capture_output=True, text=True, timeout=3000)
    assert proc.returncode == 0, proc.stderr[-3000:]
    samples = json.loads(proc.stdout.strip().splitlines()[-1])
    settled = samples[warmup - 1]
    peak_after = max(samples[warmup:])
    # A few percent, plus a little for allocator pages that settle late.
    assert peak_after <= settled * 1.05 + (8 << 20), [s >> 20 for s in samples]
