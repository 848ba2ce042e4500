"""Image data as files a viewer opens.

The reader's "jpeg" and "jpx" data are the files as stored. Its "png" label
means samples, not a PNG file: 8-bit DeviceGray and DeviceRGB samples whose
size matches width x height are wrapped into a real PNG here; any other data
(other colour spaces, depths, filters left in place) is written as .bin with
a JSON sidecar saying how to read it.
"""

from __future__ import annotations

import json
import struct
import zlib
from collections.abc import Mapping
from pathlib import Path
from typing import Any

_PNG_COLOUR_TYPES = {"DeviceGray": (0, 1), "DeviceRGB": (2, 3)}
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


def write_image(image: Mapping[str, Any], stem: Path) -> list[Path]:
    """Writes stem.<ext> (and stem.json for .bin data); returns what it wrote."""
    suffix, data, sidecar = image_file(image)
    target = stem.with_name(f"{stem.name}.{suffix}")
    target.write_bytes(data)
    written = [target]
    if sidecar is not None:
        meta = stem.with_name(f"{stem.name}.json")
        meta.write_text(json.dumps(sidecar, indent=1) + "\n", encoding="utf-8")
        written.append(meta)
    return written
