"""quarvel_full.extract_tables on builder documents and on weasyprint-made
tables (whose HTML is the ground truth), render_table, and `quarvel tables`."""

from __future__ import annotations

import csv
import json

import pytest

from pdfbuilder import simple_document

from quarvel_tools.cli import main

quarvel_full = pytest.importorskip("quarvel_full")

FONTS = "<< /Font << /F1 20 0 R /F2 21 0 R >> >>"
# Ruled tables need the page's painted paths, which extraction records once
# it draws them.
needs_drawings = pytest.mark.skipif(not hasattr(quarvel_full, "extract_drawings"),
                                    reason="the full reader does not record drawings yet")


def text_at(x: float, y: float, text: str, font: str = "F1") -> str:
    return f"BT /{font} 10 Tf {x} {y} Td ({text}) Tj ET\n"


def table_page(rows: list[list[str]], top: float = 700, bold_header: bool = True,
               xs: tuple = (72, 200, 300, 400)) -> str:
    out = []
    for r, row in enumerate(rows):
        for c, cell in enumerate(row):
            if cell:
                font = "F2" if r == 0 and bold_header else "F1"
                out.append(text_at(xs[c], top - 16 * r, cell, font))
    return "".join(out)


def document(*pages: str):
    b = simple_document(list(pages), FONTS)
    b.object(20, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    b.object(21, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica-Bold >>")
    return b


ROWS = [["Country", "2019", "2020"],
        ["France", "1.2", "3.4"],
        ["United Kingdom", "5.6", "7.8"],
        ["Spain", "9.1", ""]]

PROSE = ("The committee met twice in the year and reviewed the",
         "accounts of every region before it reported to the board")


@pytest.fixture
def tables_doc(write_pdf):
    caption = text_at(72, 730, "Table 1: Output by country")
    prose = "".join(text_at(72, 600 - 14 * i, PROSE[i % 2]) for i in range(4))
    # Page 2 has a table above another, parted by prose.
    return write_pdf(document(caption + table_page(ROWS) + prose, prose,
                              table_page(ROWS) + prose + table_page(ROWS, top=500)))


def test_unruled_table_shape_grid_and_header(tables_doc):
    tables = quarvel_full.extract_tables(tables_doc)
    assert [t["page"] for t in tables] == [0, 2, 2]
    first = tables[0]
    assert set(first) == {"page", "bbox", "rows", "cells", "header_rows"}
    assert first["rows"] == ROWS
    assert first["header_rows"] == 1
    assert len(first["cells"]) == 12
    cell = first["cells"][4]
    assert {k: cell[k] for k in ("row", "col", "row_span", "col_span", "text")} == {
        "row": 1, "col": 1, "row_span": 1, "col_span": 1, "text": "1.2"}
    x0, y0, x1, y1 = first["bbox"]
    assert x0 < 80 and x1 > 310 and y0 < y1


def test_tables_in_reading_order_and_pages(tables_doc):
    upper, lower = quarvel_full.extract_tables(tables_doc, pages=[2])
    assert upper["bbox"][1] > lower["bbox"][3]
    assert upper["rows"] == lower["rows"] == ROWS
    assert quarvel_full.extract_tables(tables_doc, pages=range(1, 2)) == []


def test_prose_page_in_two_columns_is_no_table(write_pdf):
    lines = "".join(text_at(72, 700 - 12 * i, PROSE[i % 2][:44]) +
                    text_at(320, 700 - 12 * i, PROSE[(i + 1) % 2][:44]) for i in range(30))
    assert quarvel_full.extract_tables(write_pdf(document(lines))) == []


def test_errors_and_arguments(tmp_path, tables_doc):
    with pytest.raises(ValueError):
        quarvel_full.extract_tables(str(tmp_path / "missing.pdf"))
    with pytest.raises(ValueError, match="page number out of range"):
        quarvel_full.extract_tables(tables_doc, pages=[9])
    with pytest.raises(TypeError):
        quarvel_full.extract_tables(tables_doc, [0])  # pages is keyword-only


def test_render_table_markdown_and_html(tables_doc):
    table = quarvel_full.extract_tables(tables_doc)[0]
    md = quarvel_full.render_table(table, "markdown")
    assert md.splitlines()[:3] == ["| Country | 2019 | 2020 |", "| --- | --- | --- |",
                                   "| France | 1.2 | 3.4 |"]
    html = quarvel_full.render_table(table, "html")
    assert html.startswith("<table>\n<thead>\n<tr><th>Country</th>")
    spanning = {"rows": [["a|b", None], ["x", "y"]], "header_rows": 0, "cells": [
        {"row": 0, "col": 0, "row_span": 1, "col_span": 2, "text": "a|b"},
        {"row": 1, "col": 0, "row_span": 1, "col_span": 1, "text": "x<1\n2"},
        {"row": 1, "col": 1, "row_span": 1, "col_span": 1, "text": "y"}]}
    assert '<td colspan="2">a|b</td>' in quarvel_full.render_table(spanning, "html")
    assert "x&lt;1<br>2" in quarvel_full.render_table(spanning, "html")
    assert quarvel_full.render_table(spanning, "markdown").startswith("| a\\|b |  |")
    bad = dict(spanning, cells=[dict(spanning["cells"][0], col_span=3)])
    with pytest.raises(ValueError, match="outside the grid"):
        quarvel_full.render_table(bad, "html")
    with pytest.raises(ValueError):
        quarvel_full.render_table(spanning, "latex")


@pytest.mark.parametrize("fmt", ["csv", "md", "html", "json"])
def test_cli_writes_one_file_per_table(tables_doc, tmp_path, capsys, fmt):
    out = tmp_path / "out"
    assert main(["tables", tables_doc, "-o", str(out), "--format", fmt, "--pages", "0-1"]) == 0
    written = capsys.readouterr().out.split()
    assert [p.rsplit("/", 1)[1] for p in written] == [f"doc0-p0-t0.{fmt}"]
    text = (out / f"doc0-p0-t0.{fmt}").read_text()
    if fmt == "csv":
        assert list(csv.reader(text.splitlines())) == ROWS
    elif fmt == "json":
        assert json.loads(text)["rows"] == ROWS
    else:
        assert "United Kingdom" in text


# --- tables drawn by weasyprint from HTML ---------------------------------------


def html_pdf(tmp_path, body: str, css: str = "") -> str:
    weasyprint = pytest.importorskip("weasyprint")
    path = tmp_path / "t.pdf"
    style = ("@page { size: A4; margin: 2cm } body { font: 10pt 'DejaVu Sans' }"
             " td, th { padding: 3pt 8pt; text-align: left }" + css)
    weasyprint.HTML(string=f"<style>{style}</style>{body}").write_pdf(path)
    return str(path)


HTML_ROWS = "".join(f"<tr><td>{n}</td><td>{v}</td><td>{w}</td></tr>"
                    for n, v, w in [("North", "12.5", "3"), ("South", "8.25", "14"),
                                    ("East", "101.0", "7"), ("West", "0.5", "22")])


@pytest.mark.parametrize("css", [
    pytest.param("", id="unruled"),
    pytest.param("table { border-collapse: collapse; border-top: 1pt solid; border-bottom: 1pt"
                 " solid } thead th { border-bottom: 0.5pt solid }", id="horizontal-rules"),
    pytest.param("table { border-collapse: collapse } td, th { border: 0.5pt solid }",
                 id="ruled", marks=needs_drawings),
])
def test_html_tables(tmp_path, css):
    body = ("<p>Output of the regions.</p><table><thead><tr><th>Region</th><th>Output</th>"
            f"<th>Sites</th></tr></thead><tbody>{HTML_ROWS}</tbody></table><p>End.</p>")
    (table,) = quarvel_full.extract_tables(html_pdf(tmp_path, body, css))
    assert table["rows"][0] == ["Region", "Output", "Sites"]
    assert table["rows"][3] == ["East", "101.0", "7"]
    assert table["header_rows"] == 1


@needs_drawings
def test_html_spans_frame_and_side_by_side(tmp_path):
    spans = ('<table><tr><th colspan="2">Both</th><th rowspan="2">Tall</th></tr>'
             '<tr><td>a</td><td>b</td></tr><tr><td>c</td><td>d</td><td>e</td></tr></table>')
    small = "<table><tr><td>k</td><td>1</td></tr><tr><td>m</td><td>2</td></tr></table>"
    body = ('<div style="border: 1pt solid; padding: 8pt"><p>Framed prose, no table.</p></div>'
            + spans + f'<div style="display: flex; gap: 40pt">{small}{small}</div>')
    css = "table { border-collapse: collapse } td, th { border: 0.5pt solid }"
    tables = quarvel_full.extract_tables(html_pdf(tmp_path, body, css))
    assert [t["rows"] for t in tables] == [
        [["Both", None, "Tall"], ["a", "b", None], ["c", "d", "e"]],
        [["k", "1"], ["m", "2"]], [["k", "1"], ["m", "2"]]]
    assert tables[1]["bbox"][2] < tables[2]["bbox"][0]
