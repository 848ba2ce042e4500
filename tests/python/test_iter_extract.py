"""quarvel_full.iter_extract: results in input order, a window that bounds
how far extraction runs ahead of a slow consumer, and a failed file's own
exception in its place."""

from __future__ import annotations

import os
import pathlib
import threading
import time

import pytest

from pdfbuilder import simple_document

quarvel_full = pytest.importorskip("quarvel_full")

FONT = b"<< /Font << /F1 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> >> >>"


def words(text: str, pages: int = 1):
    return simple_document([f"BT /F1 12 Tf 72 700 Td ({text} {p}) Tj ET" for p in range(pages)],
                           resources=FONT)


def first_text(result) -> str:
    blocks, _ = result
    return blocks[0]["lines"][0]["spans"][0]["text"]


@pytest.mark.parametrize("file_parallel", [True, False])
def test_results_come_in_input_order_and_match_extract_many(write_pdf, file_parallel):
    # Uneven sizes, so that with files in parallel the small ones finish first.
    paths = [write_pdf(words(f"file{i}", pages=1 + (7 * i) % 23)) for i in range(20)]
    got = list(quarvel_full.iter_extract(paths, file_parallel=file_parallel, window=3))
    assert [path for path, _ in got] == paths
    assert [first_text(result) for _, result in got] == [f"file{i} 0" for i in range(20)]
    assert [[path, result] for path, result in got] == quarvel_full.extract_many(paths)


def test_failed_files_yield_their_own_exception(write_pdf, tmp_path):
    good = write_pdf(words("good"))
    broken = write_pdf(b"%PDF-1.4\nnot really")
    missing = os.fspath(tmp_path / "missing.pdf")
    given = [broken, pathlib.Path(good), missing, good]
    got = list(quarvel_full.iter_extract(given))
    # The caller's own path objects come back, a Path as a Path.
    assert [path for path, _ in got] == given
    for path, result in got:
        if path in (broken, missing):
            assert isinstance(result, ValueError)
            with pytest.raises(ValueError) as raised:
                quarvel_full.extract(path)
            assert str(result) == str(raised.value)
        else:
            assert first_text(result) == "good 0"


def test_a_slow_consumer_holds_extraction_within_the_window(write_pdf):
    # Files are rewritten after the consumer has taken the first result and
    # dawdled: with a window of 2 only files 0 to 2 may have been read by
    # then, so every later file must show its new text.
    paths = [write_pdf(words(f"old{i}")) for i in range(8)]
    results = quarvel_full.iter_extract(paths, window=2)
    path, result = next(results)
    assert first_text(result) == "old0 0"
    time.sleep(0.3)
    for i in range(3, 8):
        fresh = paths[i] + ".new"
        pathlib.Path(fresh).write_bytes(words(f"new{i}").build())
        os.replace(fresh, paths[i])
    rest = [first_text(result) for _, result in results]
    assert rest[2:] == [f"new{i} 0" for i in range(3, 8)]


def test_an_abandoned_iterator_stops_and_another_thread_is_refused(write_pdf):
    paths = [write_pdf(words(f"f{i}", pages=30)) for i in range(6)] * 10
    results = quarvel_full.iter_extract(paths, window=1)
    next(results)
    del results  # joins the threads of the files in flight, reads no more

    results = quarvel_full.iter_extract(paths, window=1, file_parallel=False)
    errors = []

    def take():
        try:
            for _ in results:
                pass
        except ValueError as e:
            errors.append(str(e))

    threads = [threading.Thread(target=take) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all("already executing" in e for e in errors)
    assert list(results) == []


@pytest.mark.parametrize("kwargs, error", [
    ({"window": 0}, ValueError),
    ({"window": 4097}, ValueError),  # past the largest window, 4096 files
    ({"window": 1 << 70}, ValueError),
    ({"window": 1.5}, TypeError),
    ({"file_parallel": 1}, TypeError),
    ({"password": 3}, TypeError),
    ({"links": 1}, TypeError),
])
def test_bad_arguments_are_refused_before_anything_runs(write_pdf, kwargs, error):
    with pytest.raises(error):
        quarvel_full.iter_extract([write_pdf(words("x"))], **kwargs)
    with pytest.raises(TypeError):
        quarvel_full.iter_extract("one.pdf")


def test_the_largest_window_is_taken(write_pdf):
    path = write_pdf(words("x"))
    [(_, result)] = quarvel_full.iter_extract([path], window=4096)
    assert first_text(result) == "x 0"


def test_images_without_bytes_and_links_from_the_same_reading(write_pdf):
    # What a batch that counts images and lists links asks for: the result
    # extract() gives with each image's bytes left out, then the links
    # extract_links() gives.
    from tools_support import sample_document

    paths = [write_pdf(sample_document()), write_pdf(words("plain")),
             write_pdf(b"%PDF-1.4\nnot really")]
    got = list(quarvel_full.iter_extract(paths, include_images=True, image_bytes=False,
                                         links=True))
    for path, result in got[:2]:
        blocks, images, links = result
        expected_blocks, expected_images = quarvel_full.extract(path, include_images=True)
        assert blocks == expected_blocks
        assert images == [dict(image, image=None) for image in expected_images]
        assert links == quarvel_full.extract_links(path)
    assert len(got[0][1][1]) == 4 and len(got[0][1][2]) == 1
    assert isinstance(got[2][1], ValueError)
    # Without the new keywords a result stays [blocks, images].
    [(_, result)] = quarvel_full.iter_extract(paths[:1], include_images=True)
    assert result == quarvel_full.extract(paths[0], include_images=True)
