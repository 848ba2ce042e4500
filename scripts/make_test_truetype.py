#!/usr/bin/env python3
"""Writes the tiny TrueType font that tests/core/fonts/truetype_test.cpp
embeds as hex, so the test needs no font tools at run time.

The font has six glyphs and every cmap subtable shape the reader chooses
between: (3,1) format 4, (3,10) format 12 reaching past the BMP, a (3,0)
symbol subtable on the 0xF000 page, a (1,0) Mac Roman subtable, and a
format 2 post table with a name from its own pool. Run with fontTools
installed:  python3 scripts/make_test_truetype.py
"""
import io

from fontTools.fontBuilder import FontBuilder
from fontTools.ttLib.tables._c_m_a_p import CmapSubtable

GLYPHS = [".notdef", "A", "B", "uni4E9C", "u1F600", "my.alt"]


def subtable(fmt, platform, encoding, mapping):
    st = CmapSubtable.newSubtable(fmt)
    st.platformID, st.platEncID, st.language = platform, encoding, 0
    st.cmap = mapping
    return st


def build():
    fb = FontBuilder(1000, isTTF=True)
    fb.setupGlyphOrder(GLYPHS)
    # B is reachable from two code points; the lower one must win when the
    # map is reversed. my.alt has no code point at all.
    bmp = {0x41: "A", 0x42: "B", 0x62: "B", 0x4E9C: "uni4E9C"}
    fb.setupCharacterMap(bmp)
    full = dict(bmp)
    full[0x1F600] = "u1F600"
    fb.font["cmap"].tables = [
        subtable(6, 1, 0, {0x41: "B", 0x42: "A"}),  # deliberately swapped
        subtable(4, 3, 0, {0xF041: "A", 0xF061: "my.alt"}),
        subtable(4, 3, 1, bmp),
        subtable(12, 3, 10, full),
    ]
    from fontTools.pens.ttGlyphPen import TTGlyphPen
    empty = TTGlyphPen(None).glyph()
    fb.setupGlyf({g: empty for g in GLYPHS})
    fb.setupHorizontalMetrics({g: (500, 0) for g in GLYPHS})
    fb.setupHorizontalHeader(ascent=800, descent=-200)
    fb.setupPost(keepGlyphNames=True)  # format 2
    fb.setupMaxp()
    # Only what the reader and a well-formed directory need.
    for t in ("name", "OS/2"):
        if t in fb.font:
            del fb.font[t]
    # Fixed timestamps, so the bytes are the same on every run.
    fb.updateHead(created=0, modified=0)
    fb.font.recalcTimestamp = False
    buf = io.BytesIO()
    fb.font.save(buf)
    return buf.getvalue()


def main():
    data = build()
    print(f"// {len(data)} bytes, written by scripts/make_test_truetype.py")
    for i in range(0, len(data), 16):
        print("    " + " ".join(f"0x{b:02x}," for b in data[i : i + 16]))


if __name__ == "__main__":
    main()
