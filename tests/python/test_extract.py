"""extract and extract_many: the shape of their results, their errors, and
the agreement of every route through the driver."""

from __future__ import annotations

import itertools
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import CORPUS_DIR, corpus_manifest
from pdfbuilder import PdfBuilder, flate, simple_document

BLOCK_KEYS = ["type", "bbox", "lines"]
LINE_KEYS = ["bbox", "spans"]
SPAN_KEYS = ["bbox", "text", "font", "size", "color"]
IMAGE_KEYS = ["bbox", "width", "height", "bpc", "colorspace", "xref", "ext", "image"]

SAMPLES = bytes(range(12))  # a 2 x 2 8-bit RGB image


def text_and_image_document() -> PdfBuilder:
    """Page 1 shows text and draws a Flate image and an empty one; page 2 has
    text only."""
    b = PdfBuilder()
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.object(2, "<< /Type /Pages /Kids [3 0 R 5 0 R] /Count 2 >>")
    resources = "<< /XObject << /Im1 10 0 R /Im2 11 0 R >> >>"
    b.object(3, f"<< /Type /Page /Parent 2 0 R /Contents 4 0 R /Resources {resources} >>")
    b.stream(4, "", "BT 1 0 0 1 72.30000000000001 700 Tm (Hello) Tj ET "
                    "q 100 0 0 50 10 20 cm /Im1 Do Q /Im2 Do")
    b.object(5, "<< /Type /Page /Parent 2 0 R /Contents 6 0 R >>")
    b.stream(6, "", "BT 1 0 0 1 72 600 Tm (Second) Tj ET")
    b.stream(10, "/Subtype /Image /Width 2 /Height 2 /BitsPerComponent 8 "
                 "/ColorSpace /DeviceRGB /Filter /FlateDecode", flate(SAMPLES))
    b.stream(11, "/Subtype /Image /Width 1 /Height 1 /ColorSpace [/Indexed /DeviceRGB 0 <00>]", b"")
    return b


def all_spans(blocks):
    for block in blocks:
        for line in block["lines"]:
            yield from line["spans"]


def document_text(blocks) -> str:
    return " ".join(span["text"] for span in all_spans(blocks))


def test_result_structure_key_order_and_types(quarvel, write_pdf):
    path = write_pdf(text_and_image_document())
    result = quarvel.extract(path)
    assert type(result) is list and len(result) == 2
    blocks, images = result
    assert "Hello" in document_text(blocks) and "Second" in document_text(blocks)
    # Page 1's blocks come before page 2's.
    assert document_text(blocks).index("Hello") < document_text(blocks).index("Second")
    for block in blocks:
        assert list(block) == BLOCK_KEYS
        assert block["type"] == 0 and type(block["type"]) is int
        for line in block["lines"]:
            assert list(line) == LINE_KEYS
            for span in line["spans"]:
                assert list(span) == SPAN_KEYS
                assert type(span["text"]) is str and type(span["font"]) is str
                assert type(span["size"]) is float and span["size"] == 12.0
                assert type(span["color"]) is int and span["color"] == 0
        for box in [block["bbox"]] + [line["bbox"] for line in block["lines"]]:
            assert type(box) is list and len(box) == 4
            assert all(type(v) is float for v in box)
    # Coordinates pass through unrounded.
    hello = next(s for s in all_spans(blocks) if "Hello" in s["text"])
    assert hello["bbox"][0] == 72.30000000000001

    assert len(images) == 2
    first, empty = images
    for image in images:
        assert list(image) == IMAGE_KEYS
        assert type(image["image"]) is bytes
        assert all(type(image[k]) is int for k in ("width", "height", "bpc", "xref"))
    assert first["bbox"] == [10.0, 20.0, 110.0, 70.0]
    assert (first["width"], first["height"], first["bpc"]) == (2, 2, 8)
    assert (first["colorspace"], first["ext"], first["xref"]) == ("DeviceRGB", "png", 10)
    assert first["image"] == SAMPLES
    assert empty["image"] == b"" and empty["colorspace"] == "Indexed"


@pytest.mark.parametrize("page_parallel", [False, True])
def test_shared_numbers_carry_exactly_the_references_the_result_holds(quarvel, write_pdf,
                                                                      page_parallel):
    # Numbers repeat across lines and pages and are shared as one object;
    # the conversion settles their reference counts only when it finishes.
    contents = ["BT /F1 12 Tf " + " ".join(f"1 0 0 1 72 {700 - 14 * i} Tm (Line {i}) Tj"
                                           for i in range(20)) + " ET"] * 6
    blocks, _ = quarvel.extract(write_pdf(simple_document(contents)),
                                page_parallel=page_parallel)
    numbers = {}
    for block in blocks:
        values = [*block["bbox"]]
        for line in block["lines"]:
            values += line["bbox"]
            for span in line["spans"]:
                values += [*span["bbox"], span["size"]]
        for value in values:
            numbers.setdefault(id(value), [value, 0])[1] += 1
    del values, value, block, line, span
    assert max(uses for _, uses in numbers.values()) > 20
    # Held by the result, by `numbers`, by `value` and by getrefcount's argument.
    assert all(sys.getrefcount(value) == uses + 3 for value, uses in numbers.values())
    del blocks
    assert all(sys.getrefcount(value) == 3 for value, _ in numbers.values())


def test_images_only_on_request_and_gpu_changes_nothing(quarvel, write_pdf):
    path = write_pdf(text_and_image_document())
    blocks, images = quarvel.extract(path, include_images=False)
    assert images == [] and blocks
    assert quarvel.extract(path, gpu=True) == quarvel.extract(path)
    assert quarvel.extract(path, True, True, False, 0) == quarvel.extract(path)


def test_pages_without_text_or_images(quarvel, write_pdf):
    assert quarvel.extract(write_pdf(simple_document(["", "q Q"]))) == [[], []]


def test_failing_page_contributes_nothing(quarvel, write_pdf):
    b = PdfBuilder()
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.object(2, "<< /Type /Pages /Kids [3 0 R 5 0 R 7 0 R] /Count 3 >>")
    for page, text in ((3, "One"), (5, None), (7, "Three")):
        contents = f"{page + 1} 0 R" if text else "99 0 R"
        b.object(page, f"<< /Type /Page /Parent 2 0 R /Contents {contents} >>")
        if text:
            b.stream(page + 1, "", f"BT 1 0 0 1 72 700 Tm ({text}) Tj ET")
    blocks, _ = quarvel.extract(write_pdf(b))
    assert document_text(blocks).split() == ["One", "Three"]


@pytest.mark.parametrize("call", ["extract", "extract_many"])
def test_missing_file(quarvel, tmp_path, call):
    missing = os.fspath(tmp_path / "missing.pdf")
    if call == "extract":
        with pytest.raises(ValueError) as info:
            quarvel.extract(missing)
        assert str(info.value) == "cannot open file"
    else:
        assert quarvel.extract_many([missing]) == [[missing, []]]


@pytest.mark.parametrize("paths", ["a.pdf", b"a.pdf", 3, None, ["a.pdf", 3], [b"a.pdf"]])
def test_extract_many_rejects_what_is_not_a_sequence_of_str(quarvel, paths):
    with pytest.raises(TypeError):
        quarvel.extract_many(paths)


def test_extract_many_entries(quarvel, write_pdf, tmp_path):
    assert quarvel.extract_many([]) == []
    a = write_pdf(simple_document(["BT 1 0 0 1 72 700 Tm (Alpha) Tj ET"]))
    b = write_pdf(text_and_image_document())
    missing = os.fspath(tmp_path / "missing.pdf")
    for count in (1, 2, 7, 8, 9):
        paths = list(itertools.islice(itertools.cycle([a, missing, b, a]), count))
        for file_parallel in (False, True):
            result = quarvel.extract_many(tuple(paths), file_parallel=file_parallel)
            assert [entry[0] for entry in result] == paths
            for path, entry in zip(paths, result):
                assert type(entry) is list and len(entry) == 2
                if path == missing:
                    assert entry[1] == []
                else:
                    assert entry[1] == quarvel.extract(path, page_parallel=False,
                                                       include_images=False)


@pytest.mark.parametrize("batch_size", [0, 1, 3, 50])
@pytest.mark.parametrize("page_parallel", [False, True])
def test_batches_and_parallelism_agree(quarvel, write_pdf, batch_size, page_parallel):
    pages = [f"BT 1 0 0 1 72 {700 - i} Tm (Page {i + 1}) Tj ET" for i in range(10)]
    path = write_pdf(simple_document(pages))
    blocks, _ = quarvel.extract(path, page_parallel=page_parallel, batch_size=batch_size)
    assert document_text(blocks) == " ".join(f"Page {i + 1}" for i in range(10))
    assert blocks == quarvel.extract(path, page_parallel=False, batch_size=0)[0]


def test_negative_batch_size_overflows(quarvel, write_pdf):
    with pytest.raises(OverflowError):
        quarvel.extract(write_pdf(simple_document([""])), batch_size=-1)


def corpus_paths() -> list[str]:
    return [os.fspath(CORPUS_DIR / row["file"]) for row in corpus_manifest()]


needs_corpus = pytest.mark.skipif(not corpus_paths(), reason="corpus not available")


@needs_corpus
def test_every_route_gives_the_same_result_on_the_corpus(quarvel):
    # Small files keep this quick; the full corpus runs in the crash test.
    rows = [r for r in corpus_manifest() if int(r["bytes"]) < 400_000 and r["pages"].isdigit()
            and int(r["pages"]) <= 60]
    paths = [os.fspath(CORPUS_DIR / row["file"]) for row in rows]

    def alone(path, **options):
        try:
            return quarvel.extract(path, **options)
        except ValueError:
            return []

    baseline = {p: alone(p, page_parallel=False, include_images=True) for p in paths}
    for page_parallel, file_parallel, batch_size in itertools.product(
            (False, True), (False, True), (0, 3)):
        options = dict(page_parallel=page_parallel, include_images=True, batch_size=batch_size)
        result = quarvel.extract_many(paths, file_parallel=file_parallel, **options)
        assert [entry[0] for entry in result] == paths
        for path, entry in zip(paths, result):
            assert entry[1] == baseline[path], (path, options, file_parallel)
        if not file_parallel:
            for path in paths[:5]:
                assert alone(path, **options) == baseline[path], (path, options)


@needs_corpus
def test_every_corpus_file_extracts_or_is_refused(tmp_path):
    # A crash or a hang would take the test process with it, so the files
    # are read by a child interpreter under a deadline.
    script = textwrap.dedent("""
        import sys, quarvel
        for path in sys.argv[1:]:
            try:
                blocks, images = quarvel.extract(path)
                assert isinstance(blocks, list) and isinstance(images, list)
                print("ok", path)
            except ValueError as e:
                print("refused", path, e)
    """)
    paths = corpus_paths()
    done = subprocess.run([sys.executable, "-c", script, *paths], capture_output=True, text=True,
                          timeout=300, env=os.environ.copy())
    assert done.returncode == 0, done.stderr[-2000:]
    assert len(done.stdout.splitlines()) == len(paths)


def _blocks_in_child(path):
    import quarvel

    return quarvel.extract(path, page_parallel=True, batch_size=4)[0]


def test_forked_children_extract_after_the_parent_used_the_pool(quarvel, write_pdf):
    # Worker processes forked after the parent's first extraction have no
    # pool threads; their page-parallel extraction must still finish.
    import multiprocessing

    pages = [f"BT 1 0 0 1 72 700 Tm (Page {i}) Tj ET" for i in range(12)]
    path = write_pdf(simple_document(pages))
    expected = quarvel.extract(path, page_parallel=True, batch_size=4)[0]
    pool = multiprocessing.get_context("fork").Pool(2)
    try:
        results = pool.map_async(_blocks_in_child, [path] * 3).get(timeout=60)
    finally:
        pool.terminate()
        pool.join()
    assert results == [expected] * 3
