"""The hook this repository offers to the pre-commit framework (.pre-commit-hooks.yaml), run by
Debian's pre-commit from a scratch copy of the hook repository: no network, a scratch HOME and
PRE_COMMIT_HOME, this build's qorgit first on PATH."""
import json
import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(os.environ["QOR_TEST_DATA"]).parents[1]
QORGIT = os.environ["QORGIT"]
HOOK = "qorgit-check"


@pytest.fixture
def env(tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    e = {k: v for k, v in os.environ.items()
         if not k.startswith(("GIT_", "PRE_COMMIT", "XDG_"))}
    e.update(HOME=str(home), PRE_COMMIT_HOME=str(tmp_path / "pre-commit-cache"),
             GIT_CONFIG_NOSYSTEM="1", LC_ALL="C.UTF-8",
             PATH=os.path.dirname(QORGIT) + os.pathsep + os.environ["PATH"],
             GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@example.invalid",
             GIT_COMMITTER_NAME="t", GIT_COMMITTER_EMAIL="t@example.invalid")
    return e


def run(cwd, env, *args, check=False):
    result = subprocess.run(args, cwd=cwd, env=env, capture_output=True, text=True)
    assert not check or result.returncode == 0, (args, result.stdout, result.stderr)
    return result


def git(cwd, env, *args):
    return run(cwd, env, "git", *args, check=True)


def new_repo(path, env):
    path.mkdir()
    git(path, env, "init", "-q", "-b", "main")
    return path


@pytest.fixture
def hooks(tmp_path, env):
    """A repository holding this tree's hook definitions, as a clone of this one would."""
    path = new_repo(tmp_path / "hooks", env)
    shutil.copy(ROOT / ".pre-commit-hooks.yaml", path)
    git(path, env, "add", ".pre-commit-hooks.yaml")
    git(path, env, "commit", "-q", "-m", "hooks")
    return path


@pytest.fixture
def repo(tmp_path, env):
    return new_repo(tmp_path / "repo", env)


def notebook(source, name="train"):
    cell = {"cell_type": "code", "execution_count": None, "outputs": [], "source": source,
            "metadata": {"canvas": {"id": "A", "name": name, "parents": []}}}
    return json.dumps({"cells": [cell], "metadata": {"canvas": {"parameters": []}},
                       "nbformat": 4, "nbformat_minor": 4})


CLEAN = notebook(["a\n", "b\n"])
BLOCK = notebook(["a\n", "<<<<<<< nb-current\n", "X\n", "=======\n", "Y\n",
                  ">>>>>>> nb-incoming\n"])
MARKED = notebook(["a\n"], name=">>> train")

# (staged files, work tree files written after staging, exit status, pre-commit's verdict,
# the notebooks qorgit check reports findings in)
CASES = {
    "clean notebook": ({"nb.ipynb": CLEAN}, {}, 0, "Passed", []),
    "conflict block": ({"nb.ipynb": BLOCK, "ok.ipynb": CLEAN}, {}, 1, "Failed", ["nb.ipynb"]),
    "marked component": ({"sub/nb.ipynb": MARKED}, {}, 1, "Failed", ["sub/nb.ipynb"]),
    # A staged name that starts with a dash is still a path to check.
    "name like an option": ({"-q.ipynb": BLOCK}, {}, 1, "Failed", ["-q.ipynb"]),
    # Markers in other files are not this hook's business.
    "no notebook": ({"notes.txt": "<<<<<<< a\n=======\n>>>>>>> b\n"}, {}, 0,
                    "(no files to check)Skipped", []),
    # What the commit records counts: the conflicts left in the work tree are not staged.
    "only the work tree holds conflicts": ({"nb.ipynb": CLEAN}, {"nb.ipynb": BLOCK}, 0, "Passed",
                                           []),
    "only the stage holds conflicts": ({"nb.ipynb": BLOCK}, {"nb.ipynb": CLEAN}, 1, "Failed",
                                       ["nb.ipynb"]),
}


def reported(output):
    """The notebooks named by qorgit check's findings in pre-commit's output."""
    return sorted({line.split(": ")[0] for line in output.splitlines()
                   if line.split(": ")[0].endswith(".ipynb")})


@pytest.mark.parametrize("case", CASES)
def test_try_repo_checks_the_staged_notebooks(hooks, repo, env, case):
    staged, unstaged, status, verdict, notebooks = CASES[case]
    for name, text in staged.items():
        (repo / name).parent.mkdir(parents=True, exist_ok=True)
        (repo / name).write_text(text)
        git(repo, env, "add", "--", name)
    for name, text in unstaged.items():
        (repo / name).write_text(text)
    result = run(repo, env, "pre-commit", "try-repo", str(hooks), HOOK)
    output = result.stdout + result.stderr
    assert result.returncode == status, output
    assert verdict in [line.rsplit(".....", 1)[-1] for line in output.splitlines()], output
    assert reported(output) == notebooks, output
    # pre-commit put back what it set aside.
    for name, text in {**staged, **unstaged}.items():
        assert (repo / name).read_text() == text


def test_installed_hooks_refuse_commits_and_merges_that_record_conflicts(hooks, repo, env):
    rev = git(hooks, env, "rev-parse", "HEAD").stdout.strip()
    (repo / ".pre-commit-config.yaml").write_text(
        "repos:\n  - repo: %s\n    rev: %s\n    hooks:\n      - id: %s\n" % (hooks, rev, HOOK))
    run(repo, env, "pre-commit", "install", "--hook-type", "pre-commit",
        "--hook-type", "pre-merge-commit", check=True)
    nb = repo / "nb.ipynb"
    nb.write_text(BLOCK)
    git(repo, env, "add", ".")
    refused = run(repo, env, "git", "commit", "-q", "-m", "conflicts")
    assert refused.returncode == 1 and reported(refused.stderr) == ["nb.ipynb"], refused
    nb.write_text(notebook(["a\n", "b\n"]))
    git(repo, env, "add", "nb.ipynb")
    git(repo, env, "commit", "-q", "-m", "base")

    # Without --conflict-exit, git takes qormerge's result as merged and commits it: the
    # pre-merge-commit hook is what stops it.
    run(repo, env, QORGIT, "install", "--no-conflict-exit", check=True)
    git(repo, env, "checkout", "-q", "-b", "feature")
    nb.write_text(notebook(["a\n", "Y\n"]))
    git(repo, env, "commit", "-q", "-am", "incoming")
    git(repo, env, "checkout", "-q", "main")
    nb.write_text(notebook(["a\n", "X\n"]))
    git(repo, env, "commit", "-q", "-am", "current")
    merge = run(repo, env, "git", "merge", "--no-edit", "feature")
    assert merge.returncode == 1, merge
    assert "Not committing merge" in merge.stderr
    assert reported(merge.stderr) == ["nb.ipynb"], merge
    nb.write_text(notebook(["a\n", "XY\n"]))
    git(repo, env, "add", "nb.ipynb")
    git(repo, env, "commit", "-q", "--no-edit")
    assert git(repo, env, "rev-list", "--parents", "-n1", "HEAD").stdout.count(" ") == 2
