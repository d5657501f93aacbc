"""What the merge leaves on disk however it ends: interrupted by every terminating signal and by
SIGKILL at random moments on each way the current file is written, the notebook is the old one,
the new one, or (written in place) beside a copy of the old one that the merge and `qorgit check`
name; the replacement keeps ACLs and extended attributes (set and read with Debian's acl and attr
tools)."""
import json
import os
import shutil
import signal
import stat
import subprocess

import pytest

import interruptions

QORMERGE = os.environ["QORMERGE"]
QORGIT = os.environ["QORGIT"]
root_only = pytest.mark.skipif(os.geteuid() != 0, reason="needs root (CI runs the tests as root)")
needs_acl_tools = pytest.mark.skipif(not (shutil.which("setfacl") and shutil.which("setfattr")),
                                     reason="Debian's acl and attr are not installed")
NOBODY = interruptions.NOBODY


@pytest.mark.parametrize("sig", interruptions.SIGNALS, ids=lambda s: s.name)
@pytest.mark.parametrize("way", list(interruptions.WAYS))
def test_no_interruption_leaves_a_notebook_that_is_neither_old_nor_new(way, sig):
    if interruptions.WAYS[way] and os.geteuid() != 0:
        pytest.skip("needs root (CI runs the tests as root)")
    verdicts, leftovers, _ = interruptions.interrupt(QORMERGE, way, sig, runs=20, size=2 << 20)
    assert verdicts["corrupt"] == 0, verdicts
    assert sum(verdicts.values()) == 20
    if way == "refusing directory":
        assert verdicts["old"] == 20
    if way == "atomic" or sig != signal.SIGKILL:
        assert verdicts["kept"] == 0, verdicts  # a copy stays only where a kill cut a write short
    # Only SIGKILL, in the moment between linking the new file in and renaming it, can leave one.
    assert sum(leftovers.values()) <= (1 if sig == signal.SIGKILL else 0), leftovers


def merge(scene, preexec=None):
    return subprocess.run(
        [QORMERGE, "--base-file=%s" % scene.base, "--current-file=%s" % scene.current,
         "--incoming-file=%s" % scene.incoming, "--file-path=nb.ipynb"],
        capture_output=True, text=True, preexec_fn=preexec, env=dict(os.environ, TMPDIR=str(scene.tmp)))


@pytest.fixture
def scene():
    s = interruptions.Scene(QORMERGE, "atomic", 4096)
    yield s
    s.close()


def tool(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


@needs_acl_tools
def test_the_replacement_keeps_acls_and_extended_attributes(scene):
    path = str(scene.current)
    scene.current.chmod(0o640)
    tool("setfacl", "-m", "group::---,user:nobody:r--", path)
    tool("setfattr", "-n", "user.origin", "-v", "lab notebook", path)
    tool("setfattr", "-n", "user.empty", path)
    acl, attributes = tool("getfacl", "-p", path), tool("getfattr", "-d", "-m", "user.", path)
    inode = scene.current.stat().st_ino
    result = merge(scene)
    assert (result.returncode, result.stderr) == (0, "")
    assert scene.current.read_bytes() == scene.new
    assert scene.current.stat().st_ino != inode  # replaced, not written in place
    assert tool("getfacl", "-p", path) == acl
    assert "group::---" in acl and "user:nobody:r--" in acl
    assert stat.S_IMODE(scene.current.stat().st_mode) == 0o640
    assert tool("getfattr", "-d", "-m", "user.", path) == attributes
    assert 'user.origin="lab notebook"' in attributes


@needs_acl_tools
def test_a_default_acl_of_the_directory_does_not_reach_the_replacement(scene):
    path = str(scene.current)
    tool("setfacl", "-d", "-m", "user:nobody:rwx", str(scene.dir))
    before = tool("getfacl", "-p", path)
    assert "user:nobody" not in before
    result = merge(scene)
    assert (result.returncode, result.stderr) == (0, "")
    assert tool("getfacl", "-p", path) == before
    assert list(scene.dir.iterdir()) == [scene.current]


@root_only
def test_an_attribute_a_new_file_cannot_get_has_the_file_written_in_place(scene):
    """nobody may not give a new file the file capabilities of security.capability: the file is
    written in place, a copy of its old content beside it until the new one is synced."""
    scene.dir.chmod(0o777)
    os.chown(scene.current, NOBODY, NOBODY)
    os.setxattr(scene.current, "security.capability", bytes([0, 0, 0, 2, 0, 4] + [0] * 14))
    inode = scene.current.stat().st_ino
    result = merge(scene, interruptions.as_nobody)
    assert (result.returncode, result.stderr) == (0, "")
    assert scene.current.stat().st_ino == inode
    assert scene.current.read_bytes() == scene.new
    assert sorted(p.name for p in scene.dir.iterdir()) == ["nb.ipynb"]


def test_a_copy_left_by_an_interrupted_write_is_named_until_it_is_dealt_with(scene, tmp_path):
    scene.current.write_bytes(scene.old[: len(scene.old) // 2] + scene.new[len(scene.old) // 2:])
    scene.backup.write_bytes(scene.old)
    half = scene.current.read_bytes()
    result = merge(scene)
    assert result.returncode == 1
    assert result.stderr == (
        "qormerge: error: nb.ipynb (current version): cannot write '%s': an earlier write of it in "
        "place was interrupted, and its old content is kept in '%s': the file may hold neither "
        "version; put that copy back or remove it; nothing was written\n" % (scene.current, scene.backup))
    assert scene.current.read_bytes() == half and scene.backup.read_bytes() == scene.old

    named = "%s: an interrupted write of %s left its old content here; %s may hold neither " \
            "version: put this copy back or remove it" % (scene.backup, scene.current, scene.current)
    got = subprocess.run([QORGIT, "check", str(scene.current)], capture_output=True, text=True)
    assert got.returncode == 1
    assert got.stdout.splitlines()[0] == named
    got = subprocess.run([QORGIT, "check", "--json", str(scene.current)], capture_output=True, text=True)
    assert json.loads(got.stdout)["interrupted_writes"] == [
        {"file": str(scene.current), "backup": str(scene.backup)}]

    # In a repository, wherever it is in the work tree, tracked notebook or not.
    env = {k: v for k, v in os.environ.items() if not k.startswith("GIT_")}
    env.update(HOME=str(tmp_path), GIT_CONFIG_NOSYSTEM="1")
    subprocess.run(["git", "init", "-q", str(scene.dir)], check=True, env=env)
    sub = scene.dir / "sub"
    sub.mkdir()
    got = subprocess.run([QORGIT, "check"], capture_output=True, text=True, cwd=sub, env=env)
    assert got.returncode == 1
    assert got.stdout.splitlines()[0] == (
        "nb.ipynb.qor-backup: an interrupted write of nb.ipynb left its old content here; nb.ipynb "
        "may hold neither version: put this copy back or remove it")

    scene.backup.unlink()  # the user dealt with it: the merge goes on
    assert merge(scene).returncode == 0
    assert subprocess.run([QORGIT, "check", str(scene.current)], capture_output=True).returncode == 0
