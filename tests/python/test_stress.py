"""Every public function and record of the modules under strange arguments: no crash, only
Python exceptions, and no object or memory left behind when called many times."""
import gc
import itertools
import json
import os
import signal
import sys
import time

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


# ---------------------------------------------------------------------------------------------
# Python code that runs during a conversion, records never initialised, paths.

def test_a_list_changed_by_python_code_during_its_conversion():
    outputs = []

    class Clearing(dict):
        def items(self):
            outputs.clear()  # frees every other item of the list being converted
            gc.collect()
            return super().items()

    outputs.extend([Clearing(a=1)] + [{"x": [i] * 50} for i in range(100)])
    cell = {"metadata": {"canvas": {"id": "a"}}, "outputs": outputs, "source": []}
    base = {"metadata": {"canvas": {"id": "a"}}, "outputs": [], "source": []}
    diff = notebook_merge._cell_changed(notebook_merge.MergeCell(base, "base"),
                                        notebook_merge.MergeCell(cell, "current"))
    assert diff == {"outputs": [{"a": 1}]}  # the list as it stands once the item is converted


def test_items_that_are_not_pairs_are_a_type_error():
    class Odd(dict):
        def __init__(self, items):
            super().__init__()
            self._items = items

        def items(self):
            return self._items

    base = notebook_merge.MergeCell({"metadata": {}}, "base")
    for items in ([1, 2], [(1, 2, 3)], [("k",)], ["ab"]):
        cell = notebook_merge.MergeCell({"metadata": {}, "outputs": [Odd(items)]}, "current")
        with pytest.raises(TypeError, match=r"Odd\.items\(\) must give \(key, value\) pairs"):
            notebook_merge._cell_changed(base, cell)


@pytest.mark.parametrize("cls, read, written", [
    (common.Cell, ["name", "parents", "comments", "kelm_id", "cell_id", "source", "data", "_data"],
     ["name", "parents", "kelm_id", "cell_id", "source", "_data"]),
    (notebook_merge.MergeCell, ["name", "file_type", "_file_type", "data", "source"], ["name", "_data"]),
    (notebook_diff.DiffCell, ["status", "prev_source", "added_parents", "removed_parents", "name"],
     ["status", "prev_source", "added_parents", "removed_parents"]),
    (notebook_diff.DiffParameter, ["name", "type", "value", "status", "prev_type", "prev_value", "data"],
     ["status", "prev_type", "prev_value", "_data"]),
], ids=lambda v: getattr(v, "__name__", ""))
def test_records_never_initialised_raise_type_error(cls, read, written):
    for member in read:
        with pytest.raises(TypeError, match="not initialized"):
            getattr(cls.__new__(cls), member)
    for member in written:
        with pytest.raises(TypeError, match="not initialized"):
            setattr(cls.__new__(cls), member, {"name": "n", "kelm_id": "k", "cell_id": "c", "_data": {}}.get(member, []))
    with pytest.raises(TypeError, match="not initialized"):
        notebook_merge.MergeCell.__new__(notebook_merge.MergeCell).add_conflict_mark()
    with pytest.raises(TypeError, match="not initialized"):
        notebook_diff._cell_modified(notebook_diff.DiffCell.__new__(notebook_diff.DiffCell))


def tiny_notebook(path, source="x = 1\n"):
    doc = {"cells": [{"cell_type": "code", "metadata": {"canvas": {"id": "a", "name": "a"}},
                      "outputs": [], "source": [source]}],
           "metadata": {"canvas": {"parameters": []}}, "nbformat": 4, "nbformat_minor": 5}
    with open(path, "w") as f:
        json.dump(doc, f)


def test_paths_with_a_nul_byte_are_a_value_error(tmp_path):
    good = str(tmp_path / "nb.ipynb")
    tiny_notebook(good)
    for args in ((good + "\0x", good, good, "nb"), (good, good + "\0", good, "nb"), (good, good, "\0", "nb")):
        with pytest.raises(ValueError, match="embedded null byte"):
            notebook_merge.merge_files(*args)
    with pytest.raises(ValueError, match="embedded null byte"):
        notebook_merge.Git().merge_file(good, good + "\0", good)


def test_paths_that_are_not_utf8_open_the_file_open_would(tmp_path):
    raw = os.path.join(os.fsencode(tmp_path), b"cur\xff\xfe.ipynb")
    tiny_notebook(raw)
    base = str(tmp_path / "base.ipynb")
    incoming = str(tmp_path / "incoming.ipynb")
    tiny_notebook(base)
    tiny_notebook(incoming, "x = 2\n")
    name = os.fsdecode(raw)  # 'cur\udcff\udcfe.ipynb'
    notebook_merge.merge_files(base, name, incoming, "nb.ipynb")
    with open(name) as f:
        assert json.load(f)["cells"][0]["source"] == ["x = 2\n"]


# ---------------------------------------------------------------------------------------------
# Ctrl-C during native work: KeyboardInterrupt, and no file touched.

class Alarm:
    """SIGALRM after `seconds`, raising KeyboardInterrupt as Ctrl-C's handler does."""

    def __init__(self, seconds):
        self.seconds = seconds

    def __enter__(self):
        def interrupt(signum, frame):
            raise KeyboardInterrupt
        self.previous = signal.signal(signal.SIGALRM, interrupt)
        signal.setitimer(signal.ITIMER_REAL, self.seconds)

    def __exit__(self, *exc):
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, self.previous)


def test_ctrl_c_stops_a_long_cell_difference():
    def grids(offset, n=128):
        return {"k%d" % k: [[[offset + i * n + j] for j in range(n)] for i in range(n)] for k in range(4)}

    older = notebook_merge.MergeCell(dict(grids(0), metadata={}), "base")
    newer = notebook_merge.MergeCell(dict(grids(10 ** 6), metadata={}), "current")
    result = "not returned"
    with pytest.raises(KeyboardInterrupt):
        with Alarm(0.01):
            result = notebook_merge._cell_changed(older, newer)
            time.sleep(5)  # not reached when the native work was interrupted
    assert result == "not returned"


def test_ctrl_c_while_git_runs_leaves_the_files_alone(tmp_path, monkeypatch):
    base, current, incoming = (str(tmp_path / n) for n in ("base.ipynb", "current.ipynb", "incoming.ipynb"))
    tiny_notebook(base)
    tiny_notebook(current, "x = 2\n")
    tiny_notebook(incoming, "x = 3\n")  # both sides changed the source: git runs
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "git").write_text("#!/bin/sh\nexec sleep 30\n")
    (bin_dir / "git").chmod(0o755)
    work = tmp_path / "tmp"
    work.mkdir()
    monkeypatch.setenv("PATH", "%s:%s" % (bin_dir, os.environ["PATH"]))
    monkeypatch.setenv("TMPDIR", str(work))
    before = open(current, "rb").read()
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        with Alarm(0.3):
            notebook_merge.merge_files(base, current, incoming, "nb.ipynb")
            time.sleep(5)  # not reached
    # git runs in a helper thread: the merge stops it instead of waiting the 30 s it sleeps.
    assert time.monotonic() - started < 20
    assert open(current, "rb").read() == before
    assert os.listdir(work) == []
    assert sorted(os.listdir(tmp_path)) == ["base.ipynb", "bin", "current.ipynb", "incoming.ipynb", "tmp"]
