"""Writes the file structures the full reader must read and the compact one
does not: object streams, compressed cross-reference streams with PNG
predictors, incremental updates chained by /Prev, hybrid files.

    pdf = modern_pdf({1: b"<< /Type /Catalog /Pages 2 0 R >>", ...},
                     streams={4: (b"", b"BT ... ET")})

Objects that are not streams go into one object stream unless listed in
``direct``; streams are always written directly (as the format requires).
"""

from __future__ import annotations

import zlib
from typing import Iterable, Mapping, Optional


def _png_up(rows: list[bytes], columns: int) -> bytes:
    """Rows encoded with the PNG "Up" predictor (filter type 2)."""
    out = bytearray()
    prev = bytes(columns)
    for row in rows:
        out.append(2)
        out += bytes((b - p) & 0xFF for b, p in zip(row, prev))
        prev = row
    return bytes(out)


def xref_stream(num: int, entries: Mapping[int, tuple[int, int, int]], trailer: bytes,
                predictor: bool = True) -> bytes:
    """Cross-reference stream object `num` with rows (type, field2, field3)
    for the numbers in `entries`, /W [1 4 2], Flate with a PNG predictor."""
    nums = sorted(entries)
    index = []
    for n in nums:
        if index and index[-1][0] + index[-1][1] == n:
            index[-1][1] += 1
        else:
            index.append([n, 1])
    rows = [bytes([entries[n][0]]) + entries[n][1].to_bytes(4, "big") + entries[n][2].to_bytes(2, "big")
            for n in nums]
    if predictor:
        body = zlib.compress(_png_up(rows, 7))
        parms = b" /DecodeParms << /Predictor 12 /Columns 7 >>"
    else:
        body = zlib.compress(b"".join(rows))
        parms = b""
    idx = b" ".join(b"%d %d" % (a, c) for a, c in index)
    return (b"%d 0 obj\n<< /Type /XRef /W [1 4 2] /Index [%s] /Filter /FlateDecode%s %s /Length %d >>\n"
            b"stream\n" % (num, idx, parms, trailer, len(body)) + body + b"\nendstream\nendobj\n")


class ModernWriter:
    """Appends sections to a file: each section packs its objects into an
    object stream and ends with a cross-reference stream chained by /Prev."""

    def __init__(self, junk: bytes = b"") -> None:
        self.out = bytearray(junk + b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n")
        self.prev: Optional[int] = None
        self.next_num = 1

    def section(self, objects: Mapping[int, bytes], streams: Mapping[int, tuple[bytes, bytes]] = {},
                direct: Iterable[int] = (), root: int = 1, predictor: bool = True,
                trailer_extra: bytes = b"", startxref_shift: int = 0) -> int:
        entries: dict[int, tuple[int, int, int]] = {}
        direct = set(direct)
        for num, (dict_text, data) in streams.items():
            entries[num] = (1, len(self.out), 0)
            self.out += b"%d 0 obj\n<< %s /Length %d >>\nstream\n" % (num, dict_text, len(data)) + data + b"\nendstream\nendobj\n"
        for num in sorted(direct & set(objects)):
            entries[num] = (1, len(self.out), 0)
            self.out += b"%d 0 obj\n%s\nendobj\n" % (num, objects[num])
        packed = [n for n in sorted(objects) if n not in direct]
        top = max([*objects, *streams, 0])
        if packed:
            stm = top + 1
            header = b""
            body = b""
            for i, n in enumerate(packed):
                header += b"%d %d " % (n, len(body))
                body += objects[n] + b"\n"
                entries[n] = (2, stm, i)
            data = zlib.compress(header + body)
            entries[stm] = (1, len(self.out), 0)
            self.out += (b"%d 0 obj\n<< /Type /ObjStm /N %d /First %d /Filter /FlateDecode /Length %d >>\n"
                         b"stream\n" % (stm, len(packed), len(header), len(data)) + data + b"\nendstream\nendobj\n")
            top = stm
        xref_num = top + 1
        at = len(self.out)
        entries[xref_num] = (1, at, 0)
        trailer = b"/Size %d /Root %d 0 R" % (xref_num + 1, root) + trailer_extra
        if self.prev is not None:
            trailer += b" /Prev %d" % self.prev
        self.out += xref_stream(xref_num, entries, trailer, predictor)
        self.out += b"startxref\n%d\n%%%%EOF\n" % (at + startxref_shift)
        self.prev = at
        return xref_num

    def bytes(self) -> bytes:
        return bytes(self.out)


def page_objects(content_ref: bytes = b"4 0 R", resources: bytes = b"/Resources << /Font << /F1 5 0 R >> >>") -> dict[int, bytes]:
    return {
        1: b"<< /Type /Catalog /Pages 2 0 R >>",
        2: b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        3: b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] " + resources + b" /Contents " + content_ref + b" >>",
        5: b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    }


def text_stream(text: str, y: int = 700) -> bytes:
    return b"BT /F1 12 Tf 72 %d Td (%s) Tj ET" % (y, text.encode("latin-1"))
