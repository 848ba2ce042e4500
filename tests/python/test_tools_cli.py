"""The quarvel command's subcommands on a builder document and on corpus
files: output shapes, exit statuses, image files a real decoder reads."""

from __future__ import annotations

import base64
import io
import json
import subprocess
import sys

import pytest

from conftest import CORPUS_DIR
from tools_support import GRAY, JPEG, RGB, sample_document, tools_env

from quarvel_tools.cli import main

READERS = [pytest.param(False, id="full"), pytest.param(True, id="exact")]


@pytest.fixture(autouse=True)
def reader_available(request):
    callspec = getattr(request.node, "callspec", None)
    exact = callspec.params.get("exact", False) if callspec else False
    pytest.importorskip("quarvel" if exact else "quarvel_full")


@pytest.fixture
def sample(write_pdf):
    return write_pdf(sample_document(), name="sample.pdf")


def run(capsys, *argv):
    status = main(list(argv))
    captured = capsys.readouterr()
    return status, captured.out, captured.err


@pytest.mark.parametrize("exact, expected", [
    (False, "Left Righter\nBelow\n\f\nSecond\n"),
    # quarvel's results carry no page: the file is one page, blocks parted by
    # a blank line, each block's bottom-up lines put top-down.
    (True, "Left Righter\nBelow\n\nSecond\n"),
])
def test_text_reading_order_word_gaps_and_page_separator(capsys, sample, exact, expected):
    status, out, err = run(capsys, "text", *(["--exact"] if exact else []), sample)
    assert (status, out, err) == (0, expected, "")


def test_text_of_several_files_has_headers_and_lists_failures(capsys, sample, tmp_path):
    missing = str(tmp_path / "missing.pdf")
    status, out, err = run(capsys, "text", sample, missing, sample)
    assert status == 1
    assert out.count(f"==> {sample} <==\n") == 2
    assert err == f"quarvel: {missing}: ValueError: cannot open file\n"


@pytest.mark.parametrize("exact", READERS)
@pytest.mark.parametrize("image_data", ["omit", "base64"])
def test_json_lines_with_links_and_image_data(capsys, sample, exact, image_data):
    argv = ["json", "--links", "--image-data", image_data, sample, sample]
    status, out, _ = run(capsys, *argv, *(["--exact"] if exact else []))
    assert status == 0
    records = [json.loads(line) for line in out.splitlines()]
    assert len(records) == 2
    record = records[0]
    assert list(record) == ["path", "blocks", "images", "links"]
    assert [link["uri"] for link in record["links"]] == ["https://example.org/x"]
    assert len(record["images"]) == 4
    jpeg = record["images"][3]
    if image_data == "omit":
        assert "image" not in jpeg
    else:
        assert base64.b64decode(jpeg["image"]) == JPEG
    assert ("page" in record["blocks"][0]) is not exact


@pytest.mark.parametrize("exact", READERS)
def test_images_as_files_a_decoder_reads(capsys, sample, tmp_path, exact):
    image_module = pytest.importorskip("PIL.Image")
    out_dir = tmp_path / "images"
    status, out, _ = run(capsys, "images", sample, "-o", str(out_dir),
                         *(["--exact"] if exact else []))
    assert status == 0
    written = sorted(p.name for p in out_dir.iterdir())
    prefix = "sample-" if exact else "sample-p0-"
    # The full reader makes the 1-bit image into 8-bit grey; the compact one
    # hands its packed bits over with a sidecar.
    packed = [f"{prefix}2.bin", f"{prefix}2.json"] if exact else [f"{prefix}2.png"]
    assert written == [f"{prefix}0.png", f"{prefix}1.png", *packed, f"{prefix}3.jpg"]
    assert sorted(out.split()) == sorted(str(out_dir / name) for name in written)
    with image_module.open(out_dir / f"{prefix}0.png") as rgb:
        assert (rgb.mode, rgb.size, rgb.tobytes()) == ("RGB", (2, 2), RGB)
    with image_module.open(out_dir / f"{prefix}1.png") as gray:
        assert (gray.mode, gray.size, gray.tobytes()) == ("L", (3, 1), GRAY)
    assert (out_dir / f"{prefix}3.jpg").read_bytes() == JPEG
    if not exact:
        with image_module.open(out_dir / f"{prefix}2.png") as bits:
            assert (bits.mode, bits.size, bits.tobytes()) == ("L", (8, 1), b"\xff\x00" * 4)
        return
    sidecar = json.loads((out_dir / f"{prefix}2.json").read_text())
    assert sidecar | {"bytes": 0} == {"width": 8, "height": 1, "bpc": 1, "colorspace": "DeviceGray",
                                      "ext": "png", "bytes": 0}


def test_images_of_two_files_with_one_name_do_not_overwrite(capsys, write_pdf, tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    first = write_pdf(sample_document(), name="a/x.pdf")
    second = write_pdf(sample_document(), name="b/x.pdf")
    status, out, _ = run(capsys, "images", first, second, "-o", str(tmp_path / "out"))
    assert status == 0
    # Four images each; the full reader makes the 1-bit one a PNG, no sidecar.
    assert len(set(out.split())) == 8


def test_links_one_line_each(capsys, sample):
    status, out, _ = run(capsys, "links", sample)
    assert (status, out) == (0, f"{sample}\t1\thttps://example.org/x\t70 590 130 610\n")


@pytest.mark.parametrize("argv", [
    [],
    ["text"],
    ["nonsense", "x.pdf"],
    ["text", "--exact", "--password", "pw", "x.pdf"],
    ["images", "x.pdf"],
    ["batch", "x.pdf", "-o", "out.csv"],
    ["batch", "x.pdf", "-o", "out.jsonl", "--jobs", "0"],
    ["batch", "x.pdf", "-o", "out.parquet", "--dask", "local", "--resume"],
], ids=lambda argv: " ".join(argv) or "nothing")
def test_usage_errors_exit_2(capsys, argv, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    try:
        status = main(argv)
    except SystemExit as e:  # argparse's own usage errors
        status = e.code
    assert status == 2
    assert capsys.readouterr().err.strip()


def test_help_lists_every_command_and_exit_statuses():
    result = subprocess.run([sys.executable, "-m", "quarvel_tools", "--help"], env=tools_env(),
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0
    for word in ("text", "json", "images", "links", "batch", "--exact", "exit status 1"):
        assert word in result.stdout.replace("\n", " ")


def test_output_into_a_closed_pipe_is_not_an_error(sample):
    script = (f"import sys; from quarvel_tools.cli import main; "
              f"sys.exit(main(['text'] + [{sample!r}] * 2000))")
    child = subprocess.Popen([sys.executable, "-c", script], env=tools_env(),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert child.stdout is not None
    child.stdout.read(10)
    child.stdout.close()
    assert child.wait(timeout=120) == 0
    assert child.stderr is not None and child.stderr.read() == b""


@pytest.mark.parametrize("command", ["text", "json", "links", "images"])
def test_subcommands_on_corpus_files(capsys, tmp_path, command):
    files = [CORPUS_DIR / name for name in ("pypdf-imagemagick-images.pdf",
                                            "pdfjs-pdfjs_wikipedia.pdf")]
    if not all(f.is_file() for f in files):
        pytest.skip("corpus not available")
    extra = ["-o", str(tmp_path / "img")] if command == "images" else []
    status, out, err = run(capsys, command, *map(str, files), *extra)
    assert (status, err) == (0, "")
    if command == "json":
        assert [json.loads(line)["path"] for line in out.splitlines()] == list(map(str, files))
    elif command == "links":
        assert all(line.count("\t") == 3 for line in out.splitlines()) and out
    elif command == "images":
        assert len(list((tmp_path / "img").iterdir())) >= 6
    else:
        # The images file draws its text off its 3.84-unit page, where the
        # full reader leaves it out as the reference readers do.
        assert "History and application" in out
