"""Imports every module of the package and calls into each once: run under each supported
Python, on the build tree and on installed packages. QOR_VERSION, when set, is the version the
package must report."""
import inspect
import os
import subprocess
import sys

import qor_kelm_git
import qor_kelm_git.drivers
from qor_kelm_git.drivers import notebook_diff, notebook_merge
from qor_kelm_git.drivers.common import Cell
from qor_kelm_git.scripts import qormerge

cell = {"cell_type": "code", "metadata": {"canvas": {"id": "c1", "name": "load"}}, "source": ["x = 1\n"]}
merge_cell = notebook_merge.MergeCell(cell, "incoming")
merge_cell.add_conflict_mark()
assert cell["metadata"]["canvas"]["name"] == ">>> load"
assert isinstance(merge_cell, Cell)
assert notebook_merge._cell_changed(Cell(dict(cell)), Cell(cell)) == {}
assert notebook_merge._merge_source(notebook_merge.Git(), ["a\n"], ["a\n"], ["b\n"]) == ["b\n"]
assert qor_kelm_git.drivers.merge_files is notebook_merge.merge_files
diff = notebook_diff.diff_dicts({"cells": []}, {"cells": [cell]})
assert diff["cells"][0]["metadata"]["canvas"]["diff_status"] == "added"
assert callable(qormerge.main)
# Parameters for inspect.signature() and help(), the documentation strings as they were.
for function, signature, doc in [
        (notebook_merge.merge_files, "(base_file_path, current_file_path, incoming_file_path, file_path)",
         "Ipython Notebook Merge Driver main"),
        (notebook_diff.diff_dicts, "(prev, current)", "Ipython Notebook Diff Driver main")]:
    assert (str(inspect.signature(function)), function.__doc__) == (signature, doc), function
assert str(inspect.signature(notebook_merge.MergeCell)) == "(cell, file_type)"
usage = subprocess.run([sys.executable, "-m", "qor_kelm_git.scripts.qormerge"], capture_output=True, text=True)
assert usage.returncode == 2 and "the following arguments are required" in usage.stderr
version = subprocess.run([sys.executable, "-m", "qor_kelm_git.scripts.qormerge", "--version"],
                         capture_output=True, text=True)
assert (version.returncode, version.stdout) == (0, "qormerge %s\n" % qor_kelm_git.__version__), version
if "QOR_VERSION" in os.environ:
    assert qor_kelm_git.__version__ == os.environ["QOR_VERSION"], qor_kelm_git.__version__
print("qor_kelm_git %s: modules import and run under Python %d.%d.%d"
      % ((qor_kelm_git.__version__,) + sys.version_info[:3]))
