"""Shared fixtures of the Python tests.

The module under test is whatever `import quarvel` finds: scripts/test.sh puts
build/python first on PYTHONPATH; an installed wheel works the same way.
Test PDFs are written with pdfbuilder (this folder); the real files of the
development corpus are used when the folder exists and skipped otherwise.
"""

from __future__ import annotations

import csv
import os
import sys
from pathlib import Path

import pytest

from pdfbuilder import PdfBuilder, to_bytes

REPO_ROOT = Path(__file__).resolve().parents[2]
# The benchmarks' document writer serves the tests of long documents too.
sys.path.append(str(REPO_ROOT / "bench"))
CORPUS_DIR = REPO_ROOT.parent / "shared" / "corpus"


def corpus_manifest() -> list[dict]:
    """The rows of the corpus's MANIFEST.tsv, or [] when the corpus is absent."""
    manifest = CORPUS_DIR / "MANIFEST.tsv"
    if not manifest.is_file():
        return []
    with open(manifest, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f, delimiter="\t"))


def corpus_params(predicate=lambda row: True) -> list:
    """pytest parameters (one per corpus file whose row satisfies
    ``predicate``), with a single skipped parameter when the corpus is absent."""
    rows = [row for row in corpus_manifest() if predicate(row)]
    if not rows:
        return [pytest.param(None, marks=pytest.mark.skip(reason="corpus not available"))]
    return [pytest.param(row, id=row["file"]) for row in rows]


@pytest.fixture(scope="session")
def quarvel():
    import quarvel as module

    return module


@pytest.fixture
def write_pdf(tmp_path):
    """Writes a PdfBuilder (built with the given options) or raw bytes to a
    fresh file and returns its path as a str."""
    counter = iter(range(1_000_000))

    def write(source, name=None, **build_options) -> str:
        data = source.build(**build_options) if isinstance(source, PdfBuilder) else to_bytes(source)
        path = tmp_path / (name or f"doc{next(counter)}.pdf")
        path.write_bytes(data)
        return os.fspath(path)

    return write
