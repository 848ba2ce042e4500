"""The full reader against reference readers on the development corpus:
every file that both pdftotext and PyMuPDF open (encrypted ones aside)
opens, and every page on which pdftotext finds text gives characters.
Skips without the corpus or the reference readers."""

from __future__ import annotations

import shutil
import subprocess

import pytest

from conftest import CORPUS_DIR, corpus_params

quarvel_full = pytest.importorskip("quarvel_full")
fitz = pytest.importorskip("fitz")
pdftotext = shutil.which("pdftotext")

pytestmark = pytest.mark.skipif(pdftotext is None, reason="pdftotext not installed")


def reference_pages(path: str) -> list[str] | None:
    """pdftotext's text per page, or None when it cannot open the file."""
    run = subprocess.run([pdftotext, "-q", "-enc", "UTF-8", path, "-"], capture_output=True,
                         timeout=120)
    if run.returncode != 0:
        return None
    return run.stdout.decode("utf-8", "replace").split("\f")


def peer_opens(path: str) -> bool:
    try:
        with fitz.open(path) as doc:
            return doc.page_count > 0 and not doc.needs_pass and not doc.is_encrypted
    except Exception:  # a reference reader's refusal, whatever its type
        return False


@pytest.mark.parametrize("row", corpus_params(lambda row: row["encrypted"] == "n"))
def test_opens_what_reference_readers_open_and_finds_their_text(row):
    path = str(CORPUS_DIR / row["file"])
    reference = reference_pages(path)
    if reference is None or not peer_opens(path):
        pytest.skip("a reference reader does not open it")
    blocks, _ = quarvel_full.extract(path, include_images=False)
    chars_by_page: dict[int, int] = {}
    for block in blocks:
        n = sum(len(span["text"].strip()) for line in block["lines"] for span in line["spans"])
        chars_by_page[block["page"]] = chars_by_page.get(block["page"], 0) + n
    missing = [i for i, text in enumerate(reference) if text.strip() and not chars_by_page.get(i)]
    assert not missing, f"pages with text for pdftotext but none here: {missing[:10]}"


# --- encrypted files ----------------------------------------------------------------

# The passwords of the corpus files that need one, from their sources' notes.
KNOWN_PASSWORDS = {
    "pdfminer-aes-256-r6.pdf": "usersecret",
    "pypdf-libreoffice-writer-password.pdf": "openpassword",
    "pypdf-r2-user-password.pdf": "asdfzxcv",
}


def words(text: str) -> "collections.Counter[str]":
    import collections
    import re
    import unicodedata

    return collections.Counter(re.findall(r"\w+", unicodedata.normalize("NFKC", text)))


def word_f1(ours: str, theirs: str) -> float:
    a, b = words(ours), words(theirs)
    common = sum((a & b).values())
    if not a or not b:
        return 1.0 if a == b else 0.0
    precision, recall = common / sum(a.values()), common / sum(b.values())
    return 0.0 if common == 0 else 2 * precision * recall / (precision + recall)


def full_text(result) -> str:
    blocks, _ = result
    return "\n".join(" ".join(span["text"] for span in line["spans"])
                     for block in blocks for line in block["lines"])


@pytest.mark.parametrize("row", corpus_params(lambda row: row["encrypted"] != "n"))
def test_encrypted_files_open_with_the_empty_or_known_password(row):
    path = str(CORPUS_DIR / row["file"])
    password = KNOWN_PASSWORDS.get(row["file"])
    if password is not None:
        with pytest.raises(ValueError, match="^incorrect password$"):
            quarvel_full.extract(path)
    result = quarvel_full.extract(path, password=password, include_images=False)
    args = [pdftotext, "-q", "-enc", "UTF-8"] + (["-upw", password] if password else [])
    reference = subprocess.run(args + [path, "-"], capture_output=True, timeout=120)
    assert reference.returncode == 0
    theirs = reference.stdout.decode("utf-8", "replace")
    ours = full_text(result)
    if sum(words(ours).values()) < 20 and sum(words(theirs).values()) < 20:
        return
    assert word_f1(ours, theirs) >= 0.95
