"""The structural difference and `_cell_changed` against jsondiff, on random values and cells."""
import copy
import json
import random

import jsondiff
import pytest
from jsondiff.symbols import Symbol

import qor_testing
from qor_kelm_git.drivers import notebook_merge
from qor_kelm_git.drivers.notebook_merge import MergeCell, _cell_changed


def render(diff):
    """A text for a difference in which markers of either library print as $label."""
    if isinstance(diff, (Symbol, notebook_merge.Symbol)):
        return "$" + diff.label
    if isinstance(diff, dict):
        items = []
        for key, value in diff.items():
            items.append(render(key) + ": " + render(value))
        return "{" + ", ".join(items) + "}"
    if isinstance(diff, (list, tuple)):
        inner = ", ".join(render(v) for v in diff)
        return ("(%s)" if isinstance(diff, tuple) else "[%s]") % inner
    return repr(diff)


def reference_cell_changed(cell0, cell1):
    """The cell difference computed with jsondiff on copies."""
    a, b = copy.deepcopy(cell0), copy.deepcopy(cell1)
    for cell in (a, b):
        for record in cell.get("metadata", {}).get("canvas", {}).get("parents", []):
            record.pop("name", None)
    diff = jsondiff.diff(a, b)
    if isinstance(diff, dict):
        diff.pop("execution_count", None)
    return diff


def scalar(rng):
    return rng.choice(["a", "b", "x\n", "y\n", "", "\u00e9", 0, 1, 1.0, 2.5, True, False, None])


def value(rng, depth=0):
    c = rng.random()
    if depth > 3 or c < 0.4:
        return scalar(rng)
    if c < 0.7:
        return [value(rng, depth + 1) for _ in range(rng.randint(0, 6))]
    return {k: value(rng, depth + 1) for k in rng.sample("abcde", rng.randint(0, 4))}


def mutate(rng, v, depth=0):
    if isinstance(v, dict):
        v = dict(v)
        for k in list(v):
            c = rng.random()
            if c < 0.2:
                del v[k]
            elif c < 0.5:
                v[k] = mutate(rng, v[k], depth + 1)
        if rng.random() < 0.3:
            v[rng.choice("abcdef")] = value(rng, depth + 1)
        return v
    if isinstance(v, list):
        v = list(v)
        for _ in range(rng.randint(0, 3)):
            c = rng.random()
            if c < 0.3 and v:
                del v[rng.randrange(len(v))]
            elif c < 0.6:
                v.insert(rng.randint(0, len(v)), value(rng, depth + 1))
            elif v:
                i = rng.randrange(len(v))
                v[i] = mutate(rng, v[i], depth + 1)
        return v
    return value(rng, depth) if rng.random() < 0.5 else v


def test_random_values_match_jsondiff():
    rng = random.Random(1)
    for _ in range(4000):
        a = value(rng)
        b = mutate(rng, a) if rng.random() < 0.8 else value(rng)
        ours = qor_testing.diff(a, b, notebook_merge)
        theirs = jsondiff.diff(a, b)
        assert render(ours) == render(theirs), (a, b)
        assert qor_testing.diff_repr(a, b) == render(theirs)


def test_lists_with_many_ties_match_jsondiff():
    rng = random.Random(2)
    for _ in range(400):
        alphabet = rng.choice([["a", "b"], ["a", "b", "c"], [str(i) for i in range(40)], [1, 1.0, True, "1"]])
        a = [rng.choice(alphabet) for _ in range(rng.randint(0, 120))]
        if rng.random() < 0.5:
            b = list(a)
            for _ in range(rng.randint(0, 6)):
                if b and rng.random() < 0.5:
                    del b[rng.randrange(len(b))]
                else:
                    b.insert(rng.randint(0, len(b)), rng.choice(alphabet))
        else:
            b = [rng.choice(alphabet) for _ in range(rng.randint(0, 120))]
        assert render(qor_testing.diff(a, b, notebook_merge)) == render(jsondiff.diff(a, b))


def random_cell(rng):
    source = ["line %d\n" % rng.randint(0, 30) for _ in range(rng.randint(0, 25))]
    canvas = {"id": "c%d" % rng.randint(0, 3)}
    if rng.random() < 0.7:
        canvas["name"] = rng.choice(["load", "train", "plot"])
    if rng.random() < 0.6:
        canvas["parents"] = [{"id": "p%d" % i, "name": "P%d" % i} for i in range(rng.randint(0, 3))]
    if rng.random() < 0.5:
        canvas["comments"] = [{"text": rng.choice(["ok", "fix", "why"]), "by": "u"} for _ in range(rng.randint(0, 3))]
    if rng.random() < 0.5:
        canvas["headerColor"] = rng.choice(["red", "blue", None])
    outputs = [{"output_type": "stream", "name": "stdout", "text": ["out %d\n" % i for i in range(rng.randint(0, 4))]}
               for _ in range(rng.randint(0, 2))]
    cell = {"cell_type": "code", "execution_count": rng.choice([None, 1, 2]), "id": "x",
            "metadata": {"canvas": canvas}, "outputs": outputs, "source": source}
    if rng.random() < 0.2:
        del cell["execution_count"]
    return cell


def mutate_cell(rng, cell):
    cell = copy.deepcopy(cell)
    canvas = cell["metadata"]["canvas"]
    for _ in range(rng.randint(0, 3)):
        c = rng.random()
        if c < 0.3 and cell["source"]:
            cell["source"][rng.randrange(len(cell["source"]))] = "edited %d\n" % rng.randint(0, 9)
        elif c < 0.45:
            cell["source"].insert(rng.randint(0, len(cell["source"])), "new\n")
        elif c < 0.55:
            canvas.setdefault("comments", []).append({"text": "new", "by": "v"})
        elif c < 0.65:
            canvas["headerColor"] = rng.choice(["green", "red"])
        elif c < 0.75:
            cell["execution_count"] = rng.randint(3, 9)
        elif c < 0.85:
            for record in canvas.get("parents", []):
                record["name"] = "renamed"
        elif c < 0.9:
            cell["outputs"] = []
        else:
            canvas["name"] = "other"
    return cell


def test_random_cells_match_the_jsondiff_reference():
    rng = random.Random(3)
    for _ in range(1500):
        base = random_cell(rng)
        side = mutate_cell(rng, base) if rng.random() < 0.85 else random_cell(rng)
        expected = reference_cell_changed(base, side)
        got = _cell_changed(MergeCell(base, "base"), MergeCell(side, file_type="current"))
        assert render(got) == render(expected)
        assert bool(got) == bool(expected)
        assert set(map(render, got)) == set(map(render, expected))
        for cell in (base, side):
            assert all("name" not in r for r in cell["metadata"]["canvas"].get("parents", []))


def test_markers_are_the_module_constants():
    diff = qor_testing.diff({"c": ["X", "Y"], "d": 1}, {"c": ["Y", "Z"]}, notebook_merge)
    assert diff == {"c": {notebook_merge.insert: [(1, "Z")], notebook_merge.delete: [0]},
                    notebook_merge.delete: ["d"]}
    assert qor_testing.diff({"a": 1}, {"b": 2}, notebook_merge) == {notebook_merge.replace: {"b": 2}}
    assert [repr(m) for m in (notebook_merge.insert, notebook_merge.delete, notebook_merge.replace)] == [
        "$insert", "$delete", "$replace"]
    assert notebook_merge.insert != "$insert" and notebook_merge.insert != 0


def test_a_long_source_with_few_edits():
    x = ["line %d\n" % i for i in range(3000)]
    y = list(x)
    y[10] = "changed\n"
    y.insert(2500, "added\n")
    del y[1500]
    assert render(qor_testing.diff({"source": x}, {"source": y}, notebook_merge)) == (
        "{'source': {$insert: [(10, 'changed\\n'), (2499, 'added\\n')], $delete: [1500, 10]}}")
