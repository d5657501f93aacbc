"""The package as a type checker sees it, with Debian's mypy: the stubs agree with the modules
(stubtest), the example script passes mypy --strict through the package's py.typed, and calls
that the modules refuse at run time are type errors before they run."""
import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(os.environ["QOR_TEST_DATA"]).parents[1]
EXAMPLE = ROOT / "examples" / "pipeline_changes.py"
NOTEBOOKS = ROOT / "examples" / "notebooks"


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    """Runs mypy --strict in a scratch directory with a cache of its own. The package is found
    the way an installed one is: on the interpreter's path (PYTHONPATH), typed by py.typed."""
    work = tmp_path_factory.mktemp("mypy")

    def run(*args):
        return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir",
                               str(work / "cache"), *map(str, args)],
                              cwd=work, capture_output=True, text=True)
    return run


def test_stubs_agree_with_the_modules(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--allowlist",
         str(ROOT / "tests" / "python" / "stubtest-allowlist.txt"), "qor_kelm_git"],
        cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("version", ["3.8", "%d.%d" % sys.version_info[:2]])
def test_the_example_passes_strict_checks(mypy, version):
    result = mypy("--python-version", version, EXAMPLE)
    assert (result.returncode, result.stdout) == (0, "Success: no issues found in 1 source file\n")


def test_the_example_runs():
    result = subprocess.run(
        [sys.executable, EXAMPLE] + [NOTEBOOKS / ("churn_%s.ipynb" % v)
                                     for v in ("base", "current", "incoming")],
        capture_output=True, text=True, check=True)
    assert "  modified  parameter learning_rate: 0.01 -> 0.02\n" in result.stdout
    assert result.stdout.endswith(
        "merged: 7 components; in conflict: none; conflict blocks in: train\n")


CELL = '{"metadata": {"canvas": {"id": "c", "name": "n"}}, "source": ["a\\n"]}'
PARAMETER = '{"name": "p", "type": "str", "value": None}'
# (statement, what mypy says of it, what it raises when it runs; None: it runs, only its
# types are wrong)
MISUSES = [
    ('merge_files("b", "c", "i")',
     'Missing positional argument "file_path" in call to "merge_files"', TypeError),
    ('merge_files(Path("b"), "c", "i", "f")',
     'Argument 1 to "merge_files" has incompatible type "Path"; expected "str"', TypeError),
    ('merge_files(base_file_path="b", current_file_path="c", incoming_file_path="i", path="f")',
     'Unexpected keyword argument "path" for "merge_files"', TypeError),
    ("diff_dicts([], {})", 'Argument 1 to "diff_dicts" has incompatible type', TypeError),
    ('MergeCell(%s, file_type=1)' % CELL,
     'Argument "file_type" to "MergeCell" has incompatible type "int"; expected "str"', TypeError),
    ('MergeCell(%s, "base").file_type = "current"' % CELL,
     'Property "file_type" defined in "MergeCell" is read-only', AttributeError),
    ('Cell(%s).source = "x = 1\\n"' % CELL,
     'Incompatible types in assignment (expression has type "str", variable has type', TypeError),
    ('_merge_source(object(), ["a\\n"], ["b\\n"], ["c\\n"])',
     'Argument 1 to "_merge_source" has incompatible type "object"', AttributeError),
    ('_merge_source(Git(), ["a\\n"], ["b\\n"], ["c\\n"], current_name=b"x")',
     'Argument "current_name" to "_merge_source" has incompatible type "bytes"', TypeError),
    ("_cell_modified(Cell(%s))" % CELL,
     'Argument 1 to "_cell_modified" has incompatible type "Cell"; expected "DiffCell"', TypeError),
    ('Git().merge_files("a", "b", "c")', '"Git" has no attribute "merge_files"', AttributeError),
    ("DiffParameter(%s).name = 'q'" % PARAMETER,
     'Property "name" defined in "DiffParameter" is read-only', AttributeError),
    ("main(1)", 'Argument 1 to "main" has incompatible type "int"', TypeError),
    ("value: str = DiffParameter(%s).value" % PARAMETER,
     'Incompatible types in assignment (expression has type "Optional[str]", variable has type '
     '"str")',
     None),
]
HEADER = """\
from pathlib import Path
from qor_kelm_git.drivers.common import Cell
from qor_kelm_git.drivers.notebook_diff import DiffParameter, _cell_modified, diff_dicts
from qor_kelm_git.drivers.notebook_merge import Git, MergeCell, _merge_source, merge_files
from qor_kelm_git.scripts.qormerge import main
"""


def test_misuse_is_a_type_error_before_it_fails_at_run_time(mypy, tmp_path):
    script = tmp_path / "misuse.py"
    script.write_text(HEADER + "".join(statement + "\n" for statement, _, _ in MISUSES))
    result = mypy(script)
    errors = {}
    for line in result.stdout.splitlines():
        found = re.match(r".*misuse\.py:(\d+): error: (.*?)(  \[[a-z-]+\])?$", line)
        if found:
            errors.setdefault(int(found.group(1)), []).append(found.group(2))
    first = HEADER.count("\n") + 1
    for number, (statement, message, raised) in enumerate(MISUSES, first):
        said = errors.pop(number, [])
        assert any(m.startswith(message) for m in said), (statement, said)
        namespace = {}
        exec(HEADER, namespace)
        if raised is None:
            exec(statement, namespace)
        else:
            with pytest.raises(raised):
                exec(statement, namespace)
    assert errors == {}, result.stdout
