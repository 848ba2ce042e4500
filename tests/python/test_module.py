"""The module object and the calling conventions shared by its three functions."""

from __future__ import annotations

import gc
import inspect
import os
import pathlib
import subprocess
import sys
import threading

import numpy as np
import pytest

from pdfbuilder import simple_document

# Each function with the name of its path parameter and its optional
# parameters in signature order.
FUNCTIONS = {
    "extract": ("path", ["page_parallel", "include_images", "gpu", "batch_size"]),
    "extract_many": (
        "paths",
        ["file_parallel", "page_parallel", "include_images", "gpu", "batch_size"],
    ),
    "extract_links": ("path", []),
}
BOOL_PARAMS = [
    (fn, p) for fn, (_, params) in FUNCTIONS.items() for p in params if p != "batch_size"
]
BATCH_FUNCTIONS = ["extract", "extract_many"]


@pytest.fixture
def pdf(write_pdf):
    return write_pdf(simple_document(["BT /F1 12 Tf 72 700 Td (Hi) Tj ET"]))


def first_arg(fn: str, path: str):
    return [path] if fn == "extract_many" else path


# --- the module object ---------------------------------------------------------


def test_module_attributes(quarvel):
    assert quarvel.__name__ == "quarvel"
    assert quarvel.__doc__ == "Quarvel \u2014 high-performance PDF text and image extraction."
    assert quarvel.__version__ == "0.1.0"
    public = [name for name in vars(quarvel) if not name.startswith("_")]
    assert public == ["extract", "extract_many", "extract_links"]
    names = list(vars(quarvel))
    assert names.index("__version__") > names.index("extract_links")


@pytest.mark.parametrize(
    "fn, signature, summary",
    [
        (
            "extract",
            "(path, page_parallel=True, include_images=True, gpu=False, batch_size=50)",
            "Extract text blocks and images from a single PDF file.",
        ),
        (
            "extract_many",
            "(paths, file_parallel=True, page_parallel=False, include_images=False, gpu=False,"
            " batch_size=50)",
            "Batch extract from multiple PDF files with file-level parallelism.",
        ),
        ("extract_links", "(path)", "Extract hyperlinks from a PDF file."),
    ],
)
def test_docstrings_and_signatures(quarvel, fn, signature, summary):
    func = getattr(quarvel, fn)
    assert func.__doc__ == summary
    assert func.__text_signature__ == signature
    assert str(inspect.signature(func)) == signature
    assert func.__name__ == fn
    assert func.__module__ == "quarvel"


def test_second_initialisation_fails_with_import_error():
    code = (
        "import importlib, sys\n"
        "import quarvel\n"
        "del sys.modules['quarvel']\n"
        "try:\n"
        "    importlib.import_module('quarvel')\n"
        "except ImportError as e:\n"
        "    print('ImportError', e)\n"
        "else:\n"
        "    print('imported twice')\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=os.environ, timeout=60
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("ImportError"), out.stdout


# --- argument conventions ------------------------------------------------------


@pytest.mark.parametrize("fn", ["extract", "extract_links"])
@pytest.mark.parametrize(
    "bad, type_name",
    [(b"/tmp/x.pdf", "bytes"), (pathlib.Path("/tmp/x.pdf"), "PosixPath"), (3, "int"),
     (None, "NoneType")],
)
def test_path_must_be_str(quarvel, fn, bad, type_name):
    with pytest.raises(TypeError) as e:
        getattr(quarvel, fn)(bad)
    message = str(e.value)
    assert message.startswith("argument 'path': ")
    assert type_name in message


@pytest.mark.parametrize(
    "bad, type_name",
    [("a.pdf", "str"), (42, "int"), (iter(["a.pdf"]), "iterator"), ({"a.pdf": 1}, "dict")],
)
def test_paths_must_be_a_sequence(quarvel, bad, type_name):
    with pytest.raises(TypeError) as e:
        quarvel.extract_many(bad)
    assert str(e.value).startswith("argument 'paths': ")
    assert type_name in str(e.value)


def test_paths_bytes_are_a_sequence_of_ints(quarvel):
    # Unlike a str, bytes are not refused as a whole: their items are ints,
    # so a non-empty one fails on its first item and an empty one is no paths.
    with pytest.raises(TypeError, match=r"^argument 'paths': item 0 must be str, not int"):
        quarvel.extract_many(b"a.pdf")
    assert quarvel.extract_many(b"") == []
    assert quarvel.extract_many(bytearray()) == []


@pytest.mark.parametrize("item", [b"a.pdf", pathlib.Path("a.pdf"), None])
def test_paths_items_must_be_str(quarvel, item):
    with pytest.raises(TypeError, match=r"^argument 'paths': item 1 must be str"):
        quarvel.extract_many(["a.pdf", item])


def test_paths_accepts_any_sequence(quarvel, pdf):
    class Paths:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i == 0:
                return pdf
            raise IndexError(i)

    expected = quarvel.extract_many([pdf])
    assert quarvel.extract_many((pdf,)) == expected
    assert quarvel.extract_many(Paths()) == expected
    assert quarvel.extract_many([]) == []


@pytest.mark.parametrize("fn, param", BOOL_PARAMS)
@pytest.mark.parametrize("bad", [1, 0, None, "yes", 1.0, np.int64(1)])
def test_booleans_must_be_bool(quarvel, pdf, fn, param, bad):
    with pytest.raises(TypeError) as e:
        getattr(quarvel, fn)(first_arg(fn, pdf), **{param: bad})
    assert str(e.value).startswith(f"argument '{param}': ")
    assert type(bad).__name__ in str(e.value)


@pytest.mark.parametrize("fn, param", BOOL_PARAMS)
@pytest.mark.parametrize("value", [True, False, np.True_, np.False_])
def test_booleans_accept_bool_and_numpy_bool(quarvel, pdf, fn, param, value):
    result = getattr(quarvel, fn)(first_arg(fn, pdf), **{param: value})
    assert result == getattr(quarvel, fn)(first_arg(fn, pdf), **{param: bool(value)})


@pytest.mark.parametrize("fn", BATCH_FUNCTIONS)
@pytest.mark.parametrize("value", [-1, -(2**70), 2**64, 2**100])
def test_batch_size_out_of_range_is_overflow(quarvel, pdf, fn, value):
    with pytest.raises(OverflowError):
        getattr(quarvel, fn)(first_arg(fn, pdf), batch_size=value)


@pytest.mark.parametrize("fn", BATCH_FUNCTIONS)
@pytest.mark.parametrize("bad", [1.0, "50", None, np.int64(5)])
def test_batch_size_must_be_int(quarvel, pdf, fn, bad):
    with pytest.raises(TypeError, match=r"^argument 'batch_size': "):
        getattr(quarvel, fn)(first_arg(fn, pdf), batch_size=bad)


@pytest.mark.parametrize("fn", BATCH_FUNCTIONS)
@pytest.mark.parametrize("value", [0, 1, 2**64 - 1])
def test_batch_size_edges_are_accepted(quarvel, pdf, fn, value):
    assert getattr(quarvel, fn)(first_arg(fn, pdf), batch_size=value) == getattr(quarvel, fn)(
        first_arg(fn, pdf)
    )


@pytest.mark.parametrize("fn", list(FUNCTIONS))
def test_positional_and_keyword_calls_agree(quarvel, pdf, fn):
    first, params = FUNCTIONS[fn]
    func = getattr(quarvel, fn)
    defaults = [inspect.signature(func).parameters[p].default for p in params]
    arg = first_arg(fn, pdf)
    expected = func(arg)
    assert func(arg, *defaults) == expected
    assert func(**{first: arg}, **dict(zip(params, defaults))) == expected
    # Keywords in any order.
    assert func(**dict(reversed(list(zip(params, defaults)))), **{first: arg}) == expected


@pytest.mark.parametrize("fn", list(FUNCTIONS))
def test_argument_count_errors_use_the_interpreters_wording(quarvel, pdf, fn):
    first, params = FUNCTIONS[fn]
    func = getattr(quarvel, fn)
    arg = first_arg(fn, pdf)
    with pytest.raises(TypeError, match=rf"missing required argument '{first}'"):
        func()
    with pytest.raises(TypeError, match=r"invalid keyword argument|takes at most"):
        func(arg, colour=True)
    with pytest.raises(TypeError, match=r"takes at most|given by name"):
        func(arg, **{first: arg})
    with pytest.raises(TypeError, match=r"takes at most"):
        func(arg, *([False] * len(params)), 1)
    if params:
        with pytest.raises(TypeError, match=rf"given by name \('{params[0]}'\) and position"):
            func(arg, False, **{params[0]: False})
        with pytest.raises(TypeError, match=r"'colour' is an invalid keyword argument"):
            func(arg, colour=True)


# --- errors ----------------------------------------------------------------------


def test_missing_file(quarvel, tmp_path):
    missing = os.fspath(tmp_path / "missing.pdf")
    for fn in (quarvel.extract, quarvel.extract_links):
        with pytest.raises(ValueError) as e:
            fn(missing)
        assert str(e.value) == "cannot open file"
        assert type(e.value) is ValueError
    assert quarvel.extract_many([missing]) == [[missing, []]]


@pytest.mark.parametrize("content", [b"", b"%PDF-1.4\n", b"garbage " * 100])
def test_unreadable_files_raise_value_error(quarvel, write_pdf, content):
    path = write_pdf(content)
    for fn in (quarvel.extract, quarvel.extract_links):
        with pytest.raises(ValueError):
            fn(path)
    assert quarvel.extract_many([path]) == [[path, []]]


def test_directory_is_not_a_file(quarvel, tmp_path):
    for fn in (quarvel.extract, quarvel.extract_links):
        with pytest.raises(ValueError):
            fn(os.fspath(tmp_path))


def test_encrypted_file(quarvel, write_pdf):
    b = simple_document(["BT ET"]).object(20, "<< /Filter /Standard /V 1 /R 2 >>")
    path = write_pdf(b, trailer_extra="/Encrypt 20 0 R")
    for fn in (quarvel.extract, quarvel.extract_links):
        with pytest.raises(ValueError, match=r"^encrypted PDFs are not supported$"):
            fn(path)


def test_embedded_nul_is_rejected_not_truncated(quarvel, pdf):
    # Cut at the NUL, the name would open the valid file `pdf`.
    for fn in (quarvel.extract, quarvel.extract_links):
        with pytest.raises(ValueError, match="embedded null"):
            fn(pdf + "\0.broken")
    with pytest.raises(ValueError, match="embedded null"):
        quarvel.extract_many([pdf + "\0.broken"])


def test_undecodable_file_name_opens(quarvel, tmp_path):
    # os.listdir() gives names that are not UTF-8 as surrogate escapes; they
    # must name the same file.
    raw = os.fsencode(tmp_path) + b"/caf\xe9.pdf"
    with open(raw, "wb") as f:
        f.write(
            simple_document(["BT ET"], page_extra="/Annots [<< /Subtype /Link /Dest (http://a) >>]")
            .build()
        )
    name = os.fsdecode(raw)
    assert quarvel.extract_links(name) == [{"uri": "http://a", "bbox": [0.0] * 4, "page": 0}]
    assert quarvel.extract_many([name])[0][0] == name
    assert quarvel.extract_many([name])[0][1] != []


def test_calls_from_several_threads(quarvel, pdf):
    expected = quarvel.extract(pdf)
    results = []

    def work():
        for _ in range(5):
            results.append(quarvel.extract(pdf) == expected)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [True] * 20


@pytest.mark.parametrize("name", ["quarvel", "quarvel_full"])
def test_results_are_built_without_a_collection(write_pdf, name):
    # The cyclic collector stays paused while a result is built, up to its
    # last allocation: none of the result's containers can be garbage, and a
    # collection would walk every one of them.
    module = pytest.importorskip(name)
    lines = " ".join(f"1 0 0 1 72 {700 - 12 * i} Tm (line {i}) Tj" for i in range(50))
    path = write_pdf(simple_document([f"BT /F1 10 Tf {lines} ET"] * 40))
    generations = []
    inside = [False]

    def record(phase, info):
        if phase == "start" and inside[0]:
            generations.append(info["generation"])

    gc.callbacks.append(record)
    try:
        gc.collect()
        inside[0] = True
        result = module.extract(path)
        inside[0] = False
    finally:
        gc.callbacks.remove(record)
    assert len(result[0]) >= 40 and generations == []
    assert gc.isenabled()


# --- packaging -------------------------------------------------------------------


@pytest.mark.skipif(
    os.environ.get("QUARVEL_TEST_INSTALL") != "1",
    reason="slow: builds the module twice; set QUARVEL_TEST_INSTALL=1 to run",
)
def test_pip_install_and_wheel_from_fresh_clone(tmp_path):
    """`pip install .` and a wheel from `pip wheel .` each give an importable
    module in a fresh virtual environment, from any folder."""
    from conftest import REPO_ROOT

    def run(*cmd, cwd=tmp_path):
        out = subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, timeout=1800)
        assert out.returncode == 0, f"{cmd}\n{out.stdout[-3000:]}\n{out.stderr[-3000:]}"
        return out.stdout

    clone = tmp_path / "clone"
    run("git", "clone", "-q", str(REPO_ROOT), str(clone))
    check = "import quarvel; print(quarvel.__version__, quarvel.extract_links.__name__)"
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()

    installed = tmp_path / "venv-install"
    run(sys.executable, "-m", "venv", str(installed))
    run(str(installed / "bin" / "pip"), "install", "-q", str(clone))
    assert run(str(installed / "bin" / "python"), "-c", check, cwd=elsewhere).split() == [
        "0.1.0",
        "extract_links",
    ]

    wheels = tmp_path / "wheels"
    run(str(installed / "bin" / "pip"), "wheel", "-q", "--no-deps", str(clone), "-w", str(wheels))
    (wheel,) = wheels.glob("quarvel-*.whl")
    fresh = tmp_path / "venv-wheel"
    run(sys.executable, "-m", "venv", str(fresh))
    run(str(fresh / "bin" / "pip"), "install", "-q", str(wheel))
    assert run(str(fresh / "bin" / "python"), "-c", check, cwd=elsewhere).split()[0] == "0.1.0"
