"""Seeds from the shared corpus of real PDFs, written at fuzzing time (the
files themselves never enter the repository).

Whole files up to a size bound seed the document, cross-reference and
recovery targets; the decoded page content streams, ToUnicode maps and raw
filtered stream bodies of all files seed the content, CMap and filter
targets. PyMuPDF only reads the corpus here; the library never uses it.

    corpus_seeds.py <corpus dir> <out dir> [max file bytes]
"""

from __future__ import annotations

import hashlib
import pathlib
import sys

import pymupdf

# Filter target selector bytes for a one-filter chain (see filters_fuzz.cpp).
FILTER_SELECTORS = {
    "/FlateDecode": 0x00,
    "/LZWDecode": 0x04,
    "/ASCII85Decode": 0x08,
    "/ASCIIHexDecode": 0x0C,
    "/RunLengthDecode": 0x10,
}
STREAM_BYTES = 64 * 1024
PER_FILE = 20


def put(out: pathlib.Path, target: str, data: bytes) -> None:
    directory = out / target
    directory.mkdir(parents=True, exist_ok=True)
    (directory / hashlib.sha1(data).hexdigest()).write_bytes(data)


def streams_of(path: pathlib.Path, out: pathlib.Path) -> None:
    try:
        doc = pymupdf.open(path)
    except Exception:
        return
    with doc:
        if doc.needs_pass:
            return
        for page in list(doc)[:PER_FILE]:
            try:
                content = page.read_contents()
            except Exception:
                continue
            if content:
                put(out, "content", content[:STREAM_BYTES])
        cmaps = raws = 0
        for xref in range(1, doc.xref_length()):
            try:
                keys = doc.xref_get_keys(xref)
            except Exception:
                continue
            if cmaps < PER_FILE and "ToUnicode" in keys:
                kind, value = doc.xref_get_key(xref, "ToUnicode")
                if kind == "xref":
                    try:
                        cmap = doc.xref_stream(int(value.split()[0]))
                    except Exception:
                        cmap = None
                    if cmap:
                        put(out, "cmap", cmap[:STREAM_BYTES])
                        cmaps += 1
            if raws < PER_FILE and "Filter" in keys:
                kind, value = doc.xref_get_key(xref, "Filter")
                selector = FILTER_SELECTORS.get(value.strip())
                if selector is None:
                    continue
                try:
                    raw = doc.xref_stream_raw(xref)
                except Exception:
                    continue
                if raw and len(raw) <= STREAM_BYTES:
                    put(out, "filters", bytes([selector]) + raw)
                    raws += 1


def main() -> int:
    corpus = pathlib.Path(sys.argv[1])
    out = pathlib.Path(sys.argv[2])
    max_bytes = int(sys.argv[3]) if len(sys.argv) > 3 else 300_000
    pymupdf.TOOLS.mupdf_display_errors(False)
    for path in sorted(corpus.glob("*.pdf")):
        data = path.read_bytes()
        if len(data) <= max_bytes:
            for target in ("document", "xref", "recovery"):
                put(out, target, data)
        streams_of(path, out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
