"""document_info, internal links and widget appearances of the full reader,
on files from the PDF builder. Text strings and dates are pinned in
tests/core/docinfo/text_string_test.cpp."""

from __future__ import annotations

import json
import shutil
import subprocess
import sys

import pytest

from pdfbuilder import PdfBuilder, simple_document, to_bytes

quarvel_full = pytest.importorskip("quarvel_full")

# Named limits of core/resource_limits.h.
MAX_OUTLINE_ENTRIES = 100_000
MAX_OUTLINE_DEPTH = 64
MAX_TREE_DEPTH = 64

FONT = "<< /Font << /F1 30 0 R >> >>"


def document(pages: int = 1, catalog: str = "", page_extra="", info: str = "") -> PdfBuilder:
    """`pages` empty pages with `catalog` entries in the catalogue and, with
    `info`, an Info dictionary (object 90)."""
    b = simple_document(["BT ET"] * pages, page_extra=page_extra)
    b.object(1, "<< /Type /Catalog /Pages 2 0 R " + catalog + " >>")
    if info:
        b.object(90, "<< " + info + " >>")
    return b


def write(write_pdf, b: PdfBuilder, info: bool = False) -> str:
    data = b.build()
    if info:
        data = data.replace(b"/Root 1 0 R", b"/Root 1 0 R /Info 90 0 R", 1)
    return write_pdf(data)


def outline_items(write_pdf, items: dict[int, str], pages: int = 3, catalog: str = "") -> list:
    """The outline of a document whose /Outlines is object 20 and whose items
    are `items` (object number: dictionary text)."""
    b = document(pages, "/Outlines 20 0 R " + catalog)
    for num, body in items.items():
        b.object(num, body)
    return quarvel_full.document_info(write_pdf(b))["outline"]


# --- the whole value -------------------------------------------------------------


def test_keys_types_and_order(write_pdf):
    b = document(2, "/Lang (de-CH) /MarkInfo << /Marked true >> /Version /1.7",
                 info="/Title (T) /Author (A) /CreationDate (D:20200102030405Z)")
    info = quarvel_full.document_info(write(write_pdf, b, info=True))
    assert list(info) == ["page_count", "pdf_version", "encrypted", "tagged", "language",
                          "metadata", "outline", "page_labels", "pages", "fields"]
    assert list(info["metadata"]) == ["title", "author", "subject", "keywords", "creator",
                                      "producer", "creation_date", "mod_date", "raw_dates"]
    assert info["page_count"] == 2
    assert info["pdf_version"] == "1.7"
    assert info["encrypted"] is False and info["tagged"] is True
    assert info["language"] == "de-CH"
    assert info["metadata"]["title"] == "T" and info["metadata"]["subject"] is None
    assert info["metadata"]["creation_date"] == "2020-01-02T03:04:05Z"
    assert info["metadata"]["raw_dates"] == {"creation_date": "D:20200102030405Z",
                                             "mod_date": None}
    assert info["outline"] == [] and info["page_labels"] is None and info["fields"] == []


@pytest.mark.parametrize("version, expected", [
    ("", "1.4"),
    ("/Version /1.7", "1.7"),
    ("/Version /1.2", "1.4"),  # an older catalogue version never lowers the header's
    ("/Version (2.0)", "1.4"),  # not a name
    ("/Version /1..2", "1.4"),  # not a version
    ("/Version /10.0x", "10.0"),
])
def test_version_is_the_later_of_header_and_catalogue(write_pdf, version, expected):
    b = document(1, version)
    data = b"%PDF-1.4" + b.build()[len(b"%PDF-1.7"):]
    assert quarvel_full.document_info(write_pdf(data))["pdf_version"] == expected


def test_unparseable_date_keeps_its_raw_text(write_pdf):
    b = document(1, info="/ModDate (yesterday) /Title <FEFF00C9>")
    meta = quarvel_full.document_info(write(write_pdf, b, info=True))["metadata"]
    assert meta["mod_date"] is None and meta["raw_dates"]["mod_date"] == "yesterday"
    assert meta["title"] == "\u00c9"


XMP = (b'<?xpacket begin=""?><x:xmpmeta><rdf:RDF><rdf:Description '
       b'xmp:CreatorTool="Writer" pdf:Producer="P &amp; Q">'
       b'<dc:title><rdf:Alt><rdf:li xml:lang="x-default">From XMP</rdf:li></rdf:Alt></dc:title>'
       b'<xmp:ModifyDate>2021-02-03T04:05:06+02:00</xmp:ModifyDate>'
       b'</rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end="r"?>')


@pytest.mark.parametrize("info, title, producer", [
    ("", "From XMP", "P & Q"),              # no Info dictionary
    ("/Foo (bar)", "From XMP", "P & Q"),    # one that says nothing
    ("/Title (Info)", "Info", None),        # Info wins whole, fields are not mixed
])
def test_xmp_fills_in_only_for_a_missing_or_empty_info(write_pdf, info, title, producer):
    b = document(1, "/Metadata 40 0 R", info=info or "")
    b.stream(40, "/Type /Metadata /Subtype /XML", XMP)
    meta = quarvel_full.document_info(write(write_pdf, b, info=bool(info)))["metadata"]
    assert (meta["title"], meta["producer"]) == (title, producer)
    if not info.startswith("/Title"):
        assert meta["creator"] == "Writer"
        assert meta["mod_date"] == "2021-02-03T04:05:06+02:00"


def test_encrypted_file_reports_it(write_pdf, tmp_path):
    qpdf = shutil.which("qpdf")
    if qpdf is None:
        pytest.skip("qpdf is not installed")
    src = write_pdf(document(1))
    out = str(tmp_path / "encrypted.pdf")
    subprocess.run([qpdf, "--encrypt", "", "owner", "256", "--", src, out], check=True)
    assert quarvel_full.document_info(out)["encrypted"] is True


# --- outline ----------------------------------------------------------------------


def test_outline_levels_and_every_kind_of_target(write_pdf):
    outline = outline_items(write_pdf, {
        20: "<< /First 21 0 R >>",
        21: "<< /Title (One) /Dest [3 0 R /XYZ 10 700 0] /First 22 0 R /Next 25 0 R >>",
        22: "<< /Title (Named) /Dest /dictname /Next 23 0 R >>",
        23: "<< /Title (Tree) /A << /S /GoTo /D (treename) >> /First 24 0 R >>",
        24: "<< /Title (Deep) /Dest [7 0 R /FitR 0 10 20 30] >>",
        25: "<< /Title <FEFF0054> /A 26 0 R /Next 27 0 R >>",
        26: "<< /S /URI /URI (https://example.org/a) >>",
        27: "<< /Title (Nowhere) /Dest [99 0 R /Fit] /Next 28 0 R >>",
        28: "<< /Title (Number) /Dest [1 /FitH null] >>",
        40: "<< /dictname [5 0 R /Fit] >>",
        41: "<< /Kids [42 0 R] >>",
        42: "<< /Limits [(a) (z)] /Names [(treename) 43 0 R] >>",
        43: "<< /D [5 0 R /FitH 500] >>",
    }, catalog="/Dests 40 0 R /Names << /Dests 41 0 R >>")
    assert [(e["level"], e["title"], e["page"], e["top"], e["uri"]) for e in outline] == [
        (1, "One", 0, 700.0, None),
        (2, "Named", 1, None, None),
        (2, "Tree", 1, 500.0, None),
        (3, "Deep", 2, 30.0, None),
        (1, "T", None, None, "https://example.org/a"),
        (1, "Nowhere", None, None, None),
        (1, "Number", 1, None, None),
    ]


@pytest.mark.parametrize("items, titles", [
    # A /Next that comes back ends the chain where it loops.
    ({20: "<< /First 21 0 R >>", 21: "<< /Title (a) /Next 22 0 R >>",
      22: "<< /Title (b) /Next 21 0 R >>"}, ["a", "b"]),
    # A child that is its own ancestor is not read again.
    ({20: "<< /First 21 0 R >>", 21: "<< /Title (a) /First 21 0 R /Next 22 0 R >>",
      22: "<< /Title (b) >>"}, ["a", "b"]),
    # A dangling /Next, a /First that is not a dictionary: what was read stays.
    ({20: "<< /First 21 0 R >>", 21: "<< /Title (a) /First 4 0 R /Next 77 0 R >>"}, ["a"]),
    ({20: "<< /First 21 0 R >>", 21: "<< /Title 22 0 R /Dest 23 0 R >>", 22: "(indirect)",
      23: "[3 0 R /XYZ null null null]"}, ["indirect"]),
    ({20: "<< /First [1 2] >>"}, []),
])
def test_broken_outlines_give_what_could_be_read(write_pdf, items, titles):
    assert [e["title"] for e in outline_items(write_pdf, items)] == titles


@pytest.mark.parametrize("count", [MAX_OUTLINE_ENTRIES, MAX_OUTLINE_ENTRIES + 1])
def test_outline_entry_limit(write_pdf, count):
    b = document(1, "/Outlines 20 0 R")
    b.object(20, "<< /First 21 0 R >>")
    for i in range(count):
        nxt = " /Next %d 0 R" % (22 + i) if i + 1 < count else ""
        b.object(21 + i, "<< /Title (e) /Dest [3 0 R /Fit]%s >>" % nxt)
    outline = quarvel_full.document_info(write_pdf(b))["outline"]
    assert len(outline) == min(count, MAX_OUTLINE_ENTRIES)


@pytest.mark.parametrize("depth", [MAX_OUTLINE_DEPTH, MAX_OUTLINE_DEPTH + 1])
def test_outline_depth_limit(write_pdf, depth):
    items = {20: "<< /First 21 0 R >>"}
    for i in range(depth):
        child = " /First %d 0 R" % (22 + i) if i + 1 < depth else ""
        items[21 + i] = "<< /Title (d%d)%s >>" % (i + 1, child)
    items[21 + depth] = "<< /Title (after) >>"
    items[21] = items[21].replace(">>", " /Next %d 0 R >>" % (21 + depth))
    outline = outline_items(write_pdf, items)
    assert [e["level"] for e in outline[:-1]] == list(range(1, min(depth, MAX_OUTLINE_DEPTH) + 1))
    # The sibling after the cut-off chain is still read.
    assert outline[-1]["title"] == "after" and outline[-1]["level"] == 1


def test_ten_thousand_entry_outline_answers_quickly(write_pdf):
    b = document(1, "/Outlines 20 0 R")
    b.object(20, "<< /First 21 0 R >>")
    for i in range(10_000):
        nxt = " /Next %d 0 R" % (22 + i) if i + 1 < 10_000 else ""
        b.object(21 + i, "<< /Title (e%d) /Dest [3 0 R /XYZ 0 700 0]%s >>" % (i, nxt))
    path = write_pdf(b)
    assert len(quarvel_full.document_info(path)["outline"]) == 10_000


# --- page labels --------------------------------------------------------------------


@pytest.mark.parametrize("labels, pages, expected", [
    ("<< /Nums [0 << /S /r >> 3 << /S /D >>] >>", 5, ["i", "ii", "iii", "1", "2"]),
    ("<< /Nums [0 << /S /R /St 4 >> 2 << /S /A /St 26 >>] >>", 4, ["IV", "V", "Z", "AA"]),
    ("<< /Nums [0 << /S /a /St 52 >>] >>", 2, ["zz", "aaa"]),
    ("<< /Nums [0 << /P (A-) /S /D /St 3 >> 1 << /P <FEFF00C9> >>] >>", 3, ["A-3", "\u00c9", "\u00c9"]),
    # Pages before the first range get their own number; ranges past the end are ignored.
    ("<< /Nums [1 << /S /D /St 10 >> 9 << /S /r >>] >>", 3, ["1", "10", "11"]),
    ("<< /Kids [40 0 R 41 0 R] >>", 4, ["a", "b", "x1", "x2"]),
    ("<< /Nums [] >>", 2, None),
])
def test_page_labels(write_pdf, labels, pages, expected):
    b = document(pages, "/PageLabels " + labels)
    b.object(40, "<< /Limits [0 1] /Nums [0 << /S /a >>] >>")
    b.object(41, "<< /Limits [2 3] /Nums [2 << /P (x) /S /D >>] >>")
    assert quarvel_full.document_info(write_pdf(b))["page_labels"] == expected


@pytest.mark.parametrize("depth", [MAX_TREE_DEPTH, MAX_TREE_DEPTH + 1])
def test_number_tree_depth_limit(write_pdf, depth):
    b = document(2, "/PageLabels 40 0 R")
    for i in range(depth - 1):
        b.object(40 + i, "<< /Kids [%d 0 R] >>" % (41 + i))
    b.object(40 + depth - 1, "<< /Nums [0 << /S /r >>] >>")
    labels = quarvel_full.document_info(write_pdf(b))["page_labels"]
    assert labels == (["i", "ii"] if depth <= MAX_TREE_DEPTH else None)


def test_cyclic_trees_end(write_pdf):
    b = document(2, "/PageLabels 40 0 R /Names << /Dests 50 0 R >> /Outlines 20 0 R")
    b.object(40, "<< /Kids [41 0 R 40 0 R] >>")
    b.object(41, "<< /Kids [40 0 R] /Nums [1 << /S /D >>] >>")
    b.object(50, "<< /Kids [51 0 R 50 0 R] >>")
    b.object(51, "<< /Kids [50 0 R 51 0 R] /Names [(n) [5 0 R /Fit]] >>")
    b.object(20, "<< /First 21 0 R >>")
    b.object(21, "<< /Title (a) /Dest (n) >>")
    info = quarvel_full.document_info(write_pdf(b))
    assert info["page_labels"] == ["1", "1"]
    assert info["outline"][0]["page"] == 1


# --- pages and fields -----------------------------------------------------------------


def test_page_geometry(write_pdf):
    b = simple_document(["BT ET"] * 4, page_extra=[
        "", "/Rotate 90 /CropBox [10 20 110 420]", "/Rotate -90 /CropBox [0 0 100 50]",
        "/Rotate 45 /CropBox [900 900 1000 1000]"])
    b.object(2, "<< /Type /Pages /Kids [3 0 R 5 0 R 7 0 R 9 0 R] /Count 4 /Rotate 180 >>")
    pages = quarvel_full.document_info(write_pdf(b))["pages"]
    assert pages[0] == {"width": 612.0, "height": 792.0, "rotation": 180,
                        "mediabox": [0.0, 0.0, 612.0, 792.0], "cropbox": [0.0, 0.0, 612.0, 792.0]}
    assert (pages[1]["width"], pages[1]["height"], pages[1]["rotation"]) == (400.0, 100.0, 90)
    assert pages[1]["cropbox"] == [10.0, 20.0, 110.0, 420.0]
    # A page's own /Rotate overrides the inherited one.
    assert (pages[2]["width"], pages[2]["height"], pages[2]["rotation"]) == (50.0, 100.0, 270)
    # A rotation that is no multiple of 90 is ignored; a crop box outside the media box too.
    assert pages[3]["rotation"] == 0 and pages[3]["cropbox"] == [0.0, 0.0, 612.0, 792.0]


def test_form_fields(write_pdf):
    b = document(2, "/AcroForm << /Fields [40 0 R 41 0 R 44 0 R 45 0 R] >>",
                 page_extra=["/Annots [41 0 R 43 0 R]", "/Annots [45 0 R]"])
    b.object(40, "<< /T (person) /FT /Tx /Kids [42 0 R] >>")
    b.object(41, "<< /T (agree) /FT /Btn /V /Yes /Subtype /Widget /Rect [0 0 1 1] >>")
    b.object(42, "<< /T <FEFF004E0061006D0065> /V (Ann) /Kids [43 0 R] >>")
    b.object(43, "<< /Subtype /Widget /Rect [0 0 1 1] /P 3 0 R >>")
    b.object(44, "<< /T (colours) /FT /Ch /V [(red) (blue)] >>")
    b.object(45, "<< /T (sig) /FT /Sig /V 46 0 R /Subtype /Widget /Rect [0 0 1 1] >>")
    b.object(46, "<< /Type /Sig >>")
    fields = quarvel_full.document_info(write_pdf(b))["fields"]
    assert fields == [
        {"name": "person.Name", "type": "text", "value": "Ann", "page": 0},
        {"name": "agree", "type": "button", "value": "Yes", "page": 0},
        {"name": "colours", "type": "choice", "value": "red, blue", "page": None},
        {"name": "sig", "type": "signature", "value": None, "page": 1},
    ]


def test_form_field_cycle_ends(write_pdf):
    b = document(1, "/AcroForm << /Fields [40 0 R 40 0 R] >>")
    b.object(40, "<< /T (a) /FT /Tx /Kids [41 0 R] >>")
    b.object(41, "<< /T (b) /Kids [40 0 R 41 0 R] /V (v) >>")
    assert quarvel_full.document_info(write_pdf(b))["fields"] == []


# --- internal links -------------------------------------------------------------------


def test_internal_links_come_only_on_request(write_pdf):
    b = document(3, "/Dests << /far [7 0 R /XYZ 0 300 0] >>", page_extra=[
        "/Annots [40 0 R 41 0 R 42 0 R 43 0 R]", "", ""])
    b.object(40, "<< /Subtype /Link /Rect [1 2 3 4] /Dest [5 0 R /FitH 600] >>")
    b.object(41, "<< /Subtype /Link /Rect [5 6 7 8] /A << /S /URI /URI (https://w/) >> >>")
    b.object(42, "<< /Subtype /Link /Rect [0 0 1 1] /A << /S /GoTo /D /far >> >>")
    b.object(43, "<< /Subtype /Link /Rect [0 0 1 1] /A << /S /GoToR /F (x.pdf) /D [0 /Fit] >> >>")
    path = write_pdf(b)
    assert quarvel_full.extract_links(path) == [
        {"uri": "https://w/", "bbox": [5.0, 6.0, 7.0, 8.0], "page": 0}]
    assert quarvel_full.extract_links(path, internal=True) == [
        {"uri": None, "bbox": [1.0, 2.0, 3.0, 4.0], "page": 0, "target_page": 1,
         "target_top": 600.0},
        {"uri": "https://w/", "bbox": [5.0, 6.0, 7.0, 8.0], "page": 0, "target_page": None,
         "target_top": None},
        {"uri": None, "bbox": [0.0, 0.0, 1.0, 1.0], "page": 0, "target_page": 2,
         "target_top": 300.0},
    ]
    with pytest.raises(TypeError):
        quarvel_full.extract_links(path, internal=1)


# --- widget appearances ---------------------------------------------------------------


def widget_page(write_pdf, widgets: list[str], appearance: bytes = b"BT /F1 10 Tf 2 2 Td (Filled) Tj ET",
                form_dict: str = "/BBox [0 0 100 20]") -> str:
    b = simple_document(["BT /F1 12 Tf 72 700 Td (Page) Tj ET"], resources=FONT,
                        page_extra="/Annots [%s]" % " ".join("%d 0 R" % (40 + i) for i in range(len(widgets))))
    b.object(30, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    for i, w in enumerate(widgets):
        b.object(40 + i, "<< /Subtype /Widget /FT /Tx /Rect [100 100 300 140] " + w + " >>")
    b.stream(50, "/Type /XObject /Subtype /Form /Resources " + FONT + " " + form_dict, appearance)
    b.stream(51, "/Type /XObject /Subtype /Form /Resources " + FONT + " /BBox [0 0 100 20]",
             "BT /F1 10 Tf 2 2 Td (Off) Tj ET")
    return write_pdf(b)


def spans(path: str, module=quarvel_full) -> list:
    blocks = module.extract(path)[0]
    return [(s["text"], s["size"], s["bbox"]) for b in blocks for l in b["lines"] for s in l["spans"]]


@pytest.mark.parametrize("widget, texts", [
    ("/AP << /N 50 0 R >>", ["Page", "Filled"]),
    ("/AP << /N << /On 50 0 R /Off 51 0 R >> >> /AS /Off", ["Page", "Off"]),
    ("/AP << /N << /On 50 0 R /Off 51 0 R >> >>", ["Page"]),  # no state chosen
    ("/AP << /N 50 0 R >> /F 2", ["Page"]),   # Hidden
    ("/AP << /N 50 0 R >> /F 32", ["Page"]),  # NoView
    ("/AP << /N 50 0 R >> /F 4", ["Page", "Filled"]),  # Print only
    ("/AP << /D 50 0 R >>", ["Page"]),  # a down appearance is not the normal one
])
def test_widget_appearances_are_page_text(write_pdf, widget, texts):
    path = widget_page(write_pdf, [widget])
    assert [t for t, _, _ in spans(path)] == texts
    # The compact reader draws page content only.
    assert "".join(t for t, _, _ in spans(path, pytest.importorskip("quarvel"))) == "Page"


def test_appearance_box_is_mapped_onto_the_rect(write_pdf):
    # BBox 100 x 20 onto a 200 x 40 rectangle at (100, 100): twice the size.
    [(_, size, bbox)] = [s for s in spans(widget_page(write_pdf, ["/AP << /N 50 0 R >>"]))
                         if s[0] == "Filled"]
    assert size == pytest.approx(20.0)
    assert bbox[0] == pytest.approx(104.0)
    # A /Matrix that turns the form a quarter: its box is turned first, then fitted.
    path = widget_page(write_pdf, ["/AP << /N 50 0 R >>"],
                       form_dict="/BBox [0 0 20 100] /Matrix [0 1 -1 0 0 0]")
    [(_, size, bbox)] = [s for s in spans(path) if s[0] == "Filled"]
    assert 100.0 <= bbox[0] <= 300.0 and 100.0 <= bbox[1] <= 140.0


# --- command line ---------------------------------------------------------------------


def run_cli(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "quarvel_tools", *args], capture_output=True,
                          text=True, timeout=60)


def test_cli_info_and_toc(write_pdf):
    b = document(3, "/Outlines 20 0 R /PageLabels << /Nums [0 << /S /r >>] >>",
                 info="/Title (Book) /ModDate (bad)")
    b.object(20, "<< /First 21 0 R >>")
    b.object(21, "<< /Title (Part\n one) /Dest [5 0 R /Fit] /First 22 0 R /Next 23 0 R >>")
    b.object(22, "<< /Title (Chapter) /Dest [7 0 R /Fit] >>")
    b.object(23, "<< /Title (Site) /A << /S /URI /URI (https://s/) >> >>")
    path = write(write_pdf, b, info=True)
    toc = run_cli("toc", path)
    assert toc.returncode == 0 and toc.stdout == "Part one\tii\n  Chapter\tiii\nSite\thttps://s/\n"
    info = run_cli("info", path)
    assert json.loads(info.stdout) == quarvel_full.document_info(path)
    both = run_cli("info", path, path + ".missing")
    assert both.returncode == 1 and list(json.loads(both.stdout)) == [path]
    summary = run_cli("info", "--summary", path).stdout
    assert "Title:          Book\n" in summary and "ModDate:        bad\n" in summary
    assert "Pages:          3\n" in summary
    assert run_cli("toc", "--exact", path).returncode == 2
