"""merge_files and _merge_source from Python.

Random three-way scenarios are merged by the module and by a literal Python statement of the
merge (reference_merge.py, on json, jsondiff and GitPython); the merged files must be identical.
"""
import copy
import logging
import json
import os
import random
import re
import shutil
import stat

import git
import pytest

import reference_merge
import qor_kelm_git.drivers
from qor_kelm_git.drivers import notebook_merge
from qor_kelm_git.drivers.notebook_merge import Git, GitCommandError, _merge_source, merge_files

UUID = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")

NAMES = ["load", "clean", "train", "plot", ">>> load", None, None]
WORDS = ["x = 1\n", "y = 2\n", "z = x + y\n", "print(z)\n", "import os\n", "# note\n", "return x\n"]


def random_cell(rng, kid, ids):
    canvas = {"id": kid}
    name = rng.choice(NAMES)
    if name is not None:
        canvas["name"] = name
    if rng.random() < 0.8:
        canvas["parents"] = [{"id": p, "name": "n-" + p} for p in rng.sample(ids, min(len(ids), rng.randint(0, 2)))]
    if rng.random() < 0.5:
        canvas["comments"] = [{"text": rng.choice(["ok", "why", "fix"])} for _ in range(rng.randint(0, 2))]
    if rng.random() < 0.5:
        canvas["headerColor"] = rng.choice(["red", "blue"])
    cell = {"cell_type": rng.choice(["code", "code", "markdown"]), "execution_count": rng.choice([None, 1, 2]),
            "id": "c-" + kid, "metadata": {"canvas": canvas},
            "outputs": [{"output_type": "stream", "text": ["%d\n" % rng.randint(0, 3)]}] if rng.random() < 0.5 else [],
            "source": [rng.choice(WORDS) for _ in range(rng.randint(0, 8))]}
    if rng.random() < 0.1:
        cell["source"] = "".join(cell["source"])
    return cell


def edit_source(rng, cell):
    src = cell["source"] if isinstance(cell["source"], list) else reference_merge._split_nl(cell["source"])
    src = list(src)
    for _ in range(rng.randint(1, 3)):
        c = rng.random()
        if c < 0.4 and src:
            src[rng.randrange(len(src))] = rng.choice(WORDS)
        elif c < 0.7:
            src.insert(rng.randint(0, len(src)), rng.choice(WORDS))
        elif src:
            del src[rng.randrange(len(src))]
    cell["source"] = src


def mutate(rng, doc, side, shared_new):
    doc = copy.deepcopy(doc)
    cells = []
    ids = [c["metadata"]["canvas"]["id"] for c in doc["cells"]]
    for cell in doc["cells"]:
        canvas = cell["metadata"]["canvas"]
        c = rng.random()
        if c < 0.1:
            continue  # deleted
        if c < 0.3:
            edit_source(rng, cell)
        elif c < 0.38:
            if rng.random() < 0.5:
                canvas["name"] = rng.choice([n for n in NAMES if n])
            else:
                canvas.pop("name", None)
        elif c < 0.44:
            cell["outputs"] = [{"output_type": "stream", "text": ["9\n"]}]
        elif c < 0.5:
            cell["execution_count"] = rng.randint(3, 9)
        elif c < 0.56:
            canvas.setdefault("comments", []).append({"text": side})
        elif c < 0.6:
            canvas["headerColor"] = "green-" + side
        elif c < 0.64:
            canvas["parents"] = [{"id": p, "name": "renamed"} for p in rng.sample(ids, min(len(ids), 1))]
        elif c < 0.68:
            edit_source(rng, cell)
            canvas.setdefault("comments", []).append({"text": side + "2"})
        cells.append(cell)
    for k in range(rng.randint(0, 2)):
        new = random_cell(rng, "%s-new%d" % (side, k), ids)
        cells.insert(rng.randint(0, len(cells)), new)
    for new in shared_new:
        cells.append(copy.deepcopy(new) if rng.random() < 0.5 else random_cell(rng, new["metadata"]["canvas"]["id"], ids))
    if rng.random() < 0.1:
        rng.shuffle(cells)
    doc["cells"] = cells
    params = doc["metadata"]["canvas"]["parameters"]
    for p in list(params):
        c = rng.random()
        if c < 0.15:
            params.remove(p)
        elif c < 0.35:
            p["value"] = rng.choice(["1", "2", "3"])
    if rng.random() < 0.4:
        params.append({"name": rng.choice(["new", "p0", "extra"]), "type": "str", "value": side})
    return doc


def random_scenario(rng):
    ids = []
    cells = []
    for k in range(rng.randint(0, 10)):
        kid = "k%d" % k
        cells.append(random_cell(rng, kid, ids))
        ids.append(kid)
    if rng.random() < 0.15 and cells:
        cells.append(copy.deepcopy(rng.choice(cells)))  # a repeated component id
    params = [{"name": "p%d" % k, "type": "str", "value": str(rng.randint(0, 2))} for k in range(rng.randint(0, 5))]
    # Format 4.5 with cell ids; or an older format, whose cells carry no id or, now and then, one.
    minor = rng.choice([5, 5, 4])
    if minor < 5:
        for cell in cells:
            if rng.random() < 0.8:
                del cell["id"]
    base = {"cells": cells, "metadata": {"canvas": {"id": "nb", "parameters": params}, "kernelspec": {}},
            "nbformat": 4, "nbformat_minor": minor}
    shared_new = [random_cell(rng, "both-new", ids)] if rng.random() < 0.2 else []
    return base, mutate(rng, base, "current", shared_new), mutate(rng, base, "incoming", shared_new)


def normalised(text):
    """The text with conflict-copy ids replaced by their order of appearance."""
    seen = {}
    return UUID.sub(lambda m: "ID%d" % seen.setdefault(m.group(0), len(seen)), text)


def write(path, doc):
    with open(path, "w", encoding="utf-8") as f:
        json.dump(doc, f, indent=1, ensure_ascii=False)


def test_random_merges_match_the_reference(tmp_path):
    rng = random.Random(2026)
    runner = git.cmd.Git()
    for round_ in range(250):
        base, current, incoming = random_scenario(rng)
        work = tmp_path / str(round_)
        work.mkdir()
        for name, doc in (("base", base), ("ours", current), ("theirs", current), ("incoming", incoming)):
            write(work / (name + ".ipynb"), doc)
        merge_files(str(work / "base.ipynb"), str(work / "ours.ipynb"), str(work / "incoming.ipynb"), "nb.ipynb")
        reference_merge.merge_files(str(work / "base.ipynb"), str(work / "theirs.ipynb"),
                                    str(work / "incoming.ipynb"), "nb.ipynb", runner,
                                    lambda: str(__import__("uuid").uuid4()))
        ours = (work / "ours.ipynb").read_text()
        theirs = (work / "theirs.ipynb").read_text()
        assert normalised(ours) == normalised(theirs), "scenario %d in %s" % (round_, work)
        shutil.rmtree(work)


def test_merge_source_through_our_git_and_gitpython():
    rng = random.Random(5)
    ours, theirs = Git(), git.cmd.Git()
    for _ in range(150):
        base = [rng.choice(WORDS) for _ in range(rng.randint(0, 10))]
        sides = []
        for _ in range(2):
            cell = {"source": list(base)}
            if rng.random() < 0.8:
                edit_source(rng, cell)
            sides.append(cell["source"])
        if rng.random() < 0.2:
            sides[0] = [line.replace("\n", "\r\n") for line in sides[0]]
        names = rng.choice([("a-current", "a-incoming"), (None, None), ("", "x")])
        args = (sides[0], base, sides[1]) + names
        # Labels that were not replaced name temporary paths, which differ from run to run.
        mask = lambda lines: [re.sub(r"/\S+/(current|incoming)", r"PATH/\1", l) for l in lines]
        got = _merge_source(ours, *args)
        assert mask(got) == mask(_merge_source(theirs, *args))
        assert mask(got) == mask(reference_merge.merge_source(theirs, *args))


def test_merge_source_runs_any_runner_and_knows_its_command_error():
    calls = []

    class GitCommandError(Exception):
        pass

    class Runner:
        def merge_file(self, *paths):
            calls.append(paths)
            with open(paths[0], "w") as f:
                f.write("merged\r\nby runner")
            raise GitCommandError("conflicts")

    assert _merge_source(Runner(), ["a\n"], ["b\n"], ["c\n"]) == ["merged\n", "by runner"]
    assert [os.path.basename(p) for p in calls[0]] == ["current", "base", "incoming"]
    assert not os.path.exists(os.path.dirname(calls[0][0]))

    class Broken:
        def merge_file(self, *paths):
            raise OSError("disk on fire")

    with pytest.raises(OSError, match="disk on fire"):
        _merge_source(Broken(), ["a\n"], [], [])


def test_merge_source_arguments(tmp_path):
    g = Git()
    cases = [
        (lambda: _merge_source(g, ("a",), [], []), "Argument 'current' has incorrect type (expected list, got tuple)"),
        (lambda: _merge_source(g, [], None, []), "Argument 'base' has incorrect type (expected list, got NoneType)"),
        (lambda: _merge_source(g, [], [], [], 1), "Argument 'current_name' has incorrect type (expected str, got int)"),
        (lambda: _merge_source(g, [], []), "_merge_source() takes at least 4 positional arguments (3 given)"),
        (lambda: _merge_source(g, [], [], [], "a", "b", "c"), "_merge_source() takes at most 6 positional arguments (7 given)"),
        (lambda: _merge_source(g, [], [], incoming=[], label="x"), "_merge_source() got an unexpected keyword argument 'label'"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    assert _merge_source(g=g, current=["a\n"], base=["a\n"], incoming=["b\n"], incoming_name=None) == ["b\n"]


def test_git_runner_reports_conflicts_and_failures(tmp_path):
    for name, text in (("current", "x\n"), ("base", "b\n"), ("incoming", "y\n")):
        (tmp_path / name).write_text(text)
    paths = [tmp_path / n for n in ("current", "base", "incoming")]
    with pytest.raises(GitCommandError) as info:
        Git().merge_file(*paths)
    assert info.value.status == 1
    with pytest.raises(RuntimeError, match="failed with exit status 255"):
        Git().merge_file(tmp_path / "missing", paths[1], paths[2])
    with pytest.raises(TypeError, match="__init__\\(\\) takes exactly 0 positional arguments \\(1 given\\)"):
        Git("dir")


def test_drivers_package_exposes_merge_files():
    assert qor_kelm_git.drivers.merge_files is merge_files
    assert merge_files.__doc__ == "Ipython Notebook Merge Driver main"


def example(name):
    return os.path.join(os.environ["QOR_TEST_DATA"], "merge", name)


def test_merge_files_by_keyword_and_errors(tmp_path):
    case = example("both_changed_conflict_block")
    current = tmp_path / "current.ipynb"
    shutil.copy(os.path.join(case, "current.ipynb"), current)
    merge_files(file_path="nb.ipynb", incoming_file_path=os.path.join(case, "incoming.ipynb"),
                current_file_path=str(current), base_file_path=os.path.join(case, "base.ipynb"))
    merged = json.loads(current.read_text())
    assert "<<<<<<< nb.ipynb-current\n" in merged["cells"][0]["source"]
    for call, error, message in [
        (lambda: merge_files("a", "b", "c"), TypeError, "merge_files() takes exactly 4 positional arguments (3 given)"),
        (lambda: merge_files(None, "b", "c", "d"), TypeError,
         "Argument 'base_file_path' has incorrect type (expected str, got NoneType)"),
    ]:
        with pytest.raises(error) as info:
            call()
        assert str(info.value) == message


@pytest.mark.parametrize("broken, error, pattern", [
    ('{"cells": [', json.JSONDecodeError,
     r"incoming\.ipynb \(incoming version\): Expecting value: line 1 column 12 \(char 11\)"),
    (b'{"cells": "\xff"}', UnicodeDecodeError,
     r"invalid start byte \(in file '.*incoming\.ipynb \(incoming version\)'\)"),
    ('{"metadata": {}}', KeyError, r"incoming\.ipynb \(incoming version\): missing cells"),
    ('{"cells": [{"metadata": {"canvas": {"name": "x"}}}], "metadata": {}}', KeyError,
     r"incoming\.ipynb \(incoming version\): cell 0 'x': missing metadata\.canvas\.id: every cell needs a component id"),
    ('{"cells": [], "metadata": {"canvas": {"parameters": [{"value": 1}]}}}', KeyError,
     r"incoming\.ipynb \(incoming version\): missing metadata\.canvas\.parameters\[0\]\.name"),
    ('{"cells": [], "metadata": {"canvas": {"parameters": {}}}}', TypeError,
     r"incoming\.ipynb \(incoming version\): metadata\.canvas\.parameters must be a list, not dict"),
    ('{"cells": [{"metadata": {"canvas": {"id": "new", "name": "n", "parents": [{"name": "p"}]}}, "source": []}],'
     ' "metadata": {"canvas": {"parameters": []}}}', KeyError,
     r"incoming\.ipynb \(incoming version\): cell 0 'n': missing metadata\.canvas\.parents\[0\]\.id"),
])
def test_failed_merge_leaves_the_current_file(tmp_path, broken, error, pattern):
    case = example("parameters")
    current = tmp_path / "current.ipynb"
    shutil.copy(os.path.join(case, "current.ipynb"), current)
    before = current.read_bytes()
    incoming = tmp_path / "incoming.ipynb"
    incoming.write_bytes(broken if isinstance(broken, bytes) else broken.encode())
    with pytest.raises(error) as info:
        merge_files(os.path.join(case, "base.ipynb"), str(current), str(incoming), "nb.ipynb")
    assert re.search(pattern, str(info.value)), str(info.value)
    assert current.read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == ["current.ipynb", "incoming.ipynb"]


def test_missing_files_and_git(tmp_path, monkeypatch):
    case = example("both_changed_conflict_block")
    current = tmp_path / "current.ipynb"
    shutil.copy(os.path.join(case, "current.ipynb"), current)
    before = current.read_bytes()
    # A name that is not UTF-8 comes back as os functions give it (surrogate escapes).
    for name in ("nope.ipynb", os.fsdecode(b"nope\xfe.ipynb")):
        with pytest.raises(FileNotFoundError) as info:
            merge_files(str(tmp_path / name), str(current), os.path.join(case, "incoming.ipynb"), "nb")
        assert info.value.filename == str(tmp_path / name)
    monkeypatch.setenv("PATH", str(tmp_path))
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    with pytest.raises(FileNotFoundError, match="'git'"):
        merge_files(os.path.join(case, "base.ipynb"), str(current), os.path.join(case, "incoming.ipynb"), "nb")
    assert current.read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == ["current.ipynb"]


def test_merged_file_keeps_permissions_and_is_replaced_whole(tmp_path):
    case = example("incoming_change_taken_in_place")
    current = tmp_path / "current.ipynb"
    shutil.copy(os.path.join(case, "current.ipynb"), current)
    os.chmod(current, 0o640)
    link = tmp_path / "link.ipynb"
    link.symlink_to("current.ipynb")
    merge_files(os.path.join(case, "base.ipynb"), str(link), os.path.join(case, "incoming.ipynb"), "nb")
    assert stat.S_IMODE(os.stat(current).st_mode) == 0o640
    assert link.is_symlink()
    with open(os.path.join(case, "expected.ipynb")) as f:
        assert current.read_text() == json.dumps(json.load(f))


def test_merge_files_logs_cell_differences_only_at_debug_level(tmp_path, caplog):
    case = example("incoming_change_taken_in_place")
    for level, expect_records in ((logging.DEBUG, True), (logging.INFO, False)):
        current = tmp_path / "current.ipynb"
        shutil.copy(os.path.join(case, "current.ipynb"), current)
        caplog.clear()
        with caplog.at_level(level):
            merge_files(os.path.join(case, "base.ipynb"), str(current), os.path.join(case, "incoming.ipynb"), "nb")
        records = [r for r in caplog.records if r.name == "root"]
        assert bool(records) == expect_records
        if expect_records:
            # One difference per comparison: each kept cell against the current and the
            # incoming side; only B changed (on the incoming side).
            assert [r.getMessage() for r in records].count("{}") == 5
            assert any(r.getMessage().startswith("{'execution_count'") or "'source'" in r.getMessage()
                       for r in records)
