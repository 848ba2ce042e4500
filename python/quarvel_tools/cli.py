"""The `quarvel` command: text, JSON, images and links of PDF files, and
batch runs to Parquet or JSON Lines."""

from __future__ import annotations

import argparse
import base64
import functools
import json
import os
import sys
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from types import ModuleType
from typing import Any, Optional, TextIO

from quarvel_tools.reader import ToolError, load_reader
from quarvel_tools.rows import page_text

EXIT_FAILED = 1
EXIT_USAGE = 2

DESCRIPTION = """\
Extract text, images and links from PDF files.

Reads with the quarvel_full module (reading order, real fonts and sizes);
--exact reads with quarvel instead. Pages are counted from 0, as in the
library. Files that cannot be read are listed on stderr with their error and
make the exit status 1; usage errors exit with 2.
"""

EPILOG = """\
examples:
  quarvel text paper.pdf | less
  quarvel json --links paper.pdf | jq '.blocks | length'
  quarvel images paper.pdf -o figures/
  quarvel links *.pdf
  quarvel info --summary report.pdf
  quarvel toc book.pdf
  quarvel tables report.pdf -o tables/ --format md
  quarvel markdown paper.pdf -o paper.md
  quarvel markdown --chunks papers/*.pdf -o chunks/
  quarvel batch papers/ -o papers.parquet --resume --jobs 2
  quarvel batch papers/ -o papers.parquet --dask local
"""


def build_parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--exact", action="store_true",
                        help="read with quarvel (exact reader) instead of quarvel_full")
    common.add_argument("--password", help="password of encrypted files (quarvel_full only)")

    parser = argparse.ArgumentParser(
        prog="quarvel", description=DESCRIPTION, epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    text = commands.add_parser(
        "text", parents=[common], help="print the text in reading order",
        description="Print each file's text in reading order: one line per line, a blank line "
                    "between blocks, a form feed line between pages and a '==> FILE <==' "
                    "header when there are several files. With --exact the whole file is one "
                    "page and each block's lines are put top-down.")
    text.add_argument("files", nargs="+", metavar="FILE")

    as_json = commands.add_parser(
        "json", parents=[common], help="print extract's result as JSON Lines",
        description="Print one JSON object per file and line: {\"path\", \"blocks\", "
                    "\"images\"} as extract returns them, image bytes left out.")
    as_json.add_argument("files", nargs="+", metavar="FILE")
    as_json.add_argument("--links", action="store_true", help="add extract_links as \"links\"")
    as_json.add_argument("--image-data", choices=("omit", "base64"), default="omit",
                         help="image bytes: left out (default) or as base64 text")
    as_json.add_argument("--indent", type=int, metavar="N", help="pretty-print with N spaces")

    images = commands.add_parser(
        "images", parents=[common], help="write every image to a folder",
        description="Write each image as FILESTEM-pPAGE-N.EXT into DIR: JPEG and JPEG 2000 "
                    "data as stored (.jpg, .jp2), 8-bit DeviceGray and DeviceRGB samples as "
                    "PNG files, anything else as .bin with a .json sidecar (width, height, "
                    "bits per component, colour space). Prints the files written.")
    images.add_argument("files", nargs="+", metavar="FILE")
    images.add_argument("-o", "--output", required=True, type=Path, metavar="DIR")

    links = commands.add_parser(
        "links", parents=[common], help="list web links",
        description="Print one line per link: FILE, page, URI and rectangle (x0 y0 x1 y1), "
                    "separated by tabs.")
    links.add_argument("files", nargs="+", metavar="FILE")

    info = commands.add_parser(
        "info", parents=[common], help="document facts: metadata, outline, labels, pages, fields",
        description="Print each file's document_info as JSON (an object keyed by file when there "
                    "are several), or with --summary a short 'Key: value' list per file. Needs "
                    "quarvel_full.")
    info.add_argument("--summary", action="store_true", help="a short text summary instead of JSON")
    info.add_argument("files", nargs="+", metavar="FILE")

    toc = commands.add_parser(
        "toc", parents=[common], help="print the outline (bookmarks)",
        description="Print the file's outline, one bookmark a line indented two spaces a level, "
                    "then a tab and the page it goes to: its printed label where the file has "
                    "page labels, else its 1-based number; a web address for a link out; '-' "
                    "for none. Needs quarvel_full.")
    toc.add_argument("file", metavar="FILE")
    tables = commands.add_parser(
        "tables", help="write every table to a folder",
        description="Find each file's tables (quarvel_full), ruled or not, and write each as "
                    "FILESTEM-pPAGE-tN.EXT into DIR: CSV (the grid, empty under spanning "
                    "cells), GitHub Markdown, HTML (rowspan and colspan kept) or JSON (the "
                    "dict extract_tables returns). Prints the files written.")
    tables.add_argument("files", nargs="+", metavar="FILE")
    tables.add_argument("-o", "--output", required=True, type=Path, metavar="DIR")
    tables.add_argument("--format", choices=("csv", "md", "html", "json"), default="csv")
    tables.add_argument("--password", help="password of encrypted files")
    tables.add_argument("--pages", help="0-based page numbers, e.g. 0,3,5-9")
    tables.set_defaults(exact=False)
    markdown = commands.add_parser(
        "markdown", parents=[common], help="write each file as Markdown",
        description="Write each file as GitHub-flavoured Markdown (quarvel_full only): to "
                    "stdout, to OUT.md for one file, or as DIR/STEM.md for each file when -o "
                    "names a folder. --chunks writes JSON Lines instead, one page a line: "
                    "{\"path\", \"page\", \"label\", \"text\", \"headings\", "
                    "\"tables\", \"images\", \"links\"} (DIR/STEM.jsonl).")
    markdown.add_argument("files", nargs="+", metavar="FILE")
    markdown.add_argument("-o", "--output", type=Path, metavar="OUT.md|DIR")
    markdown.add_argument("--chunks", action="store_true", help="JSON Lines of page chunks")
    markdown.add_argument("--headers-footers", action="store_true",
                          help="keep running headers, footers and page numbers")
    images_mode = markdown.add_mutually_exclusive_group()
    images_mode.add_argument("--no-images", action="store_true",
                             help="leave images out instead of ![](page-P-image-N) placeholders")
    images_mode.add_argument("--images", type=Path, metavar="DIR",
                             help="write the images into DIR (as `quarvel images` does, named "
                                  "page-P-image-N, in DIR/STEM/ for several files) and link "
                                  "them")

    batch = commands.add_parser(
        "batch", parents=[common], help="extract many files to Parquet or JSON Lines",
        description="Extract files, and PDFs found in folders, into OUT: one row per page "
                    "(path, page, text, blocks as JSON, image count, links) and one row per "
                    "failed file with its error. OUT ending in .jsonl is written as it goes; "
                    ".parquet (needs pyarrow) is moved into place at the end.")
    batch.add_argument("inputs", nargs="+", metavar="INPUT", help="PDF files or folders")
    batch.add_argument("-o", "--output", required=True, type=Path,
                       metavar="OUT.parquet|OUT.jsonl")
    batch.add_argument("--resume", action="store_true",
                       help="skip files OUT already has rows for (failed ones included)")
    batch.add_argument("--jobs", type=int, default=1, metavar="N",
                       help="worker processes, each using the library's own thread pool "
                            "(default 1: this process); Dask workers with --dask local")
    batch.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                       help="progress bar on stderr (default: when stderr is a terminal)")
    batch.add_argument("--markdown", action="store_true",
                       help="add each page's Markdown as a \"markdown\" column (quarvel_full)")
    batch.add_argument("--dask", metavar="ADDRESS",
                       help="spread files over a Dask cluster (scheduler address, or 'local' "
                            "for a LocalCluster on this machine); OUT must be Parquet")
    return parser


def reader_options(args: argparse.Namespace) -> dict[str, Any]:
    return {"password": args.password} if args.password is not None else {}


def report(path: str, error: BaseException, stderr: TextIO) -> None:
    print(f"quarvel: {path}: {type(error).__name__}: {error}", file=stderr)


def pages_of(blocks: Sequence[Mapping[str, Any]], exact: bool) -> list[list[Mapping[str, Any]]]:
    if exact or not blocks:
        return [list(blocks)]
    pages: list[list[Mapping[str, Any]]] = [[] for _ in range(max(b["page"] for b in blocks) + 1)]
    for block in blocks:
        pages[block["page"]].append(block)
    return pages


def cmd_text(args: argparse.Namespace, reader: ModuleType, out: TextIO, err: TextIO) -> int:
    status = 0
    for n, path in enumerate(args.files):
        try:
            blocks, _ = reader.extract(path, include_images=False, **reader_options(args))
        except Exception as e:
            report(path, e, err)
            status = EXIT_FAILED
            continue
        if len(args.files) > 1:
            out.write(("\n" if n else "") + f"==> {path} <==\n")
        for index, page in enumerate(pages_of(blocks, args.exact)):
            if index:
                out.write("\f\n")
            text = page_text(page, exact=args.exact)
            out.write(text + "\n" if text else "")
    return status


def json_images(images: Sequence[Mapping[str, Any]], data: str) -> list[dict[str, Any]]:
    shown = []
    for image in images:
        entry = dict(image)
        if data == "base64":
            entry["image"] = base64.b64encode(image["image"]).decode("ascii")
        else:
            del entry["image"]
        shown.append(entry)
    return shown


def cmd_json(args: argparse.Namespace, reader: ModuleType, out: TextIO, err: TextIO) -> int:
    status = 0
    options = reader_options(args)
    for path in args.files:
        try:
            blocks, images = reader.extract(path, include_images=True, **options)
            record: dict[str, Any] = {"path": path, "blocks": blocks,
                                      "images": json_images(images, args.image_data)}
            if args.links:
                record["links"] = reader.extract_links(path, **options)
        except Exception as e:
            report(path, e, err)
            status = EXIT_FAILED
            continue
        out.write(json.dumps(record, ensure_ascii=False, indent=args.indent) + "\n")
    return status


def image_pixels(reader: ModuleType, path: str,
                 options: Mapping[str, Any]) -> Callable[[int], Mapping[str, Any]] | None:
    """The reader's samples of one image by xref, each xref read once (an
    image drawn on every page is one object), or None for the compact reader."""
    read = getattr(reader, "image_pixels", None)
    if read is None:
        return None
    password = {"password": options["password"]} if "password" in options else {}
    return functools.lru_cache(maxsize=4)(lambda xref: read(path, xref, **password))


class Stems:
    """Output names from the inputs' file names: two inputs with one name
    (a/x.pdf, b/x.pdf) must not overwrite each other, so the second is x~1."""

    def __init__(self) -> None:
        self._seen: dict[str, int] = {}

    def take(self, path: str) -> str:
        stem = Path(path).stem
        seen = self._seen.get(stem, 0)
        self._seen[stem] = seen + 1
        return f"{stem}~{seen}" if seen else stem


def make_folder(folder: Path) -> None:
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as e:
        raise ToolError(f"{folder}: {e.strerror}") from e


def cmd_images(args: argparse.Namespace, reader: ModuleType, out: TextIO, err: TextIO) -> int:
    from quarvel_tools.images import write_image

    make_folder(args.output)
    status = 0
    stems = Stems()
    for path in args.files:
        try:
            _, images = reader.extract(path, include_images=True, **reader_options(args))
        except Exception as e:
            report(path, e, err)
            status = EXIT_FAILED
            continue
        stem = stems.take(path)
        pixels = image_pixels(reader, path, reader_options(args))
        for n, image in enumerate(images):
            name = f"{stem}-{n}" if args.exact else f"{stem}-p{image['page']}-{n}"
            if not image["image"]:
                print(f"quarvel: {path}: image {n} has no data (over the reader's size budget)",
                      file=err)
                continue
            try:
                for written in write_image(image, args.output / name, pixels):
                    out.write(f"{written}\n")
            except OSError as e:
                raise ToolError(f"{args.output / name}: {e.strerror}") from e
    return status


def cmd_links(args: argparse.Namespace, reader: ModuleType, out: TextIO, err: TextIO) -> int:
    status = 0
    for path in args.files:
        try:
            links = reader.extract_links(path, **reader_options(args))
        except Exception as e:
            report(path, e, err)
            status = EXIT_FAILED
            continue
        for link in links:
            box = " ".join(f"{v:g}" for v in link["bbox"])
            out.write(f"{path}\t{link['page']}\t{link['uri']}\t{box}\n")
    return status


def full_reader_only(args: argparse.Namespace, reader: ModuleType) -> None:
    if args.exact or not hasattr(reader, "document_info"):
        raise ToolError(f"{args.command} needs quarvel_full (document_info)")


def yes_no(value: Any) -> str:
    return "yes" if value else "no"


def info_summary(info: Mapping[str, Any]) -> list[tuple[str, str]]:
    """The facts a reader looks at first, pdfinfo-like: one key a line."""
    meta = info["metadata"]
    labels = {"title": "Title", "author": "Author", "subject": "Subject", "keywords": "Keywords",
              "creator": "Creator", "producer": "Producer", "creation_date": "CreationDate",
              "mod_date": "ModDate"}
    # A date that does not parse is shown as written.
    raw = meta["raw_dates"]
    out = [(label, meta[key] or raw.get(key) or "") for key, label in labels.items()]
    out += [
        ("Tagged", yes_no(info["tagged"])),
        ("Form", f"{len(info['fields'])} fields" if info["fields"] else "none"),
        ("Pages", str(info["page_count"])),
        ("Encrypted", yes_no(info["encrypted"])),
    ]
    if info["pages"]:
        first = info["pages"][0]
        out.append(("Page size", f"{first['width']:g} x {first['height']:g} pts"
                                 f" (rotated {first['rotation']} degrees)"))
    out += [
        ("PDF version", info["pdf_version"] or ""),
        ("Language", info["language"] or ""),
        ("Outline", f"{len(info['outline'])} entries" if info["outline"] else "none"),
        ("Page labels", yes_no(info["page_labels"] is not None)),
    ]
    return out


def cmd_info(args: argparse.Namespace, reader: ModuleType, out: TextIO, err: TextIO) -> int:
    full_reader_only(args, reader)
    status = 0
    found: dict[str, Any] = {}
    for path in args.files:
        try:
            found[path] = reader.document_info(path, **reader_options(args))
        except Exception as e:
            report(path, e, err)
            status = EXIT_FAILED
    if args.summary:
        for i, (path, info) in enumerate(found.items()):
            if len(args.files) > 1:
                out.write(("\n" if i else "") + f"==> {path} <==\n")
            for key, value in info_summary(info):
                out.write(f"{key + ':':<16}{value}\n")
    elif len(args.files) == 1:
        if found:
            json.dump(found[args.files[0]], out, indent=2, ensure_ascii=False)
            out.write("\n")
    else:
        json.dump(found, out, indent=2, ensure_ascii=False)
        out.write("\n")
    return status


def cmd_toc(args: argparse.Namespace, reader: ModuleType, out: TextIO, err: TextIO) -> int:
    full_reader_only(args, reader)
    try:
        info = reader.document_info(args.file, **reader_options(args))
    except Exception as e:
        report(args.file, e, err)
        return EXIT_FAILED
    labels = info["page_labels"]
    for entry in info["outline"]:
        if entry["page"] is not None:
            where = labels[entry["page"]] if labels else str(entry["page"] + 1)
        else:
            where = entry["uri"] or "-"
        # A title's own line breaks would break the one-line-a-bookmark form.
        title = " ".join(entry["title"].split())
        out.write(f"{'  ' * (entry['level'] - 1)}{title}\t{where}\n")
    return 0


def parse_pages(text: Optional[str]) -> Optional[list[int]]:
    if text is None:
        return None
    pages: list[int] = []
    try:
        for part in text.split(","):
            first, _, last = part.strip().partition("-")
            pages.extend(range(int(first), int(last or first) + 1))
    except ValueError:
        raise ToolError(f"--pages: not a list of page numbers: {text!r}") from None
    return pages


def table_text(table: Mapping[str, Any], fmt: str, reader: ModuleType) -> str:
    if fmt == "json":
        return json.dumps(table, ensure_ascii=False) + "\n"
    if fmt == "csv":
        import csv
        import io

        buffer = io.StringIO()
        writer = csv.writer(buffer, lineterminator="\n")
        writer.writerows([["" if v is None else v for v in row] for row in table["rows"]])
        return buffer.getvalue()
    rendered: str = reader.render_table(table, "markdown" if fmt == "md" else "html")
    return rendered


def cmd_tables(args: argparse.Namespace, reader: ModuleType, out: TextIO, err: TextIO) -> int:
    make_folder(args.output)
    pages = parse_pages(args.pages)
    status = 0
    stems = Stems()
    for path in args.files:
        try:
            found = reader.extract_tables(path, pages=pages, **reader_options(args))
        except Exception as e:
            report(path, e, err)
            status = EXIT_FAILED
            continue
        stem = stems.take(path)
        counts: dict[int, int] = {}
        for table in found:
            n = counts.get(table["page"], 0)
            counts[table["page"]] = n + 1
            target = args.output / f"{stem}-p{table['page']}-t{n}.{args.format}"
            try:
                target.write_text(table_text(table, args.format, reader), encoding="utf-8")
            except OSError as e:
                raise ToolError(f"{target}: {e.strerror}") from e
            out.write(f"{target}\n")
    return status


def cmd_batch(args: argparse.Namespace, reader: ModuleType, out: TextIO, err: TextIO) -> int:
    from quarvel_tools.batch import find_pdfs, run_batch
    from quarvel_tools.rows import map_large_blocks
    from quarvel_tools.sinks import open_sink

    if args.password is not None:
        raise ToolError("batch does not take --password")
    if args.jobs < 1:
        raise ToolError("--jobs must be at least 1")
    if args.markdown and (args.exact or args.dask is not None):
        raise ToolError("--markdown needs quarvel_full, on this machine (not --exact or --dask)")
    missing = [p for p in args.inputs if not os.path.exists(p)]
    paths = find_pdfs(p for p in args.inputs if p not in missing)
    if args.dask is not None:
        if args.resume:
            raise ToolError("--resume is not available with --dask")
        from quarvel_tools.dask import extract_to_parquet

        failed = extract_to_parquet(paths, args.output, address=args.dask, exact=args.exact,
                                    workers=args.jobs if args.jobs > 1 else None)
    else:
        # This process is the batch's own, so its allocators are chosen for
        # it. Arrow's default pool (mimalloc) reserves memory that the C
        # library's would hand back: 25 MiB at the peak to Parquet. Only the
        # variable, read when pyarrow is first imported, keeps Arrow from
        # starting its own pool at all.
        os.environ.setdefault("ARROW_DEFAULT_MEMORY_POOL", "system")
        map_large_blocks()
        sink = open_sink(args.output, args.resume)
        failed = run_batch(paths, sink, exact=args.exact, jobs=args.jobs,
                           progress=args.progress, stderr=err, markdown=args.markdown)
    for path in missing:
        print(f"quarvel: {path}: no such file or folder", file=err)
    for row in failed:
        print(f"quarvel: {row['path']}: {row['error']}", file=err)
    return EXIT_FAILED if failed or missing else 0


def markdown_targets(args: argparse.Namespace) -> list[Optional[Path]]:
    """Where each file's Markdown goes: stdout (None), the one file -o names,
    or STEM.md / STEM.jsonl in the folder -o names."""
    if args.output is None:
        return [None] * len(args.files)
    suffix = ".jsonl" if args.chunks else ".md"
    if len(args.files) == 1 and not args.output.is_dir() and args.output.suffix:
        return [args.output]
    make_folder(args.output)
    targets: list[Optional[Path]] = []
    stems = Stems()
    for path in args.files:
        targets.append(args.output / f"{stems.take(path)}{suffix}")
    return targets


def write_page_images(reader: ModuleType, path: str, folder: Path,
                      options: Mapping[str, Any]) -> None:
    """The images the Markdown links to: FOLDER/page-P-image-N.EXT, N counted
    on each page in the order extract lists them, as to_markdown counts."""
    from quarvel_tools.images import write_image

    folder.mkdir(parents=True, exist_ok=True)
    password = {"password": options["password"]} if "password" in options else {}
    _, images = reader.extract(path, include_images=True, **password)
    pixels = image_pixels(reader, path, options)
    counts: dict[int, int] = {}
    for image in images:
        n = counts.get(image["page"], 0)
        counts[image["page"]] = n + 1
        write_image(image, folder / f"page-{image['page']}-image-{n}", pixels)


def cmd_markdown(args: argparse.Namespace, reader: ModuleType, out: TextIO, err: TextIO) -> int:
    if args.exact:
        raise ToolError("markdown needs quarvel_full; --exact is not available")
    options = reader_options(args)
    options["headers_footers"] = args.headers_footers
    if args.no_images:
        options["images"] = None
    status = 0
    for n, (path, target) in enumerate(zip(args.files, markdown_targets(args))):
        try:
            folder = None
            if args.images is not None:
                folder = args.images if len(args.files) == 1 else args.images / Path(path).stem
                options["images"] = str(folder)
            result = reader.to_markdown(path, page_chunks=args.chunks, **options)
            if folder is not None:
                write_page_images(reader, path, folder, options)
        except OSError as e:
            raise ToolError(f"{e.filename}: {e.strerror}") from e
        except Exception as e:
            report(path, e, err)
            status = EXIT_FAILED
            continue
        if args.chunks:
            text = "".join(json.dumps({"path": path, **chunk}, ensure_ascii=False) + "\n"
                           for chunk in result)
        else:
            text = result
        if target is None:
            if len(args.files) > 1 and not args.chunks:
                out.write(("\n" if n else "") + f"==> {path} <==\n")
            out.write(text)
            continue
        try:
            target.write_text(text, encoding="utf-8")
        except OSError as e:
            raise ToolError(f"{target}: {e.strerror}") from e
    return status


COMMANDS = {"text": cmd_text, "json": cmd_json, "images": cmd_images, "links": cmd_links,
            "info": cmd_info, "toc": cmd_toc, "tables": cmd_tables, "markdown": cmd_markdown,
            "batch": cmd_batch}


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    out, err = sys.stdout, sys.stderr
    try:
        if args.exact and args.password is not None:
            raise ToolError("--password needs quarvel_full; quarvel refuses encrypted files")
        reader = load_reader(args.exact)
        return COMMANDS[args.command](args, reader, out, err)
    except ToolError as e:
        print(f"quarvel {args.command}: {e}", file=err)
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader of a pipe (head, less) stopped early: not a failure.
        # Point stdout at /dev/null so the interpreter's final flush is quiet.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        return 130
