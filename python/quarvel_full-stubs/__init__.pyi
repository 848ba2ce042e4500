# Types of the extension module quarvel_full (the full reader). The dicts are
# built in python-module/render.cpp and module.cpp; docs/results.md says
# what each field means.
import os
from collections.abc import Iterable, Iterator, Sequence
from typing import Literal, Optional, TypeVar, TypedDict, Union, overload

StrPath = Union[str, os.PathLike[str]]
Password = Union[str, bytes, None]

__version__: str

class Span(TypedDict):
    bbox: list[float]
    text: str
    font: str
    size: float
    color: int
    # Bits: 1 superscript, 2 italic, 4 serif, 8 monospaced, 16 bold,
    # 32 subscript (docs/results.md).
    flags: int

class Line(TypedDict):
    bbox: list[float]
    spans: list[Span]

class Block(TypedDict):
    type: Literal[0]
    bbox: list[float]
    lines: list[Line]
    page: int

class _ImageFacts(TypedDict):
    bbox: list[float]
    width: int
    height: int
    bpc: int
    colorspace: str
    xref: int
    ext: Literal["jpeg", "jpx", "png"]
    page: int

class Image(_ImageFacts):
    image: bytes

# ["l", x0, y0, x1, y1], ["re", x0, y0, x1, y1] or
# ["c", x0, y0, x1, y1, x2, y2, x3, y3]: the tag, then floats.
PathItem = list[Union[str, float]]

class Drawing(TypedDict):
    bbox: list[float]
    stroke: Optional[int]
    fill: Optional[int]
    width: float
    closed: bool
    items: list[PathItem]
    page: int

class Link(TypedDict):
    uri: str
    bbox: list[float]
    page: int

# At run time [blocks, images] is a two-item list. It is typed as a pair so
# that `blocks, images = extract(...)` gives each part its own type; a list
# typed as list[Union[...]] would make every use of a block check for images.
# extract_many gives a failed file an empty list in its place, which the pair
# type cannot say: test `if not result` before unpacking.
Result = tuple[list[Block], list[Image]]

def extract(
    path: StrPath,
    page_parallel: bool = True,
    include_images: bool = True,
    gpu: bool = False,
    batch_size: int = 50,
    *,
    password: Password = None,
    pages: Optional[Iterable[int]] = None,
) -> Result: ...
def extract_many(
    paths: Sequence[StrPath],
    file_parallel: bool = True,
    page_parallel: bool = False,
    include_images: bool = False,
    gpu: bool = False,
    batch_size: int = 50,
    *,
    password: Password = None,
) -> list[tuple[str, Result]]: ...

class LinkWithTarget(TypedDict):
    # None for a link to a place in this document.
    uri: Optional[str]
    bbox: list[float]
    page: int
    target_page: Optional[int]
    target_top: Optional[float]

@overload
def extract_links(
    path: StrPath, *, password: Password = None, internal: Literal[False] = False
) -> list[Link]: ...
@overload
def extract_links(
    path: StrPath, *, password: Password = None, internal: Literal[True]
) -> list[LinkWithTarget]: ...
@overload
def extract_links(
    path: StrPath, *, password: Password = None, internal: bool = False
) -> Union[list[Link], list[LinkWithTarget]]: ...

class RawDates(TypedDict):
    creation_date: Optional[str]
    mod_date: Optional[str]

class Metadata(TypedDict):
    title: Optional[str]
    author: Optional[str]
    subject: Optional[str]
    keywords: Optional[str]
    creator: Optional[str]
    producer: Optional[str]
    creation_date: Optional[str]  # ISO 8601
    mod_date: Optional[str]
    raw_dates: RawDates

class OutlineEntry(TypedDict):
    level: int
    title: str
    page: Optional[int]
    top: Optional[float]
    uri: Optional[str]

class PageFacts(TypedDict):
    width: float
    height: float
    rotation: Literal[0, 90, 180, 270]
    mediabox: list[float]
    cropbox: list[float]

class FormField(TypedDict):
    name: str
    type: Optional[Literal["text", "button", "choice", "signature"]]
    value: Optional[str]
    page: Optional[int]

class DocumentInfo(TypedDict):
    page_count: int
    pdf_version: Optional[str]
    encrypted: bool
    tagged: bool
    language: Optional[str]
    metadata: Metadata
    outline: list[OutlineEntry]
    page_labels: Optional[list[str]]
    pages: list[PageFacts]
    fields: list[FormField]

def document_info(path: StrPath, *, password: Password = None) -> DocumentInfo: ...
def extract_drawings(
    path: StrPath,
    *,
    pages: Optional[Iterable[int]] = None,
    password: Password = None,
) -> list[Drawing]: ...

class ImagePixels(TypedDict):
    width: int
    height: int
    channels: Literal[0, 1, 2, 3, 4]
    samples: bytes
    mask: Optional[bytes]

def image_pixels(path: StrPath, xref: int, *, password: Password = None) -> ImagePixels: ...

_P = TypeVar("_P", bound=StrPath)

# An image of iter_extract(..., image_bytes=False): every fact but its bytes.
class ListedImage(_ImageFacts):
    image: None

ListedResult = tuple[list[Block], list[ListedImage]]
# With links=True a result is [blocks, images, links]: the links as
# extract_links() gives them, or the exception it would raise for the file.
_Links = Union[list[Link], Exception]

# Each item is the caller's own path with its result, or the exception that
# extract() would raise for that file.
@overload
def iter_extract(
    paths: Sequence[_P], *, file_parallel: bool = True, page_parallel: bool = False,
    include_images: bool = False, password: Password = None, window: Optional[int] = None,
    image_bytes: Literal[True] = True, links: Literal[False] = False,
) -> Iterator[tuple[_P, Union[Result, Exception]]]: ...
@overload
def iter_extract(
    paths: Sequence[_P], *, file_parallel: bool = True, page_parallel: bool = False,
    include_images: bool = False, password: Password = None, window: Optional[int] = None,
    image_bytes: Literal[False], links: Literal[False] = False,
) -> Iterator[tuple[_P, Union[ListedResult, Exception]]]: ...
@overload
def iter_extract(
    paths: Sequence[_P], *, file_parallel: bool = True, page_parallel: bool = False,
    include_images: bool = False, password: Password = None, window: Optional[int] = None,
    image_bytes: Literal[True] = True, links: Literal[True],
) -> Iterator[tuple[_P, Union[tuple[list[Block], list[Image], _Links], Exception]]]: ...
@overload
def iter_extract(
    paths: Sequence[_P], *, file_parallel: bool = True, page_parallel: bool = False,
    include_images: bool = False, password: Password = None, window: Optional[int] = None,
    image_bytes: Literal[False], links: Literal[True],
) -> Iterator[tuple[_P, Union[tuple[list[Block], list[ListedImage], _Links], Exception]]]: ...

class TableCell(TypedDict):
    row: int
    col: int
    row_span: int
    col_span: int
    bbox: list[float]
    text: str

class Table(TypedDict):
    page: int
    bbox: list[float]
    # The grid: each cell's text at its top-left position, None at the
    # positions a spanning cell covers.
    rows: list[list[Optional[str]]]
    cells: list[TableCell]
    header_rows: int

def extract_tables(
    path: StrPath,
    *,
    pages: Optional[Iterable[int]] = None,
    password: Password = None,
) -> list[Table]: ...
def render_table(table: Table, format: Literal["markdown", "html"]) -> str: ...

class PageChunk(TypedDict):
    page: int
    label: str
    text: str
    headings: list[str]
    tables: int
    images: int
    links: list[str]

@overload
def to_markdown(
    path: StrPath,
    *,
    pages: Optional[Iterable[int]] = None,
    password: Password = None,
    page_chunks: Literal[False] = False,
    images: Union[Literal["placeholder"], StrPath, None] = "placeholder",
    headers_footers: bool = False,
) -> str: ...
@overload
def to_markdown(
    path: StrPath,
    *,
    pages: Optional[Iterable[int]] = None,
    password: Password = None,
    page_chunks: Literal[True],
    images: Union[Literal["placeholder"], StrPath, None] = "placeholder",
    headers_footers: bool = False,
) -> list[PageChunk]: ...
