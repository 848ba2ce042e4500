"""Batch runs: rows per page and per failed file, Parquet and JSON Lines
alike, --resume, --jobs, the progress bar, Dask, and the type stubs."""

from __future__ import annotations

import fcntl
import json
import os
import pty
import struct
import subprocess
import sys
import termios
import venv

import pytest

from tools_support import TOOLS_DIR, sample_document, tools_env

import quarvel_tools.batch
from quarvel_tools.cli import main

pytest.importorskip("quarvel_full")
# The batch tools are pure Python over calls the other suites already run
# under the sanitizers; pyarrow, Dask and mypy gain nothing from the
# preloaded runtime but time.
pytestmark = pytest.mark.skipif(bool(os.environ.get("QUARVEL_SANITIZED")),
                                reason="pure Python tools, run without the sanitizers")


@pytest.fixture
def inputs(write_pdf, tmp_path):
    """A folder with two documents (one nested, one with an upper-case
    suffix), a broken file and a file that is not a PDF by name."""
    folder = tmp_path / "in"
    (folder / "sub").mkdir(parents=True)
    write_pdf(sample_document(), name="in/a.pdf")
    write_pdf(sample_document(), name="in/sub/B.PDF")
    (folder / "broken.pdf").write_bytes(b"%PDF-1.4\nnot really")
    (folder / "notes.txt").write_text("skipped")
    return folder


def read_rows(out):
    if out.suffix == ".jsonl":
        return [json.loads(line) for line in out.read_text().splitlines()]
    pq = pytest.importorskip("pyarrow.parquet")
    return pq.read_table(out).to_pylist()


def key(row):
    return row["path"], -1 if row["page"] is None else row["page"]


@pytest.mark.parametrize("suffix", [".jsonl", ".parquet"])
def test_rows_per_page_and_per_failed_file(capsys, inputs, tmp_path, suffix):
    out = tmp_path / f"out{suffix}"
    assert main(["batch", str(inputs), "-o", str(out)]) == 1
    broken = str(inputs / "broken.pdf")
    assert capsys.readouterr().err.startswith(f"quarvel: {broken}: ValueError: ")
    rows = read_rows(out)
    assert [(os.path.basename(r["path"]), r["page"]) for r in rows] == [
        ("a.pdf", 0), ("a.pdf", 1), ("broken.pdf", None), ("B.PDF", 0), ("B.PDF", 1)]
    first, second, failed = rows[0], rows[1], rows[2]
    assert (first["text"], first["images"], first["links"]) == ("Left Righter\nBelow", 4, [])
    assert [b["page"] for b in json.loads(first["blocks"])] == [0]
    assert second["links"] == [{"uri": "https://example.org/x", "bbox": [70, 590, 130, 610]}]
    assert failed["error"] and failed["text"] is None


def test_parquet_and_jsonl_and_jobs_agree(capsys, inputs, tmp_path):
    pytest.importorskip("pyarrow")
    runs = {}
    for name, extra in [("one.jsonl", []), ("two.parquet", ["--jobs", "2"])]:
        main(["batch", str(inputs), "-o", str(tmp_path / name), *extra])
        runs[name] = read_rows(tmp_path / name)
    assert runs["one.jsonl"] == runs["two.parquet"]


@pytest.mark.parametrize("suffix", [".jsonl", ".parquet"])
def test_resume_does_no_work_the_second_time(capsys, inputs, tmp_path, monkeypatch, suffix):
    out = tmp_path / f"out{suffix}"
    main(["batch", str(inputs), "-o", str(out)])
    before = out.read_bytes()

    def no_work(*args, **kwargs):
        raise AssertionError("a file was read again")

    monkeypatch.setattr(quarvel_tools.batch, "extract_rows", no_work)
    main(["batch", str(inputs), "-o", str(out), "--resume"])
    assert out.read_bytes() == before


@pytest.mark.parametrize("suffix", [".jsonl", ".parquet"])
def test_resume_reads_only_new_files(capsys, inputs, write_pdf, tmp_path, suffix):
    out = tmp_path / f"out{suffix}"
    main(["batch", str(inputs), "-o", str(out)])
    write_pdf(sample_document(), name="in/c.pdf")
    main(["batch", str(inputs), "-o", str(out), "--resume"])
    rows = read_rows(out)
    assert len(rows) == 7 and len({key(r) for r in rows}) == 7


def test_resume_after_a_jsonl_cut_mid_line_reads_that_file_again(capsys, inputs, tmp_path):
    out = tmp_path / "out.jsonl"
    main(["batch", str(inputs), "-o", str(out)])
    whole = out.read_bytes()
    last_file = json.loads(whole.splitlines()[-1])["path"]
    out.write_bytes(whole[:-20])  # the last row lost its end
    main(["batch", str(inputs), "-o", str(out), "--resume"])
    rows = read_rows(out)
    assert sorted(map(key, rows)) == sorted(map(key, [json.loads(x) for x in whole.splitlines()]))
    assert rows[-1]["path"] == last_file


@pytest.mark.parametrize("terminal", [True, False], ids=["terminal", "pipe"])
def test_progress_bar_only_on_a_terminal(inputs, tmp_path, terminal):
    pytest.importorskip("tqdm")
    argv = [sys.executable, "-m", "quarvel_tools", "batch", str(inputs), "-o",
            str(tmp_path / "out.jsonl")]
    if terminal:
        leader, follower = pty.openpty()
        # A real terminal has a size; tqdm draws nothing into zero columns.
        fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
        child = subprocess.run(argv, env=tools_env(), stdout=subprocess.DEVNULL,
                               stderr=follower, timeout=120)
        os.close(follower)
        err = b""
        try:
            while chunk := os.read(leader, 65536):
                err += chunk
        except OSError:  # the terminal reports EIO once the child is gone
            pass
        os.close(leader)
    else:
        child = subprocess.run(argv, env=tools_env(), capture_output=True, timeout=120)
        err = child.stderr
    assert child.returncode == 1  # the broken file
    assert (b"3/3" in err) is terminal


def test_dask_local_cluster_writes_the_same_rows(capsys, inputs, write_pdf, tmp_path):
    pytest.importorskip("pyarrow")
    distributed = pytest.importorskip("distributed")
    from quarvel_tools.dask import extract_to_parquet

    for n in range(3):
        write_pdf(sample_document(), name=f"in/more{n}.pdf")
    main(["batch", str(inputs), "-o", str(tmp_path / "local.jsonl")])
    paths = quarvel_tools.batch.find_pdfs([str(inputs)])
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) \
            as cluster, distributed.Client(cluster) as client:
        # Two files a task: several partitions, so OUT is a dataset folder.
        failed = extract_to_parquet(paths, tmp_path / "dask", client, files_per_task=2)
    assert [row["path"] for row in failed] == [str(inputs / "broken.pdf")]
    assert len(list((tmp_path / "dask").iterdir())) == 3
    assert read_rows(tmp_path / "dask") == read_rows(tmp_path / "local.jsonl")


def test_mypy_finds_the_stubs_of_both_modules_and_the_typed_tools(tmp_path):
    pytest.importorskip("mypy")
    # A bare environment whose site-packages points at the stub-only packages
    # the way an installed wheel does, so mypy finds them by PEP 561.
    env_dir = tmp_path / "env"
    venv.create(env_dir, with_pip=False)
    site = subprocess.run([env_dir / "bin" / "python", "-c",
                           "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                          capture_output=True, text=True, check=True).stdout.strip()
    with open(os.path.join(site, "quarvel-dev.pth"), "w") as f:
        f.write(str(TOOLS_DIR) + "\n")
    good = tmp_path / "good.py"
    good.write_text('''\
import quarvel
import quarvel_full
from quarvel_tools import page_text
from quarvel_tools.dask import extract_to_parquet

blocks, images = quarvel_full.extract("a.pdf", pages=range(3), password=b"pw")
pages: list[int] = [block["page"] for block in blocks] + [image["page"] for image in images]
sizes: list[float] = [s["size"] for b in blocks for line in b["lines"] for s in line["spans"]]
text: str = page_text(quarvel.extract("a.pdf", include_images=False)[0], exact=True)
uris: list[str] = [link["uri"] for link in quarvel.extract_links("a.pdf")]
for path, result in quarvel.extract_many(["a.pdf"]):
    if result:
        print(path, len(result[0]))
failed = extract_to_parquet(["a.pdf"], "out.parquet")
''')
    bad = tmp_path / "bad.py"
    bad.write_text('import quarvel\nblocks, _ = quarvel.extract("a.pdf")\n'
                   'print(blocks[0]["page"])\nquarvel.extract("a.pdf", pages=[1])\n')
    mypy = [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
            "--python-executable", str(env_dir / "bin" / "python")]
    for target in ([str(good)], ["-p", "quarvel_tools"]):
        checked = subprocess.run([*mypy, *target], capture_output=True, text=True, cwd=tmp_path,
                                 timeout=300)
        assert checked.returncode == 0, checked.stdout
    # quarvel's blocks have no page and its extract no pages argument.
    refused = subprocess.run([*mypy, str(bad)], capture_output=True, text=True, cwd=tmp_path,
                             timeout=300)
    assert refused.stdout.count("error:") == 2, refused.stdout
