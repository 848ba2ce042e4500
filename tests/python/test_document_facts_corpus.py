"""document_info against PyMuPDF and pypdfium2 on the development corpus:
page count, outline (levels, titles, pages), page labels and metadata agree
with the peers wherever the two peers agree with each other. Skips without
the corpus or the peers; bench/document_facts.py does the comparison."""

from __future__ import annotations

import pytest

from conftest import CORPUS_DIR, corpus_params

pytest.importorskip("quarvel_full")
pytest.importorskip("pymupdf")
pytest.importorskip("pypdfium2")

import document_facts  # noqa: E402  (bench/, on the path through conftest)

XMP_ONLY = {f"metadata.{k}" for k in ("title", "author", "subject", "keywords", "producer")}

# Where we differ from both peers, and why we are right or what we lack.
KNOWN = {
    # PDF 2.0 files without an Info dictionary: the facts are in the XMP
    # packet, which document_info reads in its place and the peers ignore.
    "pdf20examples-PDF_2.0_via_incremental_save.pdf": XMP_ONLY,
    "pdf20examples-PDF_2.0_with_offset_start.pdf": XMP_ONLY,
    "pdf20examples-Simple_PDF_2.0_file.pdf": XMP_ONLY,
    # The cross-reference data puts the Info dictionary (and the XMP
    # stream) at offsets where other objects stand; the peers find the
    # objects by scanning, the full reader keeps the chain it could read.
    "pdfjs-issue17147.pdf": {f"metadata.{k}" for k in (
        "author", "creator", "producer", "creation_date", "mod_date")},
}


@pytest.mark.parametrize("row", corpus_params(lambda row: row["encrypted"] == "n"))
def test_document_facts_agree_with_peers_where_they_agree(row):
    path = str(CORPUS_DIR / row["file"])
    found = {fact: (ours, theirs) for fact, ours, theirs in document_facts.disagreements(path)}
    unexpected = {k: v for k, v in found.items() if k not in KNOWN.get(row["file"], set())}
    assert unexpected == {}
