"""extract_links end to end, on built files and on the development corpus."""

from __future__ import annotations

import math

import pytest

from conftest import CORPUS_DIR, corpus_params
from pdfbuilder import PdfBuilder, XrefStyle, simple_document, to_bytes


def one_page(annots, *objects) -> PdfBuilder:
    """A one-page document whose page has `annots` as /Annots, plus objects 20, 21, ..."""
    b = simple_document(["BT ET"], page_extra=b"/Annots " + to_bytes(annots))
    for i, body in enumerate(objects):
        b.object(20 + i, body)
    return b


def test_no_annotations_gives_empty_list(quarvel, write_pdf):
    assert quarvel.extract_links(write_pdf(simple_document(["BT ET", "BT ET"]))) == []


@pytest.mark.parametrize("xref", [XrefStyle.TABLE, XrefStyle.STREAM])
def test_links_in_page_order_with_page_index(quarvel, write_pdf, xref):
    b = simple_document(
        ["BT ET", "BT ET", "BT ET"],
        page_extra=[
            "",
            "/Annots [20 0 R 21 0 R]",
            "/Annots [<< /Subtype /Link /Rect [1 2 3 4] /Dest (https://c/) >>]",
        ],
    )
    b.object(20, "<< /Type /Annot /Subtype /Link /Rect [10 20.5 30 40] /A << /S /URI /URI (abc) >> >>")
    b.object(21, "<< /Subtype /Link /Rect [0 0 1 1] /A 22 0 R >>")
    b.object(22, "<< /S /URI /URI (http://b/) >>")
    links = quarvel.extract_links(path=write_pdf(b, xref=xref))
    assert links == [
        {"uri": "abc", "bbox": [10.0, 20.5, 30.0, 40.0], "page": 1},
        {"uri": "http://b/", "bbox": [0.0, 0.0, 1.0, 1.0], "page": 1},
        {"uri": "https://c/", "bbox": [1.0, 2.0, 3.0, 4.0], "page": 2},
    ]
    for link in links:
        assert list(link) == ["uri", "bbox", "page"]
        assert all(type(v) is float for v in link["bbox"])
        assert type(link["page"]) is int


@pytest.mark.parametrize(
    "rect, bbox",
    [
        ("", [0.0] * 4),
        ("/Rect [10 20.5 30]", [0.0] * 4),
        ("/Rect [10 (a) 20 30 40]", [10.0, 20.0, 30.0, 40.0]),
        ("/Rect [50 60 10 20]", [50.0, 60.0, 10.0, 20.0]),
        ("/Rect 20 0 R", [0.0] * 4),
    ],
)
def test_bbox_is_the_rect_as_written(quarvel, write_pdf, rect, bbox):
    path = write_pdf(one_page(f"[<< /Subtype /Link {rect} /Dest (http://x) >>]", "[1 2 3 4]"))
    assert quarvel.extract_links(path)[0]["bbox"] == bbox


@pytest.mark.parametrize(
    "entries, uris",
    [
        ("/A << /S /GoTo /D [3 0 R /Fit] >> /Dest (https://a.example/)", ["https://a.example/"]),
        ("/Dest [3 0 R /XYZ 0 0 0]", []),
        ("/Dest (chapter1)", []),
        ("/Dest (HTTP://a.example/)", []),
        ("/Dest (http://)", ["http://"]),
        ("/A << /S /URI /URI <68747470733a2f2f782f> >>", ["https://x/"]),
        ("/A << /S /URI /URI (https://w/Chromium_\\(web_browser\\)) >>",
         ["https://w/Chromium_(web_browser)"]),
        (b"/A << /S /URI /URI (http://a/\xff\xfe/\xc3\xa9) >>", ["http://a/\ufffd\ufffd/\u00e9"]),
        ("/A 99 0 R /Dest (https://dest/)", []),
    ],
)
def test_link_targets(quarvel, write_pdf, entries, uris):
    if isinstance(entries, str):
        entries = entries.encode("latin-1")
    path = write_pdf(one_page(b"[<< /Subtype /Link " + entries + b" >>]"))
    assert [link["uri"] for link in quarvel.extract_links(path)] == uris


def test_missing_annotation_object_fails_the_call(quarvel, write_pdf):
    path = write_pdf(one_page("[<< /Subtype /Link /Dest (http://a) >> 99 0 R]"))
    with pytest.raises(ValueError, match=r"^object not in xref$"):
        quarvel.extract_links(path)


def test_damaged_xref_is_recovered(quarvel, write_pdf):
    path = write_pdf(one_page("[<< /Subtype /Link /Dest (http://a) >>]"), omit_startxref=True)
    assert [link["uri"] for link in quarvel.extract_links(path)] == ["http://a"]


def test_many_links(quarvel, write_pdf):
    annots = " ".join(
        f"<< /Subtype /Link /Rect [{i} 0 {i + 1} 1] /A << /S /URI /URI (http://h/{i}) >> >>"
        for i in range(5000)
    )
    links = quarvel.extract_links(write_pdf(one_page(f"[{annots}]")))
    assert [link["uri"] for link in links] == [f"http://h/{i}" for i in range(5000)]
    assert links[-1]["bbox"] == [4999.0, 0.0, 5000.0, 1.0]


# --- development corpus ----------------------------------------------------------

# The design reads only the newest cross-reference section and sends
# cross-reference streams with object streams to the recovery scan, so files
# with several sections, or with objects inside object streams, may fail with
# a ValueError. A file with one classic table and no object streams must open.
def readable(row) -> bool:
    return row["xref"] == "table" and row["xref_sections"] == "1" and row["objstm"] == "n" \
        and row["encrypted"] == "n"


@pytest.mark.parametrize("row", corpus_params())
def test_corpus_file_never_crashes(quarvel, row):
    path = str(CORPUS_DIR / row["file"])
    try:
        links = quarvel.extract_links(path)
    except ValueError:
        assert not readable(row), "a file the design reads failed"
        return
    for link in links:
        assert list(link) == ["uri", "bbox", "page"]
        assert len(link["bbox"]) == 4 and 0 <= link["page"] < int(row["pages"])


@pytest.mark.parametrize("row", corpus_params(lambda r: r["uri_links"] not in ("0", "-")))
def test_corpus_links_match_reference_reader(quarvel, row):
    pymupdf = pytest.importorskip("pymupdf")
    path = str(CORPUS_DIR / row["file"])
    try:
        links = quarvel.extract_links(path)
    except ValueError:
        if readable(row):
            raise
        pytest.skip("outside what the design reads")
    assert len(links) == int(row["uri_links"])
    with pymupdf.open(path) as doc:
        expected = []
        for index, page in enumerate(doc):
            for link in page.get_links():
                if link["kind"] != pymupdf.LINK_URI:
                    continue
                kind, rect = doc.xref_get_key(link["xref"], "Rect")
                numbers = [float(v) for v in rect.strip("[]").split()] if kind == "array" else []
                expected.append((index, link["uri"], numbers[:4]))
    ours = [(link["page"], link["uri"], link["bbox"]) for link in links]
    assert [o[:2] for o in ours] == [e[:2] for e in expected]
    for (_, _, got), (_, _, want) in zip(ours, expected):
        assert all(math.isclose(g, w, abs_tol=1e-3) for g, w in zip(got, want)), (got, want)
