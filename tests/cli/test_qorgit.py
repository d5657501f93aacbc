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


def git_passes_labels():
    major, minor = map(int, subprocess.run(["git", "version"], capture_output=True, text=True)
                       .stdout.split()[2].split(".")[:2])
    return (major, minor) >= (2, 44)


# The driver as install writes it by default: text merges for files that are not pipeline
# notebooks, git's marker size, the notes, (where git passes them) labels, and --conflict-exit.
DRIVER = ("'%s' --base-file=%%O --current-file=%%A --incoming-file=%%B --file-path=%%P"
          " --fallback=text --marker-size=%%L --notes" % QORMERGE
          + (" --ancestor-label=%S --ours-label=%X --theirs-label=%Y" if git_passes_labels() else "")
          + " --conflict-exit")


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
UNMERGED_LINE = ("%s: git still holds the notebook as unmerged: resolve what is left, then stage "
                 "it (git add)")
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
    assert qorgit(repo, env, "install", "--no-conflict-exit").returncode == 0
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
        UNMERGED_LINE % "nb.ipynb (unmerged)",
        "qorgit check: unresolved conflicts in 1 of 1 notebook"]
    # Resolved in the work tree, the notebook stays unresolved until it is staged; then nothing
    # is left and the commit goes through.
    write(path, resolved(merged))
    got = qorgit(repo, env, "check")
    assert (got.returncode, got.stdout.splitlines()) == (1, [
        UNMERGED_LINE % "nb.ipynb (unmerged)", "qorgit check: unresolved conflicts in 1 of 1 notebook"])
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
    expected = DRIVER + (" --layout=jupyter" if layout == "jupyter" else "")
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
    assert qorgit(repo, env, "install", "--no-conflict-exit", "--hook").returncode == 0
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
    with_block["cells"][0]["source"] = ["<<<<<<< x\n", "=======\n", ">>>>>>> y\n"]
    write(repo / "nb.ipynb", with_block)
    git(repo, env, "add", "nb.ipynb")
    refused = git(repo, env, "commit", "-q", "-m", "x", check=False)
    assert refused.returncode == 1
    assert "nb.ipynb (staged): cell 0 (train): conflict block, source lines 1-3" in refused.stderr
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
    if hook and flags:
        # Outside one repository, hooks go where the scope's core.hooksPath points.
        git(repo, e, "config", *flags, "core.hooksPath", str(tmp_path / "hooks"))
        watched.append(tmp_path / "hooks")
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


def test_global_install_writes_where_git_reads(repo, env, tmp_path):
    home = pathlib.Path(env["HOME"])
    # Unset, core.attributesFile means git's default place, which install writes to.
    got = qorgit(repo, env, "install", "--global")
    attributes = home / ".config" / "git" / "attributes"
    assert "added '%s' to %s" % (ATTRIBUTE_LINE, attributes) in got.stdout.splitlines()
    assert attributes.read_text() == ATTRIBUTE_LINE + "\n"
    assert git(repo, env, "config", "--global", "core.attributesFile", check=False).returncode == 1
    qorgit(repo, env, "uninstall", "--global")
    assert sorted(os.listdir(home)) == []
    # Set in an included file, it is the file the user's own rules are in: install adds to it.
    mine = tmp_path / "my-attributes"
    mine.write_text("*.secret filter=crypt\n")
    (home / "attrs.inc").write_text("[core]\n\tattributesFile = %s\n" % mine)
    (home / ".gitconfig").write_text("[include]\n\tpath = attrs.inc\n")
    before = snapshot(repo, env, [mine])
    assert qorgit(repo, env, "install", "--global").returncode == 0
    assert mine.read_text() == "*.secret filter=crypt\n" + ATTRIBUTE_LINE + "\n"
    assert git(repo, env, "check-attr", "filter", "merge", "--", "x.secret", "x.ipynb").stdout == (
        "x.secret: filter: crypt\nx.secret: merge: unspecified\n"
        "x.ipynb: filter: unspecified\nx.ipynb: merge: qormerge\n")
    assert not attributes.exists()
    qorgit(repo, env, "uninstall", "--global")
    assert snapshot(repo, env, [mine]) == before


def test_closed_standard_descriptors_never_reach_the_files_written(repo, env):
    # With descriptors 0 to 2 closed, the next file opened would take descriptor 0, 1 or 2, and
    # what the program reports would land in it. The installation is done; its report cannot
    # be written, which makes the exit status 1, as any failed write of the output does.
    home = pathlib.Path(env["HOME"])
    result = subprocess.run([QORGIT, "install", "--global"], cwd=repo, env=env,
                            preexec_fn=lambda: [os.close(fd) for fd in (0, 1, 2)])
    assert result.returncode == 1
    attributes = home / ".config" / "git" / "attributes"
    assert attributes.read_text() == ATTRIBUTE_LINE + "\n"
    assert "merge.qormerge.driver" in git(repo, env, "config", "--global", "--list").stdout


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
            {"path": "clean.ipynb", "version": "file", "unmerged": False, "conflict_blocks": [],
             "components": [], "parameters": [], "dangling_parents": [], "summary": ""},
            {"path": "conflicted.ipynb", "version": "file", "unmerged": False,
             "conflict_blocks": [{"cell": 0, "name": "train", "component_id": "A",
                                  "first_line": 1, "last_line": 5}],
             "components": [{"cell": 1, "name": ">>> plot", "component_id": "B"}],
             "parameters": [{"index": 1, "name": "<<< lr"}], "dangling_parents": [],
             "summary": "1 conflict block (train), 1 component in conflict (plot), "
                        "1 parameter in conflict (lr)"},
            {"path": "broken.ipynb", "version": "file", "unmerged": False,
             "error": "Expecting value: line 1 column 12 (char 11)"},
        ],
        "conflicts": 3, "unreadable": 1, "unmerged": 0, "interrupted_writes": []}
    got = qorgit(tmp_path, env, "check", "--json", "clean.ipynb")
    assert (got.returncode, json.loads(got.stdout)["conflicts"]) == (0, 0)


def test_check_and_resolve_name_the_markers_of_a_notebook_git_merged_as_text(tmp_path, env):
    # An ordinary notebook git could not merge holds git's markers in its JSON text: that is
    # what the user is told, not where the JSON reader stopped.
    (tmp_path / "plain.ipynb").write_text(
        '{"cells": [{"cell_type": "code", "source": [\n'
        '<<<<<<< HEAD\n   "x = 1"\n=======\n   "x = 2"\n>>>>>>> topic\n]}]}\n')
    (tmp_path / "broken.ipynb").write_text('{"cells": [\n"<<<<<<< only an opening"\n')
    got = qorgit(tmp_path, env, "check", "plain.ipynb", "broken.ipynb")
    assert got.returncode == 1
    assert got.stdout.splitlines()[:2] == [
        "plain.ipynb: cannot be read: git's conflict markers are in the file's text (git merged "
        "it as text): resolve them in an editor or with git mergetool",
        "broken.ipynb: cannot be read: Expecting ',' delimiter: line 3 column 1 (char 38)"]
    got = qorgit(tmp_path, env, "resolve", "--list", "plain.ipynb")
    assert got.returncode == 1
    assert "plain.ipynb: git's conflict markers are in the file's text" in got.stderr


def test_check_reads_what_is_staged(repo, env):
    with_block = copy.deepcopy(BASE)
    with_block["cells"][2]["source"] = ["s = 1\n", "<<<<<<< x\n", "=======\n", ">>>>>>> y\n"]
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
        "sub/dir/nb.ipynb (staged): cell 2 (save): conflict block, source lines 2-4")
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
    assert got.stderr.startswith("qorgit install: error: --hook with --global needs core.hooksPath")
    assert got.stdout == ""
    assert os.listdir(env["HOME"]) == []  # refused before anything was written


@pytest.mark.parametrize("command", ["", "install", "uninstall", "check", "status", "resolve"])
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


# ---------------------------------------------------------------------------------------------
# What check counts as unresolved


def test_check_walks_directories(tmp_path, env):
    with_block = copy.deepcopy(BASE)
    with_block["cells"][0]["source"] = ["<<<<<<< x\n", "=======\n", ">>>>>>> y\n"]
    for rel, doc in [("a.ipynb", BASE), ("sub/b.ipynb", with_block), ("sub/deep/c.ipynb", BASE),
                     (".git/d.ipynb", with_block), ("sub/.ipynb_checkpoints/b-checkpoint.ipynb",
                                                    with_block), ("notes/e.txt", with_block)]:
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        write(tmp_path / rel, doc)
    (tmp_path / "link.ipynb").symlink_to(tmp_path / "sub" / "b.ipynb")
    got = qorgit(tmp_path, env, "check", ".")
    assert got.returncode == 1
    assert got.stdout.splitlines() == [
        "./sub/b.ipynb: cell 0 (train): conflict block, source lines 1-3",
        "qorgit check: unresolved conflicts in 1 of 3 notebooks"]
    assert qorgit(tmp_path, env, "check", "sub/deep").returncode == 0


def test_check_tells_a_lesson_on_markers_from_a_conflict(tmp_path, env):
    lesson = ["Git marks a conflict like this:\n", "\n", "```\n", "<<<<<<< HEAD\n", "mine\n",
              "=======\n", "theirs\n", ">>>>>>> feature\n", "```\n"]
    doc = copy.deepcopy(BASE)
    doc["cells"].append({"cell_type": "markdown", "id": "m", "metadata": {}, "source": lesson})
    doc["cells"].append({"cell_type": "raw", "id": "r", "metadata": {}, "source": lesson})
    write(tmp_path / "lesson.ipynb", doc)
    assert qorgit(tmp_path, env, "check", "lesson.ipynb").returncode == 0
    # A merge's own block in a markdown cell counts, and so does any block in code.
    doc["cells"][3]["source"] = ["<<<<<<< lesson.ipynb-current\n", "a\n", "=======\n", "b\n",
                                 ">>>>>>> lesson.ipynb-incoming\n"]
    doc["cells"][1]["source"] = lesson[3:8]
    write(tmp_path / "lesson.ipynb", doc)
    got = qorgit(tmp_path, env, "check", "lesson.ipynb")
    assert got.stdout.splitlines()[:2] == [
        "lesson.ipynb: cell 1 (plot): conflict block, source lines 1-5",
        "lesson.ipynb: cell 3: conflict block, source lines 1-5"]


def test_check_reports_parents_that_name_no_component(repo, env):
    """Keeping the incoming conflict copy (which has a fresh component id) and deleting the
    current cell leaves the children's parent records pointing nowhere: check says so."""
    doc = copy.deepcopy(BASE)
    doc["cells"][1]["metadata"]["canvas"]["parents"] = [{"id": "A"}]
    doc["cells"][2]["metadata"]["canvas"]["parents"] = [{"id": "B"}, {"id": "A"}]
    kept_copy = copy.deepcopy(doc)
    kept_copy["cells"][1]["metadata"]["canvas"]["id"] = "f3e1c2d4-fresh"
    write(repo / "nb.ipynb", kept_copy)
    git(repo, env, "add", "nb.ipynb")
    got = qorgit(repo, env, "check")
    assert got.returncode == 1
    assert got.stdout.splitlines() == [
        "nb.ipynb (staged): cell 2 (save): parent B names no component of the notebook",
        "qorgit check: unresolved conflicts in 1 of 1 notebook"]
    listed = json.loads(qorgit(repo, env, "check", "--json").stdout)["notebooks"][0]
    assert listed["dangling_parents"] == [
        {"cell": 2, "name": "save", "component_id": "C", "parent_id": "B"}]
    assert listed["summary"] == "1 dangling parent (save)"


def test_the_hook_skips_staged_symbolic_links(repo, env):
    assert qorgit(repo, env, "install", "--hook").returncode == 0
    with_block = copy.deepcopy(BASE)
    with_block["cells"][0]["source"] = ["<<<<<<< x\n", "=======\n", ">>>>>>> y\n"]
    write(repo / "notes.txt", with_block)
    (repo / "link.ipynb").symlink_to("notes.txt")
    git(repo, env, "add", "link.ipynb", "notes.txt")
    got = git(repo, env, "commit", "-q", "-m", "a link", check=False)
    assert got.returncode == 0, got.stderr


# ---------------------------------------------------------------------------------------------
# Set-up that protects by default


def test_install_defaults_and_choices_kept_by_the_next_install(repo, env):
    assert qorgit(repo, env, "install", "--hook", "--layout=jupyter", "--pattern", "*.ipynb",
                  "--pattern=nb/*.json").returncode == 0
    info = repo / ".git" / "info" / "attributes"
    lines = ["*.ipynb merge=qormerge diff=qordiff", "nb/*.json merge=qormerge diff=qordiff"]
    assert info.read_text().splitlines() == lines
    driver = DRIVER + " --layout=jupyter"
    assert git(repo, env, "config", "merge.qormerge.driver").stdout == driver + "\n"
    # Nothing given: every choice stays.
    got = qorgit(repo, env, "install")
    assert got.stdout == "qorgit: already installed in the local configuration; nothing changed\n"
    # One choice changed: only it changes.
    got = qorgit(repo, env, "install", "--no-conflict-exit", "--pattern", "*.ipynb")
    assert got.stdout.splitlines() == [
        "set merge.qormerge.driver = %s --layout=jupyter (local configuration %s)"
        % (DRIVER[:-len(" --conflict-exit")], repo / ".git" / "config"),
        "removed 'nb/*.json merge=qormerge diff=qordiff' from %s" % info]
    assert (repo / ".git" / "hooks" / "pre-commit").exists()
    assert info.read_text().splitlines() == lines[:1]
    got = qorgit(repo, env, "install", "--no-hook")
    assert "removed the hook %s" % (repo / ".git" / "hooks" / "pre-commit") in got.stdout
    assert not (repo / ".git" / "hooks" / "pre-commit").exists()
    assert git(repo, env, "config", "merge.qormerge.driver").stdout.endswith(
        "--marker-size=%L --notes --layout=jupyter\n")


def test_shared_attributes_are_committed_and_a_clone_without_drivers_merges_as_text(
        tmp_path, repo, env):
    got = qorgit(repo, env, "install", "--shared")
    assert got.returncode == 0
    assert ("added '%s' to %s (commit it to share the setting)"
            % (ATTRIBUTE_LINE, repo / ".gitattributes")) in got.stdout.splitlines()
    assert not (repo / ".git" / "info" / "attributes").exists()
    git(repo, env, "add", ".gitattributes")
    branches(repo, env, BASE, CURRENT, INCOMING_CLEAN)
    # A clone has the attribute line but no driver: git merges the notebook as text (which
    # takes these one-line notebooks whole: a conflict, git's own).
    clone = tmp_path / "clone"
    git(tmp_path, env, "clone", "-q", str(repo), str(clone))
    git(clone, env, "checkout", "-q", "-b", "feature", "origin/feature")
    git(clone, env, "checkout", "-q", "main")
    assert git(clone, env, "check-attr", "merge", "--", "nb.ipynb").stdout == (
        "nb.ipynb: merge: qormerge\n")
    result = git(clone, env, "merge", "--no-edit", "feature", check=False)
    assert "CONFLICT (content): Merge conflict in nb.ipynb" in result.stdout
    assert "qormerge" not in result.stderr
    assert (clone / "nb.ipynb").read_text().startswith("<<<<<<< HEAD\n")
    # Back to the repository's own attributes file, and away.
    got = qorgit(repo, env, "install", "--no-shared")
    assert "removed '%s' from %s" % (ATTRIBUTE_LINE, repo / ".gitattributes") in got.stdout
    assert (repo / ".git" / "info" / "attributes").read_text() == ATTRIBUTE_LINE + "\n"
    assert not (repo / ".gitattributes").exists()  # install made it, and it holds nothing else
    assert qorgit(repo, env, "uninstall").returncode == 0
    assert not (repo / ".git" / "info" / "attributes").exists()
    assert qorgit(tmp_path, env, "install", "--global", "--shared").returncode == 1


@pytest.mark.parametrize("existing, force, line", [
    ("*.ipynb filter=lfs diff=lfs merge=lfs -text", False, None),
    ("*.ipynb binary", False, None),
    ("*.ipynb -diff", False, "*.ipynb merge=qormerge"),
    ("*.ipynb filter=nbstripout diff=ipynb", False, "*.ipynb merge=qormerge"),
    ("*.ipynb filter=lfs diff=lfs merge=lfs -text", True, ATTRIBUTE_LINE),
    ("*.csv -diff", False, ATTRIBUTE_LINE),
])
def test_install_leaves_attributes_the_repository_sets(repo, env, existing, force, line):
    (repo / ".gitattributes").write_text(existing + "\n")
    got = qorgit(repo, env, "install", *(["--force"] if force else []))
    assert got.returncode == 0, got.stderr
    info = repo / ".git" / "info" / "attributes"
    assert (info.read_text().splitlines() if info.exists() else []) == ([line] if line else [])
    if line != ATTRIBUTE_LINE:
        assert any(out.startswith("left ") and out.endswith(
            "for *.ipynb as the local attributes already set it (install --force overrides it)")
            for out in got.stdout.splitlines()), got.stdout
    assert qorgit(repo, env, "uninstall").returncode == 0
    assert not info.exists()


def test_the_hook_lets_commits_through_once_qorgit_is_gone(tmp_path, repo, env):
    gone = tmp_path / "bin"
    gone.mkdir()
    shutil.copy(QORGIT, gone / "qorgit")
    for name in ("qormerge", "qordiff"):
        (gone / name).symlink_to(os.path.join(os.path.dirname(QORGIT), name))
    assert run([str(gone / "qorgit"), "install", "--hook"], repo, env).returncode == 0
    (gone / "qorgit").unlink()
    (repo / "notes.txt").write_text("n\n")
    git(repo, env, "add", "notes.txt")
    got = git(repo, env, "commit", "-q", "-m", "notes", check=False)
    assert got.returncode == 0
    assert got.stderr == ("qorgit: %s is gone: notebooks are not checked for merge conflicts "
                          "(run `qorgit uninstall` to remove this hook)\n" % (gone / "qorgit"))


def test_percent_signs_in_the_programs_path_reach_git_whole(tmp_path, repo, env):
    odd = tmp_path / "50%off dir"
    odd.mkdir()
    for name in ("qorgit", "qormerge", "qordiff"):
        shutil.copy(os.path.join(os.path.dirname(QORGIT), name), odd / name)
    assert run([str(odd / "qorgit"), "install"], repo, env).returncode == 0
    driver = git(repo, env, "config", "merge.qormerge.driver").stdout
    assert driver.startswith("'%s/qormerge' " % str(odd).replace("%", "%%"))
    lines = run([str(odd / "qorgit"), "status"], repo, env).stdout.splitlines()
    assert "  program: %s/qormerge (executable)" % odd in lines
    assert "  program: %s/qordiff (executable)" % odd in lines
    path = branches(repo, env, BASE, CURRENT, INCOMING)
    # git runs a textconv command as it is written (no "%" expansion there).
    shown = git(repo, env, "show", "HEAD").stdout
    assert "-  | p = 1\n+  | p = 2\n" in shown, shown
    result = merge(repo, env)
    assert result.returncode == 1
    assert stderr_summaries(result.stderr) == [SUMMARY]
    assert "<<<<<<< nb.ipynb-current\n" in json.loads(path.read_text())["cells"][0]["source"]


def test_uninstall_takes_git_s_cache_of_the_textconv_texts_with_it(repo, env):
    assert qorgit(repo, env, "install").returncode == 0
    for source in ("x = 1\n", "x = 2\n"):
        (repo / "nb.ipynb").write_text(json.dumps({
            "cells": [{"cell_type": "code", "execution_count": None, "outputs": [], "source": [source],
                       "metadata": {"canvas": {"id": "a", "name": "n", "parents": []}}}],
            "metadata": {"canvas": {"parameters": []}}, "nbformat": 4, "nbformat_minor": 5}))
        git(repo, env, "add", "nb.ipynb")
        git(repo, env, "commit", "-q", "-m", source)
    assert "+  | x = 2" in git(repo, env, "log", "-p").stdout
    ref = "refs/notes/textconv/qordiff"
    assert git(repo, env, "rev-parse", "-q", "--verify", ref, check=False).returncode == 0
    got = qorgit(repo, env, "uninstall")
    assert "removed git's cache of the textconv's texts, %s" % ref in got.stdout.splitlines()
    assert git(repo, env, "rev-parse", "-q", "--verify", ref, check=False).returncode != 0
