"""How the modules are packaged.

Both modules run on one copy of the core, libquarvel.so: a process that
imports both must have one worker pool and one file-change guard, whose
SIGBUS handler a second copy would displace (the first copy then stops
mapping files).

With QUARVEL_TEST_WHEEL=1, a wheel made by scripts/build_wheel.sh (or the one
QUARVEL_WHEEL names) is installed into a fresh virtual environment and must
work there on its own: both modules import, `quarvel --help` and an
extraction run, and oneTBB and libcrypto come from the wheel's own copies.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import venv
from pathlib import Path

import pytest

from pdfbuilder import simple_document

REPO_ROOT = Path(__file__).resolve().parents[2]

# Extracts a file through both modules, then reports the ELF files of the
# process whose names start with lib/quarvel, their sizes, which one holds
# the SIGBUS handler then in place, and where oneTBB and libcrypto came from.
ONE_CORE_CHILD = r"""
import ctypes, json, os, signal, sys
import quarvel, quarvel_full
for module in (quarvel, quarvel_full, quarvel):
    blocks, images = module.extract(sys.argv[1])
    assert blocks, module.__name__
# The kernel's view of the handler: sa_handler is the first member of struct
# sigaction; 256 bytes hold the whole record.
record = ctypes.create_string_buffer(256)
assert ctypes.CDLL(None).sigaction(signal.SIGBUS, None, record) == 0
handler = ctypes.c_void_p.from_buffer(record).value or 0
files, handler_file, libraries = {}, None, set()
with open("/proc/self/maps") as maps:
    for line in maps:
        fields = line.split()
        if len(fields) < 6 or not fields[5].startswith("/"):
            continue
        name = os.path.basename(fields[5])
        start, end = (int(x, 16) for x in fields[0].split("-"))
        if start <= handler < end:
            handler_file = name
        if name.startswith(("quarvel", "libquarvel")):
            files[name] = os.path.getsize(fields[5])
        if name.startswith(("libtbb", "libcrypto")):
            libraries.add(fields[5])
print(json.dumps({"files": files, "handler": handler_file, "libraries": sorted(libraries)}))
"""


def text_pdf(path: Path) -> str:
    path.write_bytes(simple_document([
        "BT /F1 12 Tf 1 0 0 1 72 700 Tm (Alpha) Tj ET"],
        resources="<< /Font << /F1 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> >> >>"
    ).build())
    return os.fspath(path)


def check_one_core(python: list, pdf: str, env: dict | None = None) -> list[str]:
    """Asserts that the modules run on one core library, which holds the
    fault guard's handler; returns the oneTBB and libcrypto files loaded."""
    child = subprocess.run([*python, "-c", ONE_CORE_CHILD, pdf], env=env,
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    report = json.loads(child.stdout)
    files = report["files"]
    libraries = [name for name in files if name.startswith("libquarvel")]
    modules = [name for name in files if not name.startswith("libquarvel")]
    assert len(libraries) == 1, files
    assert sorted(name.split(".")[0] for name in modules) == ["quarvel", "quarvel_full"], files
    # A module holding its own copy of the core would be about its size.
    assert all(files[name] * 8 < files[libraries[0]] for name in modules), files
    assert report["handler"] == libraries[0], report
    return report["libraries"]


def test_both_modules_share_one_core_and_its_fault_guard(tmp_path):
    check_one_core([sys.executable], text_pdf(tmp_path / "alpha.pdf"))


def hiding_system_copies() -> list[str]:
    """A command prefix that runs its command with the system's oneTBB and
    libcrypto replaced by empty files (a private mount namespace; root
    only), so that a process that would load them fails; [] where that
    cannot be done, leaving the checks of where the libraries resolve."""
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        return []
    listing = subprocess.run(["ldconfig", "-p"], capture_output=True, text=True).stdout
    system = {os.path.realpath(line.split(" => ")[-1]) for line in listing.splitlines()
              if line.strip().startswith(("libtbb.so", "libcrypto.so")) and " => " in line}
    if not system:
        return []
    # sh -c SCRIPT hide FILE... -- COMMAND...
    hide = ["unshare", "-m", "sh", "-c",
            'while [ "$1" != -- ]; do mount --bind /dev/null "$1" || exit 97; shift; done; '
            'shift; exec "$@"', "hide", *sorted(system), "--"]
    if subprocess.run([*hide, "true"], capture_output=True).returncode != 0:
        return []
    return hide


def built_wheel(tmp_path: Path) -> Path:
    named = os.environ.get("QUARVEL_WHEEL")
    if named:
        return Path(named)
    out = tmp_path / "dist"
    subprocess.run([REPO_ROOT / "scripts" / "build_wheel.sh", out], check=True, timeout=1800)
    (wheel,) = out.glob("quarvel-*manylinux*.whl")
    return wheel


# Once per test command: the sanitizer stage's run (QUARVEL_SANITIZED) would
# build the same uninstrumented wheel again, under the preloaded runtime.
@pytest.mark.skipif(os.environ.get("QUARVEL_TEST_WHEEL") != "1"
                    or bool(os.environ.get("QUARVEL_SANITIZED")),
                    reason="builds a wheel: set QUARVEL_TEST_WHEEL=1")
def test_wheel_works_in_a_fresh_environment(tmp_path):
    wheel = built_wheel(tmp_path)
    hide = hiding_system_copies()
    env_dir = tmp_path / "venv"
    venv.create(env_dir, with_pip=True)
    python = os.fspath(env_dir / "bin" / "python")
    # No index: the wheel must need nothing beyond itself.
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", wheel],
                   check=True, timeout=300)
    # Nothing of the checkout or the developer build: no PYTHONPATH, no
    # library path, and the working directory outside the repository.
    env = {key: value for key, value in os.environ.items()
           if key not in ("PYTHONPATH", "LD_LIBRARY_PATH", "LD_PRELOAD", "PYTHONHOME")}
    run = dict(env=env, cwd=tmp_path, check=True, capture_output=True, text=True, timeout=120)
    pdf = text_pdf(tmp_path / "alpha.pdf")

    site = Path(subprocess.run(
        [python, "-c", "import quarvel, quarvel_full, os; print(os.path.dirname(quarvel.__file__))"],
        **run).stdout.strip())
    assert site.is_relative_to(env_dir), site
    loaded = check_one_core([*hide, python], pdf, env)

    # auditwheel renamed the copies (libtbb-<hash>.so.12), so no system
    # library can stand in for them, and the loader must find them in the wheel.
    (library,) = site.glob("libquarvel*.so")
    resolved = {}
    for line in subprocess.run(["ldd", library], **run).stdout.splitlines():
        name, _, target = line.strip().partition(" => ")
        resolved[name] = target.split(" (")[0]
    for wanted in ("libtbb", "libcrypto"):
        (name,) = [n for n in resolved if n.startswith(wanted + "-")]
        assert Path(resolved[name]).parent == site / "quarvel.libs", resolved
    assert not [n for n in resolved if "not found" in resolved[n]], resolved
    # And in a running process: the wheel's copies, and no other oneTBB.
    assert {Path(p).parent for p in loaded} == {site / "quarvel.libs"}, loaded
    assert sorted(Path(p).name.split("-")[0] for p in loaded) == ["libcrypto", "libtbb"], loaded

    command = [*hide, os.fspath(env_dir / "bin" / "quarvel")]
    assert "usage: quarvel" in subprocess.run([*command, "--help"], **run).stdout
    text = subprocess.run([*command, "text", pdf], **run).stdout
    assert text.strip() == "Alpha"
