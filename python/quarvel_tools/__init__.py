"""Command line and batch tools on top of the quarvel extension modules.

Everything here goes through the modules' public functions (`extract`,
`extract_many`, `extract_links`); `quarvel_full` is the reader by default and
`quarvel` the exact one. Optional parts import their extras only when used:
Parquet output needs pyarrow, the progress bar tqdm, `quarvel_tools.dask`
dask and distributed.
"""

from quarvel_tools.reader import ToolError, load_reader
from quarvel_tools.rows import Row, file_rows, page_text

__all__ = ["Row", "ToolError", "file_rows", "load_reader", "page_text"]
