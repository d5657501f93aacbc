"""Hostile files and failing surroundings, end to end through the qormerge executable.

Every run must end either with the right merged file (exit 0) or with exit 1 and a one-line
error; a failed run leaves the current file byte-identical, and no run leaves a temporary file
or directory behind (next to the current file or in TMPDIR).
"""
import json
import os
import pathlib
import resource
import shutil
import signal
import stat
import subprocess
import sys
import time

import pytest

QORMERGE = os.environ["QORMERGE"]


def cell(kid, source, **extra):
    c = {"cell_type": "code", "execution_count": None, "id": "c-" + kid,
         "metadata": {"canvas": {"id": kid, "name": kid, "parents": []}}, "outputs": [], "source": source}
    c.update(extra)
    return c


def notebook(cells, parameters=()):
    return {"cells": cells, "metadata": {"canvas": {"id": "nb", "parameters": list(parameters)}},
            "nbformat": 4, "nbformat_minor": 5}


BASE = notebook([cell("a", ["x = 1\n"]), cell("b", ["y = 2\n"])], [{"name": "p", "type": "str", "value": "1"}])
INCOMING = notebook([cell("a", ["x = 1\n"]), cell("b", ["y = 3\n"])], [{"name": "p", "type": "str", "value": "1"}])


class Scene:
    """Three notebook files in a scratch directory, with a private TMPDIR."""

    def __init__(self, root, current_name="current.ipynb"):
        self.dir = root / "work"
        self.dir.mkdir(exist_ok=True)
        self.tmp = root / "tmp"
        self.tmp.mkdir(exist_ok=True)
        self.base = self.dir / "base.ipynb"
        self.current = self.dir / current_name
        self.incoming = self.dir / "incoming.ipynb"
        for path, doc in ((self.base, BASE), (self.current, BASE), (self.incoming, INCOMING)):
            path.write_text(json.dumps(doc, indent=1))

    def run(self, extra_env=None, preexec=None, current=None):
        env = dict(os.environ, TMPDIR=str(self.tmp))
        env.update(extra_env or {})
        return subprocess.run(
            [QORMERGE, "--base-file=%s" % self.base, "--current-file=%s" % (current or self.current),
             "--incoming-file=%s" % self.incoming, "--file-path=nb.ipynb"],
            capture_output=True, text=True, env=env, preexec_fn=preexec)

    def leftovers(self):
        names = sorted(p.name for p in self.dir.iterdir())
        temp = [n for n in names if ".qor-" in n]
        return temp + sorted(p.name for p in self.tmp.iterdir())


def expect_failure(scene, result, before, message_part):
    assert result.returncode == 1, result.stderr
    assert result.stdout == ""
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("qormerge: error: "), result.stderr
    assert message_part in lines[0], lines[0]
    assert scene.current.read_bytes() == before
    assert scene.leftovers() == []


BROKEN = [
    ("truncated", b'{"cells": [{"cell_type": "code"', "Expecting"),
    ("byte-order mark", b"\xef\xbb\xbf" + json.dumps(BASE).encode(), "Unexpected UTF-8 BOM"),
    ("invalid UTF-8", b'{"cells": ["\xff"]}', "can't decode byte 0xff"),
    ("deep nesting", b"[" * 100000 + b"]" * 100000, "Nesting deeper than 1000 levels"),
    ("top level not an object", b"[1, 2]", "the notebook must be a dict, not list"),
    ("cells not a list", b'{"cells": {"a": 1}}', "cells must be a list, not dict"),
    ("missing canvas id", json.dumps(notebook([{"metadata": {"canvas": {}}, "source": []}])).encode(),
     "cell 0: missing metadata.canvas.id: every cell needs a component id"),
    ("markdown cell without canvas", json.dumps(notebook([{"cell_type": "markdown", "source": []}])).encode(),
     "cell 0 (markdown): missing metadata.canvas.id: every cell needs a component id"),
    ("metadata a list", json.dumps(notebook([{"metadata": [], "source": []}])).encode(),
     "cell 0: metadata must be a dict, not list"),
    ("component id a number", json.dumps(notebook([cell("a", [])]) | {}).replace('"id": "a"', '"id": 5').encode(),
     "cell 0 'a' (code): metadata.canvas.id must be a str, not int"),
    ("parameters not a list", json.dumps(dict(BASE, metadata={"canvas": {"parameters": {}}})).encode(),
     "metadata.canvas.parameters must be a list, not dict"),
    ("a huge integer beyond the limit", b'{"cells": [' + b"1" * 5000 + b"]}", "Exceeds the limit (4300 digits)"),
    ("empty file", b"", "Expecting value: line 1 column 1 (char 0)"),
]


@pytest.mark.parametrize("side", ["base", "current", "incoming"])
@pytest.mark.parametrize("name, content, message", BROKEN, ids=[b[0] for b in BROKEN])
def test_broken_notebooks_fail_cleanly(tmp_path, side, name, content, message):
    scene = Scene(tmp_path)
    getattr(scene, side).write_bytes(content)
    before = scene.current.read_bytes()
    # Named by --file-path and the version, whatever git called the file it wrote.
    expect_failure(scene, scene.run(), before, "qormerge: error: nb.ipynb (%s version): " % side)
    expect_failure(scene, scene.run(), before, message)


def test_a_name_of_the_wrong_type_fails_cleanly(tmp_path):
    scene = Scene(tmp_path)
    doc = json.loads(json.dumps(INCOMING))
    doc["cells"][1]["metadata"]["canvas"]["name"] = 7
    scene.incoming.write_text(json.dumps(doc))
    before = scene.current.read_bytes()
    expect_failure(scene, scene.run(), before,
                   "nb.ipynb (incoming version): cell 1 (code, id 'b'): metadata.canvas.name must be a str, not int")


@pytest.mark.parametrize("text", [
    "1" * 1000, "-" + "9" * 999, "NaN", "Infinity", "-Infinity", '"\\ud800 lone \\udfff"', "1e-320", "-0.0",
])
def test_unusual_values_are_kept_exactly(tmp_path, text):
    scene = Scene(tmp_path)
    for path, doc in ((scene.base, BASE), (scene.current, BASE), (scene.incoming, INCOMING)):
        raw = json.dumps(doc).replace('"execution_count": null', '"execution_count": %s' % text, 1)
        path.write_text(raw)
    result = scene.run()
    assert (result.returncode, result.stderr) == (0, "")
    merged = scene.current.read_text()
    assert '"execution_count": %s' % text in merged
    assert '"y = 3\\n"' in merged  # the incoming change
    assert merged.isascii() and scene.leftovers() == []


def test_symbolic_link_as_current_file(tmp_path):
    scene = Scene(tmp_path)
    link = scene.dir / "link.ipynb"
    link.symlink_to(scene.current.name)
    result = scene.run(current=link)
    assert result.returncode == 0, result.stderr
    assert link.is_symlink()
    assert '"y = 3\\n"' in scene.current.read_text()
    assert scene.leftovers() == []


# SIGXFSZ ignored by the caller, or with its default action (qormerge then ignores it itself):
# either way a file-size limit is a write error like any other.
@pytest.mark.parametrize("caller_ignores_sigxfsz", [True, False])
def test_write_failing_midway(tmp_path, caller_ignores_sigxfsz):
    scene = Scene(tmp_path)
    doc = json.loads(json.dumps(INCOMING))
    doc["cells"][1]["source"] = ["z\n"] * 20000
    scene.incoming.write_text(json.dumps(doc))
    before = scene.current.read_bytes()

    def limit():
        if caller_ignores_sigxfsz:
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (50000, 50000))

    expect_failure(scene, scene.run(preexec=limit), before, "File too large")


def test_current_path_that_is_a_directory_or_missing(tmp_path):
    scene = Scene(tmp_path)
    result = scene.run(current=scene.dir)
    assert result.returncode == 1 and "Is a directory" in result.stderr
    result = scene.run(current=scene.dir / "nope" / "x.ipynb")
    assert result.returncode == 1 and "No such file or directory" in result.stderr
    assert scene.leftovers() == []


@pytest.mark.parametrize("what", ["file", "directory"])
def test_unwritable_current_file_or_directory(tmp_path, what):
    scene = Scene(tmp_path)
    before = scene.current.read_bytes()
    target = scene.current if what == "file" else scene.dir
    mode = target.stat().st_mode
    target.chmod(0o444 if what == "file" else 0o555)
    try:
        result = scene.run()
    finally:
        target.chmod(stat.S_IMODE(mode))
    if result.returncode == 0:  # permissions do not bind root
        assert os.geteuid() == 0
        assert '"y = 3\\n"' in scene.current.read_text()
    else:
        expect_failure(scene, result, before, "Permission denied")
    assert scene.leftovers() == []


def conflicting(scene):
    """Makes both sides change cell b's source, so that the merge runs git."""
    doc = json.loads(json.dumps(BASE))
    doc["cells"][1]["source"] = ["y = 4\n"]
    scene.current.write_text(json.dumps(doc))


def test_git_missing_from_path(tmp_path):
    scene = Scene(tmp_path)
    conflicting(scene)
    before = scene.current.read_bytes()
    empty = tmp_path / "empty"
    empty.mkdir()
    expect_failure(scene, scene.run({"PATH": str(empty)}), before, "[Errno 2] No such file or directory: 'git'")


@pytest.mark.parametrize("script, message", [
    ("echo 'fatal: broken repository' >&2; exit 128", "exit status 128: fatal: broken repository"),
    ("kill -SEGV $$", "was killed by signal 11"),
])
def test_git_failing(tmp_path, script, message):
    scene = Scene(tmp_path)
    conflicting(scene)
    before = scene.current.read_bytes()
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    fake = bin_dir / "git"
    fake.write_text("#!/bin/sh\n%s\n" % script)
    fake.chmod(0o755)
    expect_failure(scene, scene.run({"PATH": "%s:%s" % (bin_dir, os.environ["PATH"])}), before, message)


@pytest.mark.parametrize("name", ["with space.ipynb", "new\nline.ipynb", "-dash.ipynb", "nöte-ß-名前.ipynb"])
def test_unusual_paths(tmp_path, name):
    scene = Scene(tmp_path, current_name=name)
    conflicting(scene)
    result = scene.run()
    assert result.returncode == 0, result.stderr
    source = json.loads(scene.current.read_text())["cells"][1]["source"]
    assert source[0] == "<<<<<<< nb.ipynb-current\n"
    assert scene.leftovers() == []


def test_ten_merges_at_once_in_one_directory(tmp_path):
    scene = Scene(tmp_path)
    currents = []
    for k in range(10):
        path = scene.dir / ("current-%d.ipynb" % k)
        doc = json.loads(json.dumps(BASE))
        doc["cells"][1]["source"] = ["y = %d\n" % (100 + k)]  # a conflict for each: git runs
        path.write_text(json.dumps(doc))
        currents.append(path)
    env = dict(os.environ, TMPDIR=str(scene.tmp))
    procs = [subprocess.Popen([QORMERGE, "--base-file", str(scene.base), "--current-file", str(p),
                               "--incoming-file", str(scene.incoming), "--file-path", p.name],
                              stderr=subprocess.PIPE, env=env) for p in currents]
    for p in procs:
        assert p.wait() == 0, p.stderr.read()
        p.stderr.close()
    for k, path in enumerate(currents):
        source = json.loads(path.read_text())["cells"][1]["source"]
        assert source == ["<<<<<<< %s-current\n" % path.name, "y = %d\n" % (100 + k), "=======\n", "y = 3\n",
                          ">>>>>>> %s-incoming\n" % path.name]
    assert scene.leftovers() == []


# ---------------------------------------------------------------------------------------------
# Hostile notebooks: the short forms of the benchmark's generators. Each merge must finish inside
# a CPU-time and address-space limit that unbounded work on them would break many times over
# (bounds against runaway work, not timings: a bounded merge of each takes well under a second).

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))
import gen  # noqa: E402


def bounded():
    resource.setrlimit(resource.RLIMIT_CPU, (10, 10))
    resource.setrlimit(resource.RLIMIT_AS, (512 << 20, 512 << 20))


@pytest.mark.parametrize("name", list(gen.HOSTILE))
def test_hostile_generators_merge_within_bounds(tmp_path, name):
    scene = Scene(tmp_path)
    base, current, incoming = gen.HOSTILE[name][1]()
    for path, doc in ((scene.base, base), (scene.current, current), (scene.incoming, incoming)):
        path.write_text(json.dumps(doc))
    result = scene.run(preexec=bounded)
    assert (result.returncode, result.stderr) == (0, "")
    merged = json.loads(scene.current.read_text())
    # The current side's hostile cells and the incoming side's change, both taken over.
    assert [c["outputs"] for c in merged["cells"][:-1]] == [c["outputs"] for c in current["cells"][:-1]]
    assert merged["cells"][-1]["source"] == ["z = 2\n"]
    assert scene.leftovers() == []


# ---------------------------------------------------------------------------------------------
# Files: what is written, and where.

def test_a_name_of_255_bytes(tmp_path):
    scene = Scene(tmp_path, current_name="n" * 249 + ".ipynb")
    result = scene.run()
    assert (result.returncode, result.stderr) == (0, "")
    assert '"y = 3\\n"' in scene.current.read_text()
    assert scene.leftovers() == []


def test_a_hard_linked_current_file_is_written_in_place(tmp_path):
    scene = Scene(tmp_path)
    other = scene.dir / "other-name.ipynb"
    os.link(scene.current, other)
    inode = scene.current.stat().st_ino
    result = scene.run()
    assert (result.returncode, result.stderr) == (0, "")
    assert scene.current.stat().st_ino == inode and scene.current.stat().st_nlink == 2
    assert other.read_bytes() == scene.current.read_bytes()
    assert '"y = 3\\n"' in other.read_text()
    assert scene.leftovers() == []


def fake_git(tmp_path, script):
    """A directory holding a `git` that runs `script` (sh), with $REAL_GIT the real one."""
    bin_dir = tmp_path / "fakebin"
    bin_dir.mkdir(exist_ok=True)
    fake = bin_dir / "git"
    fake.write_text("#!/bin/sh\n%s\n" % script)
    fake.chmod(0o755)
    return {"PATH": "%s:%s" % (bin_dir, os.environ["PATH"]), "REAL_GIT": shutil.which("git")}


def test_a_current_file_swapped_for_a_link_meanwhile_is_left_alone(tmp_path):
    scene = Scene(tmp_path)
    conflicting(scene)
    victim = tmp_path / "victim.ipynb"
    victim.write_text("precious")
    moved = scene.dir / "moved.ipynb"
    env = fake_git(tmp_path, 'mv "$CUR" "$MOVED" && ln -s "$VICTIM" "$CUR" && exec "$REAL_GIT" "$@"')
    env.update(CUR=str(scene.current), MOVED=str(moved), VICTIM=str(victim))
    before = scene.current.read_bytes()
    result = scene.run(env)
    assert result.returncode == 1
    assert "no longer leads to the file that was read" in result.stderr
    assert victim.read_text() == "precious"
    assert moved.read_bytes() == before
    assert scene.current.is_symlink()
    assert scene.leftovers() == []


def test_a_relative_tmpdir_that_looks_like_an_option(tmp_path):
    scene = Scene(tmp_path)
    conflicting(scene)
    (scene.dir / "-tmp").mkdir()
    result = subprocess.run(
        [QORMERGE, "--base-file=base.ipynb", "--current-file=current.ipynb",
         "--incoming-file=incoming.ipynb", "--file-path=nb.ipynb"],
        capture_output=True, text=True, cwd=scene.dir, env=dict(os.environ, TMPDIR="-tmp"))
    assert (result.returncode, result.stderr) == (0, "qormerge: nb.ipynb: 1 conflict block (b)\n")
    source = json.loads(scene.current.read_text())["cells"][1]["source"]
    assert source[0] == "<<<<<<< nb.ipynb-current\n"
    assert list((scene.dir / "-tmp").iterdir()) == []


def test_an_unusable_tmpdir_falls_back_as_pythons_tempfile_does(tmp_path):
    scene = Scene(tmp_path)
    doc = json.loads(json.dumps(BASE))
    doc["cells"][1]["source"] = ["y = 4\n", "\0\n"]  # git must judge it: the versions go in files
    scene.current.write_text(json.dumps(doc))
    before = scene.current.read_bytes()
    for unusable in ("/nonexistent", str(scene.base)):
        # The files reach git (which refuses the NUL byte) from the next place, TEMP.
        expect_failure(scene, scene.run({"TMPDIR": unusable, "TEMP": str(scene.tmp)}), before,
                       "failed with exit status 255: error: Cannot merge binary files: %s/qor-merge-"
                       % scene.tmp)


def test_an_invalid_source_is_reported_as_its_own_version(tmp_path):
    scene = Scene(tmp_path)
    conflicting(scene)
    doc = json.loads(json.dumps(INCOMING))
    doc["cells"][1]["source"] = ["y = 3\ud800\n"]
    scene.incoming.write_text(json.dumps(doc))
    expect_failure(scene, scene.run(), scene.current.read_bytes(),
                   "qormerge: error: nb.ipynb (incoming version): cell 1 'b' (code): merging the "
                   "source: 'utf-8' codec can't encode character '\\ud800': surrogates not allowed")


def test_git_missing_says_what_to_do(tmp_path):
    scene = Scene(tmp_path)
    conflicting(scene)
    empty = tmp_path / "empty"
    empty.mkdir()
    result = scene.run({"PATH": str(empty)})
    assert result.returncode == 1
    assert "cannot run git" in result.stderr and "installed and on the PATH" in result.stderr


root_only = pytest.mark.skipif(os.geteuid() != 0, reason="needs root (CI runs the tests as root)")
NOBODY = 65534


@root_only
def test_root_keeps_the_owner_group_and_mode_of_the_file(tmp_path):
    scene = Scene(tmp_path)
    os.chown(scene.current, NOBODY, NOBODY)
    scene.current.chmod(0o640)
    result = scene.run()
    assert (result.returncode, result.stderr) == (0, "")
    st = scene.current.stat()
    assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (NOBODY, NOBODY, 0o640)
    assert '"y = 3\\n"' in scene.current.read_text()


def as_nobody():
    os.setgroups([])
    os.setgid(NOBODY)
    os.setuid(NOBODY)


@pytest.fixture
def open_tmp():
    """A scratch directory that another user can reach (pytest's own is private to root)."""
    import tempfile
    path = pathlib.Path(tempfile.mkdtemp(prefix="qor-test-"))
    path.chmod(0o755)
    yield path
    shutil.rmtree(path)


@root_only
@pytest.mark.parametrize("links", [1, 2])
def test_a_file_in_a_directory_that_refuses_new_files_is_left_as_it_was(open_tmp, links):
    """Neither a new file nor, to write it in place, a copy of its old content can go beside it:
    nothing is written, whatever the method."""
    scene = Scene(open_tmp)
    for path in (scene.dir, scene.tmp):
        path.chmod(0o755)
    os.chown(scene.tmp, NOBODY, NOBODY)
    os.chown(scene.current, NOBODY, NOBODY)  # nobody may write the file, not the directory
    if links == 2:
        os.link(scene.current, open_tmp / "other-name.ipynb")
    what = ("creating a copy of its old content in '%s', which writing it in place needs"
            if links == 2 else "creating a file in '%s' to replace it with") % scene.dir
    expect_failure(scene, scene.run(preexec=as_nobody), scene.current.read_bytes(),
                   "qormerge: error: nb.ipynb (current version): cannot write '%s': [Errno 13] "
                   "Permission denied (%s); nothing was written" % (scene.current, what))


@root_only
def test_a_file_whose_owner_could_not_be_kept_is_written_in_place(open_tmp):
    scene = Scene(open_tmp)
    for path in (scene.dir, scene.tmp):
        path.chmod(0o777)
    os.chown(scene.current, 0, NOBODY)
    scene.current.chmod(0o664)  # nobody writes it through its group
    result = scene.run(preexec=as_nobody)
    assert (result.returncode, result.stderr) == (0, "")
    st = scene.current.stat()
    assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (0, NOBODY, 0o664)
    assert '"y = 3\\n"' in scene.current.read_text()
    assert scene.leftovers() == []


# ---------------------------------------------------------------------------------------------
# Signals, sent for real to the running executable.

@pytest.mark.parametrize("sig,nul", [(signal.SIGINT, False), (signal.SIGTERM, False),
                                     (signal.SIGHUP, False), (signal.SIGTERM, True)])
def test_a_terminating_signal_while_git_runs_removes_our_files(tmp_path, sig, nul):
    scene = Scene(tmp_path)
    conflicting(scene)
    if nul:  # git is handed files, not memory: it must judge a NUL byte itself
        doc = json.loads(scene.current.read_text())
        doc["cells"][1]["source"].append("\0\n")
        scene.current.write_text(json.dumps(doc))
    ready = tmp_path / "git-started"
    env = fake_git(tmp_path, 'touch "$READY"; exec sleep 60')
    env["READY"] = str(ready)
    before = scene.current.read_bytes()
    proc = subprocess.Popen(
        [QORMERGE, "--base-file=%s" % scene.base, "--current-file=%s" % scene.current,
         "--incoming-file=%s" % scene.incoming], stderr=subprocess.PIPE,
        env=dict(os.environ, TMPDIR=str(scene.tmp), **env))
    deadline = time.monotonic() + 30
    while not ready.exists() and time.monotonic() < deadline:
        time.sleep(0.01)
    assert ready.exists()
    # Our work directory while git runs, if any.
    assert len(list(scene.tmp.iterdir())) == (1 if nul else 0)
    proc.send_signal(sig)
    assert proc.wait(timeout=30) == -sig
    proc.stderr.close()
    assert scene.current.read_bytes() == before
    assert scene.leftovers() == []


def test_a_closed_pipe_on_standard_error_does_not_end_a_verbose_merge(tmp_path):
    scene = Scene(tmp_path)
    read_end, write_end = os.pipe()
    os.close(read_end)  # every write to it raises SIGPIPE (or EPIPE)
    try:
        proc = subprocess.run(
            [QORMERGE, "-v", "--base-file=%s" % scene.base, "--current-file=%s" % scene.current,
             "--incoming-file=%s" % scene.incoming], stderr=write_end,
            env=dict(os.environ, TMPDIR=str(scene.tmp)))
    finally:
        os.close(write_end)
    assert proc.returncode == 0
    assert '"y = 3\\n"' in scene.current.read_text()


def test_a_closed_standard_error_never_reaches_our_files(tmp_path):
    scene = Scene(tmp_path)
    conflicting(scene)  # a source merge: temporary files are opened while debug records go out
    proc = subprocess.run(
        [QORMERGE, "--verbose", "--base-file=%s" % scene.base, "--current-file=%s" % scene.current,
         "--incoming-file=%s" % scene.incoming, "--file-path=nb.ipynb"],
        preexec_fn=lambda: os.close(2), env=dict(os.environ, TMPDIR=str(scene.tmp)))
    assert proc.returncode == 0
    merged = json.loads(scene.current.read_text())
    assert merged["cells"][1]["source"][0] == "<<<<<<< nb.ipynb-current\n"
    assert scene.leftovers() == []


def huge_incoming_outputs(scene):
    """Gives the incoming side's cell b outputs far larger than 64 MB once parsed."""
    doc = json.loads(json.dumps(INCOMING))
    doc["cells"][1]["outputs"] = [{"k": [i, i + 1]} for i in range(400000)]
    scene.incoming.write_text(json.dumps(doc))


def limit_memory():
    resource.setrlimit(resource.RLIMIT_AS, (64 << 20, 64 << 20))


def test_running_out_of_memory_names_the_notebook(tmp_path):
    scene = Scene(tmp_path)
    # The current side deletes cell b, the incoming side changes only its outputs: whether the
    # cell comes back depends on those outputs, which the merge must read whole.
    current = json.loads(json.dumps(BASE))
    del current["cells"][1]
    scene.current.write_text(json.dumps(current))
    incoming = json.loads(json.dumps(BASE))
    incoming["cells"][1]["outputs"] = [{"k": [i, i + 1]} for i in range(400000)]
    scene.incoming.write_text(json.dumps(incoming))
    before = scene.current.read_bytes()
    expect_failure(scene, scene.run(preexec=limit_memory), before,
                   "qormerge: error: nb.ipynb: out of memory (merging these notebooks needs more memory")


@pytest.mark.parametrize("both_sides", [False, True], ids=["incoming side", "both sides"])
def test_a_changed_cell_is_merged_without_reading_its_outputs(tmp_path, both_sides):
    scene = Scene(tmp_path)
    if both_sides:
        conflicting(scene)  # the sources are merged, the outputs stay the current side's
    huge_incoming_outputs(scene)
    result = scene.run(preexec=limit_memory)
    assert result.returncode == 0, result.stderr
    merged = json.loads(scene.current.read_text())
    if both_sides:
        assert merged["cells"][1]["outputs"] == []
    else:
        assert merged == json.loads(scene.incoming.read_text())
