"""Interrupting qormerge at random moments while it merges and writes a notebook, on each way
the current file is written, and judging what each interruption left.

A run is started on fresh files, sent a signal after a random delay (half the runs at any moment
up to a little more than an uninterrupted run takes, half in the last quarter of such a run,
where the file is written), and judged by what is then on disk:
  old      the current file as it was, nothing beside it
  new      the merged notebook, nothing beside it
  kept     the copy of the old content beside the file (`<name>.qor-backup`), the file as a kill
           left it: the user finds the copy, and the merge refuses the file until it is dealt with
  corrupt  anything else: the file neither version and no copy of the old one
Files left beside the notebook or in TMPDIR are counted apart. Shared by the suite (a few runs)
and `make bench` (hundreds).
"""
import collections
import json
import os
import pathlib
import random
import shutil
import signal
import subprocess
import tempfile
import time

NOBODY = 65534
SIGNALS = [signal.SIGKILL, signal.SIGINT, signal.SIGTERM, signal.SIGHUP]
# The ways the current file is written, and whether they need root (to run as another user).
WAYS = {"atomic": False, "hard link": False, "owner not keepable": True,
        "refusing directory": True}


def notebook(cells, parameters=()):
    return {"cells": cells, "metadata": {"canvas": {"parameters": list(parameters)}},
            "nbformat": 4, "nbformat_minor": 5}


def cell(kid, source, outputs):
    return {"cell_type": "code", "execution_count": 1, "id": "c-%d" % kid, "outputs": outputs,
            "metadata": {"canvas": {"id": "k%d" % kid, "name": "n%d" % kid, "parents": []}},
            "source": source}


def versions(size):
    """Base, current and incoming texts of about `size` bytes each: the incoming side shortened
    the last cell's source, so that the merged notebook is shorter than the current one (a write
    in place that is not cut to its length leaves the old tail) and differs from it at its end (a
    file written partly is neither)."""
    count = max(4, size // 2200)
    rng = random.Random(7)
    outputs = lambda k: [{"output_type": "stream", "name": "stdout",
                          "text": ["%d %s\n" % (k, "x" * rng.randrange(1500, 2500))]}]
    cells = [cell(k, ["value = %d\n" % k], outputs(k)) for k in range(count)]
    cells[-1]["source"] = ["value = %r\n" % ("y" * 2000)]
    base = notebook(cells)
    incoming = json.loads(json.dumps(base))
    incoming["cells"][-1]["source"] = ["value = 'changed'\n"]
    text = lambda doc: json.dumps(doc).encode()
    return text(base), text(base), text(incoming)


def as_nobody():
    os.setgroups([])
    os.setgid(NOBODY)
    os.setuid(NOBODY)


class Scene:
    """The files of one way of writing, in a scratch directory another user can reach."""

    def __init__(self, qormerge, way, size):
        self.qormerge = qormerge
        self.way = way
        self.root = pathlib.Path(tempfile.mkdtemp(prefix="qor-interrupt-"))
        self.root.chmod(0o755)
        self.dir = self.root / "work"
        self.dir.mkdir()
        self.tmp = self.root / "tmp"
        self.tmp.mkdir()
        self.inputs = self.root / "inputs"
        self.inputs.mkdir()
        base, self.old, incoming = versions(size)
        self.base = self.inputs / "base.ipynb"
        self.incoming = self.inputs / "incoming.ipynb"
        self.base.write_bytes(base)
        self.incoming.write_bytes(incoming)
        self.current = self.dir / "nb.ipynb"
        self.backup = self.dir / "nb.ipynb.qor-backup"
        self.preexec = None
        if way in ("owner not keepable", "refusing directory"):
            self.preexec = as_nobody
            os.chown(self.tmp, NOBODY, NOBODY)
            if way == "owner not keepable":
                self.dir.chmod(0o777)  # nobody may make files here, not give them root's owner
        self.reset()
        self.new = self.merged()

    def close(self):
        shutil.rmtree(self.root)

    def reset(self):
        """The current file as it was before the merge, nothing beside it."""
        for entry in list(self.dir.iterdir()) + list(self.tmp.iterdir()):
            if entry.is_dir():
                shutil.rmtree(entry)
            else:
                entry.unlink()
        other = self.root / "other-name.ipynb"
        if other.exists():
            other.unlink()
        self.current.write_bytes(self.old)
        if self.way == "hard link":
            os.link(self.current, other)
        elif self.way == "owner not keepable":
            os.chown(self.current, 0, NOBODY)
            self.current.chmod(0o664)  # nobody writes it through its group
        elif self.way == "refusing directory":
            os.chown(self.current, NOBODY, NOBODY)  # nobody may write the file, not its directory

    def start(self):
        return subprocess.Popen(
            [self.qormerge, "--base-file=%s" % self.base, "--current-file=%s" % self.current,
             "--incoming-file=%s" % self.incoming, "--file-path=nb.ipynb"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, preexec_fn=self.preexec,
            env=dict(os.environ, TMPDIR=str(self.tmp)))

    def merged(self):
        """The text an uninterrupted run leaves (the old one where the way refuses to write)."""
        proc = self.start()
        _, err = proc.communicate()
        assert proc.returncode in (0, 1), err
        text = self.current.read_bytes()
        self.reset()
        return text

    def judge(self):
        """What an interrupted run left: its verdict, and how many other files."""
        names = {self.current.name, self.backup.name}
        leftovers = [p.name for p in self.dir.iterdir() if p.name not in names]
        leftovers += [p.name for p in self.tmp.iterdir()]
        if self.backup.exists():
            verdict = "kept" if self.backup.read_bytes() == self.old else "corrupt"
        else:
            text = self.current.read_bytes()
            verdict = "old" if text == self.old else "new" if text == self.new else "corrupt"
        return verdict, leftovers


def interrupt(qormerge, way, sig, runs, size=4 << 20, seed=None):
    """`runs` runs of `way`, each sent `sig` at a random moment. Returns the verdicts counted, the
    leftovers counted, and the median time of an uninterrupted run."""
    rng = random.Random(seed)
    scene = Scene(qormerge, way, size)
    try:
        durations = []
        for _ in range(3):
            t0 = time.monotonic()
            proc = scene.start()
            proc.communicate()
            durations.append(time.monotonic() - t0)
            scene.reset()
        full = sorted(durations)[1]
        verdicts, leftovers = collections.Counter(), collections.Counter()
        for _ in range(runs):
            proc = scene.start()
            # Half the runs at any moment, half near the end, where the file is written.
            end = rng.random() < 0.5
            time.sleep(rng.uniform(0.75 * full, 1.05 * full) if end else rng.uniform(0, 1.2 * full))
            try:
                proc.send_signal(sig)
            except ProcessLookupError:
                pass
            proc.communicate(timeout=60)
            verdict, left = scene.judge()
            verdicts[verdict] += 1
            for name in left:
                leftovers[name.split("-")[0]] += 1
            scene.reset()
        return verdicts, leftovers, full
    finally:
        scene.close()
