"""What the tests of quarvel_tools share: the repository's python/ folder on
the path, and a small document with text on two pages, four kinds of image
and a link."""

from __future__ import annotations

import os
import sys
import zlib
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[2]
TOOLS_DIR = REPO_ROOT / "python"
if str(TOOLS_DIR) not in sys.path:
    sys.path.insert(0, str(TOOLS_DIR))

from pdfbuilder import PdfBuilder  # noqa: E402

RGB = bytes(range(12))            # 2 x 2 DeviceRGB
GRAY = b"\x00\x80\xff"            # 3 x 1 DeviceGray
JPEG = b"\xff\xd8\xff\xe0stored as is\xff\xd9"


def tools_env() -> dict[str, str]:
    """The environment of a child process that runs the command."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(TOOLS_DIR), *[p for p in sys.path if p and Path(p).is_dir()]])
    return env


def sample_document() -> PdfBuilder:
    b = PdfBuilder()
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>")
    b.object(2, "<< /Type /Pages /Kids [3 0 R 5 0 R] /Count 2 >>")
    images = "<< /XObject << /Rgb 10 0 R /Gray 11 0 R /Bits 12 0 R /Jpeg 13 0 R >> >>"
    b.object(3, f"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R "
                f"/Resources {images} >>")
    # One line of three spans (a word gap, then a gap narrower than a space)
    # above a second line.
    b.stream(4, "", "BT 1 0 0 1 72 700 Tm (Left) Tj 1 0 0 1 110 700 Tm (Right) Tj "
                    "1 0 0 1 146.5 700 Tm (er) Tj ET "
                    "BT 1 0 0 1 72 680 Tm (Below) Tj ET "
                    "q 20 0 0 20 10 20 cm /Rgb Do Q q 20 0 0 20 40 20 cm /Gray Do Q "
                    "q 20 0 0 20 70 20 cm /Bits Do Q q 20 0 0 20 100 20 cm /Jpeg Do Q")
    b.object(5, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 6 0 R "
                "/Annots [<< /Subtype /Link /Rect [70 590 130 610] "
                "/A << /S /URI /URI (https://example.org/x) >> >>] >>")
    b.stream(6, "", "BT 1 0 0 1 72 600 Tm (Second) Tj ET")
    b.stream(10, "/Subtype /Image /Width 2 /Height 2 /BitsPerComponent 8 "
                 "/ColorSpace /DeviceRGB /Filter /FlateDecode", zlib.compress(RGB))
    b.stream(11, "/Subtype /Image /Width 3 /Height 1 /BitsPerComponent 8 "
                 "/ColorSpace /DeviceGray /Filter /FlateDecode", zlib.compress(GRAY))
    b.stream(12, "/Subtype /Image /Width 8 /Height 1 /BitsPerComponent 1 "
                 "/ColorSpace /DeviceGray /Filter /FlateDecode", zlib.compress(b"\xaa"))
    b.stream(13, "/Subtype /Image /Width 1 /Height 1 /BitsPerComponent 8 "
                 "/ColorSpace /DeviceRGB /Filter /DCTDecode", JPEG)
    return b
