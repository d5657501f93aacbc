"""diff_dicts, _cell_modified, DiffCell and DiffParameter from Python, and qordiff."""
import copy
import json
import os
import random
import subprocess

import pytest

import reference_diff
from qor_kelm_git.drivers import notebook_diff
from qor_kelm_git.drivers.common import Cell
from qor_kelm_git.drivers.notebook_diff import DiffCell, DiffParameter, _cell_modified, diff_dicts


def code(id_, source=("x\n",), parents=(), **canvas):
    canvas = dict(canvas, id=id_, parents=[dict(p) for p in parents])
    return {"cell_type": "code", "metadata": {"canvas": canvas}, "outputs": [], "source": list(source)}


def doc(cells=None, parameters=None):
    d = {}
    if cells is not None:
        d["cells"] = cells
    if parameters is not None:
        d["metadata"] = {"canvas": {"parameters": parameters}}
    return d


def random_doc(rng, ids, names):
    cells = []
    for i in rng.sample(ids, rng.randint(0, len(ids))):
        parents = [{"id": p, "name": rng.choice(["A", "B"])} for p in rng.sample(ids, rng.randint(0, min(3, len(ids))))]
        for record in parents:
            if rng.random() < 0.3:
                del record["name"]  # as merges write them
        source = [rng.choice(["a\n", "b\n", "c"]) for _ in range(rng.randint(0, 3))]
        cell = code(i, source, parents, name=rng.choice(["n1", "n2"]))
        if rng.random() < 0.2:
            cell["source"] = "".join(source)
        if rng.random() < 0.2:
            cell["cell_type"] = "markdown"
        cells.append(cell)
    if cells and rng.random() < 0.2:
        cells.append(copy.deepcopy(rng.choice(cells)))
    parameters = []
    for n in rng.sample(names, rng.randint(0, len(names))):
        parameters.append({"name": n, "type": rng.choice(["str", "int"]), "value": rng.choice(["1", "2", None])})
    if parameters and rng.random() < 0.15:
        del parameters[0]["name"]
    d = doc(cells if rng.random() < 0.9 else None, parameters if rng.random() < 0.9 else None)
    return d


def test_random_documents_match_the_reference():
    rng = random.Random(8)
    for _ in range(2000):
        ids = ["c%d" % k for k in range(rng.randint(1, 6))]
        names = ["p%d" % k for k in range(rng.randint(0, 5))]
        prev, current = random_doc(rng, ids, names), random_doc(rng, ids, names)
        prev2, current2 = copy.deepcopy(prev), copy.deepcopy(current)
        ours = diff_dicts(prev, current)
        theirs = reference_diff.diff_dicts(prev2, current2)
        assert ours == theirs
        assert json.dumps(ours) == json.dumps(theirs)  # key order too
        # The inputs receive the same annotations (their nested objects are shared).
        assert json.dumps([prev, current]) == json.dumps([prev2, current2])


def test_result_shares_nested_objects_with_the_inputs():
    cell = code("a", ["x\n"], [{"id": "p", "name": "P"}])
    param = {"name": "lr", "type": "float", "value": "1"}
    current = doc([cell], [param])
    result = diff_dicts(doc([], []), current)
    assert result["cells"][0] is not cell
    assert result["cells"][0]["metadata"] is cell["metadata"]
    assert result["metadata"]["canvas"]["parameter"][0] is param
    assert param["diff_status"] == "added"
    assert cell["metadata"]["canvas"]["diff_status"] == "added"
    assert cell["source"] == ["x\n"]


EDGE_CASES = [
    ("no cells and no metadata", doc(), doc(), {"cells": [], "metadata": {"canvas": {"parameter": []}}}),
    ("markdown cells never appear",
     doc([{"cell_type": "markdown", "source": "a", "metadata": {}}]),
     doc([{"cell_type": "raw", "source": "b"}]), {"cells": [], "metadata": {"canvas": {"parameter": []}}}),
]


@pytest.mark.parametrize("name, prev, current, expected", EDGE_CASES, ids=[c[0] for c in EDGE_CASES])
def test_edge_cases(name, prev, current, expected):
    assert diff_dicts(prev, current) == expected


def kept(prev_cell, current_cell):
    return diff_dicts(doc([prev_cell]), doc([current_cell]))["cells"][0]["metadata"]["canvas"]


def test_kept_cells():
    status = kept(code("a", ["x\n"], [{"id": "p", "name": "P"}, {"id": "q", "name": "Q"}]),
                  code("a", ["x\n"], [{"id": "q", "name": "Q2"}, {"id": "r", "name": "R"}]))
    assert status["diff_status"] == "unchanged"
    assert status["added_parents"] == [{"id": "r", "name": "R"}]
    assert status["removed_parents"] == [{"id": "p", "name": "P"}]
    assert status["parents"] == [{"id": "q", "name": "Q2"}]
    assert kept(code("a", ["x\n"]), code("a", ["x\r\n"]))["diff_status"] == "modified"
    assert kept(code("a", ["x\n", "y"]), dict(code("a"), source="x\ny"))["diff_status"] == "unchanged"


def test_removed_cell_keeps_its_parent_records_whole():
    record = {"id": "p", "name": "P", "extra": 1}
    result = diff_dicts(doc([code("a", ["x\n"], [record])]), doc([]))
    canvas = result["cells"][0]["metadata"]["canvas"]
    assert canvas["removed_parents"] == [record]
    assert canvas["diff_status"] == "removed" and canvas["parents"] == []
    assert result["cells"][0]["source"] == [] and canvas["prev_source"] == ["x\n"]


def test_parameters():
    prev = [{"name": "a", "type": "str", "value": "1"}, {"name": "b", "type": "str", "value": "1"},
            {"name": "gone", "type": "str", "value": "1"}, {"name": "n", "type": "str", "value": None}]
    current = [{"name": "a", "type": "int", "value": "1"}, {"name": "b", "type": "str", "value": "2"},
               {"name": "new", "type": "str", "value": "1"}, {"name": "n", "type": "str", "value": "x"}]
    result = diff_dicts(doc(None, prev), doc(None, current))["metadata"]["canvas"]["parameter"]
    assert [(p["name"], p["diff_status"]) for p in result] == [
        ("gone", "removed"), ("a", "unchanged"), ("b", "modified"), ("n", "modified"), ("new", "added")]
    assert "prev_type" not in result[1]
    assert (result[2]["prev_type"], result[2]["prev_value"]) == ("str", "1")
    assert (result[3]["prev_type"], result[3]["prev_value"]) == ("str", None)


def test_parent_records_without_names_take_the_names_of_their_cells():
    # Merges write parent records as {"id": ...}: the diff of a merged notebook names them by
    # the cell with that component id in the same version, and null when there is none.
    prev = doc([code("p", name="Load"), code("q", name="Old"), code("a", parents=[{"id": "q"}, {"id": "p"}])])
    current = doc([code("p", name="Load2"), {"cell_type": "markdown", "source": [], "metadata": {"canvas": {"id": "m", "name": "Notes"}}},
                   code("a", parents=[{"id": "p"}, {"id": "m"}, {"id": "gone"}])])
    result = diff_dicts(prev, current)["cells"][-1]["metadata"]["canvas"]
    assert json.dumps([result["parents"], result["added_parents"], result["removed_parents"]]) == json.dumps([
        [{"id": "p", "name": "Load2"}],
        [{"id": "m", "name": "Notes"}, {"id": "gone", "name": None}],
        [{"id": "q", "name": "Old"}]])


def test_a_nameless_parameter_is_left_out_alone():
    prev = [{"name": "a", "type": "str", "value": "1"}]
    current = [{"type": "str", "value": "x"}, {"name": "a", "type": "str", "value": "1"}]
    result = diff_dicts(doc(None, prev), doc(None, current))["metadata"]["canvas"]["parameter"]
    assert [(p["name"], p["diff_status"]) for p in result] == [("a", "unchanged")]
    assert "diff_status" not in current[0]


@pytest.mark.parametrize("prev, current, error, message", [
    (None, {}, TypeError, "Argument 'prev' has incorrect type (expected dict, got NoneType)"),
    ({}, [], TypeError, "Argument 'current' has incorrect type (expected dict, got list)"),
    ({"cells": {}}, {}, TypeError, "prev: cells must be a list, not dict"),
    ({"cells": [1]}, {}, TypeError, "prev: cells[0] must be a dict, not int"),
    ({"cells": [{"source": []}]}, {}, KeyError, "'prev: cell 0: missing cell_type'"),
    ({"cells": [{"cell_type": "code", "metadata": {}}]}, {}, KeyError,
     "'prev: cell 0 (code): missing metadata.canvas.id: every code cell needs a component id'"),
    ({"cells": [{"cell_type": "code", "metadata": {"canvas": {}}}]}, {}, KeyError,
     "'prev: cell 0 (code): missing metadata.canvas.id: every code cell needs a component id'"),
    ({}, {"cells": [{"cell_type": "code", "metadata": {"canvas": {"id": "a", "name": "x", "parents": {}}}}]},
     TypeError,
     "current: cell 0 'x' (code): metadata.canvas.parents must be a list, not dict"),
    ({"cells": [code("a")]}, {"cells": [code("a", parents=[{"name": "p"}])]}, KeyError,
     "\"current: cell 0 (code, id 'a'): missing metadata.canvas.parents[0].id\""),
    ({"cells": [dict(code("a"), source=5)]}, {}, TypeError,
     "prev: cell 0 (code, id 'a'): source must be a list, not int"),
    ({"metadata": {"canvas": {"parameters": {}}}}, {}, TypeError,
     "prev: metadata.canvas.parameters must be a list, not dict"),
    (doc(None, [{"name": "a", "type": "str"}]), doc(None, [{"name": "a", "type": "str", "value": "1"}]),
     KeyError, "\"prev: metadata.canvas.parameters[0]: missing key 'value'\""),
    (doc(None, [{"name": "a", "type": "str", "value": 1}]), doc(None, [{"name": "a", "type": "s", "value": "1"}]),
     TypeError, "prev: metadata.canvas.parameters[0]: Expected str, got int"),
    (doc(None, [{"name": "a", "value": "2"}]), doc(None, [{"name": "a", "type": "s", "value": "1"}]),
     KeyError, "\"prev: metadata.canvas.parameters[0]: missing key 'type'\""),
])
def test_failures(prev, current, error, message):
    with pytest.raises(error) as info:
        diff_dicts(prev, current)
    assert str(info.value) == message


def test_strange_python_objects_never_crash():
    loop = []
    loop.append(loop)
    odd_inputs = [
        {"cells": ({"cell_type": "code"},)},
        {"cells": [{"cell_type": "code", "metadata": {"canvas": {"id": (1, 2)}}, "source": ["x"]}]},
        {"cells": [{"cell_type": "code", "metadata": {"canvas": {"id": 1}}, "source": {1, 2}}]},
        {"cells": [{"cell_type": "code", "metadata": {"canvas": {"id": "a", "parents": loop}}, "source": loop}]},
        {1: 2, "metadata": {"canvas": {"parameters": [{"name": ("t",), "type": "s", "value": "v"}]}}},
    ]
    for a in odd_inputs:
        for b in odd_inputs:
            try:
                diff_dicts(copy.copy(a), copy.copy(b))
            except (TypeError, KeyError, ValueError, RecursionError):
                pass


def test_diff_cell_records():
    data = code("a")
    data["metadata"]["canvas"]["diff_status"] = "added"
    cell = DiffCell(data)
    assert isinstance(cell, Cell) and cell.data is data
    assert cell.status == "unchanged" and data["metadata"]["canvas"]["diff_status"] == "unchanged"
    before = copy.deepcopy(data)
    prev = cell.prev_source
    assert prev == [] and cell.prev_source is not prev
    prev.append("x")
    assert data == before
    with pytest.raises(AssertionError):
        cell.status = "bogus"
    assert cell.status == "unchanged"
    cell.status = DiffCell.MODIFIED
    assert data["metadata"]["canvas"]["diff_status"] == "modified"
    with pytest.raises(TypeError, match=r"Argument 'value' has incorrect type \(expected list, got NoneType\)"):
        cell.prev_source = None
    lines = []
    cell.prev_source = lines
    assert data["metadata"]["canvas"]["prev_source"] is lines
    assert (DiffCell.UNCHANGED, DiffCell.ADDED, DiffCell.REMOVED, DiffCell.MODIFIED) == (
        "unchanged", "added", "removed", "modified")
    with pytest.raises(KeyError):
        DiffCell({"source": []})
    with pytest.raises(TypeError, match=r"Argument 'cell' has incorrect type \(expected dict, got NoneType\)"):
        DiffCell(None)
    data["metadata"]["canvas"]["removed_parents"] = "oops"
    with pytest.raises(TypeError, match="Expected list, got str"):
        cell.removed_parents


def test_diff_parameter_records():
    data = {"name": "lr", "type": "float", "value": "0.1"}
    p = DiffParameter(data)
    assert p.data is data and p._data is data and data["diff_status"] == "unchanged"
    assert (p.name, p.type, p.value, p.prev_type, p.prev_value) == ("lr", "float", "0.1", "float", "0.1")
    p.prev_type = "int"
    assert (p.prev_type, data["type"]) == ("int", "float")
    p.prev_value = None  # a value that was null can have changed
    assert p.prev_value is None
    p.status = "modified"
    assert data["diff_status"] == "modified"
    with pytest.raises(AssertionError):
        p.status = "nope"
    with pytest.raises(TypeError):
        p.prev_type = 3
    assert DiffParameter({"name": "x", "type": "t", "value": None}).value is None
    with pytest.raises(TypeError, match="Expected str, got int"):
        DiffParameter({"name": "x", "type": "t", "value": 1}).value
    no_type = DiffParameter({"name": "x", "prev_type": "t", "value": "v"})
    with pytest.raises(KeyError):
        no_type.prev_type
    with pytest.raises(TypeError, match=r"Argument 'data' has incorrect type \(expected dict, got list\)"):
        DiffParameter([])


def test_cell_modified():
    cell = DiffCell(code("a", ["x\n"]))
    assert _cell_modified(cell)  # prev_source reads as []
    cell.prev_source = ["x\n"]
    assert not _cell_modified(cell=cell)
    with pytest.raises(TypeError, match="expected DiffCell, got dict"):
        _cell_modified({})


def test_module_constants_and_docs():
    assert notebook_diff.diff_dicts.__doc__ == "Ipython Notebook Diff Driver main"
    assert DiffCell.__doc__ == "Data structure to represent a cell that undergoes diff process."
    assert DiffParameter.__doc__ == "Data structure to represent a parameter that undergoes diff process."


def qordiff(*args):
    return subprocess.run([os.environ["QORDIFF"], *args], capture_output=True, text=True)


def test_qordiff_prints_what_diff_dicts_returns(tmp_path):
    rng = random.Random(9)
    for k in range(60):
        ids = ["c%d" % i for i in range(rng.randint(1, 5))]
        prev, current = random_doc(rng, ids, ["p0", "p1"]), random_doc(rng, ids, ["p0", "p1"])
        (tmp_path / "prev.ipynb").write_text(json.dumps(prev, indent=1))
        (tmp_path / "current.ipynb").write_text(json.dumps(current))
        try:
            expected = (0, json.dumps(diff_dicts(copy.deepcopy(prev), copy.deepcopy(current))) + "\n", "")
        except (KeyError, TypeError) as e:
            # The same message, the documents named by their files and versions.
            message = e.args[0]
            for name, path, version in (("prev", "prev.ipynb", "previous"), ("current", "current.ipynb", "current")):
                if message.startswith(name + ":"):
                    message = "%s (%s version)%s" % (tmp_path / path, version, message[len(name):])
            expected = (1, "", "qordiff: error: %s\n" % message)
        got = qordiff(str(tmp_path / "prev.ipynb"), str(tmp_path / "current.ipynb"))
        assert (got.returncode, got.stdout, got.stderr) == expected


def test_qordiff_errors(tmp_path):
    (tmp_path / "bad.ipynb").write_text("{")
    (tmp_path / "ok.ipynb").write_text("{}")
    got = qordiff(str(tmp_path / "bad.ipynb"), str(tmp_path / "ok.ipynb"))
    assert got.returncode == 1
    assert got.stderr == ("qordiff: error: %s (previous version): Expecting property name enclosed in double "
                          "quotes: line 1 column 2 (char 1)\n" % (tmp_path / "bad.ipynb"))
    assert qordiff(str(tmp_path / "ok.ipynb")).returncode == 2
    assert qordiff("--bogus", "a", "b").returncode == 2
    assert qordiff("-h").stdout.startswith("usage: qordiff")
