"""Cell and MergeCell from Python: views over the caller's own dict, with the promised checks."""
import logging

import pytest

from qor_kelm_git.drivers import common, notebook_merge
from qor_kelm_git.drivers.common import Cell
from qor_kelm_git.drivers.notebook_merge import MergeCell, _cell_changed


def make_cell():
    return {
        "cell_type": "code",
        "metadata": {"canvas": {"id": "k1", "name": "load", "comments": ["a"],
                                "parents": [{"id": "p", "name": "P"}]}},
        "source": ["x = 1\n", "y = 2"],
    }


def test_cell_members_work_in_place():
    data = make_cell()
    cell = Cell(data)
    assert cell._data is data and cell.data is data
    assert cell.name == "load" and cell.kelm_id == "k1"
    assert cell.parents is data["metadata"]["canvas"]["parents"]
    assert cell.source is data["source"]
    del cell.parents[0]["name"]
    assert data["metadata"]["canvas"]["parents"] == [{"id": "p"}]
    cell.name = "save"
    cell.kelm_id = "k2"
    cell.cell_id = "c2"
    cell.add_comment({"text": "b"})
    assert "a" in cell.comments and {"text": "b"} in cell.comments
    canvas = data["metadata"]["canvas"]
    assert (canvas["name"], canvas["id"], data["id"]) == ("save", "k2", "c2")
    assert canvas["comments"] == ["a", {"text": "b"}]
    new_parents = [{"id": "q"}]
    cell.parents = new_parents
    assert canvas["parents"] is new_parents


def test_source_write_replaces_the_list():
    data = make_cell()
    cell = Cell(data)
    before = cell.source
    cell.source = []
    assert before == ["x = 1\n", "y = 2"]
    assert data["source"] == []
    data["source"] = "a\nb"
    assert cell.source == ["a\n", "b"]


def test_reads_of_a_cell_without_canvas_create_nothing():
    data = {"cell_type": "markdown", "source": []}
    cell = Cell(data)
    assert cell.name == "" and cell.parents == [] and cell.comments == []
    assert cell.parents is not cell.parents
    assert data == {"cell_type": "markdown", "source": []}
    with pytest.raises(KeyError, match="metadata"):
        cell.kelm_id
    cell.add_comment("c")
    assert data["metadata"] == {"canvas": {"comments": ["c"]}}


def test_two_views_of_one_dict_see_each_other():
    data = make_cell()
    a, b = Cell(data), MergeCell(data, "current")
    b.add_conflict_mark()
    assert a.name == "<<< load"


def test_subclasses_of_dict_and_list():
    class D(dict):
        pass

    data = D(make_cell())
    cell = MergeCell(data, "incoming")
    cell.add_conflict_mark()
    assert data["metadata"]["canvas"]["name"] == ">>> load"

    class L(list):
        pass

    cell.parents = L([{"id": "z", "name": "Z"}])
    _cell_changed(Cell(make_cell()), cell)
    assert cell.parents == [{"id": "z"}]


def test_merge_cell_class():
    assert issubclass(MergeCell, Cell)
    assert (MergeCell.BASE, MergeCell.CURRENT, MergeCell.INCOMING) == ("base", "current", "incoming")
    assert MergeCell.__doc__ == "Data structure to represent a cell that undergos merge process."
    assert MergeCell.add_conflict_mark.__doc__ == (
        "Change name adding '<<< ' when current cell.\nChange name adding '>>> ' when incoming cell.")
    for side in ("base", "current", "incoming"):
        cell = MergeCell(make_cell(), side)
        assert cell.file_type == side and cell._file_type == side
    assert MergeCell(cell=make_cell(), file_type="base").file_type == "base"


@pytest.mark.parametrize("name, side, expected", [
    ("N", "current", "<<< N"), ("N", "incoming", ">>> N"), ("N", "base", "N"),
    ("<<< N", "current", "<<< N"), (">>> N", "current", "<<< >>> N"), ("", "current", ""),
])
def test_add_conflict_mark(name, side, expected):
    data = make_cell()
    data["metadata"]["canvas"]["name"] = name
    cell = MergeCell(data, side)
    cell.add_conflict_mark()
    cell.add_conflict_mark()
    assert data["metadata"]["canvas"]["name"] == expected


def test_unnamed_cell_is_never_marked():
    data = {"metadata": {"canvas": {"id": "x"}}, "source": []}
    MergeCell(data, "current").add_conflict_mark()
    assert data == {"metadata": {"canvas": {"id": "x"}}, "source": []}


CALLS = [
    (lambda: Cell(None), TypeError, "Argument 'cell' has incorrect type (expected dict, got NoneType)"),
    (lambda: Cell([]), TypeError, "Argument 'cell' has incorrect type (expected dict, got list)"),
    (lambda: Cell(), TypeError, "__init__() takes exactly 1 positional argument (0 given)"),
    (lambda: MergeCell({}), TypeError, "__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda: MergeCell(None, "base"), TypeError,
     "Argument 'cell' has incorrect type (expected dict, got NoneType)"),
    (lambda: MergeCell({}, None), TypeError,
     "Argument 'file_type' has incorrect type (expected str, got NoneType)"),
    (lambda: MergeCell({}, file_type=b"base"), TypeError,
     "Argument 'file_type' has incorrect type (expected str, got bytes)"),
    (lambda: MergeCell({}, "base", 1), TypeError,
     "__init__() takes exactly 2 positional arguments (3 given)"),
    (lambda: MergeCell({}, "base", side="x"), TypeError,
     "__init__() got an unexpected keyword argument 'side'"),
    (lambda: MergeCell({}, "theirs"), AssertionError, ""),
    (lambda: _cell_changed(Cell({})), TypeError,
     "_cell_changed() takes exactly 2 positional arguments (1 given)"),
    (lambda: _cell_changed(), TypeError, "_cell_changed() takes exactly 2 positional arguments (0 given)"),
    (lambda: _cell_changed(cell1=Cell({})), TypeError,
     "_cell_changed() takes exactly 2 positional arguments (0 given)"),
    (lambda: _cell_changed(Cell({}), Cell({}), cell0=Cell({})), TypeError,
     "_cell_changed() got multiple values for keyword argument 'cell0'"),
]


@pytest.mark.parametrize("call, error, message", CALLS, ids=range(len(CALLS)))
def test_argument_checks(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


def test_cell_changed_by_keyword_and_duck_typing():
    class Plain:
        def __init__(self, data):
            self.data = data
            self.parents = data["metadata"]["canvas"].setdefault("parents", [])

    old, new = make_cell(), make_cell()
    new["source"][1] = "y = 3"
    diff = _cell_changed(cell1=Plain(new), cell0=MergeCell(old, "base"))
    assert diff == {"source": {notebook_merge.insert: [(1, "y = 3")], notebook_merge.delete: [1]}}
    assert old["metadata"]["canvas"]["parents"] == [{"id": "p"}]


def test_errors_of_members_reach_the_caller():
    with pytest.raises(TypeError, match="cell 'name' must be a str, not int"):
        Cell({"metadata": {"canvas": {"name": 3}}}).name
    with pytest.raises(TypeError, match="expected list, got tuple"):
        Cell({}).parents = ()
    with pytest.raises(ValueError, match="Circular reference"):
        loop = {"metadata": {"canvas": {}}}
        loop["self"] = loop
        _cell_changed(Cell(loop), Cell(make_cell()))

    class Bad:
        def __eq__(self, other):
            raise RuntimeError("no comparing")

    cell = Cell({"metadata": {"canvas": {"comments": [Bad()]}}})
    assert len(cell.comments) == 1


def test_cell_changed_logs_each_difference_to_the_root_logger(caplog):
    old, new = make_cell(), make_cell()
    new["source"] = ["z\n"]
    with caplog.at_level(logging.DEBUG):
        _cell_changed(Cell(old), Cell(new))
    assert [r.getMessage() for r in caplog.records] == ["{'source': ['z\\n']}"]
    assert caplog.records[0].name == "root" and caplog.records[0].levelno == logging.DEBUG
    caplog.clear()
    with caplog.at_level(logging.INFO):
        _cell_changed(Cell(old), Cell(new))
    assert caplog.records == []


def test_common_module_has_only_the_cell():
    assert common.Cell is Cell
