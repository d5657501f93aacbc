"""The parameters that inspect.signature() and help() show for the modules' functions, classes
and methods, next to their unchanged documentation strings."""
import inspect
import pydoc

import pytest

from qor_kelm_git.drivers import common, notebook_diff, notebook_merge
from qor_kelm_git.drivers.common import Cell
from qor_kelm_git.drivers.notebook_diff import DiffCell, DiffParameter
from qor_kelm_git.drivers.notebook_merge import Git, MergeCell
from qor_kelm_git.scripts import qormerge

MODULES = [common, notebook_merge, notebook_diff, qormerge]

SIGNATURES = [
    (notebook_merge.merge_files,
     "(base_file_path, current_file_path, incoming_file_path, file_path)"),
    (notebook_merge._merge_source,
     "(g, current, base, incoming, current_name=None, incoming_name=None)"),
    (notebook_merge._cell_changed, "(cell0, cell1)"),
    (notebook_diff.diff_dicts, "(prev, current)"),
    (notebook_diff._cell_modified, "(cell)"),
    (qormerge.main, "(argv=None)"),
    (Cell, "(cell)"),
    (MergeCell, "(cell, file_type)"),
    (DiffCell, "(cell)"),
    (DiffParameter, "(data)"),
    (Git, "()"),
    (Cell.__init__, "(self, cell)"),
    (Cell.add_comment, "(self, comment)"),
    (MergeCell.add_conflict_mark, "(self)"),
    (Git.merge_file, "(self, *args)"),
]


@pytest.mark.parametrize("obj, expected", SIGNATURES, ids=lambda x: getattr(x, "__name__", x))
def test_signature(obj, expected):
    assert str(inspect.signature(obj)) == expected


def test_bound_methods_drop_self():
    cell = MergeCell({"metadata": {"canvas": {"id": "c", "name": "n"}}}, "current")
    assert str(inspect.signature(cell.add_conflict_mark)) == "()"
    assert str(inspect.signature(cell.add_comment)) == "(comment)"
    assert str(inspect.signature(Git().merge_file)) == "(*args)"


def callables():
    """Every public function, class and method the modules define, by qualified name; not the
    exception (it takes any arguments, as Python's own do) nor Symbol (it has no constructor:
    its instances are the module's markers)."""
    for module in MODULES:
        for name, obj in vars(module).items():
            if (name.startswith("__") or not callable(obj) or name == "Symbol"
                    or isinstance(obj, type) and issubclass(obj, BaseException)):
                continue
            yield module.__name__ + "." + name, obj
            for member, method in vars(obj).items() if isinstance(obj, type) else ():
                if callable(method) and (member == "__init__" or not member.startswith("__")):
                    yield module.__name__ + "." + name + "." + member, method


def test_every_callable_has_a_signature():
    missing = []
    for name, obj in callables():
        try:
            inspect.signature(obj)
        except ValueError:
            missing.append(name)
    assert missing == []


@pytest.mark.parametrize("function, first_line, doc", [
    (notebook_merge.merge_files,
     "merge_files(base_file_path, current_file_path, incoming_file_path, file_path)",
     "Ipython Notebook Merge Driver main"),
    (notebook_diff.diff_dicts, "diff_dicts(prev, current)", "Ipython Notebook Diff Driver main"),
])
def test_help_shows_the_parameters_and_the_documentation(function, first_line, doc):
    text = pydoc.render_doc(function, renderer=pydoc.plaintext).splitlines()
    assert text[2].startswith(first_line + " ")
    assert text[3].strip() == doc
    assert function.__doc__ == doc
