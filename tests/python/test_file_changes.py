"""Files that shrink while they are read.

A child process extracts a large generated document while this process cuts
the file at a random moment; every run must end with a result or a
ValueError, never a signal, and a cut that lands mid-read must read as
"file changed while reading". Faults that are not a document's still reach
the interpreter's faulthandler.

QUARVEL_FILE_CHANGE_RUNS sets the number of cuts per case (default 12).
"""

from __future__ import annotations

import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time

import pytest

from pdfbuilder import simple_document

CHANGED = "file changed while reading"
RUNS = int(os.environ.get("QUARVEL_FILE_CHANGE_RUNS", "12"))
SLOWDOWN = 5 if os.environ.get("QUARVEL_SANITIZED") else 1
CHILD_SECONDS = 60 * SLOWDOWN

# Prints one JSON line per call: ["ok", pages] or ["ValueError", message].
CHILD = r"""
import faulthandler, json, sys
import quarvel
mode, late_faulthandler, paths = sys.argv[1], sys.argv[2] == "1", sys.argv[3:]
if late_faulthandler:
    # Installed over the module's handler once it is in place: files must
    # then be read without a mapping that can fault.
    quarvel.extract(paths[-1])
    faulthandler.enable()
print("ready", flush=True)
sys.stdin.readline()
calls = {
    "extract": lambda: quarvel.extract(paths[0], page_parallel=False),
    "extract_parallel": lambda: quarvel.extract(paths[0], page_parallel=True, batch_size=0),
    "extract_links": lambda: quarvel.extract_links(paths[0]),
    "extract_many": lambda: quarvel.extract_many(paths, file_parallel=False, page_parallel=True),
}
try:
    value = calls[mode]()
    out = ["ok", [len(v[1]) for v in value] if mode == "extract_many" else len(value)]
except ValueError as e:
    out = ["ValueError", str(e)]
print(json.dumps(out), flush=True)
"""


def large_document(pages: int = 400) -> bytes:
    """Uncompressed text pages of about 4 KiB each, so that every page is
    read from its own stretch of the file."""
    line = "(the quick brown fox jumps over the lazy dog 0123456789) Tj 0 -14 Td\n"
    contents = ["BT /F1 11 Tf 56 760 Td\n" + line * 50 + "ET" for _ in range(pages)]
    return simple_document(
        contents, resources="<< /Font << /F1 << /Type /Font /Subtype /Type1 "
                            "/BaseFont /Helvetica >> >> >>").build()


@pytest.fixture(scope="module")
def document(tmp_path_factory):
    path = tmp_path_factory.mktemp("changes") / "original.pdf"
    path.write_bytes(large_document())
    return path


def start_child(mode: str, paths: list, late_faulthandler: bool = False) -> subprocess.Popen:
    proc = subprocess.Popen(
        [sys.executable, "-c", CHILD, mode, "1" if late_faulthandler else "0", *map(str, paths)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert proc.stdout.readline().strip() == "ready", proc.stderr.read()
    return proc


def finish_child(proc: subprocess.Popen):
    try:
        out, err = proc.communicate(timeout=CHILD_SECONDS)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        pytest.fail(f"no result within {CHILD_SECONDS} s", pytrace=False)
    code = proc.returncode
    assert code == 0, (
        f"child ended by {'signal %d' % -code if code < 0 else 'status %d' % code}: {err[-3000:]}")
    return json.loads(out.strip().splitlines()[-1])


def timed_run(mode: str, paths: list) -> tuple:
    """The result of an untouched run and how long it took."""
    proc = start_child(mode, paths)
    start = time.monotonic()
    proc.stdin.write("\n")
    proc.stdin.flush()
    result = finish_child(proc)
    return result, time.monotonic() - start


def cut_during(proc: subprocess.Popen, victim, seconds: float, rng: random.Random) -> None:
    """Lets the child go, then cuts `victim` to a random part of its size at a
    random moment of the call."""
    size = os.path.getsize(victim)
    proc.stdin.write("\n")
    proc.stdin.flush()
    time.sleep(rng.uniform(0, seconds))
    os.truncate(victim, rng.randrange(0, size // 2))


@pytest.mark.parametrize("mode, late_faulthandler", [
    ("extract", False),
    ("extract_parallel", False),
    ("extract_links", False),
    ("extract_parallel", True),
])
def test_cut_during_a_call_ends_in_a_result_or_changed(document, tmp_path, mode,
                                                        late_faulthandler):
    victim = tmp_path / "victim.pdf"
    shutil.copyfile(document, victim)
    untouched, seconds = timed_run(mode, [victim])
    assert untouched[0] == "ok"
    rng = random.Random(f"{mode}{late_faulthandler}")
    outcomes = []
    for _ in range(RUNS):
        shutil.copyfile(document, victim)
        proc = start_child(mode, [victim, document], late_faulthandler)
        cut_during(proc, victim, seconds, rng)
        outcomes.append(finish_child(proc))
    # A cut before the open leaves a short file, read as such: a result, or
    # one of the core's own errors for a broken file.
    assert all(o[0] in ("ok", "ValueError") for o in outcomes), outcomes
    # The file repaired, the next call reads it whole.
    shutil.copyfile(document, victim)
    assert timed_run(mode, [victim])[0] == untouched


def test_changed_is_reported_when_the_cut_lands_mid_read(document, tmp_path):
    """The cuts above may all miss the read on a loaded machine; here they
    are retried until one lands inside it, so that the error is seen."""
    victim = tmp_path / "victim.pdf"
    shutil.copyfile(document, victim)
    _, seconds = timed_run("extract_parallel", [victim])
    rng = random.Random(7)
    seen = []
    for _ in range(max(RUNS, 30)):
        shutil.copyfile(document, victim)
        proc = start_child("extract_parallel", [victim])
        cut_during(proc, victim, seconds * 0.8, rng)
        seen.append(finish_child(proc))
        if seen[-1] == ["ValueError", CHANGED]:
            return
    pytest.fail(f"no cut was found while reading: {seen}")


def test_extract_many_keeps_the_files_not_cut(document, tmp_path):
    first, last = tmp_path / "first.pdf", tmp_path / "last.pdf"
    victim = tmp_path / "victim.pdf"
    for p in (first, last, victim):
        shutil.copyfile(document, p)
    paths = [first, victim, last]
    untouched, seconds = timed_run("extract_many", paths)
    pages = untouched[1][0]
    assert untouched == ["ok", [pages, pages, pages]]
    rng = random.Random(11)
    for _ in range(RUNS):
        shutil.copyfile(document, victim)
        proc = start_child("extract_many", paths)
        cut_during(proc, victim, seconds, rng)
        status, counts = finish_child(proc)
        # The cut file has its empty entry when the cut was seen, or what
        # was read of it; the others are whole.
        assert status == "ok" and counts[0] == pages and counts[2] == pages, counts


# Faults in memory that is no document's: a bad address, and a mapping of a
# cut file made by Python itself.
FOREIGN_FAULT = r"""
import faulthandler, mmap, os, sys, tempfile
import quarvel
quarvel.extract(sys.argv[2])  # the module's handler is in place
if sys.argv[1] == "bad_address":
    import ctypes
    ctypes.string_at(1)
else:
    with tempfile.TemporaryFile() as f:
        f.write(b"x" * 3 * mmap.PAGESIZE)
        f.flush()
        m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        f.truncate(0)
        m[2 * mmap.PAGESIZE]
print("survived")
"""


@pytest.mark.parametrize("fault, signum", [
    ("bad_address", signal.SIGSEGV),
    ("cut_foreign_mapping", signal.SIGBUS),
])
@pytest.mark.parametrize("faulthandler", [True, False])
def test_faults_not_ours_still_end_the_process(document, fault, signum, faulthandler):
    if os.environ.get("QUARVEL_SANITIZED"):
        pytest.skip("the sanitizer reports the fault itself and exits with its own status")
    args = [sys.executable] + (["-X", "faulthandler"] if faulthandler else [])
    proc = subprocess.run(args + ["-c", FOREIGN_FAULT, fault, str(document)],
                          capture_output=True, text=True, timeout=CHILD_SECONDS)
    assert proc.returncode == -signum, proc.stderr[-2000:]
    assert "survived" not in proc.stdout
    assert ("Fatal Python error" in proc.stderr) == faulthandler, proc.stderr[-2000:]
