#!/usr/bin/env python3
"""Dumps what a module extracts from every PDF of a folder to one JSON file,
so two builds can be compared byte for byte (`cmp before.json after.json`).

    PYTHONPATH=build/python .venv/bin/python scripts/dump_results.py OUT.json
        [--module quarvel|quarvel_full] [--corpus DIR]

Per file: `extract` with images (image bytes as their SHA-256, so the dump
stays small) and `extract_links`, or the error each raised.
"""

from __future__ import annotations

import argparse
import hashlib
import importlib
import json
import sys
from pathlib import Path

DEFAULT_CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"


def _images(images: list) -> list:
    out = []
    for image in images:
        image = dict(image)
        data = image.get("image", b"")
        image["image"] = {"sha256": hashlib.sha256(data).hexdigest(), "len": len(data)}
        out.append(image)
    return out


def _call(fn, *args):
    try:
        return {"ok": fn(*args)}
    except Exception as exc:  # the dump records every outcome, failures included
        return {"error": f"{type(exc).__name__}: {exc}"}


def dump_file(module, path: str) -> dict:
    extracted = _call(module.extract, path)
    if "ok" in extracted:
        blocks, images = extracted["ok"]
        extracted = {"ok": [blocks, _images(images)]}
    return {"extract": extracted, "links": _call(module.extract_links, path)}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--module", default="quarvel")
    parser.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS)
    args = parser.parse_args()
    module = importlib.import_module(args.module)
    files = sorted(p for p in args.corpus.iterdir() if p.suffix.lower() == ".pdf")
    result = {p.name: dump_file(module, str(p)) for p in files}
    with open(args.out, "w", encoding="utf-8") as f:
        json.dump(result, f, sort_keys=True, ensure_ascii=False, allow_nan=True)
    print(f"{len(files)} files dumped to {args.out}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
