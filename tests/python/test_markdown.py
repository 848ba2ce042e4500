"""quarvel_full.to_markdown and `quarvel markdown`: the binding's arguments
and results, the rules end to end on built files, and the corpus's words."""

from __future__ import annotations

import collections
import json
import re
import unicodedata
from pathlib import Path

import pytest

from conftest import CORPUS_DIR, REPO_ROOT
from pdfbuilder import simple_document

quarvel_full = pytest.importorskip("quarvel_full")

FONT = "<< /Font << /F1 20 0 R >> >>"


def document(pages: list[str], page_extra="") -> bytes:
    b = simple_document(pages, FONT, page_extra=page_extra or b"")
    b.object(20, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    return b


def text_at(x: float, y: float, size: float, text: str) -> str:
    return f"BT /F1 {size} Tf {x} {y} Td ({text}) Tj ET\n"


def report_pages(n: int = 3) -> list[str]:
    """A title, a section per page, a paragraph over two lines, a running
    header and a page number in the footer."""
    pages = []
    for p in range(n):
        content = text_at(72, 760, 9, "Quarterly Report of Tests")
        if p == 0:
            content += text_at(72, 720, 22, "Main Title")
        content += text_at(72, 680, 15, f"Section {chr(65 + p)}")
        content += text_at(72, 650, 11, f"The body of section {p + 1} runs over")
        content += text_at(72, 636, 11, "two lines and ends here.")
        content += text_at(72, 600, 11, "Visit the project site " + "now" * (p + 1) + ".")
        content += text_at(300, 40, 9, str(p + 1))
        pages.append(content)
    return pages


LINK = ("/Annots [<< /Type /Annot /Subtype /Link /Rect [114 596 147 612] "
        "/A << /S /URI /URI (https://example.org/) >> >>]")


@pytest.fixture
def report(write_pdf) -> str:
    return write_pdf(document(report_pages(), page_extra=LINK))


def test_structure_of_a_built_report(report):
    md = quarvel_full.to_markdown(report)
    assert md == "".join(
        ("# Main Title\n\n" if p == 0 else "\n") + f"## Section {chr(65 + p)}\n\nThe body of "
        f"section {p + 1} runs over two lines and ends here.\n\nVisit the "
        f"[project](https://example.org/) site {'now' * (p + 1)}.\n" for p in range(3))
    kept = quarvel_full.to_markdown(report, headers_footers=True)
    assert kept.count("Quarterly Report of Tests") == 3
    assert "\n\n3\n" in kept


def test_page_chunks_carry_section_paths_and_links(report):
    chunks = quarvel_full.to_markdown(report, page_chunks=True)
    assert [list(c) for c in chunks] == [
        ["page", "label", "text", "headings", "tables", "images", "links"]] * 3
    assert [c["page"] for c in chunks] == [0, 1, 2]
    assert [c["headings"] for c in chunks] == [
        ["Main Title", "Section A"], ["Main Title", "Section B"], ["Main Title", "Section C"]]
    assert chunks[1]["links"] == ["https://example.org/"]
    assert chunks[2]["text"].startswith("## Section C\n\n")
    assert (chunks[0]["tables"], chunks[0]["images"], chunks[0]["label"]) == (0, 0, "")
    some = quarvel_full.to_markdown(report, page_chunks=True, pages=[2, 0])
    assert [c["page"] for c in some] == [2, 0]


@pytest.mark.parametrize("kwargs, error", [
    ({"page_chunks": 1}, TypeError),
    ({"headers_footers": "yes"}, TypeError),
    ({"images": 3}, TypeError),
    ({"pages": [9]}, ValueError),
    ({"password": 5}, TypeError),
])
def test_bad_arguments_are_refused(report, kwargs, error):
    with pytest.raises(error):
        quarvel_full.to_markdown(report, **kwargs)


def test_path_kinds_and_missing_file(report, tmp_path):
    assert quarvel_full.to_markdown(Path(report)) == quarvel_full.to_markdown(report.encode())
    with pytest.raises(ValueError):
        quarvel_full.to_markdown(str(tmp_path / "missing.pdf"))
    with pytest.raises(TypeError):
        quarvel_full.to_markdown(report, False)  # keywords only after the path


def test_command_line_writes_markdown_and_chunks(report, tmp_path, capsys):
    from quarvel_tools.cli import main

    assert main(["markdown", report, "-o", str(tmp_path / "one.md")]) == 0
    assert (tmp_path / "one.md").read_text().startswith("# Main Title\n")
    assert main(["markdown", "--chunks", report, report, "-o", str(tmp_path / "out")]) == 0
    stem = Path(report).stem
    lines = (tmp_path / "out" / f"{stem}~1.jsonl").read_text().splitlines()
    assert [json.loads(line)["page"] for line in lines] == [0, 1, 2]
    assert main(["markdown", "--exact", report]) == 2


# --- the corpus: nothing lost but the running lines ----------------------------

WORD = re.compile(r"[^\W_]+")
MARKUP = re.compile(r"^\s*(?:#{1,6} |[-*] |```.*$)|\*\*|`|\]\([^)]*\)|!\[|\\(?=[#*_`>\[\]\\-])",
                    re.M)


def words(text: str) -> collections.Counter:
    return collections.Counter(WORD.findall(unicodedata.normalize("NFKC", text)))


def corpus_dir() -> Path:
    # Worktrees sit one folder deeper than the checkout the corpus is beside.
    for candidate in (CORPUS_DIR, REPO_ROOT.parents[1] / "shared" / "corpus"):
        if candidate.is_dir():
            return candidate
    return CORPUS_DIR


def test_corpus_markdown_keeps_the_words_of_extract():
    folder = corpus_dir()
    files = sorted(folder.glob("*.pdf"))
    if not files:
        pytest.skip("corpus not available")
    from quarvel_tools.rows import page_text

    short = []
    for pdf in files:
        try:
            blocks, _ = quarvel_full.extract(str(pdf), include_images=False)
        except ValueError:
            continue
        want = words(page_text(blocks))
        md = quarvel_full.to_markdown(str(pdf), headers_footers=True, images=None)
        got = words(MARKUP.sub(" ", md))
        if want and sum((got & want).values()) < 0.99 * sum(want.values()):
            short.append(pdf.name)
    assert not short



@pytest.mark.parametrize("suffix", [".jsonl", ".parquet"])
def test_batch_adds_a_markdown_column(report, tmp_path, suffix):
    from quarvel_tools.cli import main

    if suffix == ".parquet":
        pq = pytest.importorskip("pyarrow.parquet")
    out = tmp_path / f"rows{suffix}"
    assert main(["batch", report, "-o", str(out), "--markdown", "--no-progress"]) == 0
    if suffix == ".jsonl":
        rows = [json.loads(line) for line in out.read_text().splitlines()]
    else:
        rows = pq.read_table(out).to_pylist()
    assert [row["page"] for row in rows] == [0, 1, 2]
    assert rows[1]["markdown"].startswith("## Section B\n\nThe body of section 2")


def test_ruled_table_becomes_a_pipe_table_once(tmp_path):
    weasyprint = pytest.importorskip("weasyprint")
    rows = "".join(f"<tr><td>{n}</td><td>{v}</td></tr>"
                   for n, v in [("Northfield", "12.5"), ("Southgate", "8.25"),
                                ("Eastwick", "101.0")])
    prose = "<p>" + "Plain running prose about the regions and their output. " * 12 + "</p>"
    style = ("@page { size: A4; margin: 2cm } body { font: 10pt 'DejaVu Sans' }"
             " table { border-collapse: collapse } td, th { border: 0.5pt solid; padding: 3pt }")
    html = (f"<style>{style}</style>{prose}<table><tr><th>Region</th><th>Output</th></tr>{rows}"
            f"</table><p style='page-break-before: always'>{prose}</p>")
    path = tmp_path / "t.pdf"
    weasyprint.HTML(string=html).write_pdf(path)
    chunks = quarvel_full.to_markdown(str(path), page_chunks=True)
    assert [c["tables"] for c in chunks] == [1, 0]
    text = chunks[0]["text"]
    assert "| Region | Output |\n| --- | --- |\n| Northfield | 12.5 |" in text
    assert text.count("Southgate") == 1 and "|" not in chunks[1]["text"]
