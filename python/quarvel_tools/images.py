"""Image data as files a viewer opens.

The reader's "jpeg" and "jpx" data are the files as stored. Its "png" label
means samples, not a PNG file: 8-bit DeviceGray and DeviceRGB samples whose
size matches width x height are wrapped into a real PNG here; any other data
(other colour spaces, depths, filters left in place) is written as .bin with
a JSON sidecar saying how to read it.

Given the full reader's `image_pixels` (as `pixels`, called with the image's
xref), the writer asks it for 8-bit samples instead: ICC-based, calibrated,
CMYK and Indexed images then come out as grey or RGB PNGs, and a soft mask
as their alpha. JPEG and JPEG 2000 data stays as stored; its soft mask goes
beside it as STEM-mask.png (grey, at the image's size).
"""

from __future__ import annotations

import json
import struct
import zlib
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any

_PNG_COLOUR_TYPES = {"DeviceGray": (0, 1), "DeviceRGB": (2, 3)}
# PNG colour type by channels: grey, grey and alpha, RGB, RGB and alpha.
_CHANNEL_COLOUR_TYPES = {1: 0, 2: 4, 3: 2, 4: 6}
Pixels = Callable[[int], Mapping[str, Any]]
_SIGNATURES = {"jpeg": (b"\xff\xd8", "jpg"), "jpx": (b"", "jp2")}


def _chunk(kind: bytes, data: bytes) -> bytes:
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def png_bytes(samples: bytes, width: int, height: int, colour_type: int, channels: int) -> bytes:
    stride = width * channels
    # Every row starts with filter type 0 (none): the samples go in as they are.
    raw = b"".join(b"\0" + samples[row * stride:(row + 1) * stride] for row in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", header) + _chunk(b"IDAT", zlib.compress(raw, 6))
            + _chunk(b"IEND", b""))


def image_file(image: Mapping[str, Any]) -> tuple[str, bytes, dict[str, Any] | None]:
    """(extension, bytes to write, sidecar or None) for one image dict."""
    data: bytes = image["image"]
    ext = image["ext"]
    if ext in _SIGNATURES:
        signature, suffix = _SIGNATURES[ext]
        if data.startswith(signature):
            return suffix, data, None
    width, height, bpc = image["width"], image["height"], image["bpc"]
    if ext == "png" and bpc == 8 and image["colorspace"] in _PNG_COLOUR_TYPES and width > 0 \
            and height > 0:
        colour_type, channels = _PNG_COLOUR_TYPES[image["colorspace"]]
        if len(data) == width * height * channels:
            return "png", png_bytes(data, width, height, colour_type, channels), None
    sidecar = {"width": width, "height": height, "bpc": bpc,
               "colorspace": image["colorspace"], "ext": ext, "bytes": len(data)}
    return "bin", data, sidecar


def _pixel_files(image: Mapping[str, Any], pixels: Pixels) -> list[tuple[str, bytes]] | None:
    """[(name suffix, bytes)] from the reader's samples, or None to fall back
    to the data extract returned (no xref, or the reader refused it)."""
    xref = image.get("xref", 0)
    if not xref:
        return None
    try:
        got = pixels(xref)
    except (ValueError, OSError):
        return None
    width, height, channels = got["width"], got["height"], got["channels"]
    if channels in _CHANNEL_COLOUR_TYPES:
        return [(".png", png_bytes(got["samples"], width, height,
                                   _CHANNEL_COLOUR_TYPES[channels], channels))]
    if got["mask"] is not None:
        return [("-mask.png", png_bytes(got["mask"], width, height, 0, 1))]
    return []


def write_image(image: Mapping[str, Any], stem: Path, pixels: Pixels | None = None) -> list[Path]:
    """Writes stem.<ext> (and stem.json for .bin data, stem-mask.png for a
    soft mask of data kept as stored); returns what it wrote."""
    made = _pixel_files(image, pixels) if pixels is not None else None
    if made and made[0][0] == ".png":
        target = stem.with_name(f"{stem.name}.png")
        target.write_bytes(made[0][1])
        return [target]
    suffix, data, sidecar = image_file(image)
    target = stem.with_name(f"{stem.name}.{suffix}")
    target.write_bytes(data)
    written = [target]
    for name_suffix, extra in made or []:
        mask = stem.with_name(f"{stem.name}{name_suffix}")
        mask.write_bytes(extra)
        written.append(mask)
    if sidecar is not None:
        meta = stem.with_name(f"{stem.name}.json")
        meta.write_text(json.dumps(sidecar, indent=1) + "\n", encoding="utf-8")
        written.append(meta)
    return written
