"""The one writer of the benchmarks' generated documents, which the tests of
long documents use too: pages of text in one font, each page's content
Flate-compressed in a stream of its own (or every page drawing the first
page's stream), objects in number order and a classic cross-reference
table."""

from __future__ import annotations

import zlib
from typing import Iterable


def text_pdf(page_contents: Iterable[str], *, font: str = "Helvetica", level: int = 6,
             shared_content: bool = False) -> bytes:
    """A document of one page per content string, drawn with /F1, the
    standard font `font` (WinAnsi-encoded unless it is Courier), content
    compressed at zlib `level`. With `shared_content` every page draws the
    first page's stream and the other contents are not written."""
    encoding = "" if font == "Courier" else " /Encoding /WinAnsiEncoding"
    objects: dict[int, bytes] = {
        1: b"<< /Type /Catalog /Pages 2 0 R >>",
        3: f"<< /Type /Font /Subtype /Type1 /BaseFont /{font}{encoding} >>".encode(),
    }
    kids = []
    for p, content in enumerate(page_contents):
        page_num = 4 + 2 * p
        content_num = 5 if shared_content else page_num + 1
        kids.append(f"{page_num} 0 R")
        objects[page_num] = (f"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] "
                             f"/Resources << /Font << /F1 3 0 R >> >> /Contents {content_num} 0 R >>"
                             ).encode()
        if content_num not in objects:
            data = zlib.compress(content.encode(), level)
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
        # Numbers a shared content leaves unused are free.
        out += (f"{offsets[num]:010d} 00000 n \n" if num in offsets
                else "0000000000 00001 f \n").encode()
    out += f"trailer\n<< /Size {size} /Root 1 0 R >>\nstartxref\n{xref}\n%%EOF\n".encode()
    return bytes(out)
