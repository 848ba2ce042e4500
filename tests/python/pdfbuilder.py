"""Writes exact PDF bytes for tests, the Python twin of tests/support/pdf_builder.h.

Objects are written in the order they are added, streams with chosen filters,
then a classic cross-reference table (or an uncompressed cross-reference
stream) with correct offsets, the trailer and ``startxref``. Options break
any of these on purpose.

    b = PdfBuilder()
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.object(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    b.object(3, "<< /Type /Page /Parent 2 0 R /Contents 4 0 R >>")
    b.stream(4, "", "BT (Hi) Tj ET")
    pdf = b.build()                      # bytes
    path = b.write(tmp_path / "a.pdf")   # writes build() and returns str(path)

Text arguments may be ``str`` or ``bytes``. A ``str`` is written byte for
byte as Latin-1 (characters U+0000..U+00FF), the way the C++ builder treats
``std::string``; pass ``bytes`` for anything else (invalid UTF-8, binary data).
"""

from __future__ import annotations

import enum
import os
import zlib
from dataclasses import dataclass, field
from typing import Optional, Sequence, Union

Text = Union[str, bytes]

__all__ = [
    "BuildOptions",
    "PdfBuilder",
    "XrefStyle",
    "ascii85",
    "ascii_hex",
    "flate",
    "lzw",
    "run_length",
    "simple_document",
    "to_bytes",
]


def to_bytes(text: Text) -> bytes:
    if isinstance(text, (bytes, bytearray, memoryview)):
        return bytes(text)
    return text.encode("latin-1")


# --- stream encoders -------------------------------------------------------


def flate(data: Text) -> bytes:
    """zlib format, as FlateDecode expects."""
    return zlib.compress(to_bytes(data), 9)


def ascii_hex(data: Text) -> bytes:
    """Upper-case hex digits with the closing ``>``."""
    return to_bytes(data).hex().upper().encode("ascii") + b">"


def ascii85(data: Text) -> bytes:
    """Base-85 groups, ``z`` for four zero bytes, closing ``~>``."""
    data = to_bytes(data)
    out = bytearray()
    for i in range(0, len(data), 4):
        chunk = data[i : i + 4]
        n = len(chunk)
        v = int.from_bytes(chunk.ljust(4, b"\0"), "big")
        if n == 4 and v == 0:
            out += b"z"
            continue
        group = bytearray(5)
        for k in range(4, -1, -1):
            group[k] = 33 + v % 85
            v //= 85
        out += group[: n + 1]
    return bytes(out) + b"~>"


def run_length(data: Text) -> bytes:
    """Repeat runs of three or more equal bytes, literal chunks of at most 128, EOD."""
    data = to_bytes(data)
    out = bytearray()
    i = 0
    while i < len(data):
        run = 1
        while i + run < len(data) and run < 128 and data[i + run] == data[i]:
            run += 1
        if run >= 3:
            out += bytes([257 - run, data[i]])
            i += run
            continue
        lit = 0
        while i + lit < len(data) and lit < 128:
            r = 1
            while i + lit + r < len(data) and r < 3 and data[i + lit + r] == data[i + lit]:
                r += 1
            if r >= 3:
                break
            lit += 1
        out.append(lit - 1)
        out += data[i : i + lit]
        i += lit
    out.append(128)
    return bytes(out)


def lzw(data: Text) -> bytes:
    """9- to 12-bit codes, a clear code first, EOD last, no early change."""
    data = to_bytes(data)
    out = bytearray()
    acc = 0
    bits = 0
    width = 9

    def reset() -> dict:
        return {bytes([c]): c for c in range(256)}

    def emit(code: int) -> None:
        nonlocal acc, bits
        acc = ((acc << width) | code) & 0xFFFFFFFF
        bits += width
        while bits >= 8:
            out.append((acc >> (bits - 8)) & 0xFF)
            bits -= 8

    table = reset()
    nxt = 258
    emit(256)
    w = b""
    for c in data:
        wc = w + bytes([c])
        if wc in table:
            w = wc
            continue
        emit(table[w])
        if nxt < 4096:
            table[wc] = nxt
            nxt += 1
            if nxt == (1 << width) and width < 12:
                width += 1
        else:
            emit(256)
            table = reset()
            nxt = 258
            width = 9
        w = bytes([c])
    if w:
        emit(table[w])
    emit(257)
    if bits > 0:
        out.append((acc << (8 - bits)) & 0xFF)
    return bytes(out)


_ENCODERS = {
    "FlateDecode": flate,
    "ASCIIHexDecode": ascii_hex,
    "ASCII85Decode": ascii85,
    "RunLengthDecode": run_length,
    "LZWDecode": lzw,
}


# --- the builder -----------------------------------------------------------


class XrefStyle(enum.Enum):
    TABLE = "table"  # classic xref table
    STREAM = "stream"  # uncompressed cross-reference stream object
    NONE = "none"  # no cross-reference section (startxref points nowhere useful)


@dataclass
class BuildOptions:
    xref: XrefStyle = XrefStyle.TABLE
    # Trailer entries; default "/Size N /Root 1 0 R". With XrefStyle.STREAM they
    # go into the stream dictionary.
    trailer: Optional[Text] = None
    # Extra trailer entries appended after the default ones (/Info, /Encrypt).
    trailer_extra: Text = b""
    # Replaces the number written after `startxref`.
    startxref: Optional[Text] = None
    # Omits the `startxref` keyword (and what follows) entirely.
    omit_startxref: bool = False
    # Added to every offset written in the table (to break it).
    offset_shift: int = 0
    # Object numbers left out of the table (listed as free).
    omit_from_xref: Sequence[int] = field(default_factory=tuple)
    # Line end inside table entries: b"\r\n" (20-byte entries) or b" \n".
    entry_eol: Text = b" \n"


class PdfBuilder:
    def __init__(self) -> None:
        # (object number or None for raw bytes, generation, text)
        self._items: list[tuple[Optional[int], int, bytes]] = []
        self._offsets: dict[int, int] = {}

    def object(self, num: int, body: Text, gen: int = 0) -> "PdfBuilder":
        """An indirect object ``num gen obj <body> endobj``."""
        self._items.append((num, gen, to_bytes(body)))
        return self

    def stream(
        self, num: int, dict_entries: Text, data: Text, length: Optional[Text] = None
    ) -> "PdfBuilder":
        """A stream object; ``dict_entries`` go inside << >> beside the /Length
        written for ``data`` (unless ``length`` overrides it with any text,
        e.g. "5 0 R" or "-3")."""
        data = to_bytes(data)
        dict_entries = to_bytes(dict_entries)
        ln = to_bytes(length) if length is not None else str(len(data)).encode()
        body = b"<< /Length " + ln
        if dict_entries:
            body += b" " + dict_entries
        body += b" >>\nstream\n" + data + b"\nendstream"
        return self.object(num, body)

    def filtered_stream(self, num: int, dict_entries: Text, data: Text, filter: str) -> "PdfBuilder":
        """A stream encoded with ``filter`` ("FlateDecode", "ASCIIHexDecode",
        "ASCII85Decode", "RunLengthDecode", "LZWDecode"; any other name leaves
        the data as it is)."""
        encoder = _ENCODERS.get(filter)
        encoded = encoder(data) if encoder else to_bytes(data)
        entries = b"/Filter /" + filter.encode("latin-1")
        dict_entries = to_bytes(dict_entries)
        if dict_entries:
            entries += b" " + dict_entries
        return self.stream(num, entries, encoded)

    def raw(self, data: Text) -> "PdfBuilder":
        """Arbitrary bytes at this point of the body."""
        self._items.append((None, 0, to_bytes(data)))
        return self

    def max_object_number(self) -> int:
        return max((num for num, _, _ in self._items if num is not None), default=0)

    def offset_of(self, num: int) -> int:
        """Offset of an object's header in the last build()."""
        return self._offsets[num]

    def build(self, options: Optional[BuildOptions] = None, **kwargs) -> bytes:
        """The file's bytes. Options come as a BuildOptions or as keywords."""
        o = options if options is not None else BuildOptions(**kwargs)
        self._offsets = {}
        out = bytearray(b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n")
        entries: dict[int, tuple[int, int]] = {}
        for num, gen, text in self._items:
            if num is None:
                out += text
                continue
            self._offsets[num] = len(out)
            entries[num] = (len(out), gen)
            out += b"%d %d obj\n" % (num, gen) + text + b"\nendobj\n"
        for num in o.omit_from_xref:
            entries.pop(num, None)

        size = self.max_object_number() + 1
        trailer = to_bytes(o.trailer) if o.trailer is not None else b"/Size %d /Root 1 0 R" % size
        extra = to_bytes(o.trailer_extra)
        if extra:
            trailer += b" " + extra
        eol = to_bytes(o.entry_eol)

        xref_offset = len(out)
        if o.xref is XrefStyle.TABLE:
            out += b"xref\n0 %d\n" % size
            for n in range(size):
                if n not in entries:
                    out += b"0000000000 " + (b"65535" if n == 0 else b"00000") + b" f" + eol
                else:
                    off, gen = entries[n]
                    out += b"%010d %05d n" % (max(0, off + o.offset_shift), gen) + eol
            out += b"trailer\n<< " + trailer + b" >>\n"
        elif o.xref is XrefStyle.STREAM:
            # The stream itself is object `size`, so the table covers size + 1.
            me = size
            body = bytearray()
            for n in range(me + 1):
                if n == me:
                    body += bytes([1]) + xref_offset.to_bytes(4, "big") + (0).to_bytes(2, "big")
                elif n not in entries:
                    body += bytes([0]) + bytes(4) + (65535 if n == 0 else 0).to_bytes(2, "big")
                else:
                    off, gen = entries[n]
                    off = max(0, off + o.offset_shift)
                    body += bytes([1]) + off.to_bytes(4, "big") + gen.to_bytes(2, "big")
            d = to_bytes(o.trailer) if o.trailer is not None else b"/Size %d /Root 1 0 R" % (me + 1)
            if extra:
                d += b" " + extra
            out += (
                b"%d 0 obj\n<< /Type /XRef /W [1 4 2] " % me
                + d
                + b" /Length %d >>\nstream\n" % len(body)
                + bytes(body)
                + b"\nendstream\nendobj\n"
            )
        else:
            out += b"trailer\n<< " + trailer + b" >>\n"
        if not o.omit_startxref:
            sx = to_bytes(o.startxref) if o.startxref is not None else str(xref_offset).encode()
            out += b"startxref\n" + sx + b"\n%%EOF\n"
        return bytes(out)

    def write(self, path: Union[str, os.PathLike], options: Optional[BuildOptions] = None,
              **kwargs) -> str:
        """Writes build() to ``path`` and returns the path as a str."""
        data = self.build(options, **kwargs)
        with open(path, "wb") as f:
            f.write(data)
        return os.fspath(path)


def simple_document(page_contents: Sequence[Text], resources: Text = b"",
                    page_extra: Union[Text, Sequence[Text]] = b"") -> PdfBuilder:
    """A complete document: catalogue 1, page tree 2, one page per content string
    (pages 3, 5, 7, ... with content streams 4, 6, 8, ...), the given /Resources
    text on every page, and ``page_extra`` entries added to each page's
    dictionary (one text for all pages, or a sequence with one per page,
    e.g. "/Annots [20 0 R]"). Further objects should use numbers from 20 on
    when there are fewer than nine pages."""
    n = len(page_contents)
    if isinstance(page_extra, (str, bytes)):
        extras = [to_bytes(page_extra)] * n
    else:
        extras = [to_bytes(e) for e in page_extra]
        if len(extras) != n:
            raise ValueError("page_extra needs one entry per page")
    b = PdfBuilder()
    kids = b"".join(b"%d 0 R " % (3 + 2 * i) for i in range(n))
    b.object(1, b"<< /Type /Catalog /Pages 2 0 R >>")
    b.object(2, b"<< /Type /Pages /Kids [" + kids + b"] /Count %d >>" % n)
    resources = to_bytes(resources)
    for i, content in enumerate(page_contents):
        page = 3 + 2 * i
        d = b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents %d 0 R" % (page + 1)
        if resources:
            d += b" /Resources " + resources
        if extras[i]:
            d += b" " + extras[i]
        d += b" >>"
        b.object(page, d)
        b.stream(page + 1, b"", content)
    return b
