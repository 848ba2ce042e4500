"""Text in reading order and the per-page rows of a batch run.

A row is one page of one file: its text, its blocks as JSON, how many images
it shows and its links. A file that could not be read is one row whose
`error` says why and whose other fields are empty.
"""

from __future__ import annotations

import json
from collections.abc import Iterable, Iterator, Mapping, Sequence
from types import ModuleType
from typing import Any, Callable, Optional, TypedDict

# A gap between two spans of a line wider than this share of the font size is
# a word space the file made by moving the pen rather than by a space
# character; narrower gaps are kerning and letter spacing.
WORD_GAP = 0.15

# Files per call of extract_many where the reader has no streaming batch:
# enough for the pool to balance large and small files, few enough that a
# chunk's results (images included) stay small.
CHUNK_FILES = 16


class LinkCell(TypedDict):
    uri: str
    bbox: list[float]


class Row(TypedDict):
    path: str
    page: Optional[int]
    text: Optional[str]
    blocks: Optional[str]
    images: Optional[int]
    links: Optional[list[LinkCell]]
    error: Optional[str]


COLUMNS = tuple(Row.__annotations__)


class MarkdownRow(Row, total=False):
    """A row of `quarvel batch --markdown`: the page's Markdown as well."""
    markdown: Optional[str]


def line_text(line: Mapping[str, Any]) -> str:
    parts: list[str] = []
    previous: Optional[Mapping[str, Any]] = None
    for span in line["spans"]:
        text = span["text"]
        if previous is not None and text and parts and not parts[-1][-1:].isspace() \
                and not text[0].isspace():
            gap = span["bbox"][0] - previous["bbox"][2]
            if gap > WORD_GAP * max(span["size"], 1.0):
                parts.append(" ")
        if text:
            parts.append(text)
        previous = span
    return "".join(parts)


def page_text(blocks: Iterable[Mapping[str, Any]], exact: bool = False) -> str:
    """The lines of the blocks, one per line, blocks parted by a blank line.

    quarvel_full gives lines top-down already. quarvel lists a column's lines
    bottom-up, as they sit in PDF user space, so with `exact` each block's
    lines are put top-down by the top of their boxes; blocks keep their order.
    """
    paragraphs = []
    for block in blocks:
        lines: Sequence[Mapping[str, Any]] = block["lines"]
        if exact:
            lines = sorted(lines, key=lambda line: -line["bbox"][3])
        paragraphs.append("\n".join(line_text(line) for line in lines))
    return "\n\n".join(paragraphs)


def malloc_trim() -> Callable[[], None]:
    """glibc's malloc_trim, or a no-op where there is none.

    The reader's threads allocate from several malloc arenas, and glibc keeps
    what a finished file freed in them; over a long batch the arenas' spare
    memory rather than any file decides the peak. Giving it back after each
    file costs a walk of the free lists, small beside reading a file.
    """
    try:
        import ctypes

        trim = ctypes.CDLL("libc.so.6").malloc_trim
    except (OSError, AttributeError):
        return lambda: None
    trim.argtypes = [ctypes.c_size_t]

    def release() -> None:
        trim(0)
    return release


# Allocations of at least this many bytes that glibc serves from mappings of
# their own (its starting threshold, which it would otherwise raise).
LARGE_BLOCK_BYTES = 128 << 10


def map_large_blocks() -> None:
    """Has glibc keep serving allocations of LARGE_BLOCK_BYTES or more from
    mappings of their own, which go back to the system as soon as they are
    freed; a no-op where there is no glibc.

    glibc raises its threshold to the largest such block freed so far (up
    to 32 MiB): after one text-dense file, the strings and buffers of every
    later file are carved from the heap, and what each leaves there adds up
    over a long batch (114 against 82 MiB at the peak of the corpus listed
    twice to JSON Lines). Process-wide, so the command line sets it, not the
    library."""
    try:
        import ctypes

        mallopt = ctypes.CDLL("libc.so.6").mallopt
    except (OSError, AttributeError):
        return
    mallopt.argtypes = [ctypes.c_int, ctypes.c_int]
    m_mmap_threshold = -3
    mallopt(m_mmap_threshold, LARGE_BLOCK_BYTES)


def error_row(path: str, error: str) -> Row:
    return Row(path=path, page=None, text=None, blocks=None, images=None, links=None,
               error=error)


def file_rows(path: str, result: Sequence[Any], links: Sequence[Mapping[str, Any]],
              exact: bool = False) -> list[Row]:
    """The rows of one file read without error.

    quarvel_full tags blocks and images with their page: pages 0 to the last
    page that shows something each get a row (a trailing page with no text,
    image or link is not seen). quarvel's results carry no page, so with
    `exact` the whole file is one row with page None, as is a file in which
    nothing was found.
    """
    blocks, images = result
    link_cells = [LinkCell(uri=link["uri"], bbox=list(link["bbox"])) for link in links]
    seen = {int(item["page"]) for item in (*blocks, *images)} if not exact else set()
    if not seen:
        return [Row(path=path, page=None, text=page_text(blocks, exact),
                    blocks=json.dumps(blocks), images=len(images), links=link_cells,
                    error=None)]
    count = max(seen | {int(link["page"]) for link in links}) + 1
    page_blocks: list[list[Any]] = [[] for _ in range(count)]
    page_images = [0] * count
    page_links: list[list[LinkCell]] = [[] for _ in range(count)]
    for block in blocks:
        page_blocks[block["page"]].append(block)
    for image in images:
        page_images[image["page"]] += 1
    for link, cell in zip(links, link_cells):
        page_links[link["page"]].append(cell)
    return [Row(path=path, page=page, text=page_text(page_blocks[page]),
                blocks=json.dumps(page_blocks[page]), images=page_images[page],
                links=page_links[page], error=None) for page in range(count)]


def failure(reader: ModuleType, path: str, **options: Any) -> str:
    """Why a file failed in extract_many, which reports only that it did."""
    try:
        reader.extract(path, include_images=False, **options)
    except Exception as e:  # every error of the reader is a failure to report
        return f"{type(e).__name__}: {e}"
    return "extraction failed"


def add_markdown(reader: ModuleType, path: str, rows: list[Row]) -> None:
    """Each row's page as Markdown (quarvel_full.to_markdown), None where the
    Markdown could not be made; a whole-file row gets the whole document."""
    try:
        chunks = reader.to_markdown(path, page_chunks=True, images=None)
    except Exception:  # the text was read; the Markdown is an extra
        chunks = []
    by_page = {chunk["page"]: chunk["text"] for chunk in chunks}
    for row in rows:
        page = row["page"]
        text = "\n\n".join(by_page.values()) if page is None and by_page else by_page.get(page)
        row["markdown"] = text  # type: ignore[typeddict-unknown-key]


def extract_rows(paths: Sequence[str], exact: bool = False, markdown: bool = False,
                 **options: Any) -> list[Row]:
    """Reads files with the library's own pool and returns their rows, with
    a "markdown" column when asked (quarvel_full only). Module level, so
    process pools and Dask workers can call it by name."""
    from quarvel_tools.reader import load_reader

    reader = load_reader(exact)
    try:
        results = reader.extract_many(list(paths), file_parallel=True, include_images=True,
                                      **options)
    except Exception:
        # Something about the list as a whole (not a single file's content):
        # each file on its own then finds and reports the culprit.
        results = [[path, _extract_or_empty(reader, path, **options)] for path in paths]
    rows: list[Row] = []
    for path, (_, result) in zip(paths, results):
        if not result:
            rows.append(error_row(path, failure(reader, path, **options)))
            if markdown:
                rows[-1]["markdown"] = None  # type: ignore[typeddict-unknown-key]
            continue
        try:
            links = reader.extract_links(path, **options)
        except Exception:  # links are an extra; the text was read
            links = []
        new_rows = file_rows(path, result, links, exact)
        if markdown:
            add_markdown(reader, path, new_rows)
        rows.extend(new_rows)
    return rows


def iter_file_rows(paths: Sequence[str], exact: bool = False, markdown: bool = False,
                   **options: Any) -> Iterator[list[Row]]:
    """The rows of each file in turn, in input order. The full reader streams
    the files (iter_extract), so memory holds a few files whatever the batch's
    length; the compact reader goes in chunks of extract_many."""
    from quarvel_tools.reader import load_reader

    reader = load_reader(exact)
    stream = getattr(reader, "iter_extract", None)
    if stream is None:
        for start in range(0, len(paths), CHUNK_FILES):
            chunk = list(paths[start:start + CHUNK_FILES])
            rows = extract_rows(chunk, exact, markdown, **options)
            for path in chunk:
                yield [row for row in rows if row["path"] == path]
        return
    # Rows count images, so their bytes are not taken; the links come from
    # the worker's reading of the file rather than a second opening here.
    for path, result in stream(list(paths), include_images=True, image_bytes=False, links=True,
                               **options):
        if isinstance(result, Exception):
            rows = [error_row(path, f"{type(result).__name__}: {result}")]
        else:
            blocks, images, links = result
            if isinstance(links, Exception):  # links are an extra; the text was read
                links = []
            rows = file_rows(path, (blocks, images), links, exact)
            del blocks, images, links
        # The result's objects go before the rows are written, not after.
        del result
        if markdown:
            if len(rows) == 1 and rows[0]["error"] is not None:
                rows[0]["markdown"] = None  # type: ignore[typeddict-unknown-key]
            else:
                add_markdown(reader, path, rows)
        yield rows
        # Not held while the next file's rows are made.
        del rows


def _extract_or_empty(reader: ModuleType, path: str, **options: Any) -> Any:
    try:
        return reader.extract(path, **options)
    except Exception:
        return []
