"""Which extension module a tool reads with, and the extras it may need."""

from __future__ import annotations

import importlib
from types import ModuleType


class ToolError(Exception):
    """A condition the user must fix before a command can run (a missing
    module or extra, an unusable output); the CLI prints it and exits 2."""


def load_reader(exact: bool = False) -> ModuleType:
    """`quarvel` for exact results, `quarvel_full` otherwise."""
    name = "quarvel" if exact else "quarvel_full"
    try:
        return importlib.import_module(name)
    except ImportError as e:
        hint = "" if exact else " (--exact reads with quarvel instead)"
        raise ToolError(f"cannot import the reader module {name}: {e}{hint}") from e


def need(module: str, extra: str, purpose: str) -> ModuleType:
    """Imports an optional dependency, or says which extra brings it."""
    try:
        return importlib.import_module(module)
    except ImportError as e:
        raise ToolError(
            f"{purpose} needs {module.split('.')[0]}: pip install 'quarvel[{extra}]'"
        ) from e
