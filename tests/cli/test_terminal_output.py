"""Text from notebooks and paths never reaches a terminal raw: the merge's conflict summary and
error line, `qorgit check` and its errors, and qordiff's text view, textconv text and errors all
show control, bidi and other format characters as escapes."""
import json
import os
import re
import subprocess

import pytest

QORMERGE = os.environ["QORMERGE"]
QORGIT = os.environ["QORGIT"]
QORDIFF = os.environ["QORDIFF"]

HOSTILE = "train\r\x1b[2K\x1b]0;owned\x07\u009b2J\u202egnp.exe\u2066"
SHOWN = "train\\x0d\\x1b[2K\\x1b]0;owned\\x07\\u009b2J\\u202egnp.exe\\u2066"
# What a terminal acts on: C0 controls but line ends and tab, DEL, C1 controls, format characters.
ACTIVE = re.compile("[\x00-\x08\x0b-\x1f\x7f\u0080-\u009f\u00ad\u061c\u200b-\u200f"
                    "\u2028-\u202e\u2060-\u206f\ufeff]")


def cell(kid, name, source):
    return {"cell_type": "code", "execution_count": None, "id": "c-" + kid, "outputs": [],
            "metadata": {"canvas": {"id": kid, "name": name, "parents": []}}, "source": source}


def notebook(cells, parameters=()):
    return {"cells": cells, "metadata": {"canvas": {"parameters": list(parameters)}},
            "nbformat": 4, "nbformat_minor": 5}


def write(path, doc):
    path.write_text(json.dumps(doc))
    return path


def run(args, **kwargs):
    result = subprocess.run(args, capture_output=True, text=True, **kwargs)
    for stream in (result.stdout, result.stderr):
        assert not ACTIVE.search(stream), repr(stream)
    return result


def test_the_merge_summary_and_error_line_escape_names_and_paths(tmp_path):
    base = write(tmp_path / "base.ipynb", notebook([cell("a", HOSTILE, ["x = 1\n"])]))
    current = write(tmp_path / "current.ipynb", notebook([cell("a", HOSTILE, ["x = 2\n"])]))
    incoming = write(tmp_path / "incoming.ipynb", notebook([cell("a", HOSTILE, ["x = 3\n"])]))
    label = "nb\x1b[31m\u202e.ipynb"
    result = run([QORMERGE, "--base-file=%s" % base, "--current-file=%s" % current,
                  "--incoming-file=%s" % incoming, "--file-path=" + label])
    assert result.returncode == 0
    assert result.stderr == ("qormerge: nb\\x1b[31m\\u202e.ipynb: 1 conflict block (%s)\n" % SHOWN)

    incoming.write_text('{"cells": [')
    result = run([QORMERGE, "--base-file=%s" % base, "--current-file=%s" % current,
                  "--incoming-file=%s" % incoming, "--file-path=" + label])
    assert result.returncode == 1
    assert result.stderr.startswith(
        "qormerge: error: nb\\x1b[31m\\u202e.ipynb (incoming version): Expecting value")
    result = run([QORMERGE, "--base-file=%s" % base, "--current-file=%s" % current,
                  "--incoming-file=%s" % incoming, "--no-such\x1b[2J"])
    assert result.returncode == 2
    assert result.stderr.endswith("qormerge: error: unrecognized arguments: --no-such\\x1b[2J\n")


def test_qorgit_check_escapes_names_paths_and_read_errors(tmp_path):
    marked = notebook(
        [cell("a", "<<< " + HOSTILE, ["x\n"]), cell("b", ">>> " + HOSTILE, ["y\n"]),
         cell("c", HOSTILE, ["<<<<<<< a\n", "x\n", "=======\n", "y\n", ">>>>>>> b\n"])],
        [{"name": "<<< " + HOSTILE, "type": "str", "value": "1"}])
    path = write(tmp_path / "nb\x1b]0;t\x07.ipynb", marked)
    broken = tmp_path / "broken\u202e.ipynb"
    broken.write_text('{"cells": ["\x1b[2J"')
    result = run([QORGIT, "check", str(path), str(broken)], cwd=tmp_path)
    assert result.returncode == 1
    shown_path = str(tmp_path) + "/nb\\x1b]0;t\\x07.ipynb"
    lines = result.stdout.splitlines()
    assert lines[:4] == [
        "%s: cell 2 (%s): conflict block, source lines 1-5" % (shown_path, SHOWN),
        "%s: cell 0 (<<< %s): component in conflict" % (shown_path, SHOWN),
        "%s: cell 1 (>>> %s): component in conflict" % (shown_path, SHOWN),
        "%s: parameter 0 (<<< %s): parameter in conflict" % (shown_path, SHOWN),
    ]
    assert lines[4].startswith(str(tmp_path) + "/broken\\u202e.ipynb: cannot be read: ")
    result = run([QORGIT, "check", "--bogus\x1b[2J"], cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.endswith("error: unrecognized argument: --bogus\\x1b[2J\n")


@pytest.mark.parametrize("mode", ["text", "textconv"])
def test_qordiff_views_escape_bidi_and_control_characters(tmp_path, mode):
    prev = write(tmp_path / "prev.ipynb", notebook([cell("a", HOSTILE, ["x = 1\n"])]))
    current = write(tmp_path / "current.ipynb",
                    notebook([cell("a", HOSTILE, ["s = 'abc\u202e' # \u2067x\x1b[1m\n"])]))
    args = ["--format=text", prev, current] if mode == "text" else ["--textconv", current]
    result = run([QORDIFF, *map(str, args)])
    assert result.returncode == 0
    assert SHOWN in result.stdout
    assert "s = 'abc\\u202e' # \\u2067x\\x1b[1m" in result.stdout


def test_qordiff_errors_escape_paths(tmp_path):
    prev = write(tmp_path / "prev.ipynb", notebook([]))
    bad = tmp_path / "bad\x1b]0;t\x07\u202e.ipynb"
    bad.write_text("[")
    result = run([QORDIFF, "--format=text", str(prev), str(bad)])
    assert result.returncode == 1
    assert result.stderr.startswith("qordiff: error: %s/bad\\x1b]0;t\\x07\\u202e.ipynb" % tmp_path)
