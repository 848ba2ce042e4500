"""Documents past the floors of the per-document budgets, pages streamed
to Python as they are done, and quarvel_full's `pages=`.

The budgets grow with the bytes a document really holds (each distinct
stream once), so a long document is read whole while a small file that
draws one page or form again and again still stops at the floor, now with
an error instead of empty pages.
"""

from __future__ import annotations

import subprocess
import sys

import pytest

from text_pdf import text_pdf

LIMIT_MESSAGE = "document exceeds extraction limits"
FLOOR_CHARS = 16_000_000
LINE_CHARS = 400
LINES_PER_PAGE = 100
PAGE_CHARS = LINE_CHARS * LINES_PER_PAGE


@pytest.fixture(scope="session")
def quarvel_full():
    import quarvel_full as module

    return module


def page_marker(page: int) -> str:
    return f"page{page:05d}"


def line_text(page: int, line: int) -> str:
    # Every line of every page differs, so each page's text is its own and
    # a lost or repeated page shows; the rest is filler without spaces so
    # a line is one span.
    head = f"{page_marker(page)}l{line:03d}"
    return head + "x" * (LINE_CHARS - len(head))


def page_content(page: int) -> str:
    lines = [f"BT /F1 1 Tf 1 TL 10 700 Td ({line_text(page, 0)}) Tj"]
    lines += [f"({line_text(page, i)}) '" for i in range(1, LINES_PER_PAGE)]
    return "\n".join(lines) + "\nET"


def text_document(pages: int, shared_content: bool) -> bytes:
    """`pages` pages of PAGE_CHARS characters each, written compactly (few
    long lines, Flate), with a content stream of each page's own, or with
    one stream that every page draws (the shape of a small hostile file)."""
    return text_pdf((page_content(p) for p in range(pages)), font="Courier", level=1,
                    shared_content=shared_content)


# Just past the floor: the smallest document the old fixed limit cut.
PAGES_PAST_FLOOR = FLOOR_CHARS // PAGE_CHARS + 10


@pytest.fixture(scope="module")
def past_floor(tmp_path_factory):
    folder = tmp_path_factory.mktemp("large")
    paths = {}
    for shared in (False, True):
        path = folder / ("shared.pdf" if shared else "distinct.pdf")
        path.write_bytes(text_document(PAGES_PAST_FLOOR, shared))
        paths[shared] = str(path)
    return paths


def page_lines(blocks) -> dict[str, list[str]]:
    """The lines of each page, by the marker they start with, sorted (the
    order of lines within a page is the layout's business, not this test's)."""
    texts: dict[str, list[str]] = {}
    for block in blocks:
        for line in block["lines"]:
            text = "".join(span["text"] for span in line["spans"])
            texts.setdefault(text[:9], []).append(text)
    return {marker: sorted(lines) for marker, lines in texts.items()}


@pytest.mark.parametrize("module_name", ["quarvel", "quarvel_full"])
def test_document_past_the_floor_is_read_whole_when_its_text_is_its_own(
        past_floor, module_name):
    module = pytest.importorskip(module_name)
    blocks, _ = module.extract(past_floor[False], include_images=False)
    lines = page_lines(blocks)
    assert len(lines) == PAGES_PAST_FLOOR
    for p in range(PAGES_PAST_FLOOR):
        assert lines[page_marker(p)] == [line_text(p, i) for i in range(LINES_PER_PAGE)], p
    assert PAGES_PAST_FLOOR * PAGE_CHARS > FLOOR_CHARS


# Each call runs up to the floor (some seconds), so the routes are shared
# out between the modules rather than crossed.
@pytest.mark.parametrize("module_name, page_parallel", [("quarvel", True),
                                                        ("quarvel_full", False)])
def test_one_stream_drawn_by_every_page_stops_at_the_floor_with_an_error(
        past_floor, module_name, page_parallel):
    # The same bytes as above, but every page draws the first page's stream:
    # repeats add text and no source bytes, so the floor holds, and the
    # call says so instead of returning the last pages empty.
    module = pytest.importorskip(module_name)
    with pytest.raises(ValueError) as excinfo:
        module.extract(past_floor[True], page_parallel=page_parallel, include_images=False)
    assert str(excinfo.value) == LIMIT_MESSAGE
    if module_name == "quarvel_full":
        # extract_many gives the file its empty entry.
        assert module.extract_many([past_floor[True]]) == [[past_floor[True], []]]


def test_pages_select_exactly_the_pages_asked_in_order(write_pdf, quarvel_full):
    from pdfbuilder import simple_document

    contents = [f"BT /F1 12 Tf 72 700 Td (text of page {i}) Tj ET" for i in range(6)]
    path = write_pdf(simple_document(
        contents, "<< /Font << /F1 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> >> >>"))

    def pages_of(**kwargs):
        blocks, _ = quarvel_full.extract(path, **kwargs)
        return [(b["page"], b["lines"][0]["spans"][0]["text"]) for b in blocks]

    everything = pages_of()
    assert [p for p, _ in everything] == list(range(6))
    for asked in (range(2, 5), [4, 0, 2], (5,), range(0, 6, 2), [], [3, 3]):
        for page_parallel in (False, True):
            got = pages_of(pages=asked, page_parallel=page_parallel)
            assert got == [everything[i] for i in asked], (asked, page_parallel)


@pytest.mark.parametrize("asked, error", [
    ([6], ValueError), (range(5, 7), ValueError), ([-1], ValueError), ([2**70], ValueError),
    ("12", TypeError), (3, TypeError), ([1.0], TypeError), ([True], TypeError),
])
def test_pages_out_of_range_or_not_numbers_are_refused(write_pdf, quarvel_full, asked, error):
    from pdfbuilder import simple_document

    path = write_pdf(simple_document(["BT ET"] * 6))
    with pytest.raises(error):
        quarvel_full.extract(path, pages=asked)


def test_pages_is_a_keyword_of_the_full_reader_only(write_pdf, quarvel, quarvel_full):
    from pdfbuilder import simple_document

    path = write_pdf(simple_document(["BT ET"] * 2))
    with pytest.raises(TypeError):
        quarvel.extract(path, pages=[0])
    with pytest.raises(TypeError):
        quarvel_full.extract(path, True, True, False, 50, None, [0])
    assert quarvel_full.extract(path, pages=None) == quarvel_full.extract(path)


@pytest.mark.parametrize("module_name", ["quarvel", "quarvel_full"])
def test_page_parallel_streaming_gives_what_one_thread_gives(write_pdf, module_name):
    # More pages than the pool keeps in flight, of uneven cost, so pages
    # finish out of order and wait for their turn.
    from pdfbuilder import simple_document

    module = pytest.importorskip(module_name)
    contents = [f"BT /F1 12 Tf 72 700 Td ({'w ' * (1 + (i * 37) % 400)}page {i}) Tj ET"
                for i in range(97)]
    path = write_pdf(simple_document(
        contents, "<< /Font << /F1 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> >> >>"))
    one = module.extract(path, page_parallel=False)
    assert module.extract(path, page_parallel=True) == one
    assert len(one[0]) == 97


RESULT_MEMORY_CHILD = r"""
import gc, os, sys
module = __import__(sys.argv[1])
path = sys.argv[2]
one = module.extract(path, page_parallel=False)

def deep(n):
    # Frames past the first chunk of the data stack, which the interpreter
    # takes from the same hook as its arenas, in other sizes.
    return 0 if n == 0 else 1 + deep(n - 1)

for _ in range(3):
    assert deep(600) == 600
    # Built in arenas the workers mapped ahead, then freed by the interpreter
    # (which unmaps them as its own) when the next result replaces it.
    result = module.extract(path, page_parallel=True)
    assert result == one
    churn = [[float(i), str(i), {"k": i}] for i in range(200_000)]
    del churn
    gc.collect()
pid = os.fork()
if pid == 0:
    # A child forked after the workers' arenas were handed out allocates
    # and frees as usual.
    again = module.extract(path, page_parallel=False)
    os._exit(0 if again == one else 1)
_, status = os.waitpid(pid, 0)
assert os.waitstatus_to_exitcode(status) == 0
print("ok")
"""


@pytest.mark.parametrize("module_name", ["quarvel", "quarvel_full"])
def test_result_memory_prepared_by_workers_serves_the_interpreter(write_pdf, module_name):
    # Enough text for the result to take several of the interpreter's arenas.
    from pdfbuilder import simple_document

    pytest.importorskip(module_name)
    lines = " ".join(f"0 -14 Td (line {k} of a text-dense page) Tj" for k in range(45))
    contents = [f"BT /F1 10 Tf 72 760 Td {lines} ET" for _ in range(300)]
    path = write_pdf(simple_document(
        contents, "<< /Font << /F1 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> >> >>"))
    done = subprocess.run([sys.executable, "-c", RESULT_MEMORY_CHILD, module_name, str(path)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"
