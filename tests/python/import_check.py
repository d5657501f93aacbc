"""Imports every extension module and calls into each once (run under each supported Python)."""
import sys

from qor_kelm_git.drivers import notebook_merge
from qor_kelm_git.drivers.common import Cell

cell = {"metadata": {"canvas": {"id": "c1", "name": "load"}}, "source": ["x = 1\n"]}
merge_cell = notebook_merge.MergeCell(cell, "incoming")
merge_cell.add_conflict_mark()
assert cell["metadata"]["canvas"]["name"] == ">>> load"
assert isinstance(merge_cell, Cell)
assert notebook_merge._cell_changed(Cell(dict(cell)), Cell(cell)) == {}
print("qor_kelm_git modules import and run under Python %d.%d.%d" % sys.version_info[:3])
