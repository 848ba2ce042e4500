#!/usr/bin/env python3
"""Fails when a core header or source includes a folder above its own, or
when the includes between core files form a cycle.

The folders of core/ are layers, lowest first; a file may include files of
its own folder, of the folders below it and the root headers (the limits).
Run by CTest as `layering`; by hand: `python3 scripts/check_layering.py`.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

LAYERS = ["syntax", "crypt", "file", "docinfo", "fonts", "content", "layout", "extract",
          "tables", "markdown"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layer_of(relative: Path) -> int:
    """-1 for files at the root of core/ (below every folder)."""
    if len(relative.parts) == 1:
        return -1
    return LAYERS.index(relative.parts[0])


def check(core: Path) -> list[str]:
    problems = []
    graph: dict[str, list[str]] = {}
    for path in sorted(core.rglob("*")):
        if path.suffix not in {".h", ".cpp", ".inc"}:
            continue
        rel = path.relative_to(core)
        if len(rel.parts) > 1 and rel.parts[0] not in LAYERS:
            problems.append(f"{rel}: folder '{rel.parts[0]}' is not a known layer")
            continue
        edges = graph.setdefault(str(rel), [])
        for target in INCLUDE.findall(path.read_text(errors="replace")):
            target_path = core / target
            if not target_path.exists():
                target_path = path.parent / target
                if not target_path.exists():
                    continue
                target = str(target_path.relative_to(core))
            edges.append(target)
            tgt = Path(target)
            if len(tgt.parts) > 1 and tgt.parts[0] not in LAYERS:
                continue
            if layer_of(tgt) > layer_of(rel):
                problems.append(f"{rel}: includes {target} from a folder above its own")

    # A cycle among files: depth-first search with the current path marked.
    state: dict[str, int] = {}

    def visit(node: str, stack: list[str]) -> None:
        state[node] = 1
        stack.append(node)
        for nxt in graph.get(node, []):
            if state.get(nxt) == 1:
                cycle = stack[stack.index(nxt):] + [nxt]
                problems.append("include cycle: " + " -> ".join(cycle))
            elif nxt not in state:
                visit(nxt, stack)
        stack.pop()
        state[node] = 2

    for node in sorted(graph):
        if node not in state:
            visit(node, [])
    return problems


def main() -> int:
    core = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "core"
    problems = check(core)
    for p in problems:
        print(p)
    print(f"layering: {len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
