"""Real notebooks (tests/data/real), given canvas metadata, merged with conflicts: the merged
notebooks must stay valid for nbformat, in both layouts, directly and through git."""
import copy
import json
import os
import pathlib
import shutil
import subprocess

import nbformat
import pytest

DATA = pathlib.Path(os.environ["QOR_TEST_DATA"])
QORMERGE = os.environ["QORMERGE"]
QORGIT = os.environ["QORGIT"]
NOTEBOOKS = sorted((DATA / "real").glob("*/*.ipynb"))
ENV = {k: v for k, v in os.environ.items() if not k.startswith("GIT_")}
ENV.update(GIT_CONFIG_GLOBAL="/dev/null", GIT_CONFIG_NOSYSTEM="1", GIT_AUTHOR_NAME="t",
           GIT_AUTHOR_EMAIL="t@example.invalid", GIT_COMMITTER_NAME="t",
           GIT_COMMITTER_EMAIL="t@example.invalid")


def uses_cell_ids(nb):
    return (nb["nbformat"], nb["nbformat_minor"]) >= (4, 5)


def lines_of(source):
    return source.splitlines(keepends=True) if isinstance(source, str) else list(source)


def with_canvas(nb):
    """`nb` with a component id, a name and a parent on every cell, and canvas parameters."""
    doc = copy.deepcopy(nb)
    while len(doc["cells"]) < 4:  # room for the edits, a deletion and an addition
        doc["cells"].append({"cell_type": "code", "execution_count": None, "metadata": {},
                             "outputs": [], "source": ["x = %d\n" % len(doc["cells"])]})
        if uses_cell_ids(nb):
            doc["cells"][-1]["id"] = "padding-%d" % len(doc["cells"])
    for i, cell in enumerate(doc["cells"]):
        parents = [{"id": "k%02d" % (i - 1), "name": "%s_%d" % (doc["cells"][i - 1]["cell_type"], i - 1)}]
        cell.setdefault("metadata", {})["canvas"] = {
            "id": "k%02d" % i, "name": "%s_%d" % (cell["cell_type"], i),
            "parents": parents if i else [], "comments": []}
    doc["metadata"]["canvas"] = {"id": "nb", "parameters": [{"name": "alpha", "value": 1},
                                                            {"name": "beta", "value": "b"}]}
    return doc


def edited(doc, index, first_line, name=None):
    cell = doc["cells"][index]
    cell["source"] = [first_line] + lines_of(cell["source"])[1:]
    if name is not None:
        cell["metadata"]["canvas"]["name"] = name


def sides(nb, copies):
    """Base, current and incoming versions: both change the first line of one cell (a conflict
    block) and parameter alpha; with `copies`, both change another cell and the incoming side
    renames it (a conflict copy). The incoming side also deletes a cell, the current side adds
    one."""
    base = with_canvas(nb)
    sourced = [i for i, c in enumerate(base["cells"]) if lines_of(c["source"])]
    current, incoming = copy.deepcopy(base), copy.deepcopy(base)
    edited(current, sourced[0], "# changed on the current side\n")
    edited(incoming, sourced[0], "# changed on the incoming side\n")
    current["metadata"]["canvas"]["parameters"][0]["value"] = 2
    incoming["metadata"]["canvas"]["parameters"][0]["value"] = 3
    names = [base["cells"][sourced[0]]["metadata"]["canvas"]["name"]]
    if copies:
        edited(current, sourced[1], "# current\n")
        edited(incoming, sourced[1], "# incoming\n", name="renamed")
        names.append(base["cells"][sourced[1]]["metadata"]["canvas"]["name"])
    del incoming["cells"][sourced[-1]]
    added = {"cell_type": "markdown", "metadata": {"canvas": {"id": "new", "name": "notes"}},
             "source": ["Added on the current side.\n"]}
    if uses_cell_ids(nb):
        added["id"] = "added-cell"
    current["cells"].append(added)
    return base, current, incoming, names


def validate(text):
    nbformat.validate(nbformat.reads(text, as_version=nbformat.NO_CONVERT))


def expected_summary(path, names, copies):
    kinds = ["1 conflict block (%s)" % names[0]]
    if copies:
        kinds.append("1 component in conflict (%s)" % names[1])
    return "qormerge: %s: %s, 1 parameter in conflict (alpha)\n" % (path, ", ".join(kinds))


CASES = [pytest.param(path, copies, layout, id="%s-%s-%s" % (path.stem, copies, layout))
         for path in NOTEBOOKS for copies in ("block", "copy") for layout in ("default", "jupyter")]


def test_corpus_is_there():
    assert len(NOTEBOOKS) == 6
    for path in NOTEBOOKS:
        assert (path.parent / "COPYRIGHT").exists()
        validate(path.read_text(encoding="utf-8"))


@pytest.mark.parametrize("path, copies, layout", CASES)
def test_merged_real_notebooks_are_valid(tmp_path, path, copies, layout):
    nb = json.loads(path.read_text(encoding="utf-8"))
    base, current, incoming, names = sides(nb, copies == "copy")
    files = {}
    for side, doc in (("base", base), ("current", current), ("incoming", incoming)):
        files[side] = tmp_path / ("%s.ipynb" % side)
        files[side].write_text(json.dumps(doc, indent=1, ensure_ascii=False), encoding="utf-8")
        validate(files[side].read_text(encoding="utf-8"))
    label = "docs/" + path.name
    result = subprocess.run(
        [QORMERGE, "--base-file", str(files["base"]), "--current-file", str(files["current"]),
         "--incoming-file", str(files["incoming"]), "--file-path=" + label, "--layout=" + layout],
        capture_output=True, text=True, env=ENV)
    assert result.returncode == 0, result.stderr
    assert result.stderr == expected_summary(label, names, copies == "copy")
    text = files["current"].read_text(encoding="utf-8")
    merged = json.loads(text)
    if layout == "jupyter":
        assert text == json.dumps(merged, sort_keys=True, indent=1, ensure_ascii=False) + "\n"
    else:
        assert text == json.dumps(merged)
    assert merged["cells"][-1]["metadata"]["canvas"]["name"] == "notes"
    check = subprocess.run([QORGIT, "check", "--json", str(files["current"])], capture_output=True,
                           text=True, env=ENV)
    assert check.returncode == 1
    assert json.loads(check.stdout)["notebooks"][0]["summary"] == result.stderr.split(": ", 2)[2][:-1]
    validate(text)


def test_python_merge_files_returns_none(tmp_path):
    from qor_kelm_git.drivers import merge_files
    base, current, incoming, _ = sides(json.loads(NOTEBOOKS[0].read_text()), False)
    paths = []
    for side, doc in (("base", base), ("current", current), ("incoming", incoming)):
        paths.append(tmp_path / side)
        paths[-1].write_text(json.dumps(doc))
    assert merge_files(str(paths[0]), str(paths[1]), str(paths[2]), "nb.ipynb") is None
    assert json.loads(paths[1].read_text())["cells"][-1]["metadata"]["canvas"]["name"] == "notes"


def test_git_merge_of_a_real_notebook_in_jupyter_layout(tmp_path):
    path = DATA / "real" / "python-notebook-doc" / "Importing Notebooks.ipynb"
    base, current, incoming, names = sides(json.loads(path.read_text(encoding="utf-8")), False)
    repo = tmp_path / "repo"
    repo.mkdir()

    def git(*args, check=True):
        return subprocess.run(["git", *args], cwd=repo, capture_output=True, text=True, env=ENV,
                              check=check)

    git("init", "-q", "-b", "main")
    got = subprocess.run([QORGIT, "install", "--conflict-exit", "--layout=jupyter"], cwd=repo,
                         capture_output=True, text=True, env=ENV)
    assert got.returncode == 0, got.stderr
    target = repo / "docs" / path.name
    target.parent.mkdir()
    for message, doc, branch in (("base", base, None), ("incoming", incoming, "feature"),
                                 ("current", current, "main")):
        if branch == "feature":
            git("checkout", "-q", "-b", "feature")
        elif branch == "main":
            git("checkout", "-q", "main")
        target.write_text(json.dumps(doc, sort_keys=True, indent=1, ensure_ascii=False) + "\n",
                          encoding="utf-8")
        git("add", ".")
        git("commit", "-q", "-m", message)
    result = git("merge", "--no-edit", "feature", check=False)
    assert result.returncode == 1
    assert result.stderr.splitlines()[0] == expected_summary("docs/" + path.name, names, False)[:-1]
    assert git("status", "--porcelain").stdout == 'UU "docs/Importing Notebooks.ipynb"\n'
    text = target.read_text(encoding="utf-8")
    validate(text)
    assert text == json.dumps(json.loads(text), sort_keys=True, indent=1, ensure_ascii=False) + "\n"
    check = subprocess.run([QORGIT, "check"], cwd=repo, capture_output=True, text=True, env=ENV)
    assert check.returncode == 1
    assert check.stdout.splitlines()[-1] == "qorgit check: unresolved conflicts in 1 of 1 notebook"
    shutil.rmtree(repo)
