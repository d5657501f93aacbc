"""qordiff on git revisions (REV -- PATH..., REV:PATH) and as git difftool's tool, in scratch
repositories under a scratch HOME: the same changes as between files, the versions named by
their revisions, one report per notebook, a fixed number of git processes, and `git difftool`
showing text or opening the page through a fake browser."""
import json
import os
import pathlib
import shutil
import stat
import subprocess

import pytest

QORDIFF = os.environ["QORDIFF"]
QORGIT = os.environ["QORGIT"]
EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples" / "notebooks"


@pytest.fixture
def env(env, tmp_path):
    """The scratch repositories' environment, with no browser or colour choice of the caller's
    and pages written below the test's directory."""
    e = {k: v for k, v in env.items() if k not in ("BROWSER", "NO_COLOR")}
    e.update(TMPDIR=str(tmp_path))
    return e


def run(args, cwd, env):
    return subprocess.run([str(a) for a in args], cwd=cwd, env=env, capture_output=True, text=True)


def ok(args, cwd, env):
    got = run(args, cwd, env)
    assert got.returncode == 0, (args, got.stdout, got.stderr)
    return got.stdout


def example(name):
    return (EXAMPLES / ("churn_%s.ipynb" % name)).read_text()


@pytest.fixture
def repo(tmp_path, env):
    """Two commits and a work tree: nb.ipynb changes in each; sub/old.ipynb is removed and
    sub/new.ipynb added in the second; notes.txt changes too. Returns the repository."""
    path = tmp_path / "repo"
    (path / "sub").mkdir(parents=True)
    ok(["git", "init", "-q", "-b", "main"], path, env)
    (path / "nb.ipynb").write_text(example("base"))
    (path / "sub" / "old.ipynb").write_text(example("base"))
    (path / "notes.txt").write_text("one\n")
    ok(["git", "add", "."], path, env)
    ok(["git", "commit", "-qm", "first"], path, env)
    (path / "nb.ipynb").write_text(example("incoming"))
    (path / "sub" / "old.ipynb").unlink()
    # Unlike the removed notebook, so that no rename is found between them.
    (path / "sub" / "new.ipynb").write_text(json.dumps({
        "cells": [], "metadata": {"canvas": {"parameters": [
            {"name": "seed", "type": "int", "value": "1"}]}}, "nbformat": 4,
        "nbformat_minor": 5}))
    (path / "notes.txt").write_text("two\n")
    ok(["git", "add", "-A"], path, env)
    ok(["git", "commit", "-qm", "second"], path, env)
    (path / "nb.ipynb").write_text(example("current"))
    return path


def versions_as_files(repo, env, tmp_path, prev, current):
    """The two versions written to files of their own; a version is "REV:PATH" or a path."""
    files = []
    for i, version in enumerate((prev, current)):
        target = tmp_path / ("side%d.ipynb" % i)
        if ":" in version:
            target.write_bytes(subprocess.run(["git", "show", version], cwd=repo, env=env,
                                              capture_output=True, check=True).stdout)
        else:
            shutil.copy(repo / version, target)
        files.append(target)
    return files


# The same comparison asked in each way: revisions with paths, REV:PATH operands.
COMPARISONS = [
    (["HEAD~1", "--", "nb.ipynb"], "HEAD~1:nb.ipynb", "nb.ipynb"),
    (["HEAD~1", "HEAD", "--", "nb.ipynb"], "HEAD~1:nb.ipynb", "HEAD:nb.ipynb"),
    (["HEAD", "--", "nb.ipynb"], "HEAD:nb.ipynb", "nb.ipynb"),
    (["main~1", "main", "--", "."], "main~1:nb.ipynb", "main:nb.ipynb"),  # and two more
]


@pytest.mark.parametrize("args,prev,current", COMPARISONS)
def test_revisions_show_what_the_files_would_show_named_by_their_revisions(
        repo, env, tmp_path, args, prev, current):
    files = versions_as_files(repo, env, tmp_path, prev, current)
    # JSON: one line per notebook naming its versions around the diff document of the files.
    lines = ok([QORDIFF, "--format=json", *args], repo, env).splitlines()
    entry = json.loads(lines[0])
    assert (entry["path"], entry["status"], entry["prev"], entry["current"]) == (
        "nb.ipynb", "modified", prev, current)
    assert json.dumps(entry["diff"]) == ok([QORDIFF, "--format=json", *files], repo, env).rstrip()
    # Text: the versions above the changes between the files.
    text = ok([QORDIFF, "--format=text", *args], repo, env)
    first = text.split("\n\n--- ")[0].rstrip("\n") + "\n"
    assert first == "--- %s\n+++ %s\n" % (prev, current) + ok(
        [QORDIFF, "--format=text", *files], repo, env)
    # The page: its heading names the versions, never a temporary file.
    page = ok([QORDIFF, "--format=html", "-o", "%s/pages/" % tmp_path, *args], repo, env)
    assert page == ""
    html = (tmp_path / "pages" / "nb.ipynb.html").read_text()
    assert "<title>Pipeline diff: %s \u2192 %s</title>" % (prev, current) in html
    assert str(tmp_path) not in html


@pytest.mark.parametrize("format", ["json", "text", "html"])
def test_rev_path_operands_read_the_revisions_files(repo, env, tmp_path, format):
    files = versions_as_files(repo, env, tmp_path, "HEAD~1:nb.ipynb", "nb.ipynb")
    got = ok([QORDIFF, "--format=" + format, "HEAD~1:nb.ipynb", "nb.ipynb"], repo, env)
    from_files = ok([QORDIFF, "--format=" + format, *files], repo, env)
    if format == "html":
        assert "Pipeline diff: HEAD~1:nb.ipynb \u2192 nb.ipynb" in got
        got = got.replace("HEAD~1:nb.ipynb", "P").replace("nb.ipynb", "C")
        from_files = from_files.replace(str(files[0]), "P").replace(str(files[1]), "C")
    assert got == from_files
    # From a subdirectory, REV:PATH is read from the top and REV:./PATH from here, as git does.
    sub = repo / "sub"
    assert ok([QORDIFF, "HEAD:sub/new.ipynb", "HEAD:./new.ipynb"], sub, env) == ok(
        [QORDIFF, "new.ipynb", "new.ipynb"], sub, env)


def test_textconv_reads_a_revisions_file(repo, env, tmp_path):
    prev, _ = versions_as_files(repo, env, tmp_path, "HEAD~1:nb.ipynb", "nb.ipynb")
    assert ok([QORDIFF, "--textconv", "HEAD~1:nb.ipynb"], repo, env) == ok(
        [QORDIFF, "--textconv", prev], repo, env)
    # A staged file that is no notebook shows as the text it is, as the file itself does.
    (repo / "broken.ipynb").write_text("{not json\n")
    ok(["git", "add", "broken.ipynb"], repo, env)
    assert ok([QORDIFF, "--textconv", ":broken.ipynb"], repo, env) == ok(
        [QORDIFF, "--textconv", "broken.ipynb"], repo, env)


def test_one_report_per_notebook_with_added_and_removed_ones(repo, env):
    lines = ok([QORDIFF, "--format=json", "HEAD~1"], repo, env).splitlines()
    got = [(e["path"], e["status"], e["prev"], e["current"]) for e in map(json.loads, lines)]
    assert got == [("nb.ipynb", "modified", "HEAD~1:nb.ipynb", "nb.ipynb"),
                   ("sub/new.ipynb", "added", None, "sub/new.ipynb"),
                   ("sub/old.ipynb", "removed", "HEAD~1:sub/old.ipynb", None)]
    text = ok([QORDIFF, "--format=text", "HEAD~1", "--", "sub"], repo, env)
    assert text == ("--- HEAD~1:sub/new.ipynb (absent)\n+++ sub/new.ipynb\nparameters\n"
                    "  + seed: \"1\" (int)\n\n1 parameter added\n\n"
                    "--- HEAD~1:sub/old.ipynb\n+++ sub/old.ipynb (absent)\n"
                    + text.split("+++ sub/old.ipynb (absent)\n")[1])
    assert text.endswith("5 components removed; 3 parameters removed; 1 markdown cell removed\n")
    # From a subdirectory, paths are read from there and shown from the top, as git shows them.
    assert ok([QORDIFF, "--format=text", "HEAD~1", "--", "new.ipynb"], repo / "sub", env) == (
        text.split("\n\n--- HEAD~1:sub/old")[0] + "\n")
    # A file that is no notebook is taken only when named; one that cannot be read is an error
    # of its own, and the others are still shown.
    got = run([QORDIFF, "HEAD", "HEAD~1", "--", "notes.txt", "nb.ipynb", "sub"], repo, env)
    assert got.returncode == 1
    assert got.stderr == ("qordiff: error: HEAD:notes.txt (previous version): Expecting value: "
                          "line 1 column 1 (char 0)\n")
    assert [json.loads(line)["path"] for line in got.stdout.splitlines()] == [
        "nb.ipynb", "sub/new.ipynb", "sub/old.ipynb"]
    # Nothing differs: nothing is shown.
    assert ok([QORDIFF, "HEAD", "HEAD", "--"], repo, env) == ""


def test_pages_of_several_notebooks_go_into_a_directory_or_the_browser(repo, env, tmp_path):
    got = run([QORDIFF, "--format=html", "HEAD~1", "--"], repo, env)
    assert got.returncode == 2
    assert got.stderr.endswith("qordiff: error: 3 notebooks differ and html shows one notebook a "
                               "page: name a directory for the pages with -o DIR/, or open them "
                               "with --browser\n")
    ok([QORDIFF, "--format=html", "-o", "%s/out/" % tmp_path, "HEAD~1", "--"], repo, env)
    pages = sorted(str(p.relative_to(tmp_path / "out")) for p in (tmp_path / "out").rglob("*.html"))
    assert pages == ["nb.ipynb.html", "sub/new.ipynb.html", "sub/old.ipynb.html"]
    browser = fake_browser(tmp_path)
    out = ok([QORDIFF, "--browser", "HEAD~1", "--", "sub"], repo, dict(env, BROWSER=browser))
    opened = (tmp_path / "opened").read_text().splitlines()
    assert [pathlib.Path(p).name for p in opened] == ["new.ipynb.html", "old.ipynb.html"]
    assert out == "".join("qordiff: the page of sub/%s: %s\n" % (pathlib.Path(p).name[:-5], p)
                          for p in opened)
    for page in opened:  # in a directory of their own, readable by their owner only
        directory = pathlib.Path(page).parents[1]
        assert directory.parent == tmp_path and directory.name.startswith("qordiff-")
        assert stat.S_IMODE(directory.stat().st_mode) == 0o700


def count_git_runs(repo, env, tmp_path, args):
    shim = tmp_path / "shim"
    shim.mkdir(exist_ok=True)
    log = tmp_path / "git-runs"
    log.write_text("")
    (shim / "git").write_text('#!/bin/sh\necho "$1" >> %s\nexec %s "$@"\n'
                              % (log, shutil.which("git")))
    (shim / "git").chmod(0o755)
    ok([QORDIFF, *args], repo, dict(env, PATH="%s:%s" % (shim, env["PATH"])))
    return log.read_text().split()


def test_git_runs_a_fixed_number_of_times_however_many_notebooks(repo, env, tmp_path):
    for i in range(6):
        (repo / ("extra%d.ipynb" % i)).write_text(example("base"))
    ok(["git", "add", "."], repo, env)
    ok(["git", "commit", "-qm", "extra"], repo, env)
    for i in range(6):
        (repo / ("extra%d.ipynb" % i)).write_text(example("incoming"))
    one = count_git_runs(repo, env, tmp_path, ["HEAD~2", "HEAD", "--", "nb.ipynb"])
    many = count_git_runs(repo, env, tmp_path, ["HEAD~2", "HEAD", "--"])
    assert one == many == ["rev-parse", "rev-parse", "rev-parse", "diff", "cat-file"]
    assert count_git_runs(repo, env, tmp_path, ["HEAD~1"]) == [
        "rev-parse", "rev-parse", "rev-parse", "diff", "cat-file"]
    assert count_git_runs(repo, env, tmp_path, ["HEAD~1:nb.ipynb", "HEAD:nb.ipynb"]) == ["cat-file"]
    assert count_git_runs(repo, env, tmp_path, ["nb.ipynb", "nb.ipynb"]) == []


@pytest.mark.parametrize("args,status,message", [
    (["HEAD", "HEAD~1", "HEAD~2", "--", "nb.ipynb"], 2,
     "expected one or two revisions before --, got 3"),
    (["--browser", "--format=json", "HEAD", "--"], 2,
     "--browser shows the html page: leave out --format or give html"),
    (["--browser", "-o", "x", "HEAD", "--"], 2, "choose one of --browser and -o"),
    (["--difftool", "a", "b"], 2, "--difftool takes LOCAL, REMOTE and MERGED, got 2 arguments"),
    (["nope", "--", "nb.ipynb"], 1, "nope: not a revision (no commit of that name in this repository)"),
    (["-x", "--", "nb.ipynb"], 2, "unrecognized arguments: -x"),
    (["HEAD~1:missing.ipynb", "nb.ipynb"], 1,
     "HEAD~1:missing.ipynb: no such file, nor a file at that revision (git: missing)"),
    (["HEAD:sub", "nb.ipynb"], 1, "HEAD:sub: a tree in git, not a file"),
    (["missing.ipynb", "nb.ipynb"], 1,
     "missing.ipynb (previous version): [Errno 2] No such file or directory: 'missing.ipynb'"),
    (["nope"], 2, "expected 2 files, PREV and CURRENT, got 1"),
])
def test_usage_and_errors(repo, env, args, status, message):
    got = run([QORDIFF, *args], repo, env)
    assert (got.returncode, got.stdout) == (status, "")
    assert got.stderr.endswith("qordiff: error: %s\n" % message), got.stderr


def test_files_stay_files(repo, env, tmp_path):
    # A file wins over a revision of the same name, with "--" before the files as before.
    shutil.copy(repo / "nb.ipynb", repo / "HEAD")
    assert not ok([QORDIFF, "--format=text", "HEAD", "nb.ipynb"], repo, env).startswith("---")
    both = ok([QORDIFF, "--", "HEAD", "nb.ipynb"], repo, env)
    assert json.loads(both)["cells"] and "path" not in json.loads(both)
    outside = tmp_path / "outside"
    outside.mkdir()
    got = run([QORDIFF, "a:b.ipynb", "c.ipynb"], outside, env)
    assert got.returncode == 1 and "a:b.ipynb: no such file, and git cannot read it as REV:PATH" \
        in got.stderr


def fake_browser(tmp_path):
    """A browser that notes each file it is given and keeps a copy of it."""
    browser = tmp_path / "browser"
    browser.write_text('#!/bin/sh\necho "$1" >> %s\ncp "$1" %s/copy-$(basename "$1")\n'
                       % (tmp_path / "opened", tmp_path))
    browser.chmod(0o755)
    return str(browser)


def test_git_difftool_shows_text_or_opens_the_page(repo, env, tmp_path):
    before = ok(["git", "config", "--list", "--local"], repo, env)
    out = ok([QORGIT, "install", "--difftool"], repo, env)
    command = "'%s' --difftool \"$LOCAL\" \"$REMOTE\" \"$MERGED\"" % QORDIFF
    assert "set difftool.qordiff.cmd = %s (local configuration" % command in out
    assert ok(["git", "config", "difftool.qordiff.cmd"], repo, env) == command + "\n"

    # Text in the terminal, headed by the notebook's path; a missing side is absent.
    text = ok(["git", "difftool", "--tool=qordiff", "-y", "--no-renames", "HEAD~1", "--",
               "nb.ipynb", "sub"], repo, env)
    assert text.startswith("--- a/nb.ipynb\n+++ b/nb.ipynb\nmodified  clean")
    assert "--- a/sub/new.ipynb (absent)\n+++ b/sub/new.ipynb\n" in text
    assert "--- a/sub/old.ipynb\n+++ b/sub/old.ipynb (absent)\n" in text
    assert "notes" not in text

    # The page, where the install asked for it: opened in the browser from a file that
    # outlives git's temporary ones. A later install keeps the choice.
    ok([QORGIT, "install", "--difftool=html"], repo, env)
    ok([QORGIT, "install"], repo, env)
    assert "--browser" in ok(["git", "config", "difftool.qordiff.cmd"], repo, env)
    browser = fake_browser(tmp_path)
    out = ok(["git", "difftool", "--tool=qordiff", "-y", "HEAD~1", "--", "nb.ipynb"], repo,
             dict(env, BROWSER=browser))
    [page] = (tmp_path / "opened").read_text().splitlines()
    assert out == "qordiff: the page of nb.ipynb: %s\n" % page
    html = pathlib.Path(page).read_text()
    assert "<title>Pipeline diff: a/nb.ipynb \u2192 b/nb.ipynb</title>" in html
    assert "2 components changed" in html
    assert "  difftool qordiff: '%s' --difftool --browser" % QORDIFF in ok([QORGIT, "status"], repo,
                                                                          env)

    ok([QORGIT, "uninstall"], repo, env)
    assert run(["git", "config", "difftool.qordiff.cmd"], repo, env).returncode == 1
    assert ok(["git", "config", "--list", "--local"], repo, env) == before
