#!/usr/bin/env python3
"""Mutation smoke test: real PDFs, truncated at many offsets and with byte
ranges flipped, deleted, duplicated or overwritten, go through extract (with
images), extract_many and extract_links in a child process. Every call must
return or raise ValueError with one of the core's own messages; the child
must never die of a signal, and no file may take longer than the bound.

    scripts/mutation_smoke.py                      # 5 minutes over the corpus
    scripts/mutation_smoke.py --seconds 3600 --jobs 2
    scripts/mutation_smoke.py --count 200 --seed 7 --keep /tmp/failures

Run with build/python (or an installed quarvel) importable. The child keeps
running between files, so its startup is paid once; when it dies or hangs,
the file it was working on is the culprit, kept in --keep, and a fresh child
takes over. The figures printed at the end (files, calls, outcomes, slowest
file, peak memory) are what the README reports.
"""

from __future__ import annotations

import argparse
import os
import random
import re
import queue
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
DEFAULT_CORPUS = REPO.parent / "shared" / "corpus"

# Texts of the error kinds that carry no `other` message.
FIXED_MESSAGES = {
    "unexpected end of input",
    "invalid number format",
    "invalid hex string",
    "invalid #XX escape in name",
    "unbalanced parentheses in string",
    "stream missing /Length",
}
UNEXPECTED_BYTE = re.compile(r"unexpected byte: 0x[0-9a-f]{2} \('.'\)", re.S)


def known_messages(core: Path = REPO / "core") -> set[str]:
    """Every ValueError text the core can produce: the fixed kinds, and each
    literal passed to ParseError::other, directly or through a named
    constant, anywhere under core/."""
    messages = set(FIXED_MESSAGES)
    literal = re.compile(r'other\(\s*"((?:[^"\\]|\\.)*)"\s*\)')
    named = re.compile(r"other\(\s*([A-Za-z_][A-Za-z0-9_:]*)\s*\)")
    sources = [p.read_text(errors="replace") for p in core.rglob("*.[ch]*")]
    names = set()
    for text in sources:
        messages.update(literal.findall(text))
        names.update(n.split("::")[-1] for n in named.findall(text))
    for text in sources:
        for name in names:
            for m in re.finditer(re.escape(name) + r'(?:\[\])?\s*=\s*"((?:[^"\\]|\\.)*)"', text):
                messages.add(m.group(1))
    return messages


def message_is_known(message: str, known: set[str]) -> bool:
    return message in known or UNEXPECTED_BYTE.fullmatch(message) is not None


# --- the child ---------------------------------------------------------------

WORKER = r"""
import resource, sys, time
import quarvel, quarvel_full
out = sys.stdout
for line in sys.stdin:
    path = line.rstrip("\n")
    out.write("start\n"); out.flush()
    t = time.monotonic()
    results = []
    for module in (quarvel, quarvel_full):
        for name, call in (
            ("extract", lambda: module.extract(path, include_images=True)),
            ("extract_many", lambda: module.extract_many([path, path], include_images=True)),
            ("extract_links", lambda: module.extract_links(path)),
        ):
            try:
                call()
                results.append(name + "=ok")
            except ValueError as e:
                results.append(name + "=ValueError:" + str(e).replace("\n", "\\n"))
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    out.write("done %.3f %d\t%s\n" % (time.monotonic() - t, rss, "\t".join(results)))
    out.flush()
"""


@dataclass
class Outcome:
    ok: bool
    seconds: float = 0.0
    peak_kib: int = 0
    detail: str = ""
    value_errors: list[str] = field(default_factory=list)


class Child:
    """A worker process that extracts the files it is sent, one at a time."""

    def __init__(self, env: dict[str, str], memory_bytes: int | None):
        def limit() -> None:
            if memory_bytes:
                import resource

                resource.setrlimit(resource.RLIMIT_AS, (memory_bytes, memory_bytes))

        self.proc = subprocess.Popen(
            [sys.executable, "-c", WORKER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, env=env, text=True, preexec_fn=limit)
        # A reader thread turns the child's output into a queue that can be
        # waited on with a deadline; "" marks its end.
        self.lines: queue.Queue[str] = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self) -> None:
        for line in self.proc.stdout:
            self.lines.put(line)
        self.lines.put("")

    def _line(self, deadline: float) -> str | None:
        try:
            return self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
        except queue.Empty:
            return None

    def run(self, path: str, timeout: float) -> Outcome:
        start = time.monotonic()
        try:
            self.proc.stdin.write(path + "\n")
            self.proc.stdin.flush()
        except BrokenPipeError:
            return self._died(start)
        deadline = start + timeout + 30  # the first line waits for startup too
        first = self._line(deadline)
        if not first:
            return self._died(start) if first == "" else self._hung(start, timeout)
        line = self._line(time.monotonic() + timeout)
        if line is None:
            return self._hung(start, timeout)
        if not line:
            return self._died(start)
        head, _, rest = line.rstrip("\n").partition("\t")
        _, seconds, rss = head.split()
        outcome = Outcome(ok=True, seconds=float(seconds), peak_kib=int(rss))
        for item in rest.split("\t"):
            name, _, result = item.partition("=")
            if result.startswith("ValueError:"):
                outcome.value_errors.append(result[len("ValueError:"):])
            elif result != "ok":
                outcome.ok = False
                outcome.detail = f"{name}: {result}"
        return outcome

    def _hung(self, start: float, timeout: float) -> Outcome:
        self.close()
        return Outcome(ok=False, seconds=time.monotonic() - start,
                       detail=f"no result within {timeout:.0f} s")

    def _died(self, start: float) -> Outcome:
        code = self.proc.wait()
        err = self.proc.stderr.read()[-2000:]
        how = f"signal {-code}" if code < 0 else f"exit status {code}"
        return Outcome(ok=False, seconds=time.monotonic() - start,
                       detail=f"child died ({how}): {err.strip()}")

    def alive(self) -> bool:
        return self.proc.poll() is None

    def close(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.reader.join()
        for f in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            f.close()


# --- mutations -----------------------------------------------------------------

# Tokens a mutation may write over the file: structure keywords and numbers at
# the edges of the integer types.
TOKENS = [b"obj", b"endobj", b"stream", b"endstream", b"xref", b"trailer", b"startxref",
          b"<<", b">>", b"[", b"]", b"(", b")", b"/", b" R ", b"0", b"-1", b"4294967295",
          b"9223372036854775807", b"99999999999999999999", b"1e308", b"/FlateDecode",
          b"/ObjStm", b"/XRef", b"/Length", b"/Kids", b"/Type", b"%%EOF", b"\x00"]


def mutate(data: bytes, rng: random.Random) -> tuple[str, bytes]:
    n = len(data)
    if n == 0:
        return "empty", data
    kind = rng.choice(("truncate", "truncate", "flip", "delete", "duplicate", "token",
                       "zero", "tail_flip"))
    at = rng.randrange(n)
    span = min(n - at, rng.choice((1, 2, 8, 64, 512, 4096)))
    if kind == "truncate":
        return f"truncate@{at}", data[:at]
    if kind == "flip":
        mask = bytes(rng.randrange(1, 256) for _ in range(span))
        return f"flip@{at}+{span}", data[:at] + bytes(
            a ^ b for a, b in zip(data[at:at + span], mask)) + data[at + span:]
    if kind == "delete":
        return f"delete@{at}+{span}", data[:at] + data[at + span:]
    if kind == "duplicate":
        return f"duplicate@{at}+{span}", data[:at + span] + data[at:]
    if kind == "token":
        return f"token@{at}", data[:at] + rng.choice(TOKENS) + data[at + rng.randrange(4):]
    if kind == "zero":
        return f"zero@{at}+{span}", data[:at] + bytes(span) + data[at + span:]
    # The cross-reference data and trailer live in the last few KiB.
    at = max(0, n - 1 - rng.randrange(min(n, 4096)))
    return f"tail_flip@{at}", data[:at] + bytes([data[at] ^ rng.randrange(1, 256)]) + data[at + 1:]


# --- driver ----------------------------------------------------------------------


@dataclass
class Report:
    files: int = 0
    calls: int = 0
    value_errors: int = 0
    failures: list[tuple[str, str]] = field(default_factory=list)
    slowest: tuple[float, str] = (0.0, "")
    peak_kib: int = 0
    messages: dict[str, int] = field(default_factory=dict)

    def summary(self) -> str:
        lines = [f"mutants: {self.files}, calls: {self.calls}, ValueErrors: {self.value_errors}, "
                 f"failures: {len(self.failures)}",
                 f"slowest: {self.slowest[0]:.2f} s ({self.slowest[1]}), "
                 f"peak child RSS: {self.peak_kib // 1024} MiB"]
        for msg, count in sorted(self.messages.items(), key=lambda kv: -kv[1])[:12]:
            lines.append(f"  {count:6d}  {msg}")
        for name, detail in self.failures[:20]:
            lines.append(f"FAIL {name}: {detail}")
        return "\n".join(lines)


def run(sources: list[Path], count: int | None, seconds: float | None, seed: int,
        timeout: float, keep: Path | None, env: dict[str, str] | None = None,
        memory_bytes: int | None = 3 << 30, log=None) -> Report:
    env = dict(os.environ if env is None else env)
    known = known_messages()
    rng = random.Random(seed)
    originals = [(p.name, p.read_bytes()) for p in sources]
    report = Report()
    end = time.monotonic() + seconds if seconds else None
    child = Child(env, memory_bytes)
    with tempfile.TemporaryDirectory(prefix="quarvel-mutants-") as tmp:
        i = 0
        while (count is None or i < count) and (end is None or time.monotonic() < end):
            name, data = originals[i % len(originals)]
            how, mutant = mutate(data, rng)
            label = f"{name}:{how}"
            path = Path(tmp) / f"mutant-{i}.pdf"
            path.write_bytes(mutant)
            if not child.alive():
                child = Child(env, memory_bytes)
            outcome = child.run(str(path), timeout)
            report.files += 1
            report.calls += 3
            report.peak_kib = max(report.peak_kib, outcome.peak_kib)
            if outcome.seconds > report.slowest[0]:
                report.slowest = (outcome.seconds, label)
            for msg in outcome.value_errors:
                report.value_errors += 1
                report.messages[msg] = report.messages.get(msg, 0) + 1
                if not message_is_known(msg, known):
                    outcome.ok = False
                    outcome.detail = f"unknown ValueError text {msg!r}"
            if not outcome.ok:
                report.failures.append((label, outcome.detail))
                if keep:
                    keep.mkdir(parents=True, exist_ok=True)
                    (keep / f"{seed}-{i}-{name}").write_bytes(mutant)
                if log:
                    log(f"FAIL {label}: {outcome.detail}")
                if child.alive() and "no result" in outcome.detail:
                    child.close()
            path.unlink()
            i += 1
    child.close()
    return report


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS)
    ap.add_argument("--count", type=int, help="mutants to run (default: until --seconds)")
    ap.add_argument("--seconds", type=float, default=None)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--timeout", type=float, default=20.0, help="bound per mutant, seconds")
    ap.add_argument("--max-bytes", type=int, default=4 << 20, help="skip larger corpus files")
    ap.add_argument("--jobs", type=int, default=1, help="independent runs with seeds seed..")
    ap.add_argument("--keep", type=Path, default=REPO / "fuzz" / "out" / "mutants")
    args = ap.parse_args()
    if args.count is None and args.seconds is None:
        args.seconds = 300.0
    sources = sorted(p for p in args.corpus.glob("*.pdf") if p.stat().st_size <= args.max_bytes)
    if not sources:
        print(f"no PDFs in {args.corpus}", file=sys.stderr)
        return 2
    started = time.monotonic()
    if args.jobs > 1:
        from concurrent.futures import ThreadPoolExecutor

        with ThreadPoolExecutor(args.jobs) as pool:
            reports = list(pool.map(
                lambda k: run(sources, args.count, args.seconds, args.seed + k, args.timeout,
                              args.keep, log=print), range(args.jobs)))
    else:
        reports = [run(sources, args.count, args.seconds, args.seed, args.timeout, args.keep,
                       log=print)]
    total = Report()
    for r in reports:
        total.files += r.files
        total.calls += r.calls
        total.value_errors += r.value_errors
        total.failures += r.failures
        total.peak_kib = max(total.peak_kib, r.peak_kib)
        total.slowest = max(total.slowest, r.slowest)
        for k, v in r.messages.items():
            total.messages[k] = total.messages.get(k, 0) + v
    print(f"{len(sources)} source files, {time.monotonic() - started:.0f} s")
    print(total.summary())
    return 1 if total.failures else 0


if __name__ == "__main__":
    sys.exit(main())
