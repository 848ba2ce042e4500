# Types of the extension module quarvel_full (the full reader). The dicts are
# built in python-module/render.cpp and module.cpp; docs/results.md says
# what each field means.
import os
from collections.abc import Iterable, Iterator, Sequence
from typing import Literal, Optional, TypeVar, TypedDict, Union

StrPath = Union[str, os.PathLike[str]]
Password = Union[str, bytes, None]

__version__: str

class Span(TypedDict):
    bbox: list[float]
    text: str
    font: str
    size: float
    color: int

class Line(TypedDict):
    bbox: list[float]
    spans: list[Span]

class Block(TypedDict):
    type: Literal[0]
    bbox: list[float]
    lines: list[Line]
    page: int

class Image(TypedDict):
    bbox: list[float]
    width: int
    height: int
    bpc: int
    colorspace: str
    xref: int
    ext: Literal["jpeg", "jpx", "png"]
    image: bytes
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
def extract_links(path: StrPath, *, password: Password = None) -> list[Link]: ...

_P = TypeVar("_P", bound=StrPath)

# Each item is the caller's own path with its result, or the exception that
# extract() would raise for that file.
def iter_extract(
    paths: Sequence[_P],
    *,
    file_parallel: bool = True,
    page_parallel: bool = False,
    include_images: bool = False,
    password: Password = None,
    window: Optional[int] = None,
) -> Iterator[tuple[_P, Union[Result, Exception]]]: ...
