"""The qormerge command, as an executable and as `python3 -m qor_kelm_git.scripts.qormerge`, and
as git's merge driver in scratch repositories."""
import argparse
import contextlib
import io
import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import qor_kelm_git

DATA = pathlib.Path(os.environ["QOR_TEST_DATA"])
EXECUTABLE = os.environ["QORMERGE"]
COMMANDS = {
    "executable": [EXECUTABLE],
    "module": [sys.executable, "-m", "qor_kelm_git.scripts.qormerge"],
}
# No user or system git configuration takes part.
GIT_ENV = dict(os.environ, GIT_CONFIG_GLOBAL="/dev/null", GIT_CONFIG_NOSYSTEM="1", COLUMNS="80",
               GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@example.invalid",
               GIT_COMMITTER_NAME="t", GIT_COMMITTER_EMAIL="t@example.invalid")


def run(command, args, cwd=None):
    return subprocess.run(COMMANDS[command] + args, capture_output=True, text=True, cwd=cwd, env=GIT_ENV)


def reference_parser():
    """The command line as a conventional argparse declaration states it."""
    parser = argparse.ArgumentParser(
        prog="qormerge",
        description="Incorporates changers that lead from the <base-file> to <incoming-file> into <current-file>.")
    parser.add_argument("--current-file", type=str, required=True)
    parser.add_argument("--base-file", type=str, required=True)
    parser.add_argument("--incoming-file", type=str, required=True)
    parser.add_argument("--file-path", type=str)
    parser.add_argument("-v", "--verbose", action="store_true")
    parser.add_argument("--conflict-exit", action="store_true",
                        help="exit with 1 when conflicts remain (after writing the merged notebook), "
                             "so that git records the file as conflicted")
    parser.add_argument("--notes", action="store_true",
                        help="name on standard error, for review, what the merge decided that no "
                             "conflict mark shows (a cell without a name kept against a deletion, "
                             "an incoming change not taken, ...)")
    parser.add_argument("--layout", choices=["default", "jupyter"], default="default",
                        help="the merged file's form: default (one line of ASCII JSON) or jupyter "
                             "(what Jupyter writes)")
    parser.add_argument("--fallback", choices=["none", "text"], default="none",
                        help="what to do when a version is not a pipeline notebook (a cell without "
                             "a component id, not JSON, ...): fail (none, the default) or merge the "
                             "file as git merges text, exiting with 1 when conflicts remain (text)")
    parser.add_argument("--marker-size", type=int, default=7,
                        help="length of the conflict markers of a text merge (default 7; git "
                             "passes it as %%L)")
    parser.add_argument("--ancestor-label",
                        help="label of a text merge's base section (default: the file path "
                             "followed by -base; git passes it as %%S)")
    parser.add_argument("--ours-label",
                        help="label of a text merge's current side (default: the file path "
                             "followed by -current; git passes it as %%X)")
    parser.add_argument("--theirs-label",
                        help="label of a text merge's incoming side (default: the file path "
                             "followed by -incoming; git passes it as %%Y)")
    parser.add_argument("--version", action="version", version="qormerge " + qor_kelm_git.__version__)
    return parser


def reference(args):
    out, err = io.StringIO(), io.StringIO()
    status = None
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            reference_parser().parse_args(args)
        except SystemExit as e:
            status = e.code
    return status, out.getvalue(), err.getvalue()


USAGE_CASES = [
    [], ["-h"], ["--help"], ["--he"], ["--current-file", "a"], ["--current-file"],
    ["--current-file", "-x", "--base-file", "b", "--incoming-file", "c"],
    ["--current-file=a", "--base-file=b", "--incoming-file=c", "extra"],
    ["--current-file=a", "--base-file=b", "--incoming-file=c", "--unknown", "z"],
    ["--bogus", "-h"], ["-vx"], ["--verbose=1"], ["-v=1"], ["--cur", "a", "--base", "b"],
    ["--current-file", "a", "--base-file", "b", "--incoming-file", "c", "--file-path"],
    ["--current-file", "a", "--", "x"], ["-"], ["-1"], ["--current-file", "a", "-h"],
    ["--c", "a"], ["--conflict-exit=1"], ["--layout", "x"], ["--layout"], ["--lay=jup"],
    ["--current-file=a", "--base-file=b", "--incoming-file=c", "--layout=Jupyter"],
    ["--version"], ["--vers"], ["--ver"], ["--version=1"], ["--current-file", "a", "--version"],
    ["--version", "--bogus"], ["-v", "--version", "-h"], ["--current-file", "--version"],
    ["--fallback", "git"], ["--fallback"], ["--marker-size", "x"], ["--marker-size=1.5"],
    ["--marker-size", "", "-h"], ["--current-file=a", "--marker-size=1__0"],
    ["--ours-label"], ["--theirs-label", "-h"], ["--f", "x"], ["--fa", "text", "-h"],
]


@pytest.mark.parametrize("command", COMMANDS)
@pytest.mark.parametrize("args", USAGE_CASES, ids=[" ".join(a) or "none" for a in USAGE_CASES])
def test_usage_is_that_of_a_conventional_parser(command, args):
    status, out, err = reference(args)
    assert status is not None, "a usage case must end the parser"
    got = run(command, args)
    assert (got.returncode, got.stdout, got.stderr) == (status, out, err)


def conflict_case(tmp_path, name="case"):
    """Copies a merge with a source conflict to `tmp_path`; returns base, current, incoming."""
    src = DATA / "merge" / "both_changed_conflict_block"
    paths = []
    for side in ("base", "current", "incoming"):
        path = tmp_path / ("%s_%s.ipynb" % (name, side))
        shutil.copy(src / (side + ".ipynb"), path)
        paths.append(str(path))
    return paths


def merged_source(path):
    with open(path) as f:
        return json.load(f)["cells"][0]["source"]


@pytest.mark.parametrize("command", COMMANDS)
def test_labels_come_from_file_path_or_the_current_file(command, tmp_path):
    cases = [
        (["--file-path", "dir/nb.ipynb"], "dir/nb.ipynb"),
        (["--file-path="], None),  # empty: as if absent
        ([], None),
        (["--file-p=-odd-name.ipynb"], "-odd-name.ipynb"),  # the = form keeps a leading dash
        (["--file-path", "x", "--file-path", "last.ipynb"], "last.ipynb"),
    ]
    for i, (extra, label) in enumerate(cases):
        base, current, incoming = conflict_case(tmp_path, "c%d" % i)
        got = run(command, ["--cur", current, "--base-file=" + base, "--incoming-file", incoming] + extra)
        expected = label if label is not None else current
        summary = "qormerge: %s: 1 conflict block (train)\n" % expected
        assert (got.returncode, got.stdout, got.stderr) == (0, "", summary), extra
        source = merged_source(current)
        assert "<<<<<<< %s-current\n" % expected in source
        assert ">>>>>>> %s-incoming\n" % expected in source


@pytest.mark.parametrize("command", COMMANDS)
def test_verbose_prints_each_cell_difference(command, tmp_path):
    base, current, incoming = conflict_case(tmp_path)
    files = ["--current-file", current, "--base-file", base, "--incoming-file", incoming]
    for flags in (["-v"], ["--verbose"], ["-v", "--verb"]):
        shutil.copy(DATA / "merge" / "both_changed_conflict_block" / "current.ipynb", current)
        got = run(command, flags[:1] + files + flags[1:])
        assert got.returncode == 0
        lines = got.stderr.splitlines()
        assert lines[-1] == "qormerge: %s: 1 conflict block (train)" % current
        lines = lines[:-1]
        assert lines and all(line.startswith("DEBUG:root:{") for line in lines), got.stderr
        assert any("'source'" in line for line in lines)
    shutil.copy(DATA / "merge" / "both_changed_conflict_block" / "current.ipynb", current)
    assert run(command, files).stderr == "qormerge: %s: 1 conflict block (train)\n" % current


@pytest.mark.parametrize("command", COMMANDS)
def test_failure_is_one_line_and_leaves_the_file(command, tmp_path):
    base, current, incoming = conflict_case(tmp_path)
    before = pathlib.Path(current).read_bytes()
    pathlib.Path(incoming).write_text('{"cells": [}')
    got = run(command, ["--current-file", current, "--base-file", base, "--incoming-file", incoming])
    assert got.returncode == 1
    assert got.stdout == ""
    assert got.stderr == "qormerge: error: %s (incoming version): Expecting value: line 1 column 12 (char 11)\n" % incoming
    assert pathlib.Path(current).read_bytes() == before
    missing = str(tmp_path / "missing.ipynb")
    got = run(command, ["--current-file", current, "--base-file", missing, "--incoming-file", incoming])
    assert (got.returncode, got.stderr) == (
        1, "qormerge: error: %s (base version): [Errno 2] No such file or directory: '%s'\n" % (missing, missing))
    # With --file-path, the notebook is named by it, whatever temporary name git gave the file.
    got = run(command, ["--current-file", current, "--base-file", missing, "--incoming-file", incoming,
                        "--file-path", "analysis/churn.ipynb"])
    assert (got.returncode, got.stderr) == (
        1, "qormerge: error: analysis/churn.ipynb (base version): [Errno 2] No such file or directory: '%s'\n" % missing)


def test_importing_the_module_runs_nothing(tmp_path):
    code = ("import sys; sys.argv = ['qormerge', '--bogus']\n"
            "import qor_kelm_git.scripts.qormerge as q\n"
            "print(sorted(n for n in vars(q) if not n.startswith('__')))\n"
            "print(all(m in sys.modules for m in ('argparse', 'logging', 'qor_kelm_git.drivers.notebook_merge')))")
    got = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert got.returncode == 0, got.stderr
    assert got.stdout == "['main']\nTrue\n"


# ---------------------------------------------------------------------------------------------
# git merge through the driver


def git(repo, *args, check=True):
    return subprocess.run(["git", *args], cwd=repo, capture_output=True, text=True, env=GIT_ENV, check=check)


def make_repo(tmp_path, command, name="nb.ipynb"):
    repo = tmp_path / "repo"
    repo.mkdir()
    git(repo, "init", "-q", "-b", "main")
    driver = " ".join("'%s'" % part for part in COMMANDS[command])
    git(repo, "config", "merge.qormerge.driver",
        driver + " --base-file=%O --current-file=%A --incoming-file=%B --file-path=%P")
    git(repo, "config", "merge.qormerge.recursive", "binary")
    (repo / ".gitattributes").write_text("*.ipynb merge=qormerge\n")
    path = repo / name
    path.parent.mkdir(parents=True, exist_ok=True)
    return repo, path


def branch_and_merge(repo, path, base, current, incoming):
    """Commits base, then `incoming` on a branch and `current` on main, and merges the branch."""
    rel = str(path.relative_to(repo))
    path.write_text(base)
    git(repo, "add", "--", ".gitattributes", rel)
    git(repo, "commit", "-q", "-m", "base")
    git(repo, "checkout", "-q", "-b", "feature")
    path.write_text(incoming)
    git(repo, "commit", "-q", "-am", "incoming")
    git(repo, "checkout", "-q", "main")
    path.write_text(current)
    git(repo, "commit", "-q", "-am", "current")
    return git(repo, "merge", "--no-edit", "feature", check=False)


def read_case(name):
    folder = DATA / "merge" / name
    return [(folder / (side + ".ipynb")).read_text() for side in ("base", "current", "incoming", "expected")]


@pytest.mark.parametrize("command", COMMANDS)
def test_git_merge_without_conflicts(command, tmp_path):
    repo, path = make_repo(tmp_path, command)
    base, current, incoming, expected = read_case("parameters")
    result = branch_and_merge(repo, path, base, current, incoming)
    assert result.returncode == 0, result.stdout + result.stderr
    merged = json.loads(path.read_text())
    assert merged == json.loads(expected)
    assert git(repo, "status", "--porcelain").stdout == ""


@pytest.mark.parametrize("command", COMMANDS)
@pytest.mark.parametrize("name", ["nb.ipynb", "dir with space/nöte böök.ipynb", "-dash/x.ipynb"])
def test_git_merge_with_conflicts_labels_blocks_with_the_path(command, name, tmp_path):
    repo, path = make_repo(tmp_path, command, name)
    base, current, incoming, _ = read_case("both_changed_conflict_block")
    result = branch_and_merge(repo, path, base, current, incoming)
    assert result.returncode == 0, result.stdout + result.stderr
    source = json.loads(path.read_text())["cells"][0]["source"]
    assert source == ["a\n", "<<<<<<< %s-current\n" % name, "X\n", "=======\n", "Y\n",
                      ">>>>>>> %s-incoming\n" % name, "c"]


@pytest.mark.parametrize("command", COMMANDS)
def test_git_merge_with_a_broken_notebook_reports_a_conflict(command, tmp_path):
    repo, path = make_repo(tmp_path, command)
    base, current, _, _ = read_case("both_changed_conflict_block")
    result = branch_and_merge(repo, path, base, current, '{"cells": [')
    assert result.returncode != 0
    assert "CONFLICT" in result.stdout
    assert "qormerge: error:" in result.stderr
    # git leaves the current side's version in the worktree and the path unmerged.
    assert path.read_text() == current
    assert git(repo, "status", "--porcelain").stdout.startswith("UU nb.ipynb")


@pytest.mark.parametrize("command", COMMANDS)
def test_jupyter_layout_and_lone_surrogates(command, tmp_path):
    """The merged file is what Jupyter writes; a lone surrogate, which a UTF-8 file cannot hold
    raw, stays an escape and reads back as the same string."""
    base, current, incoming = conflict_case(tmp_path)
    doc = json.loads(pathlib.Path(current).read_text())
    doc["cells"][0]["metadata"]["canvas"]["note"] = "caf\u00e9 \ud83d\ude00 \ud800 \x7f"
    pathlib.Path(current).write_text(json.dumps(doc))
    got = run(command, ["--current-file", current, "--base-file", base, "--incoming-file", incoming,
                        "--layout=jupyter", "--conflict-exit"])
    assert got.returncode == 1
    assert got.stderr == "qormerge: %s: 1 conflict block (train)\n" % current
    data = pathlib.Path(current).read_bytes()
    merged = json.loads(data.decode("utf-8"))  # strict UTF-8
    assert merged["cells"][0]["metadata"]["canvas"]["note"] == "caf\u00e9 \U0001f600 \ud800 \x7f"
    assert b'"note": "caf\xc3\xa9 \xf0\x9f\x98\x80 \\ud800 \x7f"' in data
    assert data.decode("utf-8") == json.dumps(merged, sort_keys=True, indent=1,
                                              ensure_ascii=False).replace("\ud800", "\\ud800") + "\n"


def pipeline(*cells, parameters=True):
    doc = {"cells": [{"cell_type": "code", "metadata": {"canvas": {"id": "k%d" % i}},
                      "source": source} for i, source in enumerate(cells)],
           "metadata": {"canvas": {"parameters": []}}, "nbformat": 4, "nbformat_minor": 4}
    if not parameters:
        del doc["metadata"]["canvas"]["parameters"]
    return json.dumps(doc, indent=1) + "\n"


def without_id(text, cell):
    doc = json.loads(text)
    del doc["cells"][cell]["metadata"]["canvas"]
    return json.dumps(doc, indent=1) + "\n"


BASE_NB = pipeline(["a\n"], ["b\n"], ["c\n"], ["d\n"])
FALLBACKS = {
    # name: (base, current, incoming, the reason told)
    "ordinary notebook": (without_id(BASE_NB, 0), without_id(BASE_NB, 0),
                          without_id(BASE_NB, 0), "cell 0 has no component id"),
    "a cell added in plain Jupyter": (BASE_NB, BASE_NB, without_id(BASE_NB, 3),
                                      "cell 3 of the incoming version has no component id"),
    "both sides added the file": ("", BASE_NB, BASE_NB, "the base version is empty"),
    "not JSON": (BASE_NB, BASE_NB, "<<<<<<< x\n", None),
    "no canvas parameters": (BASE_NB, pipeline(["a\n"], parameters=False), BASE_NB,
                             "the notebook has no canvas parameter list"),
    "a malformed parent record": (BASE_NB, BASE_NB.replace('"id": "k1"', '"id": "k1", "name": "n",'
                                                           ' "parents": [3]'), BASE_NB, None),
}


@pytest.mark.parametrize("case", FALLBACKS)
def test_files_that_are_no_pipeline_notebooks_merge_as_git_merges_text(tmp_path, case):
    base, current, incoming, reason = FALLBACKS[case]
    paths = []
    for side, text in (("base", base), ("current", current), ("incoming", incoming)):
        paths.append(tmp_path / side)
        paths[-1].write_text(text)
    args = ["--base-file", str(paths[0]), "--current-file", str(paths[1]),
            "--incoming-file", str(paths[2]), "--file-path", "dir/nb.ipynb"]
    # Without the fallback: the error, and the file as it was.
    got = run("executable", args)
    assert (got.returncode, paths[1].read_text()) == (1, current), got.stderr
    assert got.stderr.startswith("qormerge: error: dir/nb.ipynb")
    # With it: git merge-file's result, labelled by the path, and one line saying why.
    expected = subprocess.run(
        ["git", "merge-file", "-p", "-L", "dir/nb.ipynb-current", "-L", "dir/nb.ipynb-base", "-L",
         "dir/nb.ipynb-incoming", str(paths[1]), str(paths[0]), str(paths[2])],
        capture_output=True, text=True, env=GIT_ENV)
    got = run("executable", args + ["--fallback=text"])
    assert paths[1].read_text() == expected.stdout
    assert got.returncode == (0 if expected.returncode == 0 else 1)
    line = got.stderr.splitlines()
    assert len(line) == 1 and line[0].startswith("qormerge: dir/nb.ipynb") and line[0].endswith(
        ": merged as text"), got.stderr
    if reason:
        assert line[0] == "qormerge: dir/nb.ipynb: %s: merged as text" % reason


def test_binary_versions_keep_the_current_file_as_git_does(tmp_path):
    paths = [tmp_path / side for side in ("base", "current", "incoming")]
    for path, text in zip(paths, ["a\n", "b\n", "c\x00\n"]):
        path.write_text(text)
    got = run("executable", ["--base-file", str(paths[0]), "--current-file", str(paths[1]),
                             "--incoming-file", str(paths[2]), "--fallback=text",
                             "--marker-size=9"])
    assert got.returncode == 1
    assert paths[1].read_text() == "b\n"
    assert got.stderr.endswith("merged as text (binary: the current version is kept, as git "
                               "keeps it)\n")


def canvas_cell(cid, source, cell_type="code", name=None, parents=()):
    canvas = {"id": cid, **({"name": name} if name else {})}
    if parents:
        canvas["parents"] = [{"id": p} for p in parents]
    return {"cell_type": cell_type, "metadata": {"canvas": canvas}, "source": source,
            **({"outputs": [], "execution_count": None} if cell_type == "code" else {})}


def merge_docs(command, tmp_path, base, current, incoming, metadata=({}, {}, {}), options=("--notes",)):
    """Merges the three documents (cells, and metadata beside the canvas) as nb.ipynb; returns
    the process and the merged document."""
    paths = []
    for side, cells, meta in zip(("base", "current", "incoming"), (base, current, incoming), metadata):
        paths.append(tmp_path / ("%s.ipynb" % side))
        paths[-1].write_text(json.dumps({"cells": cells, "metadata": {**meta, "canvas": {"parameters": []}},
                                         "nbformat": 4, "nbformat_minor": 4}))
    got = run(command, ["--base-file", str(paths[0]), "--current-file", str(paths[1]),
                        "--incoming-file", str(paths[2]), "--file-path", "nb.ipynb", *options])
    return got, json.loads(paths[1].read_text())


# With --notes, what the merge decides that no conflict mark can show is named on standard error,
# and the merge stays clean: a cell without a name kept against a deletion, a parent record
# dropped with the parent the incoming side deleted, what a cell changed on both sides does not
# take, an incoming change of the notebook's metadata. Without it, a clean merge prints nothing.
@pytest.mark.parametrize("command", COMMANDS)
def test_what_no_mark_shows_is_named_for_review(command, tmp_path):
    cell = canvas_cell
    for options in ((), ("--notes",)):
        got, _ = merge_docs(command, tmp_path, [cell("m1", "# T", "markdown")], [],
                            [cell("m1", "# Title", "markdown")], options=options)
        assert (got.returncode, bool(got.stderr)) == (0, bool(options)), got.stderr
    got, merged = merge_docs(
        command, tmp_path,
        base=[cell("m1", "# T", "markdown"), cell("k2", "x = 1"), cell("k3", "y = 1", name="fit")],
        current=[cell("k2", "x = 2"), cell("k3", "y = 1", name="fit")],
        incoming=[cell("m1", "# Title", "markdown"), cell("k3", "y = 1", name="fit")])
    assert got.returncode == 0, got.stderr
    assert sorted(got.stderr.splitlines()) == [
        "qormerge: nb.ipynb: to review: component 'k2' (code cell): changed here, deleted on the "
        "incoming side",
        "qormerge: nb.ipynb: to review: component 'm1' (markdown cell): deleted here, changed on "
        "the incoming side"]
    assert [c["metadata"]["canvas"]["id"] for c in merged["cells"]] == ["k2", "k3", "m1"]

    got, merged = merge_docs(
        command, tmp_path,
        base=[cell("t", "t = 1", name="train")],
        current=[cell("t", "t = 1", name="train"), cell("e", "e = 1", name="eval", parents=["t"])],
        incoming=[])
    assert got.returncode == 0, got.stderr
    assert got.stderr == ("qormerge: nb.ipynb: to review: component 'eval' lost its parent 'train', "
                          "which the incoming side deleted\n")
    assert [(c["metadata"]["canvas"]["id"], c["metadata"]["canvas"]["parents"])
            for c in merged["cells"]] == [("e", [])]

    # The notebook's own metadata stays the current version's; an incoming change is named.
    kernel = {"kernelspec": {"name": "python3"}}
    got, merged = merge_docs(
        command, tmp_path, [cell("t", "t")], [cell("t", "t")], [cell("t", "t")],
        metadata=({**kernel, "title": "T"}, {**kernel, "title": "Mine"},
                  {"kernelspec": {"name": "julia"}, "title": "T", "jupytext": {"a": 1}}))
    assert got.returncode == 0, got.stderr
    assert got.stderr.splitlines() == [
        "qormerge: nb.ipynb: to review: the incoming side changed the notebook's metadata.kernelspec; "
        "the current version's is kept",
        "qormerge: nb.ipynb: to review: the incoming side changed the notebook's metadata.jupytext; "
        "the current version's is kept"]
    assert merged["metadata"] == {**kernel, "title": "Mine", "canvas": {"parameters": []}}

    # A cell changed on both sides keeps the current side's cell but for its merged source (and
    # new comments): the rest of the incoming change is named; so is a copy left without marks.
    def with_meta(c, **meta):
        c = json.loads(json.dumps(c))
        for key, value in meta.items():
            if key == "headerColor":
                c["metadata"]["canvas"][key] = value
            else:
                c["metadata"][key] = value
        return c

    base = cell("k", "a\nb\nc\n", name="fit")
    for incoming, what in [(with_meta(cell("k", "a\nb\nC\n", name="fit"), tags=["slow"]), "metadata.tags"),
                           (with_meta(cell("k", "a\nb\nC\n", name="fit"), headerColor="#f00"),
                            "the header colour")]:
        got, merged = merge_docs(command, tmp_path, [base], [cell("k", "A\nb\nc\n", name="fit")],
                                 [incoming])
        assert got.returncode == 0, got.stderr
        assert got.stderr == ("qormerge: nb.ipynb: to review: component 'fit': changed on both sides; "
                              "the incoming change of %s is not taken\n" % what)
        assert merged["cells"][0]["source"] == ["A\n", "b\n", "C\n"]
    got, merged = merge_docs(command, tmp_path, [cell("k", "a\n")], [cell("k", "a\n", name="fit")],
                             [cell("k", "b\n")])
    assert got.returncode == 0, got.stderr
    assert got.stderr == ("qormerge: nb.ipynb: to review: component 'fit': changed on both sides, "
                          "named on one only: the incoming version is kept beside it as a copy "
                          "without conflict marks\n")
    assert len(merged["cells"]) == 2

    # Never a flood: twenty notes, then a count.
    base = [cell("m%d" % i, "# %d" % i, "markdown") for i in range(25)]
    got, merged = merge_docs(command, tmp_path, base, [],
                             [cell("m%d" % i, "# %d!" % i, "markdown") for i in range(25)])
    lines = got.stderr.splitlines()
    assert (got.returncode, len(lines), lines[-1]) == (0, 21, "qormerge: nb.ipynb: to review: 5 more")
    assert len(merged["cells"]) == 25

    # Of an incoming change of comments only the new ones are taken: one removed or reworded stays.
    def with_comments(c, comments):
        c = json.loads(json.dumps(c))
        c["metadata"]["canvas"]["comments"] = comments
        return c

    got, merged = merge_docs(
        command, tmp_path, [with_comments(cell("k", "a\nb\nc\n", name="fit"), ["old", "check C"])],
        [with_comments(cell("k", "A\nb\nc\n", name="fit"), ["old", "check C"])],
        [with_comments(cell("k", "a\nb\nC\n", name="fit"), ["checked: C=1", "new"])])
    assert got.returncode == 0, got.stderr
    assert got.stderr == ("qormerge: nb.ipynb: to review: component 'fit': changed on both sides; "
                          "comments the incoming side removed or reworded stay (its new comments "
                          "are added)\n")
    assert merged["cells"][0]["metadata"]["canvas"]["comments"] == ["old", "check C", "checked: C=1",
                                                                    "new"]
