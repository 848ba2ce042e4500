#!/usr/bin/env python3
"""Writes the tiny CFF program that tests/core/fonts/cff_test.cpp embeds as
hex, so the test needs no font tools at run time.

Four glyphs, .notdef, A, B and my.alt (a name from the String INDEX), and a
custom encoding: A at 65 and again at 97 (a supplement), B at 66, my.alt at
200. Run with fontTools installed:  python3 scripts/make_test_cff.py
"""
import io

from fontTools.fontBuilder import FontBuilder
from fontTools.pens.t2CharStringPen import T2CharStringPen

GLYPHS = [".notdef", "A", "B", "my.alt"]


def build():
    fb = FontBuilder(1000, isTTF=False)
    fb.setupGlyphOrder(GLYPHS)
    empty = T2CharStringPen(500, None).getCharString()
    fb.setupCFF("Test", {"FullName": "Test"}, {g: empty for g in GLYPHS}, {})
    top = fb.font["CFF "].cff.topDictIndex[0]
    enc = [".notdef"] * 256
    enc[65], enc[66], enc[97], enc[200] = "A", "B", "A", "my.alt"
    top.Encoding = enc
    buf = io.BytesIO()
    fb.font["CFF "].cff.compile(buf, fb.font)
    return buf.getvalue()


def main():
    data = build()
    print(f"// {len(data)} bytes, written by scripts/make_test_cff.py")
    for i in range(0, len(data), 16):
        print("    " + " ".join(f"0x{b:02x}," for b in data[i : i + 16]))


if __name__ == "__main__":
    main()
