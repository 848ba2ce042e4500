#!/usr/bin/env python3
"""Markdown against known Markdown, quarvel_full beside pymupdf4llm, one run.

    .venv/bin/python scripts/make_markdown_docs.py /tmp/markdown-docs
    PYTHONPATH=build/python .venv/bin/python bench/markdown_bench.py /tmp/markdown-docs
        [--corpus DIR] [--max-pages N] [--rounds N] [--turns N] [--also PDF ...]

For every NAME.pdf with NAME.md beside it (the development set) the scores
are: heading F1 by text (headings compared as lower-case words, as
multisets), word similarity of the text with markup removed (1 - word edit
distance / the longer word count), code-line recall (the share of the
source's fenced code lines found inside fenced code) and tables found (the
share of the source's tables that come out as Markdown tables, pipe or
HTML). Corpus files (../shared/corpus) whose outline PyMuPDF reads score
heading recall against the outline's titles. Speed is pages a second over the development set for
quarvel_full on one CPU and on two (the process's CPU affinity, which the
library's pool follows), one document at a time and, on two CPUs, two at a
time from a thread pool, and for pymupdf4llm, each in a fresh process.
Word distances use rapidfuzz when installed (a benchmark aid), else difflib.
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import re
import statistics
import subprocess
import sys
import time
import unicodedata
from pathlib import Path
from typing import Callable

# ../shared/corpus of the checkout, or of the folder holding the worktrees.
DEFAULT_CORPUS = next((p / "shared" / "corpus" for p in Path(__file__).resolve().parents[2:4]
                       if (p / "shared" / "corpus").is_dir()), Path("shared/corpus"))
WORD = re.compile(r"[^\W_]+")
LINK = re.compile(r"!?\[([^\]]*)\]\([^)]*\)")
HEADING = re.compile(r"^\s{0,3}(#{1,6})\s+(.*?)\s*#*\s*$")
# Bullets only: an item's number is part of its text in both sources.
LIST = re.compile(r"^\s*[-*+]\s+")
TAG = re.compile(r"</?(?:br|table|thead|tbody|tr|td|th|sup|sub|b|i|em|strong|code|pre|p|span)"
                 r"\b[^>\n]*>", re.I)
ESCAPE = re.compile(r"\\([\\`*_{}\[\]()#+\-.!|>])")
TABLE_RULE = re.compile(r"[\s|:-]*-{3,}[\s|:-]*")


SECTION_NUMBER = re.compile(r"^\s*(?:\d{1,3}(?:\.\d{1,3})*|[A-Z](?:\.\d{1,3})+|[IVX]{1,5})"
                            r"[.)]?\s+")


def norm_words(text: str) -> list[str]:
    return WORD.findall(unicodedata.normalize("NFKC", text).lower())


def heading_key(text: str) -> str:
    """A heading's words without its section number: outlines often leave
    the number out of the title the page prints."""
    text = LINK.sub(r"\1", text).replace("**", "").replace("`", "").strip(" _*")
    return " ".join(norm_words(SECTION_NUMBER.sub("", text)))


def blocks(markdown: str) -> tuple[list[str], list[str], list[str], int]:
    """Headings, plain lines (markup removed), code lines, tables."""
    headings, plain, code = [], [], []
    tables = 0
    fenced = False
    in_table = False
    for raw in markdown.splitlines():
        if raw.strip().startswith("```"):
            fenced = not fenced
            continue
        if fenced:
            code.append(raw.strip())
            plain.append(raw)
            continue
        line = raw
        if line.lstrip().startswith("<table"):
            # A table with spanning cells is written as HTML.
            tables += 1
        if line.lstrip().startswith("|"):
            if not in_table:
                tables += 1
                in_table = True
            if TABLE_RULE.fullmatch(line):
                continue
            line = line.replace("|", " ")
        else:
            in_table = False
        m = HEADING.match(line)
        if m:
            headings.append(heading_key(m.group(2)))
            line = m.group(2)
        line = LIST.sub("", line)
        line = LINK.sub(r"\1", line)
        line = TAG.sub(" ", line)
        line = ESCAPE.sub(r"\1", line.replace("**", "").replace("`", ""))
        line = re.sub(r"(?<!\w)_|_(?!\w)", "", line)
        plain.append(line)
    return [h for h in headings if h], plain, [c for c in code if c], tables


def f1(got: list[str], want: list[str]) -> float:
    g, w = collections.Counter(got), collections.Counter(want)
    common = sum((g & w).values())
    if not got and not want:
        return 1.0
    if common == 0:
        return 0.0
    p, r = common / sum(g.values()), common / sum(w.values())
    return 2 * p * r / (p + r)


def word_similarity(got: list[str], want: list[str]) -> float:
    longest = max(len(got), len(want), 1)
    try:
        from rapidfuzz.distance import Levenshtein

        return 1 - Levenshtein.distance(got, want) / longest
    except ImportError:
        import difflib

        return difflib.SequenceMatcher(None, got, want, autojunk=False).ratio()


def code_recall(got_code: list[str], want_code: list[str]) -> float | None:
    if not want_code:
        return None
    pool = collections.Counter(" ".join(c.split()) for c in got_code)
    found = 0
    for line in want_code:
        key = " ".join(line.split())
        if pool[key] > 0:
            pool[key] -= 1
            found += 1
    return found / len(want_code)


def score(got: str, want: str) -> dict[str, float | None]:
    gh, gp, gc, gt = blocks(got)
    wh, wp, wc, wt = blocks(want)
    return {
        "heading_f1": f1(gh, wh),
        "words": word_similarity(norm_words("\n".join(gp)), norm_words("\n".join(wp))),
        "code": code_recall(gc, wc),
        "tables": None if wt == 0 else min(gt, wt) / wt,
    }


TIMER = """
import os, sys, time, json
cpus = json.loads(sys.argv[1]); paths = json.loads(sys.argv[2]); rounds = int(sys.argv[3])
os.sched_setaffinity(0, cpus)
if sys.argv[4] == "quarvel":
    import quarvel_full
    run = lambda p: quarvel_full.to_markdown(p)
elif sys.argv[4] == "quarvel-threads":
    # A set of documents on every CPU: to_markdown lets go of the
    # interpreter lock, so one call a CPU from a thread pool runs at once.
    import quarvel_full
    from concurrent.futures import ThreadPoolExecutor
    pool = ThreadPoolExecutor(len(cpus))
    batch = paths
    paths = [None]
    run = lambda _: list(pool.map(quarvel_full.to_markdown, batch))
else:
    import pymupdf4llm
    run = lambda p: pymupdf4llm.to_markdown(p, show_progress=False)
for p in paths: run(p)
# The median round, times the rounds: a shared machine's pauses fall on a
# few rounds, and the median leaves them out.
laps = []
for _ in range(rounds):
    start = time.perf_counter()
    for p in paths: run(p)
    laps.append(time.perf_counter() - start)
laps.sort()
print(laps[len(laps) // 2] * rounds)
"""


def timed(tool: str, paths: list[str], cpus: list[int], rounds: int) -> float:
    out = subprocess.run([sys.executable, "-c", TIMER, json.dumps(cpus), json.dumps(paths),
                          str(rounds), tool], check=True, capture_output=True, text=True)
    return float(out.stdout.strip().splitlines()[-1])


def page_count(path: Path) -> int:
    import pymupdf

    with pymupdf.open(path) as doc:
        return doc.page_count


def outline_titles(path: Path) -> list[str]:
    import pymupdf

    with pymupdf.open(path) as doc:
        return [heading_key(title) for _, title, _ in doc.get_toc()]


def recall(got: list[str], want: list[str]) -> float:
    common = sum((collections.Counter(got) & collections.Counter(want)).values())
    return common / max(len(want), 1)


def mean(values: list[float | None]) -> str:
    kept = [v for v in values if v is not None]
    return f"{statistics.fmean(kept):.3f}" if kept else "-"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("docs", type=Path, help="folder of NAME.pdf + NAME.md pairs")
    parser.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS)
    parser.add_argument("--max-pages", type=int, default=30,
                        help="corpus files with an outline up to this many pages")
    parser.add_argument("--rounds", type=int, default=20, help="timing rounds for quarvel_full")
    parser.add_argument("--turns", type=int, default=5,
                        help="processes a timing mode gets, taking turns; the best counts")
    parser.add_argument("--also", type=Path, nargs="*", default=[], metavar="PDF",
                        help="more documents (real papers, say) timed one call at a time on "
                             "one CPU and on two, as a set")
    args = parser.parse_args(argv)
    import pymupdf4llm
    import quarvel_full

    tools: dict[str, Callable[[str], str]] = {
        "quarvel_full": lambda p: quarvel_full.to_markdown(p),
        "pymupdf4llm": lambda p: pymupdf4llm.to_markdown(p, show_progress=False),
    }
    pairs = sorted(p for p in args.docs.glob("*.pdf") if p.with_suffix(".md").exists())
    if not pairs:
        print(f"no NAME.pdf + NAME.md pairs in {args.docs}", file=sys.stderr)
        return 2
    rows: dict[str, list[dict[str, float | None]]] = {name: [] for name in tools}
    print(f"{'file':<12}{'tool':<14}{'head F1':>8}{'words':>8}{'code':>8}{'tables':>8}")
    for pdf in pairs:
        want = pdf.with_suffix(".md").read_text(encoding="utf-8")
        for name, run in tools.items():
            s = score(run(str(pdf)), want)
            rows[name].append(s)
            cells = "".join(f"{'-' if v is None else f'{v:.3f}':>8}" for v in s.values())
            print(f"{pdf.stem:<12}{name:<14}{cells}")
    print()
    for name, scores in rows.items():
        print(f"{'mean':<12}{name:<14}" + "".join(
            f"{mean([s[k] for s in scores]):>8}" for k in ("heading_f1", "words", "code",
                                                            "tables")))

    corpus = sorted(args.corpus.glob("*.pdf")) if args.corpus.is_dir() else []
    outlined = []
    for pdf in corpus:
        try:
            titles = outline_titles(pdf)
            if titles and page_count(pdf) <= args.max_pages:
                outlined.append((pdf, titles))
        except Exception:
            continue
    if outlined:
        print(f"\nheading recall against the outline, {len(outlined)} corpus files")
        for name, run in tools.items():
            found = []
            for pdf, titles in outlined:
                try:
                    found.append(recall(blocks(run(str(pdf)))[0], titles))
                except Exception:
                    continue
            print(f"{name:<14}{mean(found):>8}")

    paths = [str(p) for p in pairs]
    pages = sum(page_count(p) for p in pairs)
    cpus = sorted(os.sched_getaffinity(0))[:2]
    # The modes take turns, and each keeps its best process: a ratio of two
    # figures from different minutes of a shared machine would be noise.
    one = two = threads = float("inf")
    for _ in range(args.turns):
        one = min(one, timed("quarvel", paths, cpus[:1], args.rounds))
        two = min(two, timed("quarvel", paths, cpus, args.rounds))
        threads = min(threads, timed("quarvel-threads", paths, cpus, args.rounds))
    # One long document on its own: how far a single call scales, where the
    # set's figure is held back by documents of one to three pages.
    longest = max(pairs, key=page_count)
    long_one = long_two = float("inf")
    for _ in range(args.turns):
        long_one = min(long_one, timed("quarvel", [str(longest)], cpus[:1], args.rounds))
        long_two = min(long_two, timed("quarvel", [str(longest)], cpus, args.rounds))
    peer = timed("pymupdf4llm", paths, [0], 1)
    print(f"\nspeed over {pages} pages ({args.rounds} rounds for quarvel_full)")
    print(f"quarvel_full 1 CPU   {pages * args.rounds / one:10.1f} pages/s")
    print(f"quarvel_full {len(cpus)} CPUs  {pages * args.rounds / two:10.1f} pages/s "
          f"({one / two:.2f}x one CPU)")
    print(f"quarvel_full {len(cpus)} CPUs  {pages * args.rounds / threads:10.1f} pages/s "
          f"({one / threads:.2f}x one CPU), {len(cpus)} documents at a time from threads")
    print(f"quarvel_full {len(cpus)} CPUs  {long_one / long_two:.2f}x one CPU on {longest.name} "
          f"alone ({page_count(longest)} pages)")
    print(f"pymupdf4llm  1 CPU   {pages / peer:10.1f} pages/s "
          f"(quarvel_full {peer * args.rounds / one:.0f}x)")
    if args.also:
        also = [str(p) for p in args.also]
        also_one = also_two = float("inf")
        for _ in range(args.turns):
            also_one = min(also_one, timed("quarvel", also, cpus[:1], args.rounds))
            also_two = min(also_two, timed("quarvel", also, cpus, args.rounds))
        also_pages = sum(page_count(p) for p in args.also)
        print(f"quarvel_full {len(cpus)} CPUs  {also_one / also_two:.2f}x one CPU on the "
              f"{len(also)} --also documents ({also_pages} pages, "
              f"{also_pages * args.rounds / also_one:.1f} pages/s on one CPU)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
