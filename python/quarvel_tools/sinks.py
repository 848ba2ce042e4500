"""Where batch rows go: a JSON Lines file or a Parquet file, either of which
can be resumed, i.e. tells which files it holds already."""

from __future__ import annotations

import json
import os
from pathlib import Path
from types import ModuleType
from typing import Any, Optional, Protocol

from quarvel_tools.reader import ToolError, need
from quarvel_tools.rows import COLUMNS, Row


class Sink(Protocol):
    def done_paths(self) -> set[str]: ...
    def write(self, rows: list[Row]) -> None: ...
    def close(self) -> None: ...


def open_sink(out: Path, resume: bool) -> Sink:
    suffix = out.suffix.lower()
    if suffix in (".jsonl", ".ndjson"):
        return JsonlSink(out, resume)
    if suffix in (".parquet", ".pq") or out.is_dir():
        return ParquetSink(out, resume)
    raise ToolError(f"{out}: the output must end in .parquet or .jsonl")


def arrow_schema(pa: ModuleType, markdown: bool = False) -> Any:
    link = pa.struct([("uri", pa.string()), ("bbox", pa.list_(pa.float64()))])
    return pa.schema([
        ("path", pa.string()), ("page", pa.int32()), ("text", pa.string()),
        ("blocks", pa.string()), ("images", pa.int32()), ("links", pa.list_(link)),
        ("error", pa.string()),
    ] + ([("markdown", pa.string())] if markdown else []))


# Characters of text, block JSON and Markdown a Parquet sink holds before it
# writes them as one row group: large enough that a group spans many pages
# (readers skip and decompress by group), small enough that the rows and
# their Arrow copy stay a small part of a batch's memory.
ROW_GROUP_CHARS = 2 << 20


def row_chars(row: Row) -> int:
    """The characters of ROW's long text columns, what its memory grows with."""
    markdown: Optional[str] = row.get("markdown")  # type: ignore[assignment]
    return len(row["text"] or "") + len(row["blocks"] or "") + len(markdown or "")


def arrow_table(pa: ModuleType, rows: list[Row], pool: Any = None) -> Any:
    """ROWS as an Arrow table, its buffers from POOL (Arrow's default pool
    when None)."""
    markdown = bool(rows) and "markdown" in rows[0]
    schema = arrow_schema(pa, markdown)
    return pa.Table.from_arrays(
        [pa.array([row[field.name] for row in rows],  # type: ignore[literal-required]
                  type=field.type, memory_pool=pool) for field in schema],
        schema=schema)


class JsonlSink:
    """Appends one JSON object per row and flushes after every chunk, so an
    interrupted run leaves its finished files in place for --resume."""

    def __init__(self, out: Path, resume: bool) -> None:
        self._done: set[str] = set()
        if resume and out.exists():
            self._done = self._read_and_trim(out)
        self._file = open(out, "ab" if resume else "wb", buffering=0)

    @staticmethod
    def _read_and_trim(out: Path) -> set[str]:
        """The files OUT holds whole.

        Each chunk's rows go out in one write, so a run killed mid-write
        leaves at worst a half line at the end; the file it belongs to may
        have whole lines before it, so the rows of the last file are cut off
        with it and that file is read again.
        """
        done: set[str] = set()
        keep = 0  # where the rows of the last file begin
        last: Optional[str] = None
        offset = 0
        with open(out, "rb") as f:
            for raw in f:
                try:
                    if not raw.endswith(b"\n"):
                        raise ValueError("half a line")
                    path = json.loads(raw)["path"]
                except (ValueError, KeyError, TypeError):
                    os.truncate(out, keep)
                    return done
                if path != last:
                    if last is not None:
                        done.add(last)
                    last, keep = path, offset
                offset += len(raw)
        if last is not None:
            done.add(last)
        return done

    def done_paths(self) -> set[str]:
        return self._done

    def write(self, rows: list[Row]) -> None:
        # One file's lines, encoded one by one so that the text exists once
        # as str lines and once as bytes, not also as one joined str.
        data = b"".join((json.dumps(row, ensure_ascii=False) + "\n").encode() for row in rows)
        view = memoryview(data)
        while view:
            written = self._file.write(view)
            view = view[written or 0:]

    def close(self) -> None:
        self._file.close()


class ParquetSink:
    """Writes row groups to a file beside OUT and moves it into place on
    close, even after an interruption, so OUT is always a whole Parquet file.
    Resuming copies the rows OUT has into the new file first."""

    def __init__(self, out: Path, resume: bool) -> None:
        self._pa = need("pyarrow", "parquet", "Parquet output")
        self._pq = need("pyarrow.parquet", "parquet", "Parquet output")
        self._out = out
        self._old: Optional[Any] = None
        if resume and out.exists():
            try:
                self._old = self._pq.ParquetFile(out)
                paths = self._old.read(columns=["path"]).column("path").to_pylist()
            except Exception as e:
                raise ToolError(f"{out}: cannot resume from it: {e}") from e
            self._done = set(paths)
        else:
            self._done = set()
        self._tmp = out.with_name(f".{out.name}.{os.getpid()}.tmp")
        self._writer: Optional[Any] = None
        self._markdown = False
        self._pending: list[Row] = []
        self._pending_chars = 0
        # The C library's allocator rather than Arrow's own for the tables
        # and the writer: between row groups Arrow's pool keeps what a group
        # used, where the C library hands it back.
        self._pool = self._pa.system_memory_pool()

    def done_paths(self) -> set[str]:
        return self._done

    def _open(self) -> Any:
        if self._writer is None:
            # Dictionaries only where values repeat: for the long unique
            # strings of text and blocks one would be built and thrown away.
            self._writer = self._pq.ParquetWriter(self._tmp,
                                                  arrow_schema(self._pa, self._markdown),
                                                  use_dictionary=["path", "error"],
                                                  memory_pool=self._pool)
            if self._old is not None:
                for group in range(self._old.num_row_groups):
                    self._writer.write_table(self._old.read_row_group(group))
        return self._writer

    def write(self, rows: list[Row]) -> None:
        """Holds ROWS until ROW_GROUP_CHARS are pending, then writes them as
        one row group; a file's rows never straddle two calls of close."""
        if rows:
            self._markdown = "markdown" in rows[0]
            self._pending.extend(rows)
            self._pending_chars += sum(row_chars(row) for row in rows)
            if self._pending_chars >= ROW_GROUP_CHARS:
                self._flush()

    def _flush(self) -> None:
        # A file of many text-dense pages comes in one write: its rows go out
        # as several groups of about ROW_GROUP_CHARS, so that no more than
        # one group's Arrow copy and encoded pages are held at once.
        pending, self._pending, self._pending_chars = self._pending, [], 0
        start = 0
        while start < len(pending):
            end, chars = start, 0
            while end < len(pending) and (end == start or chars < ROW_GROUP_CHARS):
                chars += row_chars(pending[end])
                end += 1
            table = arrow_table(self._pa, pending[start:end], self._pool)
            self._open().write_table(table)
            # The table's buffers go back to the pool and the pool's spare
            # memory to the system, rather than waiting for the next group.
            del table
            self._pool.release_unused()
            start = end

    def close(self) -> None:
        self._flush()
        if self._writer is None:
            if self._old is not None:
                return  # nothing new: OUT stays as it was
            self._open()
        assert self._writer is not None
        self._writer.close()
        os.replace(self._tmp, self._out)
