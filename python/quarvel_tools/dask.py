"""Batch extraction spread over a Dask cluster.

Each task reads a chunk of files with the library's own pool on a worker and
sends back an Arrow table of rows; this process writes the tables, so the
workers need the PDFs but no shared place to write. One chunk makes OUT a
single Parquet file, several make OUT a dataset folder of part files in
chunk order, which pyarrow and Dask read as one table.
"""

from __future__ import annotations

import importlib
import shutil
from collections.abc import Sequence
from pathlib import Path
from typing import Any, Optional, Union

from quarvel_tools.batch import chunks
from quarvel_tools.rows import CHUNK_FILES
from quarvel_tools.reader import need
from quarvel_tools.rows import Row, extract_rows
from quarvel_tools.sinks import arrow_table


def _chunk_table(paths: list[str], exact: bool) -> Any:
    return arrow_table(importlib.import_module("pyarrow"), extract_rows(paths, exact))


def extract_to_parquet(paths: Sequence[str], out: Union[str, Path], client: Any = None, *,
                       address: Optional[str] = None, exact: bool = False,
                       workers: Optional[int] = None,
                       files_per_task: int = CHUNK_FILES) -> list[Row]:
    """Extracts `paths` on the cluster of `client` (or of `address`, or the
    current client, or a LocalCluster made for the call; 'local' for
    `address` makes one too, with `workers` workers) into Parquet at `out`.
    Returns the rows of the files that failed."""
    distributed = need("distributed", "dask", "Running on Dask")
    pq = need("pyarrow.parquet", "parquet", "Parquet output")
    out = Path(out)
    own: list[Any] = []
    try:
        if client is None and address not in (None, "local"):
            client = distributed.Client(address)
            own.append(client)
        if client is None and address is None:
            try:
                client = distributed.get_client()
            except ValueError:
                client = None
        if client is None:
            # One thread per worker: the library's pool does the parallel work.
            cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1,
                                               dashboard_address=None)
            client = distributed.Client(cluster)
            own += [client, cluster]
        groups = list(chunks(list(paths), files_per_task)) or [[]]
        futures = client.map(_chunk_table, groups, exact=exact, pure=False)
        failed: list[Row] = []
        if out.is_dir():
            shutil.rmtree(out)
        elif out.exists():
            out.unlink()
        if len(futures) > 1:
            out.mkdir(parents=True)
        for index, (future, table) in enumerate(zip(futures, client.gather(iter(futures)))):
            target = out / f"part-{index:05d}.parquet" if len(futures) > 1 else out
            pq.write_table(table, target)
            failed += [row for row in table.to_pylist() if row["error"] is not None]
            future.release()
        return failed
    finally:
        for thing in own:
            thing.close()
