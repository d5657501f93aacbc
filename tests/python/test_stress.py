"""Every public function and record of the modules under strange arguments: no crash, only
Python exceptions, and no object or memory left behind when called many times."""
import gc
import itertools
import os
import sys

import pytest

from qor_kelm_git.drivers import common, notebook_diff, notebook_merge
from qor_kelm_git.scripts import qormerge


class Angry:
    """An object whose comparisons raise."""

    def __eq__(self, other):
        raise RuntimeError("no comparing")

    __hash__ = object.__hash__


class D(dict):
    pass


class L(list):
    pass


def cell_dict(**canvas):
    canvas.setdefault("id", "a")
    return {"cell_type": "code", "metadata": {"canvas": canvas}, "source": ["x\n"]}


loop = []
loop.append(loop)
self_dict = {}
self_dict["me"] = self_dict

ODD_VALUES = [None, 0, 1.5, "text", b"bytes", (), (1, "a"), [], L(["a"]), {}, D(a=1), {1: 2}, {(1,): 2},
              {"x"}, loop, self_dict, Angry(), [Angry()], cell_dict(), D(cell_dict()),
              cell_dict(name=5), cell_dict(parents={}), cell_dict(comments=[Angry()]),
              {"metadata": []}, {"metadata": {"canvas": None}}, object()]


def calls():
    """(name, function taking one odd value) for every entry point."""
    g = notebook_merge.Git()
    yield "Cell", lambda v: common.Cell(v)
    yield "Cell members", lambda v: [getattr(common.Cell(v), m) for m in
                                     ("name", "parents", "comments", "kelm_id", "cell_id", "source", "data")]
    yield "Cell writes", lambda v: [setattr(common.Cell(cell_dict()), m, v) for m in
                                    ("name", "parents", "kelm_id", "cell_id", "source")]
    yield "add_comment", lambda v: common.Cell(cell_dict(comments=[Angry()])).add_comment(v)
    yield "MergeCell", lambda v: notebook_merge.MergeCell(v, "base")
    yield "MergeCell side", lambda v: notebook_merge.MergeCell(cell_dict(), v)
    yield "add_conflict_mark", lambda v: notebook_merge.MergeCell(v, "current").add_conflict_mark()
    yield "_cell_changed", lambda v: notebook_merge._cell_changed(v, common.Cell(cell_dict()))
    yield "_cell_changed data", lambda v: notebook_merge._cell_changed(
        common.Cell(cell_dict()), common.Cell({"metadata": {"canvas": {}}, "x": v}))
    yield "_merge_source", lambda v: notebook_merge._merge_source(g, v, [], [])
    yield "_merge_source runner", lambda v: notebook_merge._merge_source(v, ["a\n"], ["b\n"], ["c\n"])
    yield "_merge_source lines", lambda v: notebook_merge._merge_source(g, [v], [], [])
    yield "_merge_source names", lambda v: notebook_merge._merge_source(g, [], [], [], v, v)
    yield "Git.merge_file", lambda v: g.merge_file(v)
    yield "merge_files", lambda v: notebook_merge.merge_files(v, v, v, v)
    yield "diff_dicts", lambda v: notebook_diff.diff_dicts(v, {"cells": [cell_dict()]})
    yield "diff_dicts cells", lambda v: notebook_diff.diff_dicts({"cells": [v]}, {"cells": v})
    yield "diff_dicts parameters", lambda v: notebook_diff.diff_dicts(
        {"metadata": {"canvas": {"parameters": [{"name": "p", "type": v, "value": v}]}}},
        {"metadata": {"canvas": {"parameters": [{"name": "p", "type": "t", "value": "x"}, v]}}})
    yield "DiffCell", lambda v: notebook_diff.DiffCell(v)
    yield "DiffCell writes", lambda v: [setattr(notebook_diff.DiffCell(cell_dict()), m, v) for m in
                                        ("status", "prev_source", "removed_parents", "added_parents")]
    yield "DiffParameter", lambda v: notebook_diff.DiffParameter(v)
    yield "DiffParameter members", lambda v: [
        getattr(notebook_diff.DiffParameter({"name": v, "type": v, "value": v}), m)
        for m in ("status", "name", "type", "value", "prev_type", "prev_value")]
    yield "_cell_modified", lambda v: notebook_diff._cell_modified(v)
    yield "qormerge.main", lambda v: qormerge.main(v)


# AttributeError: a duck-typed argument (a cell or a runner) without the member used.
ERRORS = (TypeError, ValueError, KeyError, AssertionError, RuntimeError, OSError, RecursionError, AttributeError)


@pytest.mark.parametrize("name, call", list(calls()), ids=[n for n, _ in calls()])
def test_odd_arguments_raise_python_errors_only(name, call, capfd):
    for value in ODD_VALUES:
        try:
            call(value)
        except ERRORS:
            pass


def test_missing_and_extra_arguments():
    functions = [common.Cell, notebook_merge.MergeCell, notebook_merge._cell_changed, notebook_merge._merge_source,
                 notebook_merge.merge_files, notebook_merge.Git, notebook_diff.diff_dicts, notebook_diff.DiffCell,
                 notebook_diff.DiffParameter, notebook_diff._cell_modified]
    for f in functions:
        for args in ((), (None,) * 8):
            if f is notebook_merge.Git and not args:
                continue  # Git takes no arguments
            with pytest.raises(TypeError):
                f(*args)
        with pytest.raises(TypeError):
            f(**{"no_such_argument": 1})
        with pytest.raises(TypeError):
            f(**{1: 2})


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def exercise(rounds):
    g = notebook_merge.Git()
    for _ in range(rounds):
        for name, call in calls():
            if name in ("_merge_source runner", "Git.merge_file", "merge_files", "qormerge.main"):
                continue  # these start processes or touch files: exercised below, fewer times
            for value in ODD_VALUES:
                try:
                    call(value)
                except ERRORS:
                    pass
        cur, base = cell_dict(name="n", parents=[{"id": "p", "name": "P"}]), cell_dict(name="m")
        notebook_merge._cell_changed(notebook_merge.MergeCell(base, "base"), notebook_merge.MergeCell(cur, "current"))
        notebook_diff.diff_dicts({"cells": [cell_dict()], "metadata": {"canvas": {"parameters": []}}},
                                 {"cells": [cell_dict(), dict(cell_dict(), metadata={"canvas": {"id": "b"}})]})
    for _ in range(max(1, rounds // 50)):
        notebook_merge._merge_source(g, ["a\n", "X\n"], ["a\n", "b\n"], ["a\n", "Y\n"], "c", "i")


def test_no_leaks_when_called_many_times():
    exercise(20)  # warm-up: caches, interned strings, allocator pools
    gc.collect()
    objects_before, rss_before = len(gc.get_objects()), rss_kib()
    exercise(200)
    gc.collect()
    objects_after, rss_after = len(gc.get_objects()), rss_kib()
    assert objects_after - objects_before < 100, (objects_before, objects_after)
    assert rss_after - rss_before < 4096, (rss_before, rss_after)


def test_refcounts_of_arguments_and_results_stay_balanced():
    data = cell_dict(name="n", comments=["c"])
    lines = ["a\n"]
    before = (sys.getrefcount(data), sys.getrefcount(lines))
    for _ in range(1000):
        cell = common.Cell(data)
        cell.name
        cell.comments
        cell.source = lines
        cell.source
        del cell
        diff = notebook_diff.DiffCell(data)
        diff.prev_source = lines
        diff.prev_source
        del diff
    assert (sys.getrefcount(data), sys.getrefcount(lines)) == (before[0], before[1] + 2)  # stored twice
