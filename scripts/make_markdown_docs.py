#!/usr/bin/env python3
"""Writes the Markdown development set: documents whose Markdown is known.

Each document is Markdown written here (headings, nested lists, code, tables,
links, long paragraphs, two columns, running headers and page numbers),
turned into HTML with `markdown` and into PDF with weasyprint (development
aids in .venv, never dependencies of the library). The Markdown source is the
ground truth: OUT/NAME.md beside OUT/NAME.pdf. Nothing is written into the
repository; bench/markdown_bench.py scores against the pairs.

    .venv/bin/python scripts/make_markdown_docs.py /tmp/markdown-docs
"""

from __future__ import annotations

import argparse
import random
import sys
from pathlib import Path

WORDS = ("the reader keeps every page of a document in order while the workers lay out "
         "characters into words lines and blocks so that search indexes and language models "
         "receive passages with their headings links and lists intact fonts sizes and weights "
         "tell headings from body text and numbers count the pages of long reports papers "
         "manuals and project notes written by many different tools over many years").split()


def sentence(rng: random.Random, words: int) -> str:
    text = " ".join(rng.choice(WORDS) for _ in range(words))
    return text[0].upper() + text[1:] + "."


def paragraph(rng: random.Random, sentences: int) -> str:
    return " ".join(sentence(rng, rng.randint(8, 18)) for _ in range(sentences))


def report(rng: random.Random) -> str:
    parts = ["# Annual Report on Document Processing", ""]
    for s in range(1, 5):
        parts += [f"## {s} Section {['Overview', 'Methods', 'Results', 'Outlook'][s - 1]}", ""]
        parts += [paragraph(rng, 6), "", paragraph(rng, 4), ""]
        for t in range(1, 3):
            parts += [f"### {s}.{t} Topic {chr(64 + t)} of part {s}", "", paragraph(rng, 5), ""]
        if s == 2:
            parts += ["- First point about the method", "- Second point with more words "
                      "that wrap onto a following line because the item is long enough to "
                      "wrap", "    - A nested point", "    - Another nested point",
                      "- Third point", ""]
            parts += ["1. Prepare the files", "2. Run the extraction", "3. Compare the text",
                      ""]
        if s == 3:
            parts += ["| Metric | Value | Note |", "|---|---|---|",
                      "| Pages | 1200 | per second |", "| Words | 0.85 | similarity |", ""]
            parts += ["See the [project page](https://example.org/project) and the "
                      "[data](https://example.org/data) for more.", ""]
    return "\n".join(parts)


def readme(rng: random.Random) -> str:
    parts = ["# fastparse", "", paragraph(rng, 3), "", "## Installation", "",
             "Install with the package manager:", "", "```",
             "pip install fastparse", "fastparse --version", "```", "",
             "## Usage", "", paragraph(rng, 2), "", "```python",
             "import fastparse", "", "def main(path):", "    doc = fastparse.open(path)",
             "    for page in doc:", "        print(page.text)", "    return 0", "```", "",
             "## Options", "", "- `--fast` runs without checks", "- `--out` names the file",
             "- `--quiet` prints nothing", "", "## Contributing", "", paragraph(rng, 4), "",
             "Read the [guide](https://example.org/guide) first.", "", "## License", "",
             paragraph(rng, 1), ""]
    return "\n".join(parts)


def paper(rng: random.Random) -> str:
    parts = ["# A Study of Layout in Two Columns", ""]
    names = ["Introduction", "Related Work", "Method", "Evaluation", "Conclusion"]
    for s, name in enumerate(names, 1):
        parts += [f"## {s} {name}", "", paragraph(rng, 7), "", paragraph(rng, 6), ""]
        if s in (3, 4):
            for t in range(1, 3):
                parts += [f"### {s}.{t} Part {t} of {name.lower()}", "", paragraph(rng, 6), ""]
    return "\n".join(parts)


def manual(rng: random.Random) -> str:
    parts = ["# Operator Manual", ""]
    for s in range(1, 4):
        parts += [f"## Chapter {s}", "", paragraph(rng, 4), ""]
        parts += ["1. Open the cover", "2. Check the parts:", "    - the belt", "    - the roller",
                  "3. Close the cover", ""]
        parts += [paragraph(rng, 3), "", "```", "config set speed 10", "config set mode fast",
                  "    indent kept", "```", ""]
    return "\n".join(parts)


def book(rng: random.Random) -> str:
    """Long enough (about 50 pages) for pages a second to mean something."""
    parts = ["# Handbook of Extraction", ""]
    for c in range(1, 31):
        parts += [f"## {c} Chapter on part {c}", "", paragraph(rng, 8), ""]
        for t in range(1, 4):
            parts += [f"### {c}.{t} Matter {t} of chapter {c}", "", paragraph(rng, 9), "",
                      paragraph(rng, 7), ""]
        parts += ["- A point of the chapter", "- Another point", "", paragraph(rng, 6), ""]
    return "\n".join(parts)


STYLE = """
@page { size: A4; margin: 2cm;
        @top-center { content: "%(header)s"; font-size: 9pt; }
        @bottom-center { content: counter(page); font-size: 9pt; } }
body { font-family: serif; font-size: 10.5pt; line-height: 1.35; }
h1 { font-size: 20pt; } h2 { font-size: 15pt; } h3 { font-size: 12.5pt; }
pre, code { font-family: monospace; font-size: 9pt; }
table { border-collapse: collapse; } td, th { border: 1px solid #888; padding: 2pt 6pt; }
%(extra)s
"""

DOCS = {
    "report": (report, "Annual Report", ""),
    "readme": (readme, "", ""),
    "paper": (paper, "A Study of Layout", "body { column-count: 2; column-gap: 1cm; } "
              "h1 { column-span: all; }"),
    "manual": (manual, "Operator Manual", ""),
    "book": (book, "Handbook of Extraction", ""),
}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", type=Path)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args(argv)
    import markdown
    import weasyprint

    args.output.mkdir(parents=True, exist_ok=True)
    for name, (make, header, extra) in DOCS.items():
        source = make(random.Random(f"{args.seed}-{name}"))
        html = markdown.markdown(source, extensions=["fenced_code", "tables", "sane_lists"])
        css = STYLE % {"header": header, "extra": extra}
        page = f"<html><head><style>{css}</style></head><body>{html}</body></html>"
        (args.output / f"{name}.md").write_text(source, encoding="utf-8")
        weasyprint.HTML(string=page).write_pdf(args.output / f"{name}.pdf")
        print(args.output / f"{name}.pdf")
    return 0


if __name__ == "__main__":
    sys.exit(main())
