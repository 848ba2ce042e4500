"""The one writer of the benchmarks' generated documents: pages of text in
Helvetica, each page's content Flate-compressed in a stream of its own,
objects in number order and a classic cross-reference table."""

from __future__ import annotations

import zlib
from typing import Iterable


def text_pdf(page_contents: Iterable[str]) -> bytes:
    objects: dict[int, bytes] = {
        1: b"<< /Type /Catalog /Pages 2 0 R >>",
        3: b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>",
    }
    kids = []
    for p, content in enumerate(page_contents):
        page_num, content_num = 4 + 2 * p, 5 + 2 * p
        kids.append(f"{page_num} 0 R")
        data = zlib.compress(content.encode(), 6)
        objects[page_num] = (f"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] "
                             f"/Resources << /Font << /F1 3 0 R >> >> /Contents {content_num} 0 R >>"
                             ).encode()
        objects[content_num] = (f"<< /Length {len(data)} /Filter /FlateDecode >>\nstream\n"
                                .encode() + data + b"\nendstream")
    objects[2] = f"<< /Type /Pages /Kids [{' '.join(kids)}] /Count {len(kids)} >>".encode()
    out = bytearray(b"%PDF-1.7\n")
    offsets = {}
    for num in sorted(objects):
        offsets[num] = len(out)
        out += f"{num} 0 obj\n".encode() + objects[num] + b"\nendobj\n"
    size = max(objects) + 1
    xref = len(out)
    out += f"xref\n0 {size}\n0000000000 65535 f \n".encode()
    for num in range(1, size):
        out += f"{offsets[num]:010d} 00000 n \n".encode()
    out += f"trailer\n<< /Size {size} /Root 1 0 R >>\nstartxref\n{xref}\n%%EOF\n".encode()
    return bytes(out)
