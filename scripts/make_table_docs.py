#!/usr/bin/env python3
"""Writes PDF documents of tables of every kind, with their HTML as ground truth.

Each document is an HTML page rendered to PDF with weasyprint (a development
aid, in .venv). Next to every ``NAME.pdf`` the script writes ``NAME.json``:
the tables of the HTML, in order, each a list of rows of cells
``{"text", "rowspan", "colspan"}``; documents that must give no table (a page
frame, prose in two columns) have an empty list.

    .venv/bin/python scripts/make_table_docs.py /tmp/table-docs

The output belongs outside the repository (bench/tables_bench.py reads it).
"""

from __future__ import annotations

import argparse
import json
import random
import sys
from html.parser import HTMLParser
from pathlib import Path

WORDS = ("alpha beta gamma delta north south east west total revenue cost margin "
         "region sector wages energy transport housing health schools water "
         "budget grant loan rate share index output").split()

BASE_CSS = """
@page { size: A4; margin: 2cm; }
body { font-family: 'DejaVu Serif', serif; font-size: 10pt; line-height: 1.3; }
h2 { font-size: 12pt; }
table { margin: 10pt 0; }
td, th { padding: 3pt 8pt; vertical-align: top; }
.num { text-align: right; }
"""

STYLES = {
    # Every cell boxed.
    "grid": "table { border-collapse: collapse; } td, th { border: 0.6pt solid #000; }",
    # Boxed cells drawn separately, with the spacing of the default model.
    "boxed": "table { border-collapse: separate; border-spacing: 2pt; }"
             " td, th { border: 0.5pt solid #333; }",
    # Top rule, a rule under the header, bottom rule: the way papers set them.
    "booktabs": "table { border-collapse: collapse; border-top: 1pt solid #000;"
                " border-bottom: 1pt solid #000; } thead th { border-bottom: 0.5pt solid #000; }",
    # A rule between every two rows, no vertical rules.
    "rows": "table { border-collapse: collapse; } tr { border-bottom: 0.5pt solid #777; }",
    # No rules at all; the header is bold.
    "plain": "table { border-collapse: collapse; } th { text-align: left; }",
    # No rules, zebra shading of the rows (filled rectangles).
    "zebra": "table { border-collapse: collapse; } tbody tr:nth-child(odd) { background: #e8e8e8; }",
}


def phrase(rng: random.Random, lo: int, hi: int) -> str:
    return " ".join(rng.choice(WORDS) for _ in range(rng.randint(lo, hi))).capitalize()


def number(rng: random.Random) -> str:
    return f"{rng.uniform(-500, 9000):,.1f}"


def simple_table(rng: random.Random, rows: int, cols: int, wrap: bool = False) -> str:
    head = "".join(f"<th>{phrase(rng, 1, 2)}</th>" for _ in range(cols))
    body = []
    for _ in range(rows):
        label = phrase(rng, 3, 7) if wrap else phrase(rng, 1, 3)
        cells = [f"<td>{label}</td>"] + [f'<td class="num">{number(rng)}</td>'
                                          for _ in range(cols - 1)]
        body.append("<tr>" + "".join(cells) + "</tr>")
    style = ' style="width: 60%"' if wrap else ""
    return (f"<table{style}><thead><tr>{head}</tr></thead><tbody>"
            + "".join(body) + "</tbody></table>")


def spanning_table(rng: random.Random, rows: int) -> str:
    head1 = ('<tr><th rowspan="2">Region</th><th colspan="2">2019</th>'
             '<th colspan="2">2020</th></tr>')
    head2 = "<tr>" + "<th>Low</th><th>High</th>" * 2 + "</tr>"
    body = []
    for i in range(rows):
        if i % 3 == 0:
            body.append(f'<tr><td rowspan="2">{phrase(rng, 1, 2)}</td>'
                        + "".join(f'<td class="num">{number(rng)}</td>' for _ in range(4))
                        + "</tr>")
        elif i % 3 == 1:
            body.append("<tr>" + "".join(f'<td class="num">{number(rng)}</td>'
                                         for _ in range(4)) + "</tr>")
        else:
            body.append(f"<tr><td>{phrase(rng, 1, 2)}</td>"
                        f'<td colspan="2">{phrase(rng, 1, 2)}</td>'
                        + "".join(f'<td class="num">{number(rng)}</td>' for _ in range(2))
                        + "</tr>")
    return ("<table><thead>" + head1 + head2 + "</thead><tbody>" + "".join(body)
            + "</tbody></table>")


def statement_table(rng: random.Random) -> str:
    """A financial statement: a heading row of years, section rows with one
    label, indented item rows, totals; amounts right-aligned, negatives in
    parentheses."""
    def amount() -> str:
        v = rng.uniform(-900, 20000)
        return f"({-v:,.0f})" if v < 0 else f"{v:,.0f}"
    rows = ['<tr><th></th><th class="num">Note</th><th class="num">2023</th>'
            '<th class="num">2022</th></tr>']
    for _ in range(rng.randint(2, 3)):
        rows.append(f'<tr><td colspan="4"><b>{phrase(rng, 2, 3)}</b></td></tr>')
        for _ in range(rng.randint(3, 6)):
            rows.append(f'<tr><td style="padding-left: 16pt">{phrase(rng, 1, 4)}</td>'
                        f'<td class="num">{rng.randint(1, 30)}</td>'
                        f'<td class="num">{amount()}</td><td class="num">{amount()}</td></tr>')
        rows.append(f'<tr><td>Total {phrase(rng, 1, 2).lower()}</td><td></td>'
                    f'<td class="num">{amount()}</td><td class="num">{amount()}</td></tr>')
    return '<table style="width: 100%">' + "".join(rows) + "</table>"


def prose(rng: random.Random, sentences: int) -> str:
    return "<p>" + ". ".join(phrase(rng, 8, 16) for _ in range(sentences)) + ".</p>"


def document(kind: str, rng: random.Random, pages: int) -> tuple[str, str]:
    """(css, body) of one document."""
    parts = []
    if kind == "frame":
        css = "div.frame { border: 1pt solid #000; padding: 10pt; }"
        for _ in range(pages):
            parts.append('<div class="frame">' + "".join(prose(rng, 6) for _ in range(6))
                         + "</div>")
        return css, "".join(parts)
    if kind == "twocolumn":
        css = "div.cols { columns: 2; column-gap: 18pt; text-align: justify; }"
        return css, '<div class="cols">' + "".join(prose(rng, 7) for _ in range(9 * pages)) + "</div>"
    style_name, _, variant = kind.partition("-")
    css = STYLES[style_name]
    for p in range(pages):
        parts.append(f"<h2>Section {p + 1}</h2>" + prose(rng, 3))
        if variant == "span":
            parts.append(spanning_table(rng, rng.randint(5, 9)))
        elif variant == "wrap":
            parts.append(simple_table(rng, rng.randint(5, 8), 3, wrap=True))
        elif variant == "statement":
            parts.append(statement_table(rng))
        elif variant == "side":
            parts.append('<div style="display: flex; gap: 30pt">'
                         + simple_table(rng, 5, 2) + simple_table(rng, 5, 2) + "</div>")
        else:
            parts.append(simple_table(rng, rng.randint(6, 14), rng.randint(3, 6)))
        parts.append(prose(rng, 4))
        parts.append(simple_table(rng, rng.randint(4, 8), rng.randint(2, 4)))
        parts.append('<p style="page-break-after: always"></p>')
    return css, "".join(parts)


class TableTruth(HTMLParser):
    """The tables of an HTML page as rows of {"text", "rowspan", "colspan"}."""

    def __init__(self) -> None:
        super().__init__()
        self.tables: list[list[list[dict]]] = []
        self.cell: dict | None = None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "table":
            self.tables.append([])
        elif tag == "tr":
            self.tables[-1].append([])
        elif tag in ("td", "th"):
            self.cell = {"text": "", "rowspan": int(a.get("rowspan", 1)),
                         "colspan": int(a.get("colspan", 1))}
            self.tables[-1][-1].append(self.cell)

    def handle_endtag(self, tag):
        if tag in ("td", "th"):
            self.cell = None

    def handle_data(self, data):
        if self.cell is not None:
            self.cell["text"] += data


KINDS = ["grid", "grid-span", "grid-wrap", "grid-side", "boxed", "boxed-span",
         "booktabs", "booktabs-wrap", "rows", "rows-wrap", "plain", "plain-wrap",
         "plain-side", "plain-statement", "rows-statement", "zebra", "frame", "twocolumn"]


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out", type=Path, help="output folder (outside the repository)")
    ap.add_argument("--pages", type=int, default=4, help="pages of each document")
    ap.add_argument("--seed", type=int, default=7)
    args = ap.parse_args(argv)
    import weasyprint  # development aid only

    args.out.mkdir(parents=True, exist_ok=True)
    rng = random.Random(args.seed)
    for kind in KINDS:
        css, body = document(kind, rng, args.pages)
        html = (f"<html><head><style>{BASE_CSS}{css}</style></head>"
                f"<body>{body}</body></html>")
        truth = TableTruth()
        truth.feed(html)
        (args.out / f"{kind}.html").write_text(html)
        (args.out / f"{kind}.json").write_text(json.dumps(truth.tables, indent=0))
        weasyprint.HTML(string=html).write_pdf(args.out / f"{kind}.pdf")
        print(f"{kind}: {len(truth.tables)} tables", file=sys.stderr)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
