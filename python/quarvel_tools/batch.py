"""The batch run: files found, handed out in chunks to the library's pool
(in this process or in --jobs worker processes), rows written as they come."""

from __future__ import annotations

import importlib
import os
import sys
from collections.abc import Iterable, Iterator, Sequence
from concurrent.futures import Future, ProcessPoolExecutor
from typing import Any, Callable, Optional, TextIO

from quarvel_tools.rows import CHUNK_FILES, Row, extract_rows, iter_file_rows, malloc_trim
from quarvel_tools.sinks import Sink

def find_pdfs(inputs: Iterable[str]) -> list[str]:
    """Files as given; folders searched (recursively, in name order) for
    files ending in .pdf in any case. Each path once, in the order found."""
    found: dict[str, None] = {}
    for given in inputs:
        if os.path.isdir(given):
            for root, dirs, files in os.walk(given):
                dirs.sort()
                for name in sorted(files):
                    if name.lower().endswith(".pdf"):
                        found.setdefault(os.path.join(root, name))
        else:
            found.setdefault(given)
    return list(found)


def chunks(items: Sequence[str], size: int = CHUNK_FILES) -> Iterator[list[str]]:
    for start in range(0, len(items), size):
        yield list(items[start:start + size])


def progress_bar(total: int, stream: TextIO, enabled: Optional[bool]) -> Any:
    """A tqdm bar on a terminal (or when asked for); None otherwise or when
    tqdm is not installed: a progress bar is never worth failing a run."""
    if enabled is None:
        enabled = stream.isatty()
    if not enabled:
        return None
    try:
        tqdm = importlib.import_module("tqdm")
    except ImportError:
        return None
    return tqdm.tqdm(total=total, unit="file", file=stream, dynamic_ncols=True)


def run_batch(paths: Sequence[str], sink: Sink, *, exact: bool = False, jobs: int = 1,
              progress: Optional[bool] = None, stderr: TextIO = sys.stderr,
              on_rows: Optional[Callable[[list[Row]], None]] = None,
              markdown: bool = False) -> list[Row]:
    """Extracts the files not yet in the sink and writes their rows; returns
    the error rows. `jobs` > 1 runs that many worker processes, each reading
    its chunks with the library's pool, which is worth it because building
    the rows (JSON, text) is Python work that one interpreter does serially."""
    done = sink.done_paths()
    todo = [p for p in paths if p not in done]
    bar = progress_bar(len(todo), stderr, progress)
    failed: list[Row] = []

    def take(rows: list[Row], files: int) -> None:
        sink.write(rows)
        failed.extend(row for row in rows if row["error"] is not None)
        if on_rows is not None:
            on_rows(rows)
        if bar is not None:
            bar.update(files)

    try:
        if jobs <= 1:
            # Each file's rows go to the sink as soon as they are made: the
            # sink decides how much to hold (a Parquet row group), so memory
            # does not grow with a run of text-dense files.
            release = malloc_trim()
            for rows in iter_file_rows(todo, exact, markdown):
                take(rows, 1)
                del rows
                release()
        else:
            import multiprocessing

            # A fresh interpreter per worker: forking a process whose
            # scheduler threads are running is not safe in general.
            context = multiprocessing.get_context("spawn")
            with ProcessPoolExecutor(max_workers=jobs, mp_context=context) as pool:
                futures: list[tuple[Future[list[Row]], int]] = [
                    (pool.submit(extract_rows, chunk, exact, markdown), len(chunk))
                    for chunk in chunks(todo)
                ]
                # In submission order, so the output is the same for any --jobs.
                for future, files in futures:
                    take(future.result(), files)
    finally:
        if bar is not None:
            bar.close()
        sink.close()
    return failed

