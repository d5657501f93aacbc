"""Plain git and git with our drivers, side by side, on the same histories of real notebooks
(tests/data/real): ordinary notebooks, the same given a canvas model, and notebooks in between.
For each history and each way git combines work (merge, rebase, cherry-pick, stash pop):

- where git alone merges cleanly, the drivers merge cleanly and keep both sides' changes;
- where git alone stops at a conflict, so do the drivers, and the file holds both sides;
- a notebook that is not a pipeline notebook comes out exactly as git alone leaves it, but for
  the labels after the conflict markers;
- every clean result is a notebook nbformat accepts.
"""
import copy
import json
import os
import pathlib
import re
import subprocess

import nbformat
import pytest

DATA = pathlib.Path(os.environ["QOR_TEST_DATA"]) / "real"
QORGIT = os.environ["QORGIT"]
CODE_CELLS = DATA / "python-nbsphinx-doc" / "code-cells_2.ipynb"  # 4.4, 76 cells, ordinary
MARKDOWN = DATA / "python-nbsphinx-doc" / "markdown-cells.ipynb"  # 4.4, markdown and raw cells
MINE, THEIRS = "# changed on the current side\n", "# changed on the incoming side\n"


def git(repo, env, *args, check=True):
    result = subprocess.run(["git", *args], cwd=repo, env=env, capture_output=True, text=True)
    if check:
        assert result.returncode == 0, (args, result.stdout, result.stderr)
    return result


# ---------------------------------------------------------------------------------------------
# Notebooks and their edits


def jupyter_text(doc):
    """The notebook as Jupyter saves it, so that git's line merge sees one key per line."""
    return json.dumps(doc, sort_keys=True, indent=1, ensure_ascii=False) + "\n"


def load(path):
    return json.loads(path.read_text(encoding="utf-8"))


def with_canvas(doc, which=lambda cell: True):
    """`doc` with a component id, a name and a parent on the cells `which` picks, and canvas
    parameters: a pipeline notebook when every cell is picked."""
    doc = copy.deepcopy(doc)
    previous = None
    for i, cell in enumerate(doc["cells"]):
        if not which(cell):
            continue
        canvas = {"id": "k%02d" % i, "name": "%s_%d" % (cell["cell_type"], i), "parents": []}
        if previous is not None:
            canvas["parents"] = [{"id": previous}]
        cell["metadata"]["canvas"] = canvas
        previous = canvas["id"]
    doc["metadata"]["canvas"] = {"id": "nb", "parameters": [{"name": "alpha", "value": "1"}]}
    return doc


def lines(cell):
    source = cell["source"]
    return source.splitlines(keepends=True) if isinstance(source, str) else list(source)


def code_cells(doc):
    return [i for i, c in enumerate(doc["cells"]) if c["cell_type"] == "code" and lines(c)]


def edit(doc, index, line, text):
    """`doc` with line `line` of cell `index` replaced by `text`."""
    doc = copy.deepcopy(doc)
    source = lines(doc["cells"][index])
    source[line] = text
    doc["cells"][index]["source"] = source
    return doc


def insert(doc, index, cell):
    doc = copy.deepcopy(doc)
    doc["cells"].insert(index, cell)
    return doc


def new_cell(text, component=None):
    cell = {"cell_type": "code", "execution_count": None, "metadata": {}, "outputs": [],
            "source": [text]}
    if component:
        cell["metadata"]["canvas"] = {"id": component, "name": component, "parents": []}
    return cell


def upgraded(doc):
    """`doc` as Jupyter upgrades a 4.4 notebook to 4.5: every cell gets an id."""
    doc = copy.deepcopy(doc)
    doc["nbformat_minor"] = 5
    for i, cell in enumerate(doc["cells"]):
        cell["id"] = "%08x" % (0x5eed0000 + i)
    return doc


# ---------------------------------------------------------------------------------------------
# Histories: (base, current, incoming, pipeline notebook?, git alone is clean?)


def histories():
    ordinary = load(CODE_CELLS)
    cells = code_cells(ordinary)
    a, b = cells[1], cells[8]
    pipeline = with_canvas(ordinary)
    code_only = with_canvas(ordinary, lambda cell: cell["cell_type"] == "code")
    prose = load(MARKDOWN)
    return {
        "ordinary: edits apart": (
            ordinary, edit(ordinary, a, 0, MINE), edit(ordinary, b, 0, THEIRS), False, True),
        "ordinary: a cell added on each side": (
            ordinary, insert(ordinary, a, new_cell(MINE)), insert(ordinary, b, new_cell(THEIRS)),
            False, True),
        "ordinary: the same line edited": (
            ordinary, edit(ordinary, a, 0, MINE), edit(ordinary, a, 0, THEIRS), False, False),
        "ordinary markdown: edits apart": (
            prose, edit(prose, 2, 0, MINE), edit(prose, 12, 0, THEIRS), False, True),
        "pipeline: a plain cell added next to an edit": (
            pipeline, edit(pipeline, a, 0, MINE), insert(pipeline, a + 1, new_cell(THEIRS)),
            False, True),
        "ids on code cells only: edits apart": (
            code_only, edit(code_only, a, 0, MINE), edit(code_only, b, 0, THEIRS), False, True),
        "pipeline: edits apart": (
            pipeline, edit(pipeline, a, 0, MINE), edit(pipeline, b, 0, THEIRS), True, True),
        "pipeline: a component added on each side": (
            pipeline, insert(pipeline, a, new_cell(MINE, "mine")),
            insert(pipeline, b, new_cell(THEIRS, "theirs")), True, True),
        "pipeline: the same line edited": (
            pipeline, edit(pipeline, a, 0, MINE), edit(pipeline, a, 0, THEIRS), True, False),
        "pipeline: incoming upgrades the format": (
            pipeline, edit(pipeline, a, 0, MINE), upgraded(edit(pipeline, b, 0, THEIRS)), True,
            True),
        "pipeline: current upgrades the format": (
            pipeline, upgraded(edit(pipeline, a, 0, MINE)), edit(pipeline, b, 0, THEIRS), True,
            True),
        "ordinary: incoming upgrades the format": (
            ordinary, edit(ordinary, a, 0, MINE), upgraded(edit(ordinary, b, 0, THEIRS)), False,
            True),
    }


HISTORIES = histories()


# ---------------------------------------------------------------------------------------------
# Playing a history in a repository


def repository(path, env, drivers):
    path.mkdir()
    git(path, env, "init", "-q", "-b", "main")
    if drivers:
        got = subprocess.run([QORGIT, "install"], cwd=path, env=env, capture_output=True, text=True)
        assert got.returncode == 0, got.stderr
    return path


def commit(repo, env, text, message):
    (repo / "nb.ipynb").write_text(text, encoding="utf-8")
    git(repo, env, "add", "nb.ipynb")
    git(repo, env, "commit", "-q", "-m", message)


def play(repo, env, operation, base, current, incoming):
    """Runs `operation` on a history whose current side is `current` and whose incoming side is
    `incoming`; returns git's result, the file and whether git holds it as unmerged."""
    commit(repo, env, base, "base")
    if operation == "stash pop":
        (repo / "nb.ipynb").write_text(incoming, encoding="utf-8")
        git(repo, env, "stash", "-q")
        commit(repo, env, current, "current")
        result = git(repo, env, "stash", "pop", check=False)
    else:
        git(repo, env, "checkout", "-q", "-b", "feature")
        commit(repo, env, incoming, "incoming")
        git(repo, env, "checkout", "-q", "main")
        commit(repo, env, current, "current")
        if operation == "merge":
            result = git(repo, env, "merge", "--no-edit", "feature", check=False)
        elif operation == "cherry-pick":
            result = git(repo, env, "cherry-pick", "feature", check=False)
        else:  # rebase the incoming side onto the current one: the current side is "ours"
            git(repo, env, "checkout", "-q", "feature")
            result = git(repo, env, "rebase", "main", check=False)
    unmerged = git(repo, env, "ls-files", "-u").stdout != ""
    return result, (repo / "nb.ipynb").read_text(encoding="utf-8"), unmerged


def unlabelled(text):
    """`text` with the labels after conflict markers taken away."""
    return re.sub(r"^(<{7,}|\|{7,}|>{7,})( .*)?$", r"\1", text, flags=re.M)


def valid(text):
    nbformat.validate(nbformat.reads(text, as_version=nbformat.NO_CONVERT))
    return True


OPERATIONS = ["merge", "rebase", "cherry-pick", "stash pop"]


@pytest.mark.parametrize("operation", OPERATIONS)
@pytest.mark.parametrize("name", HISTORIES)
def test_never_worse_than_git_alone(tmp_path, env, name, operation):
    base, current, incoming, pipeline, clean = HISTORIES[name]
    texts = [jupyter_text(d) for d in (base, current, incoming)]
    plain = play(repository(tmp_path / "plain", env, False), env, operation, *texts)
    ours = play(repository(tmp_path / "ours", env, True), env, operation, *texts)
    plain_result, plain_text, plain_unmerged = plain
    result, text, unmerged = ours
    assert (plain_unmerged, plain_result.returncode == 0) == (not clean, clean), plain_result.stderr
    if pipeline:
        assert "merged as text" not in result.stderr
    else:
        assert "merged as text" in result.stderr, result.stderr
        # git's own text merge, but for the labels.
        assert unlabelled(text) == unlabelled(plain_text)
    if clean:
        assert (result.returncode, unmerged) == (0, False), result.stdout + result.stderr
        assert MINE.strip() in text and THEIRS.strip() in text
        assert valid(text)
    else:
        # Stopped like git alone, with both sides in the file to resolve.
        assert unmerged and result.returncode != 0, result.stdout + result.stderr
        assert MINE.strip() in text and THEIRS.strip() in text
        assert "CONFLICT" in result.stdout


def test_a_format_upgrade_on_one_side_stays_valid(tmp_path, env):
    """The merged notebook declares the later format and every cell has an id; nothing changes
    when both sides declare the same format."""
    base, current, incoming, _, _ = HISTORIES["pipeline: incoming upgrades the format"]
    repo = repository(tmp_path / "repo", env, True)
    _, text, _ = play(repo, env, "merge", *[jupyter_text(d) for d in (base, current, incoming)])
    merged = json.loads(text)
    assert (merged["nbformat"], merged["nbformat_minor"]) == (4, 5)
    ids = [cell["id"] for cell in merged["cells"]]
    assert len(set(ids)) == len(ids) == len(merged["cells"])
    edited = code_cells(base)[1]
    assert re.fullmatch(r"[0-9a-f]{8}", merged["cells"][edited]["id"])  # the current side's cell
    assert valid(text)
    same = tmp_path / "same"
    repo = repository(same, env, True)
    _, text, _ = play(repo, env, "merge",
                      *[jupyter_text(d) for d in (base, current, edit(base, 3, 0, THEIRS))])
    assert all("id" not in cell for cell in json.loads(text)["cells"])


def test_labels_and_style_of_a_text_merge_follow_git(tmp_path, env):
    """merge.conflictStyle and the conflict-marker-size attribute reach the text merge, as they
    reach git's own."""
    base, current, incoming, _, _ = HISTORIES["ordinary: the same line edited"]
    texts = [jupyter_text(d) for d in (base, current, incoming)]
    for style in ("diff3", "zdiff3"):
        results = []
        for drivers in (False, True):
            repo = repository(tmp_path / ("%s-%s" % (style, drivers)), env, drivers)
            git(repo, env, "config", "merge.conflictStyle", style)
            (repo / ".git" / "info" / "attributes").open("a").write("*.ipynb conflict-marker-size=9\n")
            results.append(play(repo, env, "merge", *texts)[1])
        assert "|||||||||" in results[0] and "<<<<<<<<< " in results[0]
        assert unlabelled(results[1]) == unlabelled(results[0])
        assert re.search(r"^<{9} nb\.ipynb-current$", results[1], re.M)


def test_a_failed_driver_leaves_the_notebook_unresolved_for_check(tmp_path, env):
    """Whatever the driver left (here: nothing, it failed), git holds the notebook unmerged and
    qorgit check says so until it is staged."""
    base, current, incoming, _, _ = HISTORIES["pipeline: the same line edited"]
    repo = repository(tmp_path / "repo", env, True)
    git(repo, env, "config", "merge.qormerge.driver", "exit 3")
    result, text, unmerged = play(repo, env, "merge",
                                  *[jupyter_text(d) for d in (base, current, incoming)])
    assert unmerged and "<<<<<<<" not in text
    got = subprocess.run([QORGIT, "check"], cwd=repo, env=env, capture_output=True, text=True)
    assert got.returncode == 1
    assert got.stdout.splitlines() == [
        "nb.ipynb (unmerged): git still holds the notebook as unmerged: resolve what is left, "
        "then stage it (git add)",
        "qorgit check: unresolved conflicts in 1 of 1 notebook"]
    got = subprocess.run([QORGIT, "check", "nb.ipynb"], cwd=repo, env=env, capture_output=True,
                         text=True)
    assert got.returncode == 1 and "git still holds the notebook as unmerged" in got.stdout
    git(repo, env, "add", "nb.ipynb")
    got = subprocess.run([QORGIT, "check", "nb.ipynb"], cwd=repo, env=env, capture_output=True,
                         text=True)
    assert got.returncode == 0, got.stdout
