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
