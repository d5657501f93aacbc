"""Example on the Python package, written against its type stubs (`mypy --strict` passes it):
what each side changed in a pipeline notebook, then the three-way merge of the two sides
into a scratch copy, with what is left in conflict.

    python3 examples/pipeline_changes.py BASE CURRENT INCOMING
"""
from __future__ import annotations

import json
import shutil
import sys
import tempfile
from pathlib import Path
from typing import Any, Dict

from qor_kelm_git.drivers import merge_files
from qor_kelm_git.drivers.common import Cell
from qor_kelm_git.drivers.notebook_diff import DiffCell, DiffParameter, diff_dicts

Notebook = Dict[str, Any]  # a parsed notebook, as json.load gives it
USAGE = "usage: pipeline_changes.py BASE CURRENT INCOMING"


def read(path: str) -> Notebook:
    with open(path, encoding="utf-8") as f:
        notebook: Notebook = json.load(f)
    return notebook


def changes(prev: Notebook, current: Notebook) -> list[str]:
    """One line per component or canvas parameter that is not unchanged."""
    diff = diff_dicts(prev, current)
    lines = []
    for data in diff["cells"]:
        cell = Cell(data)
        status: str = data["metadata"]["canvas"]["diff_status"]
        if status != DiffCell.UNCHANGED:
            lines.append("  %-9s component %s" % (status, cell.name or cell.kelm_id))
    for parameter in diff["metadata"]["canvas"]["parameter"]:
        if parameter["diff_status"] == DiffParameter.MODIFIED:
            lines.append("  modified  parameter %s: %s -> %s"
                         % (parameter["name"], parameter["prev_value"], parameter["value"]))
        elif parameter["diff_status"] != DiffParameter.UNCHANGED:
            lines.append("  %-9s parameter %s" % (parameter["diff_status"], parameter["name"]))
    return lines


def merge(base: str, current: str, incoming: str) -> list[Cell]:
    """The cells of the three-way merge, made in a scratch copy of `current`."""
    with tempfile.TemporaryDirectory() as scratch:
        merged = Path(scratch, Path(current).name)
        shutil.copyfile(current, merged)
        merge_files(base_file_path=base, current_file_path=str(merged),
                    incoming_file_path=incoming, file_path=Path(current).name)
        return [Cell(data) for data in read(str(merged))["cells"]]


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(USAGE, file=sys.stderr)
        return 2
    base, current, incoming = argv
    for side in (current, incoming):
        print("%s changed:" % side)
        print("\n".join(changes(read(base), read(side))) or "  nothing")
    cells = merge(base, current, incoming)
    marked = [cell.name for cell in cells if cell.name.startswith(("<<< ", ">>> "))]
    blocks = [cell.name for cell in cells
              if any(line.startswith("<<<<<<< ") for line in cell.source)]
    print("merged: %d components; in conflict: %s; conflict blocks in: %s"
          % (len(cells), ", ".join(marked) or "none", ", ".join(blocks) or "none"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
