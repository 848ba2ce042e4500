"""The full reader (`quarvel_full`): the file structures real PDFs use, each
beside what the compact reader (`quarvel`) does with the same file, and the
module's own surface (page numbers, path-like paths, passwords, threads)."""

from __future__ import annotations

import os
import pathlib
import shutil
import subprocess
import threading
import time
import zlib

import pytest

from full_pdf import ModernWriter, page_objects, text_stream
from pdfbuilder import PdfBuilder, flate, simple_document

quarvel_full = pytest.importorskip("quarvel_full")


def text_of(result) -> str:
    blocks, _ = result
    return " ".join(span["text"] for block in blocks for line in block["lines"] for span in line["spans"])


def compact_text(quarvel, path) -> str:
    """What the compact reader makes of a file: its text, or its error."""
    try:
        return text_of(quarvel.extract(path))
    except ValueError as exc:
        return f"ValueError: {exc}"


# --- file structures ----------------------------------------------------------


def packed_file(**section) -> bytes:
    w = ModernWriter()
    w.section(page_objects(), streams={4: (b"", text_stream("Packed"))}, **section)
    return w.bytes()


def updated_file() -> bytes:
    # The second save replaces the page's content: the newer section wins,
    # and objects only the first section defines are still found.
    w = ModernWriter()
    w.section(page_objects(), streams={4: (b"", text_stream("Old"))})
    w.section({}, streams={4: (b"", text_stream("New"))})
    return w.bytes()


def hybrid_file() -> bytes:
    # A classic table for old readers, and /XRefStm naming a cross-reference
    # stream for the objects packed in an object stream.
    objects = page_objects()
    out = bytearray(b"%PDF-1.5\n")
    offsets = {}
    content = text_stream("Hybrid")
    offsets[4] = len(out)
    out += b"4 0 obj\n<< /Length %d >>\nstream\n%s\nendstream\nendobj\n" % (len(content), content)
    header, body = b"", b""
    for i, n in enumerate([1, 2, 3, 5]):
        header += b"%d %d " % (n, len(body))
        body += objects[n] + b"\n"
    data = zlib.compress(header + body)
    offsets[6] = len(out)
    out += (b"6 0 obj\n<< /Type /ObjStm /N 4 /First %d /Filter /FlateDecode /Length %d >>\nstream\n"
            % (len(header), len(data)) + data + b"\nendstream\nendobj\n")
    from full_pdf import xref_stream
    stm_at = len(out)
    entries = {1: (2, 6, 0), 2: (2, 6, 1), 3: (2, 6, 2), 5: (2, 6, 3), 7: (1, stm_at, 0)}
    out += xref_stream(7, entries, b"/Size 8")
    table_at = len(out)
    out += b"xref\n0 1\n0000000000 65535 f \n4 1\n%010d 00000 n \n6 1\n%010d 00000 n \n" % (offsets[4], offsets[6])
    out += b"trailer\n<< /Size 8 /Root 1 0 R /XRefStm %d >>\nstartxref\n%d\n%%%%EOF\n" % (stm_at, table_at)
    return bytes(out)


def recovered_file() -> bytes:
    # The cross-reference data is gone: only a scan finds the objects, and the
    # catalogue and pages live inside the object stream.
    data = packed_file()
    return data[: data.rindex(b"startxref")] + b"startxref\n999999999\n%%EOF\n"


def inherited_resources_file() -> bytes:
    # Resources on the /Pages node, its /Font dictionary by reference, the
    # page without /Type, /Contents a reference to an array of streams.
    b = PdfBuilder()
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.object(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 /Resources << /Font 6 0 R >> >>")
    b.object(3, "<< /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 7 0 R >>")
    b.stream(4, "", "BT /F1 12 Tf 72 700 Td (Inherited) Tj ")
    b.stream(8, "", " (Array) Tj ET")
    b.object(5, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    b.object(6, "<< /F1 5 0 R >>")
    b.object(7, "[4 0 R 8 0 R]")
    return b.build()


def damaged_streams_file() -> bytes:
    # A /Length that overshoots and a Flate stream whose checksum is wrong:
    # both keep their text.
    good = flate(b"BT /F1 12 Tf 72 700 Td (Checksum) Tj ET")
    bad_checksum = good[:-4] + bytes(4)
    b = PdfBuilder()
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.object(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    b.object(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] "
                "/Resources << /Font << /F1 5 0 R >> >> /Contents [4 0 R 6 0 R] >>")
    b.object(4, b"<< /Length 9999 >>\nstream\nBT /F1 12 Tf 72 720 Td (Length) Tj ET\nendstream")
    b.object(5, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    b.object(6, b"<< /Length %d /Filter /FlateDecode >>\nstream\n" % len(bad_checksum)
             + bad_checksum + b"\nendstream")
    return b.build()


STRUCTURES = {
    "object stream, predicted xref stream": (packed_file, "Packed"),
    "xref stream without predictor": (lambda: packed_file(predictor=False), "Packed"),
    "incremental update by /Prev": (updated_file, "New"),
    "hybrid file with /XRefStm": (hybrid_file, "Hybrid"),
    "startxref a few bytes off": (lambda: packed_file(startxref_shift=3), "Packed"),
    "junk before the header": (lambda: (lambda w: (w.section(page_objects(), streams={4: (b"", text_stream("Junk"))}), w.bytes())[1])(ModernWriter(junk=b"garbage from a gateway\r\n")), "Junk"),
    "recovery inside object streams": (recovered_file, "Packed"),
    "inherited and indirect resources": (inherited_resources_file, "Inherited Array"),
}


@pytest.mark.parametrize("make, expected", STRUCTURES.values(), ids=STRUCTURES.keys())
def test_full_reader_reads_what_the_compact_one_refuses(quarvel, write_pdf, make, expected):
    path = write_pdf(make())
    # Word gaps are the layout's to find; the characters are what counts here.
    assert text_of(quarvel_full.extract(path)).replace(" ", "") == expected.replace(" ", "")
    assert compact_text(quarvel, path).replace(" ", "") != expected.replace(" ", "")


def test_damaged_streams_keep_their_text(write_pdf):
    path = write_pdf(damaged_streams_file())
    text = text_of(quarvel_full.extract(path))
    assert "Length" in text and "Checksum" in text


def test_prev_loop_and_missing_sections_end(write_pdf):
    # A /Prev pointing at the section itself is read once.
    data = packed_file()
    at = data.rindex(b"/Root 1 0 R")
    xref_at = int(data[data.rindex(b"startxref") + 10:].split()[0])
    looped = data[:at] + b"/Root 1 0 R /Prev %d" % xref_at + data[at + 11:]
    # The /Length of the xref stream is unchanged (the dictionary grew, not
    # the body), so the file stays readable.
    assert text_of(quarvel_full.extract(write_pdf(looped))) == "Packed"


# --- the module's surface -------------------------------------------------------


def test_blocks_and_images_end_with_their_page(write_pdf):
    path = write_pdf(simple_document(["BT /F1 12 Tf 72 700 Td (One) Tj ET",
                                      "BT /F1 12 Tf 72 700 Td (Two) Tj ET"]))
    blocks, images = quarvel_full.extract(path)
    assert [list(b)[-1] for b in blocks] == ["page", "page"]
    assert [b["page"] for b in blocks] == [0, 1]
    [[_, (many_blocks, _)]] = quarvel_full.extract_many([path])
    assert [b["page"] for b in many_blocks] == [0, 1]


def test_paths_may_be_path_like_or_bytes(write_pdf):
    path = write_pdf(simple_document(["BT /F1 12 Tf 72 700 Td (P) Tj ET"]))
    expected = quarvel_full.extract(path)
    assert quarvel_full.extract(pathlib.Path(path)) == expected
    assert quarvel_full.extract(os.fsencode(path)) == expected
    assert quarvel_full.extract_links(pathlib.Path(path)) == []
    [[returned, result]] = quarvel_full.extract_many([pathlib.Path(path)])
    assert result == expected
    with pytest.raises(TypeError, match="argument 'path'"):
        quarvel_full.extract(3)


def test_password_is_keyword_only(write_pdf):
    path = write_pdf(simple_document(["BT /F1 12 Tf 72 700 Td (P) Tj ET"]))
    with pytest.raises(TypeError):
        quarvel_full.extract(path, True, True, False, 50, "secret")
    assert quarvel_full.extract(path, password="unused") == quarvel_full.extract(path)
    with pytest.raises(TypeError, match="password"):
        quarvel_full.extract(path, password=3)


def test_other_python_threads_run_during_a_call(write_pdf):
    builder = simple_document([
        "".join("BT /F1 10 Tf 72 %d Td (The quick brown fox jumps over the lazy dog) Tj ET\n" % (750 - 12 * i)
                for i in range(60))] * 300)
    path = write_pdf(builder)
    ticks = 0
    running = threading.Event()
    done = threading.Event()

    def spin():
        nonlocal ticks
        running.set()
        while not done.is_set():
            ticks += 1

    spinner = threading.Thread(target=spin)
    spinner.start()
    running.wait()
    try:
        before = ticks
        quarvel_full.extract(path, page_parallel=False)
        during = ticks - before
    finally:
        done.set()
        spinner.join()
    assert during > 0


def test_calls_from_many_threads_match_sequential_ones(write_pdf):
    from concurrent.futures import ThreadPoolExecutor

    paths = [write_pdf(packed_file()), write_pdf(updated_file()), write_pdf(inherited_resources_file())]
    paths += [write_pdf(simple_document([f"BT /F1 12 Tf 72 700 Td (Doc {i}) Tj ET"] * 20)) for i in range(5)]
    expected = [quarvel_full.extract(p) for p in paths]
    with ThreadPoolExecutor(max_workers=4) as pool:
        for _ in range(3):
            assert list(pool.map(quarvel_full.extract, paths)) == expected


# --- encryption -------------------------------------------------------------------

qpdf = shutil.which("qpdf")


def encrypt(src: str, dst: str, user: str, owner: str, bits: str, *extra: str) -> str:
    # RC4 files are what old writers made; qpdf writes them only when asked.
    weak = ["--allow-weak-crypto"] if bits != "256" and "--use-aes=y" not in extra else []
    subprocess.run([qpdf, *weak, "--encrypt", user, owner, bits, *extra, "--", src, dst],
                   check=True, capture_output=True)
    return dst


ENCRYPTIONS = {
    "RC4 40-bit, R2": ("40",),
    "RC4 128-bit, R3": ("128", "--use-aes=n"),
    "AES-128, R4": ("128", "--use-aes=y"),
    "AES-256, R6": ("256",),
}


@pytest.mark.skipif(qpdf is None, reason="qpdf not installed")
@pytest.mark.parametrize("args", ENCRYPTIONS.values(), ids=ENCRYPTIONS.keys())
def test_encrypted_files_open_with_the_right_password(quarvel, write_pdf, tmp_path, args):
    plain = write_pdf(packed_file())
    empty = encrypt(plain, str(tmp_path / "empty.pdf"), "", "owner", *args)
    locked = encrypt(plain, str(tmp_path / "locked.pdf"), "user", "owner", *args)

    assert text_of(quarvel_full.extract(empty)) == "Packed"
    for password in ("user", b"user", "owner"):
        assert text_of(quarvel_full.extract(locked, password=password)) == "Packed"
    for password in (None, "wrong"):
        with pytest.raises(ValueError, match="^incorrect password$"):
            quarvel_full.extract(locked, password=password)
    assert quarvel_full.extract_many([locked, empty])[0][1] == []
    assert quarvel_full.extract_many([locked], password="user")[0][1] != []
    # The compact reader refuses every encrypted file.
    with pytest.raises(ValueError):
        quarvel.extract(empty)


def test_unknown_security_handler_is_unsupported(write_pdf):
    b = simple_document(["BT /F1 12 Tf 72 700 Td (P) Tj ET"])
    b.object(90, "<< /Filter /Adobe.PubSec /V 4 /R 4 >>")
    path = write_pdf(b, trailer_extra="/Encrypt 90 0 R /ID [<00112233445566778899aabbccddeeff> <00>]")
    with pytest.raises(ValueError, match="^unsupported encryption$"):
        quarvel_full.extract(path)
