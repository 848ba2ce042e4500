"""quarvel_full.extract_drawings and the colours of the full reader: the
result's shape and arguments, colour spaces read from the page's and forms'
resources, text colour on spans, and agreement with PyMuPDF's
get_drawings() on the corpus (skipped without either)."""

from __future__ import annotations

import shutil
import subprocess
import sys

import pytest

import quarvel_full
from conftest import CORPUS_DIR, REPO_ROOT
from pdfbuilder import simple_document

HELVETICA = "/Font << /F1 20 0 R >>"


def document(content: str, resources: str = HELVETICA, *pages: str):
    b = simple_document([content, *pages], "<< " + resources + " >>")
    b.object(20, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    return b


def test_drawings_have_their_documented_shape_in_drawing_order(tmp_path):
    path = document("1 0 0 RG 0 0 1 rg 2 w 10 20 30 40 re B 0 0 m 5 5 l S "
                    "0 0 m 1 2 3 4 5 6 c h f", HELVETICA, "0 0 1 1 re f").write(tmp_path / "a.pdf")
    drawings = quarvel_full.extract_drawings(path)
    assert drawings[0] == {"bbox": [10.0, 20.0, 40.0, 60.0], "stroke": 0xFF0000,
                           "fill": 0x0000FF, "width": 2.0, "closed": True,
                           "items": [["re", 10.0, 20.0, 40.0, 60.0]], "page": 0}
    assert drawings[1]["items"] == [["l", 0.0, 0.0, 5.0, 5.0]]
    assert (drawings[1]["fill"], drawings[1]["closed"]) == (None, False)
    assert [i[0] for i in drawings[2]["items"]] == ["c", "l"]
    assert drawings[2]["stroke"] is None
    assert [d["page"] for d in drawings] == [0, 0, 0, 1]
    # pages= picks pages in the order given; the text is left alone.
    assert [d["page"] for d in quarvel_full.extract_drawings(path, pages=[1])] == [1]
    assert quarvel_full.extract(path) == quarvel_full.extract(path)


def test_arguments_are_checked_like_extracts(tmp_path):
    path = document("0 0 1 1 re f").write(tmp_path / "a.pdf")
    assert quarvel_full.extract_drawings(tmp_path / "a.pdf", password=b"x") == \
        quarvel_full.extract_drawings(path.encode())
    with pytest.raises(TypeError):
        quarvel_full.extract_drawings(path, [0])  # pages is keyword-only
    with pytest.raises(TypeError):
        quarvel_full.extract_drawings(path, pages="0")
    with pytest.raises(ValueError):
        quarvel_full.extract_drawings(path, pages=[5])
    with pytest.raises(ValueError):
        quarvel_full.extract_drawings(str(tmp_path / "missing.pdf"))


@pytest.mark.skipif(shutil.which("qpdf") is None, reason="qpdf not installed")
def test_encrypted_files_need_their_password(tmp_path):
    plain = document("0 0 1 1 re f").write(tmp_path / "a.pdf")
    locked = str(tmp_path / "locked.pdf")
    subprocess.run(["qpdf", "--encrypt", "user", "owner", "256", "--", plain, locked],
                   check=True, capture_output=True)
    with pytest.raises(ValueError):
        quarvel_full.extract_drawings(locked)
    assert len(quarvel_full.extract_drawings(locked, password="user")) == 1


SPACES = ("/ColorSpace << /Icc3 [/ICCBased 30 0 R] /IccAlt [/ICCBased 31 0 R] "
          "/Pal [/Indexed /DeviceRGB 1 32 0 R] /PalHex [/Indexed /DeviceCMYK 0 <00FF0000>] "
          "/Spot [/Separation /Gold /DeviceCMYK 33 0 R] /Ref 34 0 R "
          "/Ink [/Separation /Ink /DeviceGray 35 0 R] >>")


@pytest.mark.parametrize("paint, fill", [
    ("/Icc3 cs 1 0.5 0 sc", 0xFF8000),
    ("/IccAlt cs 1 sc", 0xFFFFFF),
    ("/Pal cs 1 sc", 0x00FF00),
    ("/PalHex cs 0 sc", 0xFF00FF),
    ("/Spot cs 1 scn", 0xFFCC00),
    ("/Spot cs 0.5 scn", 0xFFE680),
    ("/Spot cs", 0xFFCC00),
    ("/Ink cs 0.25 scn", 0xBFBFBF),
    ("/Ref cs 0 0 1 sc", 0x0000FF),
])
def test_colour_spaces_come_from_the_resources(tmp_path, paint, fill):
    b = document(paint + " 0 0 1 1 re f BT /F1 9 Tf (x) Tj ET", HELVETICA + " " + SPACES)
    b.stream(30, "/N 3", "")
    b.stream(31, "/N 3 /Alternate /DeviceGray", "")
    b.stream(32, "", b"\xff\x00\x00\x00\xff\x00")
    b.object(33, "<< /FunctionType 2 /Domain [0 1] /C0 [0 0 0 0] /C1 [0 0.2 1 0] /N 1 >>")
    b.object(34, "[/ICCBased 30 0 R]")
    # A tint transform other than an exponential one is not run.
    b.object(35, "<< /FunctionType 4 /Domain [0 1] /Range [0 1] /Length 0 >>")
    path = b.write(tmp_path / "a.pdf")
    assert quarvel_full.extract_drawings(path)[0]["fill"] == fill
    span = quarvel_full.extract(path)[0][0]["lines"][0]["spans"][0]
    assert span["color"] == fill


def test_spans_split_where_the_text_colour_changes_and_forms_use_their_own_spaces(tmp_path):
    b = document("BT /F1 10 Tf 72 700 Td (plain ) Tj 1 0 0 rg (red) Tj 0 g ( again) Tj ET "
                 "/Fm Do", HELVETICA + " /XObject << /Fm 40 0 R >> /ColorSpace << /C [/Indexed "
                 "/DeviceRGB 0 <0000FF>] >>")
    b.stream(40, "/Type /XObject /Subtype /Form /BBox [0 0 600 800] /Resources << /Font << "
                 "/F1 20 0 R >> /ColorSpace << /C [/Indexed /DeviceRGB 0 <00FF00>] >> >>",
             "/C cs 0 sc BT /F1 10 Tf 72 600 Td (green) Tj ET 0 0 5 5 re f")
    path = b.write(tmp_path / "a.pdf")
    blocks, _ = quarvel_full.extract(path)
    spans = [(s["text"], s["color"]) for bl in blocks for ln in bl["lines"] for s in ln["spans"]]
    # The word space between two spans ends the first.
    assert spans == [("plain ", 0), ("red ", 0xFF0000), ("again", 0), ("green", 0x00FF00)]
    assert [d["fill"] for d in quarvel_full.extract_drawings(path)] == [0x00FF00]


def test_compact_reader_has_no_drawings_call():
    import quarvel
    assert not hasattr(quarvel, "extract_drawings")


@pytest.mark.skipif(not CORPUS_DIR.is_dir(), reason="corpus not available")
def test_lines_and_rectangles_agree_with_pymupdf_on_the_corpus():
    pytest.importorskip("pymupdf")
    sys.path.insert(0, str(REPO_ROOT / "bench"))
    import drawings_bench

    total, matched, _ = drawings_bench.agreement(sorted(CORPUS_DIR.glob("*.pdf")))
    assert total > 10_000
    assert matched / total >= 0.95
