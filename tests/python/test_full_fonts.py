"""The full reader's character decoding seen through quarvel_full: each font
kind's codes become the text a reader expects, while quarvel's own reading
of the same file stays what it was."""

from __future__ import annotations

import pytest

from pdfbuilder import simple_document

quarvel_full = pytest.importorskip("quarvel_full")
import quarvel  # noqa: E402


def page_text(module, path) -> str:
    blocks = module.extract(path)[0]
    return "".join(span["text"] for block in blocks for line in block["lines"]
                   for span in line["spans"])


FONTS = {
    # WinAnsi: 0x80 is the euro, 0x93/0x94 curly quotes.
    "winansi": ("<< /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>",
                b"(\x93\x80\x94) Tj", "\u201c\u20ac\u201d"),
    "base_and_differences": (
        "<< /Subtype /Type1 /BaseFont /Times-Roman /Encoding << /BaseEncoding "
        "/MacRomanEncoding /Differences [65 /Aring /f_f] >> >>",
        b"(AB\x8e) Tj", "\u00c5ff\u00e9"),
    "type0_mixed_codespace": (
        "<< /Subtype /Type0 /BaseFont /M /Encoding 21 0 R /DescendantFonts "
        "[<< /Subtype /CIDFontType0 /CIDSystemInfo << /Registry (Adobe) /Ordering (Japan1) "
        ">> >>] >>",
        b"<41 82A0 42> Tj", "A\u3042B"),
}


@pytest.mark.parametrize("kind", sorted(FONTS))
def test_full_reader_decodes_font_kind(tmp_path, kind):
    font, shown, want = FONTS[kind]
    b = simple_document([b"BT /F 12 Tf 72 700 Td " + shown + b" ET"],
                        resources="<< /Font << /F 20 0 R >> >>")
    b.object(20, font)
    # An embedded CMap over a predefined one: one-byte ASCII, two-byte
    # Shift-JIS.
    b.stream(21, "/Type /CMap", "/90ms-RKSJ-H usecmap 2 begincodespacerange <00> <80> "
                                "<8140> <9FFC> endcodespacerange")
    path = b.write(tmp_path / f"{kind}.pdf")
    assert page_text(quarvel_full, path) == want
    # The compact reader keeps its single-byte reading.
    if kind == "winansi":
        assert page_text(quarvel, path) == "\u0093\u0080\u0094"


def test_composite_fonts_keep_their_own_codes(tmp_path):
    # Two Identity-H fonts give the same codes different characters and
    # widths; a decoded code remembered for one must never serve the other,
    # on the same page or the next.
    def cmap(pairs: str) -> str:
        return ("/CIDInit /ProcSet findresource begin 12 dict begin begincmap "
                "1 begincodespacerange <0000> <FFFF> endcodespacerange "
                f"2 beginbfchar {pairs} endbfchar endcmap end end")

    def font(to_unicode: int, width: int) -> str:
        return (f"<< /Subtype /Type0 /BaseFont /F{to_unicode} /Encoding /Identity-H "
                f"/ToUnicode {to_unicode} 0 R /DescendantFonts [<< /Subtype /CIDFontType2 "
                f"/BaseFont /F{to_unicode} /DW {width} >>] >>")

    line = b"BT /A 10 Tf 72 %d Td <00010002> Tj /B 10 Tf <00010002> Tj /A 10 Tf <0001> Tj ET"
    content = b" ".join(line % y for y in (700, 680))
    b = simple_document([content, content],
                        resources="<< /Font << /A 20 0 R /B 21 0 R >> >>")
    b.object(20, font(22, 500))
    b.object(21, font(23, 1000))
    b.stream(22, "", cmap("<0001> <0061> <0002> <0062>"))
    b.stream(23, "", cmap("<0001> <0078> <0002> <0079>"))
    path = b.write(tmp_path / "two_type0.pdf")
    blocks = quarvel_full.extract(path)[0]
    for page in (0, 1):
        spans = [span for block in blocks if block["page"] == page
                 for line in block["lines"] for span in line["spans"]]
        assert [s["text"] for s in spans] == ["ab", "xy", "a"] * 2
        # /A advances 5 points a glyph, /B 10.
        assert [round(s["bbox"][2] - s["bbox"][0]) for s in spans] == [10, 20, 5] * 2
