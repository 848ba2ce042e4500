"""Writes the hostile-file set: PDFs built to exhaust a reader's stack,
memory or time, each of which quarvel must extract (possibly with empty
pages) or refuse with a ValueError, within seconds and a bounded amount of
memory.

    make_hostile.py <out dir>           # writes every file, prints their names

The files are generated, never stored: the bombs are small on disk but
expand to gigabytes, and the truncations are derived from a document built
here. tests/python/test_robustness.py runs each in a child process.
"""

from __future__ import annotations

import sys
import zlib
from pathlib import Path
from typing import Callable, Iterable, Iterator

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))

from pdfbuilder import BuildOptions, PdfBuilder, XrefStyle, flate, simple_document  # noqa: E402

GIB = 1 << 30
MIB = 1 << 20


# --- bomb encoders -----------------------------------------------------------


def flate_zeros(size: int) -> bytes:
    """`size` zero bytes (a multiple of 16 MiB) in zlib format, about a
    thousandth of `size`. A full flush after each chunk makes every chunk's
    compressed bytes the same, so one chunk is compressed and repeated, and
    the checksum of n zeros (a = 1, b = n mod 65521) is written directly."""
    chunk = bytes(16 * MIB)
    z = zlib.compressobj(9)
    first = z.compress(chunk) + z.flush(zlib.Z_FULL_FLUSH)
    repeat = z.compress(chunk) + z.flush(zlib.Z_FULL_FLUSH)
    tail = z.flush(zlib.Z_FINISH)[:-4]
    count = size // len(chunk)
    adler = ((size % 65521) << 16) | 1
    return first + repeat * (count - 1) + tail + adler.to_bytes(4, "big")


def lzw_zeros(cycles: int) -> bytes:
    """An LZW stream (early change, as PDF readers decode by default) that
    expands to about 7.3 MB of zero bytes per cycle: after a clear code, the
    code 0 and then every next table code, each one zero longer than the
    last, until the table is full."""
    bits = bytearray()
    acc = 0
    nacc = 0

    def put(code: int, width: int) -> None:
        nonlocal acc, nacc
        acc = (acc << width) | code
        nacc += width
        while nacc >= 8:
            nacc -= 8
            bits.append((acc >> nacc) & 0xFF)
        acc &= (1 << nacc) - 1

    def width_for(next_code: int) -> int:
        # The decoder widens one code early: at 511, 1023 and 2047 entries.
        if next_code + 1 < 512:
            return 9
        if next_code + 1 < 1024:
            return 10
        if next_code + 1 < 2048:
            return 11
        return 12

    for _ in range(cycles):
        put(256, 9 if _ == 0 else 12)
        next_code = 258
        put(0, 9)
        while next_code < 4094:
            put(next_code, width_for(next_code))
            next_code += 1
    put(257, width_for(4094))
    if nacc:
        bits.append((acc << (8 - nacc)) & 0xFF)
    return bytes(bits)


def run_length_zeros(size: int) -> bytes:
    """RunLength runs of 128 zero bytes: one sixty-fourth of `size`."""
    return b"\x81\x00" * (size // 128) + b"\x80"


# --- documents ---------------------------------------------------------------


def one_page(content: bytes | str, **build: object) -> bytes:
    return simple_document([content]).build(**build)


def with_xref_stream(b: PdfBuilder, compressed: dict[int, tuple[int, int]] = {},
                     entries: bytes = b"", rows: bytes | None = None) -> bytes:
    """The builder's objects with a cross-reference stream of our own: the
    objects in `compressed` (number -> (stream, index)) listed as packed in an
    object stream, `entries` added to the stream dictionary, and `rows`
    replacing the computed rows (then `entries` should carry /W)."""
    body = b.build(xref=XrefStyle.NONE)
    head = body[: body.index(b"trailer")]
    size = max([b.max_object_number(), *compressed]) + 2
    me = size - 1
    if rows is None:
        out = bytearray()
        for n in range(size):
            if n in compressed:
                stream, index = compressed[n]
                out += bytes([2]) + stream.to_bytes(4, "big") + index.to_bytes(2, "big")
            elif n == me:
                out += bytes([1]) + len(head).to_bytes(4, "big") + bytes(2)
            else:
                try:
                    out += bytes([1]) + b.offset_of(n).to_bytes(4, "big") + bytes(2)
                except KeyError:
                    out += bytes(7)
        rows = bytes(out)
        entries = b"/W [1 4 2] /Size %d " % size + entries
    return (head + b"%d 0 obj\n<< /Type /XRef /Root 1 0 R " % me + entries
            + b" /Length %d >>\nstream\n" % len(rows) + rows
            + b"\nendstream\nendobj\nstartxref\n%d\n%%%%EOF\n" % len(head))


def deep_nesting() -> Iterator[tuple[str, bytes]]:
    depth = 1_000_000
    yield "deep_array_in_page", simple_document(
        ["BT (a) Tj ET"], page_extra=b"/X " + b"[" * depth).build()
    yield "deep_dict_in_catalog", simple_document(["BT (a) Tj ET"]).object(
        1, b"<< /Type /Catalog /Pages 2 0 R /X " + b"<< /A " * depth + b">>").build()
    yield "deep_dict_in_trailer", one_page("BT (a) Tj ET", trailer_extra=b"/X " + b"[" * depth)
    yield "deep_content_array", one_page(b"BT /F1 12 Tf " + b"[" * depth + b"(a) Tj ET")
    yield "deep_content_array_closed", one_page(
        b"BT " + b"[" * 200_000 + b"(a)" + b"]" * 200_000 + b" TJ ET")
    yield "deep_string_parens", one_page(b"BT (" + b"(" * depth + b") Tj ET")
    yield "deep_array_in_xref_stream", one_page(
        "BT (a) Tj ET", xref=XrefStyle.STREAM, trailer_extra=b"/X " + b"[" * depth)
    # Object-stream contents are parsed with the same parser as the file.
    b = simple_document(["BT (a) Tj ET"])
    b.stream(20, b"/Type /ObjStm /N 1 /First 4", b"3 0 " + b"[" * depth)
    yield "deep_array_in_object_stream", with_xref_stream(b, {3: (20, 0)})


def bombs() -> Iterator[tuple[str, bytes]]:
    big = flate_zeros(2 * GIB)
    fonts = "<< /Font << /F1 21 0 R >> /XObject << /Im1 22 0 R /Fm1 23 0 R >> >>"
    b = simple_document([""])
    b.stream(4, b"/Filter /FlateDecode", big)
    yield "flate_bomb_content", b.build()

    b = simple_document(["/Im1 Do"], fonts)
    b.stream(22, b"/Type /XObject /Subtype /Image /Width 65535 /Height 65535 "
                 b"/BitsPerComponent 8 /ColorSpace /DeviceRGB /Filter /FlateDecode", big)
    yield "flate_bomb_image", b.build()

    b = simple_document(["/Fm1 Do"], fonts)
    b.stream(23, b"/Type /XObject /Subtype /Form /Filter /FlateDecode", big)
    yield "flate_bomb_form", b.build()

    b = simple_document(["BT /F1 12 Tf (abc) Tj ET"], fonts)
    b.object(21, b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /ToUnicode 24 0 R >>")
    b.stream(24, b"/Filter /FlateDecode", big)
    yield "flate_bomb_tounicode", b.build()

    b = simple_document(["BT (a) Tj ET"])
    b.stream(20, b"/Type /ObjStm /N 1 /First 4 /Filter /FlateDecode", big)
    yield "flate_bomb_object_stream", with_xref_stream(b, {3: (20, 0)})

    b = simple_document(["BT (a) Tj ET"])
    yield "flate_bomb_xref_stream", with_xref_stream(
        b, entries=b"/W [1 4 2] /Size 9 /Filter /FlateDecode", rows=big)

    # Zeros compressed twice: a few KiB on disk.
    twice = flate(flate_zeros(GIB))
    b = simple_document([""])
    b.stream(4, b"/Filter [/FlateDecode /FlateDecode]", twice)
    yield "flate_chain_bomb", b.build()

    b = simple_document([""])
    b.stream(4, b"/Filter [/ASCIIHexDecode /FlateDecode /FlateDecode]",
             twice.hex().encode() + b">")
    yield "hex_flate_chain_bomb", b.build()

    b = simple_document([""])
    b.stream(4, b"/Filter /LZWDecode", lzw_zeros(80))
    yield "lzw_bomb", b.build()

    b = simple_document([""])
    b.stream(4, b"/Filter /RunLengthDecode", run_length_zeros(400 * MIB))
    yield "run_length_bomb", b.build()

    b = simple_document([""])
    b.stream(4, b"/Filter [" + b"/FlateDecode " * 10_000 + b"]", flate(b"BT (a) Tj ET"))
    yield "long_filter_chain", b.build()

    # One array of 24 million numbers: each takes more memory as an operand
    # than its two bytes of content.
    b = simple_document([""])
    b.stream(4, b"/Filter /FlateDecode", flate(b"BT [" + b"0 " * (24 << 20) + b"] TJ ET"))
    yield "content_one_long_array", b.build()


def forms_and_cycles() -> Iterator[tuple[str, bytes]]:
    res = "<< /Font << /F1 20 0 R >> /XObject << /Fm1 21 0 R /Fm2 22 0 R >> >>"
    text = "BT /F1 12 Tf (" + "x" * 2000 + ") Tj ET "
    fan = "/Fm1 Do " * 2000 + text
    b = simple_document([fan], res)
    b.object(20, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    b.stream(21, "/Type /XObject /Subtype /Form /Resources " + res, fan)
    b.stream(22, "/Type /XObject /Subtype /Form /Resources " + res, "/Fm1 Do /Fm2 Do")
    yield "form_fan_out", b.build()

    res2 = "<< /Font << /F1 200 0 R >> /XObject << /Fm1 201 0 R >> >>"
    b = simple_document(["/Fm1 Do " * 500 + text] * 50, res2)
    b.object(200, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    b.stream(201, "/Type /XObject /Subtype /Form /Resources " + res2, "/Fm1 Do " * 500 + text)
    yield "form_fan_out_many_pages", b.build()

    huge_tj = "BT /F1 12 Tf (" + "y" * 1_000_000 + ") Tj ET "
    b = simple_document(["/Fm1 Do " * 1000], res)
    b.object(20, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    b.stream(21, "/Type /XObject /Subtype /Form", huge_tj)
    yield "form_repeats_huge_string", b.build()

    # One content stream drawn by every page, each drawing of it a million
    # characters through forms: a file of a few kilobytes whose text passes
    # the document's floor, which the call must refuse rather than cut.
    res3 = "<< /Font << /F1 300 0 R >> /XObject << /A 301 0 R /B 302 0 R >> >>"
    pages = 40
    b = PdfBuilder()
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.object(2, "<< /Type /Pages /Kids [%s] /Count %d >>"
             % (" ".join(f"{10 + i} 0 R" for i in range(pages)), pages))
    b.object(300, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    b.stream(301, "/Type /XObject /Subtype /Form /Resources " + res3, "/B Do " * 250)
    b.stream(302, "/Type /XObject /Subtype /Form /Resources " + res3,
             "BT /F1 12 Tf (abcd) Tj ET")
    b.stream(303, "", "/A Do " * 1000)
    for i in range(pages):
        b.object(10 + i, "<< /Type /Page /Parent 2 0 R /Contents 303 0 R /Resources %s >>" % res3)
    yield "page_repeated_past_the_text_floor", b.build()

    b = simple_document(["/Fm1 Do"], res)
    b.stream(21, "/Type /XObject /Subtype /Form /Resources " + res, "/Fm2 Do")
    b.stream(22, "/Type /XObject /Subtype /Form /Resources 23 0 R", "/Fm1 Do")
    b.object(23, "<< /XObject << /Fm1 21 0 R >> /Font 23 0 R >>")
    yield "form_mutual_recursion", b.build()

    # Page-tree shapes.
    b = PdfBuilder()
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.object(2, "<< /Type /Pages /Kids [2 0 R 3 0 R] /Count 1 >>")
    b.object(3, "<< /Type /Pages /Kids [2 0 R 3 0 R 4 0 R] /Parent 2 0 R >>")
    b.object(4, "<< /Type /Page /Parent 3 0 R >>")
    yield "page_tree_cycle", b.build()

    # A tree that is not a cycle but names the same node 200 times at each
    # of four levels: 1.6 billion paths to one page.
    b = PdfBuilder()
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>")
    for node, child in ((2, 3), (3, 4), (4, 5), (5, 6)):
        b.object(node, "<< /Type /Pages /Kids [" + f"{child} 0 R " * 200 + "] /Count 1 >>")
    b.object(6, "<< /Type /Page /Contents 7 0 R >>")
    b.stream(7, "", "BT (p) Tj ET")
    yield "page_tree_exponential", b.build()

    b = PdfBuilder()
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>")
    kids = "".join(f"{n} 0 R " for n in range(3, 100_003))
    b.object(2, "<< /Type /Pages /Kids [" + kids + "] /Count 4294967295 >>")
    yield "page_tree_dangling_kids", b.build()

    b = PdfBuilder()
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>")
    depth = 100_000
    for n in range(2, depth):
        b.object(n, f"<< /Type /Pages /Kids [{n + 1} 0 R] >>")
    b.object(depth, "<< /Type /Page >>")
    yield "page_tree_deep_chain", b.build()

    annots = "/Annots [20 0 R 20 0 R 21 0 R]"
    b = simple_document(["BT (a) Tj ET"], page_extra=annots)
    b.object(20, "<< /Type /Annot /Subtype /Link /Rect [0 0 1 1] /A 20 0 R >>")
    b.object(21, "<< /Subtype /Link /Rect 21 0 R /A << /URI 21 0 R >> /Annots [21 0 R] >>")
    yield "annots_self_reference", b.build()

    b = simple_document(["BT (a) Tj ET"], page_extra="/Annots 20 0 R")
    b.object(20, "[20 0 R 3 0 R " + "21 0 R " * 100_000 + "]")
    b.object(21, "<< /Subtype /Link /Rect [0 0 1 1] /A << /S /URI /URI (http://x.invalid) >> >>")
    yield "annots_array_cycle", b.build()

    # A stream whose /Length is its own object, and two that name each other.
    b = simple_document([""])
    b.stream(4, "", "BT (a) Tj ET", length="4 0 R")
    yield "length_refers_to_itself", b.build()
    b = simple_document(["", ""])
    b.stream(4, "", "BT (a) Tj ET", length="6 0 R")
    b.stream(6, "", "BT (b) Tj ET", length="4 0 R")
    yield "lengths_refer_to_each_other", b.build()

    b = simple_document(["BT /F1 12 Tf (a) Tj ET"], "<< /Font << /F1 20 0 R >> >>")
    b.object(20, "<< /Type /Font /Subtype /Type0 /DescendantFonts [20 0 R] /Encoding 20 0 R "
                 "/ToUnicode 20 0 R >>")
    yield "font_refers_to_itself", b.build()

    b = simple_document(["BT /F1 12 Tf (a) Tj ET"], "20 0 R")
    b.object(20, "<< /Font 20 0 R /XObject 20 0 R /F1 20 0 R >>")
    yield "resources_refer_to_themselves", b.build()


def absurd_numbers() -> Iterator[tuple[str, bytes]]:
    doc = simple_document(["BT (a) Tj ET"])
    yield "size_huge_table", doc.build(trailer="/Size 4294967295 /Root 1 0 R")
    yield "size_huge_stream", doc.build(xref=XrefStyle.STREAM,
                                        trailer="/Size 4294967295 /Root 1 0 R")
    yield "size_negative", doc.build(trailer="/Size -1 /Root 1 0 R")
    yield "startxref_huge", doc.build(startxref="99999999999999999999")

    table = doc.build()
    yield "xref_subsection_huge", table.replace(b"xref\n0 ", b"xref\n0 4294967295\n0 ", 1)
    yield "xref_subsection_start_huge", table.replace(b"xref\n0 ", b"xref\n4294967290 ", 1)

    rows = bytes([1, 0, 0, 0, 15, 0]) * 8
    for name, entries in [
        ("w_huge", b"/W [255 255 255] /Size 5"),
        ("w_wide_total", b"/W [4294967295 4294967295 2] /Size 5"),
        ("w_negative", b"/W [-1 4 1] /Size 5"),
        ("w_zero", b"/W [0 0 0] /Size 4294967295"),
        ("w_many", b"/W [" + b"1 " * 100_000 + b"] /Size 5"),
        ("index_huge_count", b"/W [1 4 1] /Index [0 4294967295] /Size 5"),
        ("index_huge_start", b"/W [1 4 1] /Index [4294967290 100] /Size 5"),
        ("index_many_pairs", b"/W [1 4 1] /Index [" + b"0 1 " * 200_000 + b"] /Size 5"),
        ("index_negative", b"/W [1 4 1] /Index [-5 -3] /Size 5"),
    ]:
        yield "xref_stream_" + name, with_xref_stream(doc, entries=entries, rows=rows)

    def objstm(entries: bytes, body: bytes) -> bytes:
        # The page (3) and object 21 are read from the stream.
        b = simple_document(["BT (a) Tj ET"])
        b.stream(20, b"/Type /ObjStm " + entries, body)
        return with_xref_stream(b, {3: (20, 0), 21: (20, 1)})

    for name, entries, body in [
        ("n_huge", b"/N 4294967295 /First 10", b"21 0 22 5 (a) (b)"),
        ("n_negative", b"/N -7 /First 4", b"21 0 (a)"),
        ("first_huge", b"/N 1 /First 4294967295", b"21 0 (a)"),
        ("first_negative", b"/N 1 /First -100", b"21 0 (a)"),
        ("offset_huge", b"/N 1 /First 5", b"21 99999999999 (a)"),
        ("n_fills_header", b"/N 100000000 /First 2000000",
         b"21 0 " * 400_000 + b"(a)"),
    ]:
        yield "objstm_" + name, objstm(entries, body)

    # An object stream that holds itself, and two that hold each other, as
    # cross-reference stream entries say.
    b = simple_document(["BT (a) Tj ET"])
    b.stream(20, b"/Type /ObjStm /N 1 /First 5", b"3 0 (a)")
    yield "objstm_contains_itself", with_xref_stream(b, {3: (20, 0), 20: (20, 0)})
    yield "objstm_pair_contain_each_other", with_xref_stream(
        b, {3: (20, 0), 20: (21, 0), 21: (20, 0)})
    b = simple_document(["BT (a) Tj ET"])
    b.stream(20, b"/Type /ObjStm /N 1 /First 5", b"3 0 (a)", length="20 0 R")
    yield "objstm_length_inside_itself", with_xref_stream(b, {3: (20, 0)})

    b = simple_document([""])
    b.stream(4, "", "BT (a) Tj ET", length="99999999999999999999")
    yield "length_huge", b.build()
    b = simple_document([""])
    b.stream(4, "", "BT (a) Tj ET", length="4294967296")
    yield "length_past_32_bits", b.build()
    b = simple_document([""])
    b.stream(4, "", "BT (a) Tj ET", length="-9223372036854775808")
    yield "length_most_negative", b.build()
    b = simple_document([""])
    b.stream(4, "", "BT (a) Tj ET", length="1e300")
    yield "length_real", b.build()

    res = "<< /Font << /F1 20 0 R /F2 21 0 R >> >>"
    b = simple_document(["BT /F1 12 Tf (abc) Tj /F2 12 Tf <0001> Tj ET"], res)
    b.object(20, "<< /Type /Font /Subtype /Type1 /FirstChar 4294967295 /LastChar 0 "
                 "/Widths [1 2 3] >>")
    b.object(21, "<< /Type /Font /Subtype /Type0 /DescendantFonts [22 0 R] >>")
    b.object(22, "<< /Subtype /CIDFontType2 /W [0 4294967295 500 4294967295 [1 2 3] "
                 "-5 -1 7] /DW 1e308 >>")
    yield "font_width_ranges_huge", b.build()

    b = simple_document(["BT /F1 12 Tf (a) Tj ET"], "<< /Font << /F1 20 0 R >> >>")
    b.object(20, "<< /Type /Font /Subtype /Type1 /FirstChar 0 /LastChar 4294967295 "
                 "/Widths [" + "1 " * 1000 + "] /Encoding << /Differences [4294967295 /a "
                 "-1 /b 255 /c /d /e] >> >>")
    yield "font_last_char_huge", b.build()

    cmap = (b"1 beginbfrange <00000000> <FFFFFFFF> <0000> endbfrange\n"
            b"1 beginbfrange <0000> <FFFF> [" + b"<0041> " * 10 + b"] endbfrange\n"
            b"1 begincidrange <00000000> <FFFFFFFF> 0 endcidrange\n"
            b"2 beginbfchar <" + b"41" * 100_000 + b"> <0042> <00> <" + b"00" * 100_000
            + b"> endbfchar\n")
    b = simple_document(["BT /F1 12 Tf (abc) Tj ET"], "<< /Font << /F1 20 0 R >> >>")
    b.object(20, "<< /Type /Font /Subtype /Type0 /ToUnicode 21 0 R >>")
    b.stream(21, b"", cmap)
    yield "cmap_ranges_huge", b.build()

    b = simple_document(["BT /F1 12 Tf 1e308 1e308 Td (a) Tj 1e308 0 0 1e308 0 0 Tm (b) Tj "
                         "-1e308 Tz 1e308 TL T* (c) Tj 1e308 Tc (ddd) Tj ET "
                         "1e308 0 0 1e308 1e308 1e308 cm 0 0 0 0 0 0 cm /Im1 Do"],
                        "<< /Font << /F1 20 0 R >> /XObject << /Im1 21 0 R >> >>")
    b.object(20, "<< /Type /Font /Subtype /Type1 /FirstChar 0 /LastChar 255 "
                 "/Widths [" + "1e308 " * 256 + "] >>")
    b.stream(21, "/Subtype /Image /Width 1e308 /Height -1 /BitsPerComponent 4294967296", "x")
    yield "numbers_at_double_limits", b.build()

    b = simple_document(["BT /F1 12 Tf " + "(a) Tj " * 2_000_000 + "ET"])
    yield "many_text_operators", b.build()

    b = simple_document(["BT " + "1 " * 3_000_000 + "Tj ET"])
    yield "operand_stack_flood", b.build()


def recovery_cases() -> Iterator[tuple[str, bytes]]:
    # Many object headers, none of them a catalogue and none closing its
    # dictionary, so a scanner that reads every dictionary to its end reads
    # the rest of the file each time.
    headers = b"".join(b"%d 0 obj << /K /V " % n for n in range(1, 400_000))
    yield "recovery_unclosed_dicts", b"%PDF-1.7\n" + headers
    yield "recovery_only_obj_keywords", b"%PDF-1.7\n" + b"1 0 obj " * 1_000_000
    yield "recovery_obj_without_headers", b"%PDF-1.7\n" + b"obj" * 2_000_000
    yield "recovery_catalog_last", (b"%PDF-1.7\n" + headers
                                    + b"1 0 obj << /Type /Catalog >> endobj\n")
    yield "recovery_huge_numbers", b"%PDF-1.7\n" + b"99999999999999999999 0 obj << >>\n" * 1000


def truncations() -> Iterator[tuple[str, bytes]]:
    """A document with every structure the reader knows, cut at the start and
    end of each of them."""
    res = "<< /Font << /F1 20 0 R >> /XObject << /Im1 22 0 R /Fm1 23 0 R >> >>"
    for style in (XrefStyle.TABLE, XrefStyle.STREAM):
        b = simple_document(["BT /F1 12 Tf 72 700 Td (Hello) Tj ET /Im1 Do /Fm1 Do"] * 2, res,
                            page_extra="/Annots [24 0 R]")
        b.object(20, "<< /Type /Font /Subtype /Type0 /DescendantFonts [21 0 R] /ToUnicode 25 0 R >>")
        b.object(21, "<< /Subtype /CIDFontType2 /W [0 [500 600]] >>")
        b.filtered_stream(22, "/Subtype /Image /Width 1 /Height 1 /ColorSpace /DeviceGray "
                              "/BitsPerComponent 8", "\x80", "FlateDecode")
        b.filtered_stream(23, "/Subtype /Form", "BT /F1 9 Tf (form) Tj ET", "FlateDecode")
        b.object(24, "<< /Subtype /Link /Rect [0 0 9 9] /A << /URI (http://x.invalid) >> >>")
        b.filtered_stream(25, "", "1 beginbfchar <48> <0041> endbfchar", "LZWDecode")
        pdf = b.build(xref=style)
        marks = (b" obj", b"endobj", b"stream", b"endstream", b"xref", b"trailer",
                 b"startxref", b"<<", b">>", b"[", b"]", b"%%EOF")
        cuts = set()
        for mark in marks:
            start = pdf.find(mark)
            while start != -1:
                cuts.update((start, start + len(mark)))
                start = pdf.find(mark, start + 1)
        for cut in sorted(cuts):
            yield f"truncated_{style.value}_{cut:06d}", pdf[:cut]


def dense_text() -> Iterator[tuple[str, bytes]]:
    """Pages of 500,000 characters, for layout work that must stay near
    linear: dense lines, and a staircase of words whose whitespace
    gaps all differ, so that every level of the column and row cuts finds
    something to split off."""
    res = "<< /Font << /F1 20 0 R >> >>"
    # Small enough for all 5,000 lines to lie on the page.
    line = "(" + "abcdefghij " * 9 + "abcdefghi) Tj 0 -0.15 Td\n"
    content = "BT /F1 0.12 Tf 20 770 Td\n" + line * 5000 + "ET"
    b = simple_document([""], res)
    b.stream(4, b"/Filter /FlateDecode", flate(content))
    b.object(20, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    yield "dense_text_lines", b.build()

    # Words of ten letters rather than lone glyphs: a result of 500,000
    # one-character blocks would measure the Python objects, not the layout.
    # The largest page there is, so that every step lies on it.
    glyphs = "".join(f"1 0 0 1 {1000 + 0.25 * i:.2f} {0.15 * i + 0.000002 * i * i:.4f} Tm "
                     "(stairsteps) Tj\n" for i in range(50_000))
    b = PdfBuilder()
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.object(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
    b.object(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 14400 14400] /Contents 4 0 R "
                "/Resources " + res + " >>")
    b.stream(4, b"/Filter /FlateDecode", flate("BT /F1 0.2 Tf\n" + glyphs + "ET"))
    b.object(20, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    yield "dense_text_staircase", b.build()


def full_reader_cases() -> Iterator[tuple[str, bytes]]:
    """Structures only the full reader follows: /Prev chains, predictors,
    object streams found by recovery, inherited resources, encryption."""
    import zlib

    base = one_page("BT /F1 12 Tf 72 700 Td (a) Tj ET")
    at = base.rindex(b"startxref")
    xref_at = int(base[at + 10:].split()[0])
    tail = base.rindex(b"trailer")
    # A /Prev pointing at itself, and a long chain of sections each naming
    # the one before.
    yield "prev_self_loop", base[:tail] + base[tail:].replace(b"/Root 1 0 R", b"/Root 1 0 R /Prev %d" % xref_at)
    chain = bytearray(base[:at])
    prev = xref_at
    for _ in range(20000):
        here = len(chain)
        chain += b"xref\n0 0\ntrailer\n<< /Size 6 /Root 1 0 R /Prev %d >>\n" % prev
        prev = here
    chain += b"startxref\n%d\n%%%%EOF\n" % prev
    yield "prev_chain_20000", bytes(chain)
    # Predictor parameters that would ask for gigabytes per row.
    for name, parms in (("predictor_huge_columns", b"/Predictor 12 /Columns 2147483647"),
                        ("predictor_huge_colors", b"/Predictor 15 /Colors 100000 /Columns 100000"),
                        ("predictor_tiff_odd_bits", b"/Predictor 2 /BitsPerComponent 3 /Columns 7")):
        body = zlib.compress(bytes(64))
        b = simple_document(["BT (a) Tj ET"])
        b.object(9, b"<< /Length %d /Filter /FlateDecode /DecodeParms << %s >> >>\nstream\n" % (len(body), parms)
                 + body + b"\nendstream")
        b.object(3, "<< /Type /Page /Parent 2 0 R /Contents 9 0 R >>")
        yield name, b.build()
    # Many object streams for the recovery scan to unpack.
    out = bytearray(b"%PDF-1.7\n")
    for n in range(2000):
        body = zlib.compress(b"%d 0 << /Type /Catalog >>" % (10000 + n))
        out += (b"%d 0 obj\n<< /Type /ObjStm /N 1 /First 8 /Filter /FlateDecode /Length %d >>\nstream\n"
                % (n + 1, len(body)) + body + b"\nendstream\nendobj\n")
    yield "recovery_many_object_streams", bytes(out) + b"%%EOF\n"
    # Style facts out of range: a name of a mebibyte, descriptor numbers
    # past every threshold, a program whose OS/2 and head tables are cut
    # short, rises and render modes at the extremes.
    sfnt = (b"\x00\x01\x00\x00\x00\x02" + b"\x00" * 6 + b"OS/2" + b"\x00" * 4
            + b"\x00\x00\x00\x2c\xff\xff\xff\xff" + b"head" + b"\x00" * 4
            + b"\x00\x00\x00\x2c\x00\x00\x00\x30" + b"\xff" * 4)
    b = simple_document(["BT /F1 12 Tf 2 Tr 1e308 Ts (ab) Tj -1e308 Ts 7 Tr (cd) Tj "
                         "/F2 0 Tf 99 Ts <0041> Tj ET"], "<< /Font << /F1 20 0 R /F2 22 0 R >> >>")
    b.object(20, b"<< /Type /Font /Subtype /Type1 /BaseFont /" + b"Bold" * 262144
             + b" /FontDescriptor 21 0 R >>")
    b.object(21, "<< /Type /FontDescriptor /Flags -1 /ItalicAngle -1e400 /FontWeight 1e308 >>")
    b.object(22, "<< /Type /Font /Subtype /Type0 /Encoding /Identity-H /DescendantFonts [23 0 R] >>")
    b.object(23, "<< /Subtype /CIDFontType2 /BaseFont /ABCDEF+ /FontDescriptor 24 0 R >>")
    b.object(24, "<< /Type /FontDescriptor /Flags 4294967296 /FontFile2 25 0 R >>")
    b.stream(25, "", sfnt)
    yield "font_style_extremes", b.build()
    # Encryption dictionaries a hostile writer might hand over.
    for name, encrypt in (
        ("encrypt_absurd_key_length", b"<< /Filter /Standard /V 2 /R 3 /Length 4294967296 /O <00> /U <00> /P -1 >>"),
        ("encrypt_negative_key_length", b"<< /Filter /Standard /V 2 /R 3 /Length -8 /O <00> /U <00> /P -1 >>"),
        ("encrypt_r6_truncated_ue", b"<< /Filter /Standard /V 5 /R 6 /Length 256 /O <" + b"00" * 48
         + b"> /U <" + b"00" * 48 + b"> /OE <0000> /UE <00> /P -1 >>"),
        ("encrypt_not_a_dictionary", b"42"),
    ):
        b = simple_document(["BT (a) Tj ET"])
        b.object(9, encrypt)
        yield name, b.build(trailer_extra=b"/Encrypt 9 0 R /ID [<0011223344556677> <00>]")


def document_facts() -> Iterator[tuple[str, bytes]]:
    """Outlines, name and number trees and forms built to loop or to be
    huge: document_info and internal links must stay bounded."""
    def catalog_with(b: PdfBuilder, entries: str) -> PdfBuilder:
        return b.object(1, "<< /Type /Catalog /Pages 2 0 R " + entries + " >>")

    b = catalog_with(simple_document(["BT (a) Tj ET"]), "/Outlines 20 0 R")
    b.object(20, "<< /First 21 0 R /Last 22 0 R >>")
    b.object(21, "<< /Title (a) /Parent 20 0 R /Next 22 0 R /First 22 0 R /Dest [3 0 R /Fit] >>")
    b.object(22, "<< /Title (b) /Parent 20 0 R /Next 21 0 R /First 21 0 R /Dest (n) >>")
    yield "outline_loop", b.build()

    n = 100_000
    b = catalog_with(simple_document(["BT (a) Tj ET"]), "/Outlines 20 0 R")
    b.object(20, "<< /First 21 0 R /Count %d >>" % n)
    for i in range(n):
        nxt = " /Next %d 0 R" % (22 + i) if i + 1 < n else ""
        b.object(21 + i, "<< /Title (e) /Dest [3 0 R /XYZ 0 %d 0]%s >>" % (i % 792, nxt))
    yield "outline_100000_entries", b.build()

    # A chain of children, each the first child of the last.
    b = catalog_with(simple_document(["BT (a) Tj ET"]), "/Outlines 20 0 R")
    b.object(20, "<< /First 21 0 R >>")
    for i in range(5000):
        b.object(21 + i, "<< /Title (d) /First %d 0 R >>" % (22 + i))
    yield "outline_deep_chain", b.build()

    b = catalog_with(simple_document(["BT (a) Tj ET"], page_extra="/Annots [40 0 R]"),
                     "/Names << /Dests 30 0 R >> /PageLabels 35 0 R /Outlines 20 0 R")
    b.object(20, "<< /First 21 0 R >>")
    b.object(21, "<< /Title (a) /Dest (missing) >>")
    b.object(30, "<< /Kids [31 0 R 30 0 R] >>")
    b.object(31, "<< /Kids [30 0 R 31 0 R] /Names [(x) [3 0 R /Fit]] >>")
    b.object(35, "<< /Kids [36 0 R 35 0 R] >>")
    b.object(36, "<< /Kids [35 0 R] /Nums [0 << /S /r /St 2000000000 >>] >>")
    b.object(40, "<< /Subtype /Link /Rect [0 0 1 1] /Dest (missing) >>")
    yield "name_tree_cycle", b.build()

    b = catalog_with(simple_document(["BT (a) Tj ET"]), "/AcroForm << /Fields [20 0 R] >>")
    b.object(20, "<< /T (a) /FT /Tx /Kids [21 0 R 20 0 R] >>")
    b.object(21, "<< /T (b) /Kids [20 0 R 21 0 R] /V (v) >>")
    yield "form_field_cycle", b.build()

    # One link of 200 KB named 100,000 times by its page: the annotation
    # scans read each annotation without keeping it, and must not parse this
    # one once per mention.
    b = simple_document(["BT (a) Tj ET"], page_extra="/Annots [" + "20 0 R " * 100_000 + "]")
    b.object(20, "<< /Subtype /Link /Rect [0 0 1 1] /A << /S /URI /URI (https://a.example/) >> "
                 "/QuadPoints [" + "0 " * 100_000 + "] >>")
    yield "annotation_named_100000_times", b.build()

    # A widget whose appearance draws itself.
    b = catalog_with(simple_document(["BT (a) Tj ET"], page_extra="/Annots [20 0 R]"),
                     "/AcroForm << /Fields [20 0 R] >>")
    b.object(20, "<< /Subtype /Widget /FT /Tx /T (w) /Rect [0 0 100 20] /AP << /N 21 0 R >> >>")
    b.stream(21, "/Type /XObject /Subtype /Form /BBox [0 0 100 20] "
                 "/Resources << /XObject << /X 21 0 R >> >>", "/X Do /X Do")
    yield "widget_appearance_draws_itself", b.build()


def paths_and_colours() -> Iterator[tuple[str, bytes]]:
    """Pages of vector drawing at and past the path limits, absurd
    coordinates, and colour spaces that refer to themselves or ask for
    huge palettes."""

    def page(content: str, resources: str = "", extra: Iterable[tuple[int, bytes]] = ()) -> bytes:
        b = simple_document([""], resources)
        b.stream(4, b"/Filter /FlateDecode", flate(content))
        for num, body in extra:
            b.object(num, body)
        return b.build()

    yield "paths_100000_rectangles", page("".join(
        f"{i % 500} {i // 500 % 700} 1 1 re f\n" for i in range(100_000)))
    yield "paths_3000000_points", page("0 0 m\n" + "1 1 l 2 0 l\n" * 1_500_000 + "S")
    yield "paths_300000_strokes", page("0 0 m 1 1 l S\n" * 300_000)
    yield "paths_absurd_coordinates", page(
        "1e308 1e308 1e308 1e308 re f -1e308 0 m 1e308 0 l S 1e308 0 0 1e308 0 0 cm "
        "0 0 10 10 re B 0 0 0 0 0 0 cm 5 5 m 6 6 l 1 2 3 4 5 6 c h S" + " q 0 0 1 1 re W n" * 5000
        + " 0 0 1 1 re f" + " Q" * 6000)
    # A colour space that names itself through an ICC profile's alternate,
    # a palette whose lookup is a decompression bomb, DeviceN with a million
    # colourants, and thousands of named spaces.
    bomb = flate_zeros(16 << 20)
    yield "colour_spaces_hostile", page(
        "/A cs 1 sc /B cs 255 sc /C cs 1 1 1 sc /D CS 0.5 SC 0 0 5 5 re B "
        "/E cs 2147483647 sc 1 1 1 1 re f BT 1 0 0 rg (x) Tj ET",
        "<< /ColorSpace << /A [/ICCBased 20 0 R] /B [/Indexed /DeviceRGB 255 21 0 R] "
        "/C [/DeviceN 22 0 R /DeviceRGB 23 0 R] /D [/Indexed [/Indexed /DeviceGray 1 <00>] 1 "
        "<00>] /E [/Indexed 24 0 R 2147483647 (x)] >> >>",
        [(20, b"<< /Alternate [/ICCBased 20 0 R] /N 3 /Length 0 >>\nstream\n\nendstream"),
         (21, b"<< /Filter /FlateDecode /Length %d >>\nstream\n" % len(bomb) + bomb
          + b"\nendstream"),
         (22, b"[" + b"/N " * 1_000_000 + b"]"),
         (23, b"<< /FunctionType 2 /Domain [0 1] /N 1 >>"),
         (24, b"[/Indexed 24 0 R 1 <00>]")])
    many = " ".join(f"/S{i} [/ICCBased 20 0 R]" for i in range(100_000))
    yield "colour_spaces_100000_names", page(
        "/S5 cs 0 0 1 sc 0 0 5 5 re f", "<< /ColorSpace << " + many + " >> >>",
        [(20, b"<< /N 4 /Length 0 >>\nstream\n\nendstream")])


def image_samples() -> Iterator[tuple[str, bytes]]:
    """Images made into samples: a soft mask far larger than its image and
    larger than the pixel limit, a huge image over a short stream, a palette
    through a chain of alternates that ends in itself, and a mask that is its
    own image."""
    res = "<< /XObject << /Im1 20 0 R /Im2 21 0 R /Im3 22 0 R /Im4 23 0 R >> >>"
    b = simple_document(["q 10 0 0 10 0 0 cm /Im1 Do /Im2 Do /Im3 Do /Im4 Do Q"], res)
    b.stream(20, b"/Type /XObject /Subtype /Image /Width 2 /Height 2 /BitsPerComponent 8 "
                 b"/ColorSpace /DeviceRGB /SMask 24 0 R", b"\xff" * 12)
    b.stream(24, b"/Type /XObject /Subtype /Image /Width 100000 /Height 100000 "
                 b"/BitsPerComponent 8 /ColorSpace /DeviceGray /Filter /FlateDecode",
             flate_zeros(64 << 20))
    b.stream(21, b"/Type /XObject /Subtype /Image /Width 11000 /Height 11000 /BitsPerComponent 8 "
                 b"/ColorSpace /DeviceRGB /SMask 25 0 R", b"\0" * 10)
    b.stream(25, b"/Type /XObject /Subtype /Image /Width 11000 /Height 11000 "
                 b"/BitsPerComponent 1 /ColorSpace /DeviceGray", b"\0")
    b.stream(22, b"/Type /XObject /Subtype /Image /Width 4 /Height 4 /BitsPerComponent 4 "
                 b"/ColorSpace [/Indexed [/ICCBased 26 0 R] 2147483647 <00>] /SMask 22 0 R",
             b"\x12" * 8)
    b.stream(26, b"/N 7 /Alternate [/ICCBased 26 0 R]", b"")
    b.stream(23, b"/Type /XObject /Subtype /Image /Width 3000 /Height 3000 /BitsPerComponent 16 "
                 b"/ColorSpace /DeviceCMYK /Filter /FlateDecode /SMask 20 0 R",
             flate_zeros(3000 * 3000 * 8))
    yield "image_samples_hostile", b.build()


def table_pages() -> Iterator[tuple[str, bytes]]:
    """Pages for the table finder: 10,000 crossing rules (a grid far past
    the cell limit), and a table of 5,000 rows, each under a rule."""
    res = "<< /Font << /F1 20 0 R >> >>"
    lines = [f"20 {20 + 0.15 * i:.2f} m 780 {20 + 0.15 * i:.2f} l" for i in range(5000)]
    lines += [f"{20 + 0.15 * i:.2f} 20 m {20 + 0.15 * i:.2f} 780 l" for i in range(5000)]
    content = "0.05 w\n" + "\n".join(lines) + "\nS\nBT /F1 8 Tf 100 100 Td (x) Tj 200 0 Td (y) Tj ET"
    b = simple_document([""], res)
    b.stream(4, b"/Filter /FlateDecode", flate(content))
    b.object(20, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    yield "table_crossing_rules_10000", b.build()

    rows = []
    for i in range(5000):
        y = 780 - 0.15 * i
        rows.append(f"BT /F1 0.12 Tf 30 {y:.2f} Td (row{i}) Tj 100 0 Td ({i * 7}) Tj "
                    f"100 0 Td ({i % 13}.5) Tj ET 20 {y - 0.02:.2f} m 400 {y - 0.02:.2f} l S")
    b = simple_document([""], res)
    b.stream(4, b"/Filter /FlateDecode", flate("0.01 w\n" + "\n".join(rows)))
    b.object(20, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    yield "table_rows_5000", b.build()


def markdown_structure() -> Iterator[tuple[str, bytes]]:
    """Pages whose Markdown would grow faster than their text: list items
    each further right than the one before (nesting), and a page of text
    under thousands of link rectangles."""
    res = "<< /Font << /F1 20 0 R >> >>"
    items = "".join(f"1 0 0 1 {20 + 0.5 * i:.1f} {780 - 0.15 * i:.2f} Tm (- item) Tj\n"
                    for i in range(5000))
    b = simple_document([""], res)
    b.stream(4, b"/Filter /FlateDecode", flate("BT /F1 0.12 Tf\n" + items + "ET"))
    b.object(20, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    yield "markdown_list_staircase", b.build()

    text = "BT /F1 10 Tf 20 780 Td\n" + "(linked words on a line) Tj 0 -12 Td\n" * 60 + "ET"
    annots = " ".join("<< /Type /Annot /Subtype /Link /Rect [0 0 612 792] "
                      f"/A << /S /URI /URI (https://example.org/{i}) >> >>" for i in range(20000))
    b = simple_document([text], res, page_extra=f"/Annots [{annots}]")
    b.object(20, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    yield "markdown_many_links", b.build()


GENERATORS: list[Callable[[], Iterator[tuple[str, bytes]]]] = [
    deep_nesting, bombs, forms_and_cycles, absurd_numbers, recovery_cases, truncations,
    full_reader_cases, dense_text, document_facts, paths_and_colours, table_pages,
    markdown_structure, image_samples,
]


def write_all(out: Path) -> list[Path]:
    out.mkdir(parents=True, exist_ok=True)
    paths = []
    for generate in GENERATORS:
        for name, data in generate():
            path = out / (name + ".pdf")
            path.write_bytes(data)
            paths.append(path)
    return paths


if __name__ == "__main__":
    for p in write_all(Path(sys.argv[1])):
        print(p)
