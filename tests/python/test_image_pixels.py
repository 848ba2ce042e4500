"""quarvel_full.image_pixels and the image writer that uses it: colour spaces
made into grey or RGB samples, soft masks as alpha, data kept as stored with
its mask beside it."""

from __future__ import annotations

import struct
import zlib

import pytest

import quarvel_full
from conftest import CORPUS_DIR
from pdfbuilder import simple_document
from tools_support import JPEG

from quarvel_tools.cli import main

MAX_PIXELS = 1 << 27  # core/resource_limits.h kMaxImagePixels

RGB = bytes([255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 9, 9])  # 2 x 2
ICC_GREY = "[/ICCBased 30 0 R]"
ICC_RGB = "[/ICCBased 31 0 R]"


def image_document(space: str, data: bytes, width: int, height: int, bpc: int = 8,
                   extra: str = "", mask: tuple[int, int, bytes] | None = None):
    b = simple_document(["q 10 0 0 10 0 0 cm /Im Do Q"], "<< /XObject << /Im 20 0 R >> >>")
    smask = " /SMask 21 0 R" if mask else ""
    b.stream(20, f"/Type /XObject /Subtype /Image /Width {width} /Height {height} "
                 f"/BitsPerComponent {bpc} /ColorSpace {space}{smask}{extra}", data)
    if mask:
        mw, mh, alpha = mask
        b.stream(21, f"/Type /XObject /Subtype /Image /Width {mw} /Height {mh} "
                     "/BitsPerComponent 8 /ColorSpace /DeviceGray /Filter /FlateDecode",
                 zlib.compress(alpha))
    b.stream(30, "/N 1 /Alternate /DeviceRGB", b"profile")
    b.stream(31, "/N 3", b"profile")
    b.stream(32, "/N 5 /Alternate /DeviceGray", b"profile")
    return b


def interleave(colour: bytes, alpha: bytes, channels: int) -> bytes:
    return b"".join(colour[i * channels:(i + 1) * channels] + alpha[i:i + 1]
                    for i in range(len(alpha)))


@pytest.mark.parametrize("space, data, bpc, channels, samples", [
    ("/DeviceRGB", RGB, 8, 3, RGB),
    (ICC_RGB, RGB, 8, 3, RGB),
    (ICC_GREY, b"\x00\x40\x80\xff", 8, 1, b"\x00\x40\x80\xff"),
    # /N neither 1, 3 nor 4: the alternate says how to read it.
    ("[/ICCBased 32 0 R]", b"\x00\x40\x80\xff", 8, 1, b"\x00\x40\x80\xff"),
    ("/DeviceCMYK", b"\xff\x00\x00\x00" * 3 + b"\x00\x00\x00\xff", 8, 3,
     b"\x00\xff\xff" * 3 + b"\x00\x00\x00"),
    # Palette entries read through a 2-bit index, one past hival clamped.
    ("[/Indexed /DeviceRGB 1 <ff0000 00ff00>]", b"\x10\xc0", 2, 3,
     b"\xff\x00\x00\x00\xff\x00" + b"\x00\xff\x00\xff\x00\x00"),
    ("[/Indexed [/ICCBased 30 0 R] 2 <00 80 ff>]", b"\x02\x01\x00\x02", 8, 1, b"\xff\x80\x00\xff"),
    ("/DeviceGray", b"\x40\x00", 1, 1, b"\x00\xff\x00\x00"),
    ("/DeviceGray", b"\x12\x34\x56\x78\x9a\xbc\xde\xf0", 16, 1, b"\x12\x56\x9a\xde"),
], ids=["rgb", "icc-rgb", "icc-grey", "icc-alternate", "cmyk", "indexed-2bit", "indexed-icc",
        "grey-1bit", "grey-16bit"])
def test_colours_become_grey_or_rgb_samples(write_pdf, space, data, bpc, channels, samples):
    path = write_pdf(image_document(space, data, 2, 2, bpc))
    got = quarvel_full.image_pixels(path, 20)
    assert got == {"width": 2, "height": 2, "channels": channels, "samples": samples, "mask": None}


def test_soft_mask_is_alpha_scaled_to_the_image(write_pdf):
    # A 1 x 2 mask over a 2 x 2 image: each mask row covers one image row.
    path = write_pdf(image_document("/DeviceRGB", RGB, 2, 2, mask=(1, 2, b"\x00\xff")))
    got = quarvel_full.image_pixels(path, 20)
    assert got["channels"] == 4
    assert got["samples"] == interleave(RGB, b"\x00\x00\xff\xff", 3)
    path = write_pdf(image_document(ICC_GREY, b"\x10\x20\x30\x40", 2, 2,
                                    mask=(4, 4, bytes(range(16)))))
    got = quarvel_full.image_pixels(path, 20)
    assert (got["channels"], got["samples"]) == (2, interleave(b"\x10\x20\x30\x40",
                                                               bytes([0, 2, 8, 10]), 1))


def test_jpeg_keeps_its_data_and_hands_its_mask_apart(write_pdf, tmp_path):
    doc = image_document("/DeviceRGB", JPEG, 2, 1, extra=" /Filter /DCTDecode",
                         mask=(2, 1, b"\x00\x80"))
    path = write_pdf(doc)
    got = quarvel_full.image_pixels(path, 20)
    assert (got["channels"], got["samples"], got["mask"]) == (0, b"", b"\x00\x80")
    assert main(["images", path, "-o", str(tmp_path / "out")]) == 0
    written = sorted(p.name for p in (tmp_path / "out").iterdir())
    assert written == ["doc0-p0-0-mask.png", "doc0-p0-0.jpg"]
    assert (tmp_path / "out" / "doc0-p0-0.jpg").read_bytes() == JPEG


def read_png(data: bytes) -> tuple[int, int, int, bytes]:
    """(width, height, colour type, unfiltered samples) of a PNG the writer made."""
    width, height, _, colour_type = struct.unpack(">IIBB", data[16:26])
    idat = data[data.index(b"IDAT") + 4:data.index(b"IEND") - 8]
    raw = zlib.decompress(idat)
    channels = {0: 1, 2: 3, 4: 2, 6: 4}[colour_type]
    stride = width * channels + 1
    assert all(raw[row * stride] == 0 for row in range(height))
    return width, height, colour_type, b"".join(raw[row * stride + 1:(row + 1) * stride]
                                                for row in range(height))


def test_writer_makes_rgba_png_from_a_masked_image(write_pdf, tmp_path):
    path = write_pdf(image_document(ICC_RGB, zlib.compress(RGB), 2, 2,
                                    extra=" /Filter /FlateDecode", mask=(2, 2, b"\x00\x55\xaa\xff")))
    assert main(["images", path, "-o", str(tmp_path)]) == 0
    png = read_png((tmp_path / "doc0-p0-0.png").read_bytes())
    assert png == (2, 2, 6, interleave(RGB, b"\x00\x55\xaa\xff", 3))


@pytest.mark.parametrize("width, refused", [(MAX_PIXELS, False), (MAX_PIXELS + 1, True)])
def test_pixel_limit(write_pdf, width, refused):
    # Four bytes of data for the largest allowed size: short data is handed
    # back as stored, never read past its end.
    path = write_pdf(image_document("/DeviceGray", b"\0" * 4, width, 1))
    if refused:
        with pytest.raises(ValueError, match="too many pixels"):
            quarvel_full.image_pixels(path, 20)
    else:
        assert quarvel_full.image_pixels(path, 20)["channels"] == 0


def test_objects_that_are_not_images_are_refused(write_pdf):
    path = write_pdf(image_document("/DeviceGray", b"\0", 1, 1))
    with pytest.raises(ValueError, match="not an image"):
        quarvel_full.image_pixels(path, 4)
    with pytest.raises(ValueError):
        quarvel_full.image_pixels(path, 0)


def test_corpus_logo_drawn_through_a_soft_mask_is_not_a_black_box(tmp_path):
    path = CORPUS_DIR / "pdfjs-tracemonkey.pdf"
    if not path.exists():
        pytest.skip("corpus absent")
    _, images = quarvel_full.extract(str(path))
    masked = [quarvel_full.image_pixels(str(path), i["xref"]) for i in images]
    masked = [m for m in masked if m["channels"] in (2, 4)]
    assert masked
    # Shadows and strokes drawn through their masks: clear around the shape,
    # covered (if faintly) on it; never the opaque box of before.
    alphas = [m["samples"][m["channels"] - 1::m["channels"]] for m in masked]
    assert any(min(alpha) == 0 < max(alpha) for alpha in alphas)
