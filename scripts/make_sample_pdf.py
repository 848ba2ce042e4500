#!/usr/bin/env python3
"""Writes a small two-page PDF that shows what quarvel extracts: text in a
standard font, a web link, and an image.

    scripts/make_sample_pdf.py out.pdf

Only the standard library is used, so the demo runs before anything else is
installed.
"""

from __future__ import annotations

import sys
import zlib


def pdf_string(text: str) -> str:
    return "(" + text.replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)") + ")"


def text_lines(lines: list[tuple[float, float, float, str]]) -> str:
    """Content showing each (x, y, size, text) line in font /F1."""
    ops = []
    for x, y, size, text in lines:
        ops.append(f"BT /F1 {size:g} Tf 1 0 0 1 {x:g} {y:g} Tm {pdf_string(text)} Tj ET")
    return "\n".join(ops)


def build() -> bytes:
    page1 = text_lines([
        (72, 720, 20, "Quarvel sample document"),
        (72, 680, 12, "This page holds a few lines of text in Helvetica,"),
        (72, 664, 12, "a picture drawn from an image XObject, and a link:"),
        (72, 640, 12, "https://example.org/quarvel"),
    ]) + "\nq 120 0 0 60 72 480 cm /Im1 Do Q"
    page2 = text_lines([
        (72, 720, 16, "Second page"),
        (72, 690, 12, "Pages are extracted in parallel on a worker pool."),
    ])
    # A 2 x 2 RGB image: red, green, blue and white samples.
    samples = bytes([255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255])

    objects: dict[int, bytes] = {}

    def stream(dict_entries: str, data: bytes) -> bytes:
        head = f"<< /Length {len(data)}{' ' + dict_entries if dict_entries else ''} >>\nstream\n"
        return head.encode() + data + b"\nendstream"

    resources = "<< /Font << /F1 9 0 R >> /XObject << /Im1 10 0 R >> >>"
    objects[1] = b"<< /Type /Catalog /Pages 2 0 R >>"
    objects[2] = b"<< /Type /Pages /Kids [3 0 R 5 0 R] /Count 2 >>"
    objects[3] = (f"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R "
                  f"/Resources {resources} /Annots [11 0 R] >>").encode()
    objects[4] = stream("/Filter /FlateDecode", zlib.compress(page1.encode("latin-1")))
    objects[5] = (f"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 6 0 R "
                  f"/Resources {resources} >>").encode()
    objects[6] = stream("", page2.encode("latin-1"))
    objects[9] = (b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica "
                  b"/Encoding /WinAnsiEncoding >>")
    objects[10] = stream("/Type /XObject /Subtype /Image /Width 2 /Height 2 "
                         "/ColorSpace /DeviceRGB /BitsPerComponent 8 /Filter /FlateDecode",
                         zlib.compress(samples))
    objects[11] = (b"<< /Type /Annot /Subtype /Link /Rect [72 636 230 652] /Border [0 0 0] "
                   b"/A << /S /URI /URI (https://example.org/quarvel) >> >>")

    out = bytearray(b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n")
    offsets: dict[int, int] = {}
    for num in sorted(objects):
        offsets[num] = len(out)
        out += f"{num} 0 obj\n".encode() + objects[num] + b"\nendobj\n"
    size = max(objects) + 1
    xref_at = len(out)
    out += f"xref\n0 {size}\n".encode() + b"0000000000 65535 f \n"
    for num in range(1, size):
        if num in offsets:
            out += f"{offsets[num]:010d} 00000 n \n".encode()
        else:
            out += b"0000000000 65535 f \n"
    out += f"trailer\n<< /Size {size} /Root 1 0 R >>\nstartxref\n{xref_at}\n%%EOF\n".encode()
    return bytes(out)


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(sys.argv[1], "wb") as f:
        f.write(build())
    return 0


if __name__ == "__main__":
    sys.exit(main())
