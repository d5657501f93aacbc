"""qorgit and qormerge's conflict reporting with real git, in scratch repositories under a
scratch HOME: never the user's own configuration, and the system configuration only where a
test points GIT_CONFIG_SYSTEM at a file of its own."""
import copy
import json
import os
import pathlib
import re
import shutil
import stat
import subprocess

import pytest

QORGIT = os.environ["QORGIT"]
QORMERGE = os.environ["QORMERGE"]
QORDIFF = os.environ["QORDIFF"]
ATTRIBUTE_LINE = "*.ipynb merge=qormerge diff=qordiff"
DRIVER = "'%s' --base-file=%%O --current-file=%%A --incoming-file=%%B --file-path=%%P" % QORMERGE


@pytest.fixture
def env(tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    e = {k: v for k, v in os.environ.items()
         if not k.startswith("GIT_") and k not in ("XDG_CONFIG_HOME", "EMAIL")}
    e.update(HOME=str(home), GIT_CONFIG_NOSYSTEM="1", LC_ALL="C",
             GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@example.invalid",
             GIT_COMMITTER_NAME="t", GIT_COMMITTER_EMAIL="t@example.invalid")
    return e


def run(args, cwd, env, check=False):
    result = subprocess.run(args, cwd=cwd, env=env, capture_output=True, text=True)
    if check:
        assert result.returncode == 0, (args, result.stdout, result.stderr)
    return result


def qorgit(cwd, env, *args):
    return run([QORGIT, *args], cwd, env)


def git(cwd, env, *args, check=True):
    return run(["git", *args], cwd, env, check)


@pytest.fixture
def repo(tmp_path, env):
    path = tmp_path / "repo"
    path.mkdir()
    git(path, env, "init", "-q", "-b", "main")
    return path


# ---------------------------------------------------------------------------------------------
# Notebooks


def cell(kid, name, source):
    return {"cell_type": "code", "execution_count": None, "id": "c-" + kid,
            "metadata": {"canvas": {"id": kid, "name": name, "parents": []}},
            "outputs": [], "source": source}


def notebook(cells, parameters):
    return {"cells": cells, "metadata": {"canvas": {"id": "nb", "parameters": parameters}},
            "nbformat": 4, "nbformat_minor": 5}


BASE = notebook([cell("A", "train", ["a\n", "b\n", "c"]), cell("B", "plot", ["p = 1\n"]),
                 cell("C", "save", ["s = 1\n"])],
                [{"name": "lr", "value": 0.1}])
# Both sides change line 2 of train, the source of plot (incoming also renames it) and lr.
CURRENT = notebook([cell("A", "train", ["a\n", "X\n", "c"]), cell("B", "plot", ["p = 2\n"]),
                    cell("C", "save", ["s = 1\n"])],
                   [{"name": "lr", "value": 0.2}])
INCOMING = notebook([cell("A", "train", ["a\n", "Y\n", "c"]), cell("B", "chart", ["p = 3\n"]),
                     cell("C", "save", ["s = 1\n"])],
                    [{"name": "lr", "value": 0.3}])
# A change that merges cleanly with CURRENT.
INCOMING_CLEAN = notebook([cell("A", "train", ["a\n", "b\n", "c"]), cell("B", "plot", ["p = 1\n"]),
                           cell("C", "save", ["s = 2\n"])],
                          [{"name": "lr", "value": 0.1}, {"name": "epochs", "value": 3}])
SUMMARY = ("qormerge: nb.ipynb: 1 conflict block (train), 1 component in conflict (plot), "
           "1 parameter in conflict (lr)\n")
CHECK_LINES = [
    "cell 0 (train): conflict block, source lines 2-6",
    "cell 1 (<<< plot): component in conflict",
    "cell 2 (>>> chart): component in conflict",
    "parameter 0 (<<< lr): parameter in conflict",
    "parameter 1 (>>> lr): parameter in conflict",
]


def write(path, doc):
    path.write_text(json.dumps(doc))


def branches(repo, env, base, current, incoming, name="nb.ipynb"):
    """Commits `base`, `incoming` on branch feature and `current` on main."""
    path = repo / name
    path.parent.mkdir(parents=True, exist_ok=True)
    write(path, base)
    git(repo, env, "add", "--", name)
    git(repo, env, "commit", "-q", "-m", "base")
    git(repo, env, "checkout", "-q", "-b", "feature")
    write(path, incoming)
    git(repo, env, "commit", "-q", "-am", "incoming")
    git(repo, env, "checkout", "-q", "main")
    write(path, current)
    git(repo, env, "commit", "-q", "-am", "current")
    return path


def merge(repo, env):
    return git(repo, env, "merge", "--no-edit", "feature", check=False)


def resolved(merged):
    """The merged notebook with every conflict resolved by hand."""
    doc = copy.deepcopy(merged)
    doc["cells"][0]["source"] = ["a\n", "XY\n", "c"]
    doc["cells"][1]["metadata"]["canvas"]["name"] = "plot"
    del doc["cells"][2]
    doc["metadata"]["canvas"]["parameters"] = [{"name": "lr", "value": 0.25}]
    return doc


def stderr_summaries(stderr):
    return [line for line in stderr.splitlines(keepends=True) if line.startswith("qormerge: ")]


# ---------------------------------------------------------------------------------------------
# Merges through git


def test_clean_merge_prints_nothing(repo, env):
    assert qorgit(repo, env, "install", "--conflict-exit").returncode == 0
    path = branches(repo, env, BASE, CURRENT, INCOMING_CLEAN)
    result = merge(repo, env)
    assert result.returncode == 0, result.stdout + result.stderr
    assert stderr_summaries(result.stderr) == []
    assert git(repo, env, "status", "--porcelain").stdout == ""
    merged = json.loads(path.read_text())
    assert merged["cells"][2]["source"] == ["s = 2\n"]
    assert git(repo, env, "rev-list", "--parents", "-n1", "HEAD").stdout.count(" ") == 2


def test_conflicts_without_conflict_exit_are_reported_and_committed(repo, env):
    assert qorgit(repo, env, "install").returncode == 0
    path = branches(repo, env, BASE, CURRENT, INCOMING)
    result = merge(repo, env)
    assert result.returncode == 0, result.stdout + result.stderr
    assert stderr_summaries(result.stderr) == [SUMMARY]
    # The exit status stays 0: git records the merge, conflicts and all.
    assert git(repo, env, "status", "--porcelain").stdout == ""
    got = qorgit(repo, env, "check", "nb.ipynb")
    assert got.returncode == 1
    assert got.stdout.splitlines()[:-1] == ["nb.ipynb: " + line for line in CHECK_LINES]
    assert json.loads(path.read_text())["cells"][0]["source"][1] == "<<<<<<< nb.ipynb-current\n"


def test_conflict_exit_leaves_the_notebook_unmerged(repo, env):
    assert qorgit(repo, env, "install", "--conflict-exit").returncode == 0
    path = branches(repo, env, BASE, CURRENT, INCOMING)
    result = merge(repo, env)
    assert result.returncode == 1
    assert "CONFLICT (content): Merge conflict in nb.ipynb" in result.stdout
    assert stderr_summaries(result.stderr) == [SUMMARY]
    # The merged notebook is in the work tree; git records the path as unmerged.
    merged = json.loads(path.read_text())
    assert merged["cells"][0]["source"][1:6] == [
        "<<<<<<< nb.ipynb-current\n", "X\n", "=======\n", "Y\n", ">>>>>>> nb.ipynb-incoming\n"]
    assert git(repo, env, "status", "--porcelain").stdout == "UU nb.ipynb\n"
    assert "both modified:   nb.ipynb" in git(repo, env, "status").stdout
    stages = [line.split()[2] for line in git(repo, env, "ls-files", "-u").stdout.splitlines()]
    assert stages == ["1", "2", "3"]
    refused = git(repo, env, "commit", "--no-edit", check=False)
    assert refused.returncode != 0
    assert "unmerged files" in refused.stderr
    tool = git(repo, env, "-c", "mergetool.fake.cmd=false", "-c", "mergetool.fake.trustExitCode=true",
               "-c", "mergetool.keepBackup=false", "mergetool", "--tool=fake", "--no-prompt",
               check=False)
    assert "Merging:\nnb.ipynb\n" in tool.stdout
    assert git(repo, env, "status", "--porcelain").stdout == "UU nb.ipynb\n"
    # qorgit check finds the unmerged notebook by itself.
    got = qorgit(repo, env, "check")
    assert got.returncode == 1
    assert got.stdout.splitlines() == ["nb.ipynb (unmerged): " + line for line in CHECK_LINES] + [
        "qorgit check: unresolved conflicts in 1 of 1 notebook"]
    # Resolved in the work tree, then staged: nothing is left and the commit goes through.
    write(path, resolved(merged))
    assert qorgit(repo, env, "check").returncode == 0
    git(repo, env, "add", "nb.ipynb")
    got = qorgit(repo, env, "check")
    assert (got.returncode, got.stdout) == (0, "qorgit check: no unresolved conflicts in 1 notebook\n")
    git(repo, env, "commit", "--no-edit")
    assert git(repo, env, "status", "--porcelain").stdout == ""


@pytest.mark.parametrize("layout", ["default", "jupyter"])
def test_install_options_reach_the_driver(repo, env, layout):
    args = ["install", "--conflict-exit"] + (["--layout=jupyter"] if layout == "jupyter" else [])
    assert qorgit(repo, env, *args).returncode == 0
    driver = git(repo, env, "config", "merge.qormerge.driver").stdout
    expected = DRIVER + " --conflict-exit" + (" --layout=jupyter" if layout == "jupyter" else "")
    assert driver == expected + "\n"
    path = branches(repo, env, BASE, CURRENT, INCOMING)
    assert merge(repo, env).returncode == 1
    text = path.read_text(encoding="utf-8")
    if layout == "jupyter":
        assert text == json.dumps(json.loads(text), sort_keys=True, indent=1, ensure_ascii=False) + "\n"
    else:
        assert text == json.dumps(json.loads(text))


# ---------------------------------------------------------------------------------------------
# The hook


def test_hook_refuses_staged_conflicts(repo, env):
    assert qorgit(repo, env, "install", "--conflict-exit", "--hook").returncode == 0
    path = branches(repo, env, BASE, CURRENT, INCOMING)
    assert merge(repo, env).returncode == 1
    merged = json.loads(path.read_text())
    git(repo, env, "add", "nb.ipynb")  # staged with its conflicts
    refused = git(repo, env, "commit", "--no-edit", check=False)
    assert refused.returncode == 1
    assert "nb.ipynb (staged): cell 0 (train): conflict block, source lines 2-6" in refused.stderr
    assert "qorgit: commit refused" in refused.stderr
    # A work tree resolved but not staged does not change what the commit would record.
    write(path, resolved(merged))
    assert git(repo, env, "commit", "--no-edit", check=False).returncode == 1
    git(repo, env, "add", "nb.ipynb")
    git(repo, env, "commit", "--no-edit")


def test_hook_checks_what_a_partial_commit_records(repo, env):
    assert qorgit(repo, env, "install", "--hook").returncode == 0
    path = repo / "nb.ipynb"
    write(path, BASE)
    git(repo, env, "add", "nb.ipynb")
    git(repo, env, "commit", "-q", "-m", "base")
    with_block = copy.deepcopy(BASE)
    with_block["cells"][1]["source"] = ["<<<<<<< x\n", "=======\n", ">>>>>>> y\n"]
    write(path, with_block)
    (repo / "notes.txt").write_text("n\n")
    git(repo, env, "add", "notes.txt")
    # `git commit PATH` builds a temporary index from the work tree: the hook sees that one.
    refused = git(repo, env, "commit", "-q", "-m", "x", "nb.ipynb", check=False)
    assert refused.returncode == 1
    assert "nb.ipynb (staged): cell 1 (plot): conflict block, source lines 1-3" in refused.stderr
    git(repo, env, "commit", "-q", "-m", "notes only", "notes.txt")
    assert git(repo, env, "status", "--porcelain").stdout == " M nb.ipynb\n"


def test_hook_stops_a_merge_that_would_commit_conflicts(repo, env):
    assert qorgit(repo, env, "install", "--hook").returncode == 0
    branches(repo, env, BASE, CURRENT, INCOMING)
    result = merge(repo, env)
    assert result.returncode != 0
    assert stderr_summaries(result.stderr) == [SUMMARY]
    assert "Not committing merge" in result.stderr
    assert (repo / ".git" / "MERGE_HEAD").exists()
    assert git(repo, env, "status", "--porcelain").stdout == "M  nb.ipynb\n"
    assert git(repo, env, "commit", "--no-edit", check=False).returncode == 1


OLD_HOOK = '#!/bin/sh\necho "old $(basename "$0")" >> hook.log\nexit "${OLD_HOOK_EXIT:-0}"\n'


def test_existing_hooks_are_kept_and_still_run(repo, env):
    hooks = repo / ".git" / "hooks"
    old = hooks / "pre-commit"
    old.write_text(OLD_HOOK)
    old.chmod(0o750)
    before = snapshot(repo, env)
    got = qorgit(repo, env, "install", "--hook")
    assert got.returncode == 0
    assert ("kept the existing pre-commit hook as %s.qorgit-chained; the new hook runs it first"
            % old) in got.stdout.splitlines()
    chained = hooks / "pre-commit.qorgit-chained"
    assert chained.read_text() == OLD_HOOK
    assert stat.S_IMODE(chained.stat().st_mode) == 0o750
    assert "# qorgit hook" in old.read_text()
    write(repo / "nb.ipynb", BASE)
    git(repo, env, "add", "nb.ipynb")
    git(repo, env, "commit", "-q", "-m", "clean")
    assert (repo / "hook.log").read_text() == "old pre-commit.qorgit-chained\n"
    # The old hook's verdict still counts.
    write(repo / "nb.ipynb", CURRENT)
    git(repo, env, "add", "nb.ipynb")
    refused = run(["git", "commit", "-q", "-m", "x"], repo, dict(env, OLD_HOOK_EXIT="3"))
    assert refused.returncode == 1
    assert "qorgit" not in refused.stderr
    # Uninstall puts the old hook back as it was.
    (repo / "hook.log").unlink()
    git(repo, env, "reset", "-q", "--hard")
    got = qorgit(repo, env, "uninstall")
    assert got.returncode == 0
    assert "put back the hook it ran first, %s" % old in got.stdout.splitlines()
    assert snapshot(repo, env) == before


def test_a_hook_that_cannot_be_kept_stops_install_before_any_change(repo, env):
    hooks = repo / ".git" / "hooks"
    (hooks / "pre-merge-commit").write_text(OLD_HOOK)
    (hooks / "pre-merge-commit.qorgit-chained").write_text("#!/bin/sh\n")
    before = snapshot(repo, env)
    got = qorgit(repo, env, "install", "--hook")
    assert got.returncode == 1
    assert got.stderr == ("qorgit install: error: cannot keep the existing pre-merge-commit hook: "
                          "%s/pre-merge-commit.qorgit-chained exists\n" % hooks)
    assert snapshot(repo, env) == before


def test_hooks_path_is_honoured(repo, env):
    git(repo, env, "config", "core.hooksPath", "ci/hooks")
    before = snapshot(repo, env)
    got = qorgit(repo, env, "install", "--hook")
    assert got.returncode == 0
    hook = repo / "ci" / "hooks" / "pre-commit"
    assert "created the directory %s" % (repo / "ci") in got.stdout.splitlines()
    assert "installed the pre-commit hook %s (runs qorgit check)" % hook in got.stdout.splitlines()
    assert not (repo / ".git" / "hooks" / "pre-commit").exists()
    with_block = copy.deepcopy(BASE)
    with_block["cells"][0]["source"] = ["<<<<<<< x\n", ">>>>>>> y\n"]
    write(repo / "nb.ipynb", with_block)
    git(repo, env, "add", "nb.ipynb")
    refused = git(repo, env, "commit", "-q", "-m", "x", check=False)
    assert refused.returncode == 1
    assert "nb.ipynb (staged): cell 0 (train): conflict block, source lines 1-2" in refused.stderr
    git(repo, env, "rm", "-q", "--cached", "nb.ipynb")
    (repo / "nb.ipynb").unlink()
    assert qorgit(repo, env, "uninstall").returncode == 0
    assert not (repo / "ci").exists()
    assert snapshot(repo, env) == before


# ---------------------------------------------------------------------------------------------
# install and uninstall


def files_under(root):
    if not root.exists():
        return {}
    found = {}
    for p in sorted(root.rglob("*")):
        if p.is_symlink() or p.is_file():
            found[str(p)] = (p.read_bytes(), stat.S_IMODE(p.lstat().st_mode))
        elif p.is_dir():
            found[str(p)] = "dir"
    return found


def snapshot(repo, env, extra=()):
    """Configuration as git lists it, and every file of the places install may write."""
    git_dir = repo / ".git"
    places = [git_dir / "config", git_dir / "info", git_dir / "hooks", pathlib.Path(env["HOME"])]
    places += [pathlib.Path(p) for p in extra]
    return {
        "config": git(repo, env, "config", "--list", "--show-origin").stdout,
        "attributes": git(repo, env, "check-attr", "-a", "--", "x.ipynb").stdout,
        "files": {str(p): files_under(p) if p.is_dir() else (p.read_bytes() if p.exists() else None)
                  for p in places},
    }


SCOPES = {
    # scope flag, environment changes (paths relative to the test's directory), files to watch
    "local": ([], {}, []),
    "global-file": (["--global"], {"GIT_CONFIG_GLOBAL": "cfg/global", "XDG_CONFIG_HOME": "xdg"},
                    ["cfg", "xdg"]),
    "global-home": (["--global"], {}, []),
    "system": (["--system"], {"GIT_CONFIG_SYSTEM": "etc/gitconfig", "GIT_CONFIG_NOSYSTEM": None},
               ["etc"]),
}


def scope_env(tmp_path, env, changes):
    e = dict(env)
    for key, value in changes.items():
        if value is None:
            e.pop(key, None)
        else:
            e[key] = str(tmp_path / value)
    return e


@pytest.mark.parametrize("hook", [False, True], ids=["plain", "hook"])
@pytest.mark.parametrize("scope", SCOPES)
def test_install_then_uninstall_leaves_everything_as_before(repo, env, tmp_path, scope, hook):
    flags, changes, watched = SCOPES[scope]
    e = scope_env(tmp_path, env, changes)
    (tmp_path / "cfg").mkdir()
    (tmp_path / "etc").mkdir()
    watched = [tmp_path / w for w in watched]
    before = snapshot(repo, e, watched)
    args = ["install"] + flags + (["--hook"] if hook else [])
    first = qorgit(repo, e, *args)
    assert first.returncode == 0, first.stderr
    assert any(ATTRIBUTE_LINE in line for line in first.stdout.splitlines())
    assert git(repo, e, "config", "merge.qormerge.driver").stdout == DRIVER + "\n"
    assert git(repo, e, "config", "diff.qordiff.textconv").stdout == "'%s' --textconv\n" % QORDIFF
    assert git(repo, e, "config", "merge.qormerge.recursive").stdout == "binary\n"
    assert git(repo, e, "config", "diff.qordiff.cachetextconv").stdout == "true\n"
    if scope != "system":  # git reads the system attributes only from its compiled-in place
        assert git(repo, e, "check-attr", "merge", "diff", "--", "a/b.ipynb").stdout == (
            "a/b.ipynb: merge: qormerge\na/b.ipynb: diff: qordiff\n")
    installed = snapshot(repo, e, watched)
    second = qorgit(repo, e, *args)
    assert (second.returncode, second.stdout) == (
        0, "qorgit: already installed in the %s configuration; nothing changed\n"
        % scope.split("-")[0])
    assert snapshot(repo, e, watched) == installed
    got = qorgit(repo, e, "uninstall", *flags)
    assert got.returncode == 0, got.stderr
    assert snapshot(repo, e, watched) == before
    again = qorgit(repo, e, "uninstall", *flags)
    assert again.stdout.startswith("qorgit: nothing installed by qorgit in the ")


def test_global_install_sets_and_unsets_core_attributes_file(repo, env, tmp_path):
    home = pathlib.Path(env["HOME"])
    got = qorgit(repo, env, "install", "--global")
    attributes = home / ".config" / "git" / "attributes"
    assert "set core.attributesFile = %s (global configuration %s/.gitconfig)" % (
        attributes, home) in got.stdout.splitlines()
    assert attributes.read_text() == ATTRIBUTE_LINE + "\n"
    assert git(repo, env, "config", "--global", "core.attributesFile").stdout == "%s\n" % attributes
    qorgit(repo, env, "uninstall", "--global")
    assert sorted(os.listdir(home)) == []


def test_closed_standard_descriptors_never_reach_the_files_written(repo, env):
    # With descriptors 0 to 2 closed, the next file opened would take descriptor 0, 1 or 2, and
    # what the program reports would land in it.
    home = pathlib.Path(env["HOME"])
    result = subprocess.run([QORGIT, "install", "--global"], cwd=repo, env=env,
                            preexec_fn=lambda: [os.close(fd) for fd in (0, 1, 2)])
    assert result.returncode == 0
    attributes = home / ".config" / "git" / "attributes"
    assert attributes.read_text() == ATTRIBUTE_LINE + "\n"
    assert git(repo, env, "config", "--global", "core.attributesFile").stdout == "%s\n" % attributes


def test_existing_attributes_and_settings_are_kept(repo, env):
    home = pathlib.Path(env["HOME"])
    # The set-up a user may already have made by hand, and files without a final line end.
    git(repo, env, "config", "merge.qormerge.name", "pipeline notebook merge")
    git(repo, env, "config", "merge.qormerge.driver", "qormerge --base-file=%O --current-file=%A "
        "--incoming-file=%B --file-path=%P")
    git(repo, env, "config", "merge.qormerge.keep", "mine")
    git(repo, env, "config", "merge.qormerge.recursive", "binary")
    info = repo / ".git" / "info" / "attributes"
    info.write_text("*.csv -diff")
    (home / ".gitconfig").write_text("[user]\n\tname = someone\n")
    (home / ".config" / "git").mkdir(parents=True)
    (home / ".config" / "git" / "attributes").write_text("*.png binary")
    before = snapshot(repo, env)
    assert qorgit(repo, env, "install").returncode == 0
    assert info.read_text() == "*.csv -diff\n" + ATTRIBUTE_LINE
    assert git(repo, env, "config", "merge.qormerge.keep").stdout == "mine\n"
    assert qorgit(repo, env, "install", "--global").returncode == 0
    got = qorgit(repo, env, "uninstall")
    assert ("restored merge.qormerge.driver = qormerge --base-file=%O --current-file=%A "
            "--incoming-file=%B --file-path=%P (local configuration " + str(repo / ".git" / "config")
            + ")") in got.stdout.splitlines()
    assert qorgit(repo, env, "uninstall", "--global").returncode == 0
    assert snapshot(repo, env) == before


def test_a_line_that_was_there_stays(repo, env):
    info = repo / ".git" / "info" / "attributes"
    info.write_text(ATTRIBUTE_LINE + "\n")
    qorgit(repo, env, "install")
    qorgit(repo, env, "uninstall")
    assert info.read_text() == ATTRIBUTE_LINE + "\n"


def test_programs_next_to_qorgit_else_on_path(tmp_path, repo, env):
    alone = tmp_path / "alone"
    alone.mkdir()
    shutil.copy(QORGIT, alone / "qorgit")
    tools = tmp_path / "tools dir"
    tools.mkdir()
    for name in ("qormerge", "qordiff"):
        (tools / name).write_text("#!/bin/sh\n")
        (tools / name).chmod(0o755)
    gitonly = tmp_path / "gitonly"
    gitonly.mkdir()
    (gitonly / "git").symlink_to(shutil.which("git"))
    e = dict(env, PATH="%s:%s" % (gitonly, tools))
    got = run([str(alone / "qorgit"), "install"], repo, e)
    assert got.returncode == 0, got.stderr
    assert git(repo, env, "config", "merge.qormerge.driver").stdout.startswith(
        "'%s/qormerge' --base-file=%%O" % tools)
    assert git(repo, env, "config", "diff.qordiff.textconv").stdout == "'%s/qordiff' --textconv\n" % tools
    # qorgit's own directory comes first.
    got = qorgit(repo, e, "install")
    assert git(repo, env, "config", "merge.qormerge.driver").stdout == DRIVER + "\n"
    got = run([str(alone / "qorgit"), "install"], repo, dict(env, PATH=str(gitonly)))
    assert got.returncode == 1
    assert got.stderr == "qorgit install: error: cannot find qormerge next to %s or on PATH\n" % (
        alone / "qorgit")


def test_status_says_what_is_installed_and_what_git_runs(repo, env):
    got = qorgit(repo, env, "status")
    assert got.returncode == 0
    assert "git merges notebooks with: its own text merge (no qormerge driver set)" in got.stdout
    assert "in this repository a notebook gets merge=unspecified diff=unspecified" in got.stdout
    qorgit(repo, env, "install", "--hook")
    lines = qorgit(repo, env, "status").stdout.splitlines()
    assert "local configuration %s:" % (repo / ".git" / "config") in lines
    assert "  merge driver: " + DRIVER in lines
    assert "  attributes: '%s' in %s" % (ATTRIBUTE_LINE, repo / ".git" / "info" / "attributes") in lines
    assert "git merges notebooks with: " + DRIVER in lines
    assert "  program: %s (executable)" % QORMERGE in lines
    assert "in this repository a notebook gets merge=qormerge diff=qordiff" in lines
    assert "pre-commit hook: %s (qorgit check)" % (repo / ".git" / "hooks" / "pre-commit") in lines
    assert "global configuration %s (absent):" % (pathlib.Path(env["HOME"]) / ".gitconfig") in lines
    git(repo, env, "config", "merge.qormerge.driver", "'/nowhere/qormerge' --base-file=%O")
    assert ("  program: /nowhere/qormerge (MISSING or not executable: git cannot run it)"
            in qorgit(repo, env, "status").stdout.splitlines())


# ---------------------------------------------------------------------------------------------
# check


def test_check_named_files_as_text_and_json(tmp_path, env):
    write(tmp_path / "clean.ipynb", BASE)
    conflicted = resolved(BASE)
    conflicted["cells"][0]["source"] = ["<<<<<<< a\n", "x\n", "=======\n", "y\n", ">>>>>>> b\n"]
    conflicted["cells"][1]["metadata"]["canvas"]["name"] = ">>> plot"
    conflicted["metadata"]["canvas"]["parameters"].append({"name": "<<< lr", "value": 1})
    write(tmp_path / "conflicted.ipynb", conflicted)
    (tmp_path / "broken.ipynb").write_text('{"cells": [')
    got = qorgit(tmp_path, env, "check", "clean.ipynb")
    assert (got.returncode, got.stdout) == (0, "qorgit check: no unresolved conflicts in 1 notebook\n")
    assert qorgit(tmp_path, env, "check", "-q", "clean.ipynb").stdout == ""
    got = qorgit(tmp_path, env, "check", "clean.ipynb", "conflicted.ipynb", "broken.ipynb", "gone.ipynb")
    assert got.returncode == 1
    assert got.stdout.splitlines() == [
        "conflicted.ipynb: cell 0 (train): conflict block, source lines 1-5",
        "conflicted.ipynb: cell 1 (>>> plot): component in conflict",
        "conflicted.ipynb: parameter 1 (<<< lr): parameter in conflict",
        "broken.ipynb: cannot be read: Expecting value: line 1 column 12 (char 11)",
        "gone.ipynb: cannot be read: [Errno 2] No such file or directory: 'gone.ipynb'",
        "qorgit check: unresolved conflicts in 1 of 4 notebooks, 2 unreadable",
    ]
    got = qorgit(tmp_path, env, "check", "--json", "clean.ipynb", "conflicted.ipynb", "broken.ipynb")
    assert got.returncode == 1
    assert json.loads(got.stdout) == {
        "notebooks": [
            {"path": "clean.ipynb", "version": "file", "conflict_blocks": [], "components": [],
             "parameters": [], "summary": ""},
            {"path": "conflicted.ipynb", "version": "file",
             "conflict_blocks": [{"cell": 0, "name": "train", "component_id": "A",
                                  "first_line": 1, "last_line": 5}],
             "components": [{"cell": 1, "name": ">>> plot", "component_id": "B"}],
             "parameters": [{"index": 1, "name": "<<< lr"}],
             "summary": "1 conflict block (train), 1 component in conflict (plot), "
                        "1 parameter in conflict (lr)"},
            {"path": "broken.ipynb", "version": "file",
             "error": "Expecting value: line 1 column 12 (char 11)"},
        ],
        "conflicts": 3, "unreadable": 1}
    got = qorgit(tmp_path, env, "check", "--json", "clean.ipynb")
    assert (got.returncode, json.loads(got.stdout)["conflicts"]) == (0, 0)


def test_check_reads_what_is_staged(repo, env):
    with_block = copy.deepcopy(BASE)
    with_block["cells"][2]["source"] = ["s = 1\n", "<<<<<<< x\n", ">>>>>>> y\n"]
    path = repo / "sub" / "dir" / "nb.ipynb"
    path.parent.mkdir(parents=True)
    write(path, BASE)
    git(repo, env, "add", ".")
    # The index decides: a conflict staged but fixed in the work tree is still reported...
    write(path, with_block)
    git(repo, env, "add", ".")
    write(path, BASE)
    got = qorgit(repo / "sub", env, "check")
    assert got.returncode == 1
    assert got.stdout.splitlines()[0] == (
        "sub/dir/nb.ipynb (staged): cell 2 (save): conflict block, source lines 2-3")
    # ... and one only in the work tree is not.
    git(repo, env, "add", ".")
    write(path, with_block)
    got = qorgit(repo / "sub", env, "check")
    assert (got.returncode, got.stdout) == (0, "qorgit check: no unresolved conflicts in 1 notebook\n")
    git(repo, env, "commit", "-q", "-m", "x")
    assert qorgit(repo, env, "check").stdout == "qorgit check: no notebooks to check\n"
    (repo / "notes.txt").write_text("<<<<<<< x\n")
    git(repo, env, "add", "notes.txt")
    assert qorgit(repo, env, "check").returncode == 0  # only notebooks are checked


def test_check_reports_an_unreadable_staged_notebook(repo, env):
    (repo / "bad.ipynb").write_text("{")
    git(repo, env, "add", "bad.ipynb")
    got = qorgit(repo, env, "check")
    assert got.returncode == 1
    assert got.stdout.splitlines()[0].startswith("bad.ipynb (staged): cannot be read: Expecting")


# ---------------------------------------------------------------------------------------------
# Usage


@pytest.mark.parametrize("args, message", [
    ([], "qorgit: error: a command is required"),
    (["merge"], "qorgit: error: unknown command: merge"),
    (["install", "--local", "--global"], "qorgit install: error: choose one of --local, --global and --system"),
    (["install", "--layout=html"], "qorgit install: error: argument --layout: expected --layout=jupyter or --layout=default"),
    (["install", "--bogus"], "qorgit install: error: unrecognized argument: --bogus"),
    (["uninstall", "--hook"], "qorgit uninstall: error: unrecognized argument: --hook"),
    (["check", "--bogus"], "qorgit check: error: unrecognized argument: --bogus"),
    (["status", "x"], "qorgit status: error: unrecognized argument: x"),
])
def test_bad_usage_exits_with_2(tmp_path, env, args, message):
    got = qorgit(tmp_path, env, *args)
    assert got.returncode == 2
    assert got.stdout == ""
    assert got.stderr.splitlines()[-1] == message
    assert got.stderr.startswith("usage: qorgit ")


def test_check_outside_a_repository_needs_paths(tmp_path, env):
    got = qorgit(tmp_path, env, "check")
    assert got.returncode == 2
    assert got.stderr.endswith(
        "qorgit check: error: not inside a git work tree: name the notebooks to check\n")
    got = qorgit(tmp_path, env, "install")
    assert got.returncode == 1
    assert got.stderr == ("qorgit install: error: not in a git repository: run this inside one, "
                          "or choose --global or --system\n")
    got = qorgit(tmp_path, env, "install", "--global", "--hook")
    assert got.returncode == 1
    assert got.stderr.startswith("qorgit install: error: --hook needs a repository")
    assert got.stdout == ""
    assert os.listdir(env["HOME"]) == []  # refused before anything was written


@pytest.mark.parametrize("command", ["", "install", "uninstall", "check", "status"])
def test_help_and_version(tmp_path, env, command):
    args = [command] if command else []
    for flag in ("-h", "--help"):
        got = qorgit(tmp_path, env, *args, flag)
        assert got.returncode == 0
        assert got.stdout.startswith("usage: qorgit " + (command + " " if command else ""))
        assert got.stderr == ""
    got = qorgit(tmp_path, env, "--version")
    assert got.returncode == 0
    assert re.fullmatch(r"qorgit \d+\.\d+\.\d+\n", got.stdout)
