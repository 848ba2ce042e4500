"""Span style flags of the full reader: where each bit comes from, spans
split where the bits change (words and lines staying as they were), the key's
place in the span dict, and agreement with PyMuPDF's span flags on the
development corpus."""

from __future__ import annotations

import bisect
import collections

import pytest

import quarvel
import quarvel_full
from conftest import CORPUS_DIR, corpus_manifest
from pdfbuilder import simple_document

SUPERSCRIPT, ITALIC, SERIF, MONOSPACED, BOLD, SUBSCRIPT = 1, 2, 4, 8, 16, 32

FONTS = {
    "Helvetica": "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    "Courier-BoldOblique": "<< /Type /Font /Subtype /Type1 /BaseFont /Courier-BoldOblique >>",
    # Nothing in the name: the descriptor alone says fixed pitch and italic.
    # One width for every glyph: fixed pitch, once enough glyphs say so.
    "uniform": "<< /Type /Font /Subtype /Type1 /BaseFont /F0 /FirstChar 32 /LastChar 51"
               " /Widths [" + "500 " * 20 + "] >>",
    "uniform_few": "<< /Type /Font /Subtype /Type1 /BaseFont /F0 /FirstChar 32 /LastChar 50"
                   " /Widths [" + "500 " * 19 + "] >>",
    "described": "<< /Type /Font /Subtype /Type1 /BaseFont /ABCDEF+F0 /FirstChar 32 /LastChar 126"
                 " /Widths [] /FontDescriptor 30 0 R >>",
}
DESCRIPTOR = "<< /Type /FontDescriptor /FontName /ABCDEF+F0 /Flags 99 /ItalicAngle -12" \
             " /FontBBox [0 -200 600 800] /Ascent 800 /Descent -200 /StemV 80 >>"


def page_spans(tmp_path, content: str, font: str = "Helvetica", module=quarvel_full) -> list:
    b = simple_document([content], "<< /Font << /F1 20 0 R >> >>")
    b.object(20, FONTS[font])
    b.object(30, DESCRIPTOR)
    blocks, _ = module.extract(b.write(tmp_path / "page.pdf"), include_images=False)
    return [span for block in blocks for line in block["lines"] for span in line["spans"]]


@pytest.mark.parametrize("font, flags", [
    ("Helvetica", 0),
    ("Courier-BoldOblique", BOLD | ITALIC | MONOSPACED),
    ("described", MONOSPACED | ITALIC | SERIF),
    ("uniform", MONOSPACED),
    ("uniform_few", 0),
])
def test_the_font_record_gives_the_face_bits(tmp_path, font, flags):
    spans = page_spans(tmp_path, "BT /F1 12 Tf 72 700 Td (Styled text) Tj ET", font)
    assert [(s["text"], s["flags"]) for s in spans] == [("Styled text", flags)]


@pytest.mark.parametrize("state, flags", [
    ("2 Tr", BOLD),          # filled and stroked: faked bold
    ("1 Tr", 0),             # outlined only: not bold
    ("4 Ts", SUPERSCRIPT),   # a third of the size up
    ("-3 Ts", SUBSCRIPT),
    ("1 Ts", 0),             # an optical nudge, not a script
])
def test_text_state_adds_bits_per_string_and_splits_the_span(tmp_path, state, flags):
    content = f"BT /F1 12 Tf 72 700 Td (plain ) Tj {state} (marked) Tj 0 Tr 0 Ts ( again) Tj ET"
    spans = page_spans(tmp_path, content)
    words = " ".join(s["text"] for s in spans).split()
    assert words == ["plain", "marked", "again"]
    marked = [s["flags"] for s in spans if "marked" in s["text"]]
    assert marked == [flags]
    if flags:
        assert [s["text"].strip() for s in spans] == ["plain", "marked", "again"]


def test_a_word_split_by_style_stays_one_line(tmp_path):
    blocks, _ = quarvel_full.extract(
        simple_document(["BT /F1 12 Tf 72 700 Td (Bo) Tj 2 Tr (ld) Tj 0 Tr (er) Tj ET"],
                        "<< /Font << /F1 20 0 R >> >>")
        .object(20, FONTS["Helvetica"]).write(tmp_path / "word.pdf"), include_images=False)
    (line,) = [line for block in blocks for line in block["lines"]]
    assert [(s["text"], s["flags"]) for s in line["spans"]] == [("Bo", 0), ("ld", BOLD), ("er", 0)]


def test_flags_follow_color_in_full_spans_only(tmp_path):
    content = "BT /F1 12 Tf 72 700 Td (text) Tj ET"
    (full,) = page_spans(tmp_path, content)
    assert list(full)[list(full).index("color") + 1] == "flags"
    (compact,) = page_spans(tmp_path, content, module=quarvel)
    assert "flags" not in compact


# --- agreement with PyMuPDF on the corpus -----------------------------------------

FACE_BITS = ITALIC | MONOSPACED | BOLD
PAGES_PER_FILE = 3


def peer_chars(page) -> list[tuple[str, float, float, int]]:
    """PyMuPDF's printing characters of a page: character, centre (y up), span flags."""
    height = page.rect.height
    out = []
    for block in page.get_text("rawdict")["blocks"]:
        for line in block.get("lines", ()):
            for span in line["spans"]:
                for c in span["chars"]:
                    if c["c"].strip():
                        x0, y0, x1, y1 = c["bbox"]
                        out.append((c["c"], (x0 + x1) / 2, height - (y0 + y1) / 2, span["flags"]))
    return out


def agreement(path: str, tally: collections.Counter) -> None:
    """Counts the characters both readers read (PyMuPDF's character inside a
    span of ours holding it) and those whose bold, italic and monospaced bits
    agree."""
    fitz = pytest.importorskip("fitz")
    with fitz.open(path) as doc:
        if doc.needs_pass:
            return
        pages = list(range(min(doc.page_count, PAGES_PER_FILE)))
        blocks, _ = quarvel_full.extract(path, pages=pages, include_images=False)
        spans = collections.defaultdict(list)
        for block in blocks:
            for line in block["lines"]:
                spans[block["page"]].extend(line["spans"])
        for number in pages:
            ours = sorted(spans[number], key=lambda s: s["bbox"][1])
            bottoms = [s["bbox"][1] for s in ours]
            for ch, x, y, flags in peer_chars(doc[number]):
                best = None
                for s in ours[:bisect.bisect_right(bottoms, y + 1)]:
                    x0, y0, x1, y1 = s["bbox"]
                    if x0 - 1 <= x <= x1 + 1 and y <= y1 + 1 and ch in s["text"]:
                        area = (x1 - x0) * (y1 - y0)
                        if best is None or area < best[0]:
                            best = (area, s["flags"])
                if best is not None:
                    tally["both"] += 1
                    tally["agree"] += (best[1] & FACE_BITS) == (flags & FACE_BITS)


@pytest.mark.skipif(not corpus_manifest(), reason="corpus not available")
def test_bold_italic_and_monospaced_agree_with_pymupdf_on_the_corpus():
    pytest.importorskip("fitz")
    tally: collections.Counter = collections.Counter()
    for row in corpus_manifest():
        if row["encrypted"] == "n":
            agreement(str(CORPUS_DIR / row["file"]), tally)
    assert tally["both"] > 10_000
    assert tally["agree"] / tally["both"] >= 0.95
