"""qordiff's views for people and for git: the text view and its colours, git's textconv in
scratch repositories (also across a merge that rewrites the file as one line), and the HTML page
in a real browser (headless chromium)."""
import copy
import html
import json
import os
import pathlib
import pty
import re
import shutil
import struct
import subprocess
import time
import zlib

import pytest

QORDIFF = os.environ["QORDIFF"]
QORMERGE = os.environ["QORMERGE"]
EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples" / "notebooks"
ANSI = re.compile(r"\x1b\[[0-9;]*m")


def qordiff(*args, env=None):
    return subprocess.run([QORDIFF, *map(str, args)], capture_output=True, text=True, env=env)


def write_text(path, text):
    path.write_text(text)
    return path


def write(path, doc, indent=1):
    path.write_text(json.dumps(doc, indent=indent) if indent else json.dumps(doc))
    return path


def example(name):
    return json.loads((EXAMPLES / ("churn_%s.ipynb" % name)).read_text())


def churn_pair(tmp_path):
    return (write(tmp_path / "prev.ipynb", example("base")),
            write(tmp_path / "current.ipynb", example("incoming")))


# ---- the text view -------------------------------------------------------------------------

def test_json_stays_the_default_when_the_output_is_not_a_terminal(tmp_path):
    prev, current = churn_pair(tmp_path)
    default = qordiff(prev, current)
    assert default.returncode == 0
    assert default.stdout == qordiff("--format=json", prev, current).stdout
    assert default.stdout.count("\n") == 1 and json.loads(default.stdout)["cells"]


def run_on_terminal(args, env):
    """Runs qordiff with a terminal as its standard output; returns what it printed."""
    master, slave = pty.openpty()
    proc = subprocess.Popen([QORDIFF, *map(str, args)], stdout=slave, stderr=subprocess.PIPE, env=env)
    os.close(slave)
    chunks = []
    while True:
        try:
            data = os.read(master, 65536)
        except OSError:
            break
        if not data:
            break
        chunks.append(data)
    proc.wait()
    os.close(master)
    return proc.returncode, b"".join(chunks).decode().replace("\r\n", "\n")


def test_text_with_colour_is_the_default_on_a_terminal(tmp_path):
    prev, current = churn_pair(tmp_path)
    env = {k: v for k, v in os.environ.items() if k != "NO_COLOR"}
    status, out = run_on_terminal([prev, current], env)
    assert status == 0
    assert ANSI.search(out)
    plain = ANSI.sub("", out)
    assert "renamed  feature_engineering  (renamed from features)" in plain
    assert plain.rstrip().endswith("3 components changed, 1 added; 1 parameter changed, 1 added")
    status, out = run_on_terminal([prev, current], dict(env, NO_COLOR="1"))
    assert status == 0 and not ANSI.search(out) and out == plain
    status, out = run_on_terminal(["--color=always", prev, current], dict(env, NO_COLOR="1"))
    assert ANSI.search(out)
    status, out = run_on_terminal(["--color=never", prev, current], env)
    assert out == plain


@pytest.mark.parametrize("args,colour", [([], False), (["--color=always"], True),
                                         (["--color", "never"], False), (["--color=auto"], False)])
def test_colour_on_a_pipe_only_when_asked(tmp_path, args, colour):
    prev, current = churn_pair(tmp_path)
    got = qordiff("--format=text", *args, prev, current)
    assert got.returncode == 0 and bool(ANSI.search(got.stdout)) == colour
    assert "\n  -model = LogisticRegression(C=1.0, max_iter=epochs * 10)\n" in ANSI.sub("", got.stdout)


def test_output_file(tmp_path):
    prev, current = churn_pair(tmp_path)
    got = qordiff("--format", "text", "-o", tmp_path / "out.txt", prev, current)
    assert (got.returncode, got.stdout) == (0, "")
    assert (tmp_path / "out.txt").read_text() == qordiff("--format=text", prev, current).stdout


@pytest.mark.parametrize("mode", [["--format=json"], ["--format=text"], ["--textconv"]])
@pytest.mark.parametrize("output, message", [("full", "No space left on device"),
                                             ("closed", "Bad file descriptor")])
def test_an_output_that_cannot_be_written_fails_with_a_message(tmp_path, mode, output, message):
    prev, current = churn_pair(tmp_path)
    files = [current] if mode == ["--textconv"] else [prev, current]
    with open(os.devnull if output == "closed" else "/dev/full", "w") as sink:
        got = subprocess.run([QORDIFF, *mode, *map(str, files)], stdout=sink, stderr=subprocess.PIPE,
                             text=True, preexec_fn=(lambda: os.close(1)) if output == "closed" else None)
    assert (got.returncode, got.stderr) == (1, "qordiff: error: cannot write the output: %s\n" % message)


@pytest.mark.parametrize("args,message", [
    (["--format=yaml", "a", "b"], "argument --format: invalid choice: 'yaml' (choose from 'json', 'text', 'html')"),
    (["--color=sometimes", "a", "b"], "argument --color: invalid choice: 'sometimes' (choose from 'auto', 'always', 'never')"),
    (["--format"], "argument --format: expected one argument"),
    (["--textconv", "a", "b"], "--textconv takes one file, got 2"),
    (["--bogus", "a", "b"], "unrecognized arguments: --bogus"),
])
def test_usage_errors(args, message):
    got = qordiff(*args)
    assert got.returncode == 2 and got.stderr.endswith("qordiff: error: %s\n" % message)


@pytest.mark.parametrize("mode", [["--format=json"], ["--format=text"], ["--format=html"], ["--textconv"]])
@pytest.mark.parametrize("problem", ["missing", "not json", "a directory"])
def test_a_notebook_that_cannot_be_read_is_one_line_naming_it(tmp_path, mode, problem):
    bad = tmp_path / "bad.ipynb"
    if problem == "not json":
        bad.write_text("{oops")
    elif problem == "a directory":
        bad.mkdir()
    if mode == ["--textconv"] and problem == "not json":
        return  # shown as text: see test_textconv_shows_a_file_that_is_no_notebook_as_text
    good = write(tmp_path / "good.ipynb", example("base"))
    args = mode + ([bad] if mode == ["--textconv"] else [good, bad])
    got = qordiff(*args)
    assert got.returncode == 1 and got.stdout == ""
    assert got.stderr.startswith("qordiff: error: ") and got.stderr.count("\n") == 1
    assert str(bad) in got.stderr


# ---- git's textconv ------------------------------------------------------------------------

def git_env(tmp_path):
    home = tmp_path / "home"
    home.mkdir(exist_ok=True)
    (home / ".gitconfig").write_text("")
    env = {k: v for k, v in os.environ.items() if not k.startswith("GIT_")}
    env.update(HOME=str(home), GIT_CONFIG_GLOBAL=str(home / ".gitconfig"), GIT_CONFIG_NOSYSTEM="1",
               GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@example.invalid", GIT_COMMITTER_NAME="t",
               GIT_COMMITTER_EMAIL="t@example.invalid", GIT_PAGER="cat", PAGER="cat", COLUMNS="200")
    return env


class Repo:
    def __init__(self, tmp_path):
        self.path = tmp_path / "repo"
        self.path.mkdir()
        self.env = git_env(tmp_path)
        self.git("init", "-q", "-b", "main")
        # As `qorgit install` registers the diff driver, and the merge driver as the README does.
        self.git("config", "diff.qordiff.textconv", "'%s' --textconv" % QORDIFF)
        self.git("config", "diff.qordiff.cachetextconv", "true")
        self.git("config", "merge.qormerge.driver",
                 "'%s' --base-file=%%O --current-file=%%A --incoming-file=%%B --file-path=%%P" % QORMERGE)
        (self.path / ".gitattributes").write_text("*.ipynb diff=qordiff merge=qormerge\n")

    def git(self, *args):
        got = subprocess.run(["git", *args], cwd=self.path, capture_output=True, text=True, env=self.env)
        assert got.returncode == 0, got.stderr
        return got.stdout

    def commit(self, doc, message, indent=1):
        write(self.path / "nb.ipynb", doc, indent)
        self.git("add", ".gitattributes", "nb.ipynb")
        self.git("commit", "-q", "-m", message)


def edited(doc, name, old, new):
    """A copy of `doc` whose component `name` has the source line `old` replaced by `new`."""
    doc = copy.deepcopy(doc)
    for cell in doc["cells"]:
        if cell["metadata"].get("canvas", {}).get("name") == name:
            lines = cell["source"]
            at = [i for i, line in enumerate(lines) if line.rstrip("\n") == old]
            assert at, (name, old)
            lines[at[0]] = new + ("\n" if lines[at[0]].endswith("\n") else "")
            return doc
    raise AssertionError(name)


def changed_lines(diff_text):
    """The '-' and '+' lines of a diff, without its file headers."""
    return [line for line in diff_text.splitlines()
            if line[:1] in "-+" and not line.startswith(("---", "+++"))]


def stat(repo, *revisions):
    """The summary line of `git apply --stat` over the patch git diff prints through textconv."""
    patch = repo.git("diff", *revisions)
    got = subprocess.run(["git", "apply", "--stat"], input=patch, capture_output=True, text=True,
                         cwd=repo.path, env=repo.env, check=True)
    return got.stdout.strip().splitlines()[-1].strip()


def test_git_shows_one_edited_source_line_before_and_after_a_merge(tmp_path):
    repo = Repo(tmp_path)
    base = example("base")
    repo.commit(base, "base")

    # An edit of one line of one cell is one changed line in git diff and git log -p.
    one = edited(base, "clean", "df = df.dropna()", "df = df.dropna(how='all')")
    write(repo.path / "nb.ipynb", one)
    expected = ["-  | df = df.dropna()", "+  | df = df.dropna(how='all')"]
    assert changed_lines(repo.git("diff")) == expected
    raw = repo.git("diff", "--no-textconv")
    assert '"df = df.dropna()\\n",' in raw and "  | " not in raw
    repo.git("commit", "-q", "-am", "clean: keep partly empty rows")
    assert changed_lines(repo.git("log", "-p", "-1", "--format=")) == expected
    assert changed_lines(repo.git("show", "--format=")) == expected
    assert stat(repo, "HEAD~1", "HEAD") == "1 file changed, 1 insertion(+), 1 deletion(-)"
    blame = repo.git("blame", "--textconv", "nb.ipynb")
    assert re.search(r"^\^?\w+ .*\|\s*df = df.dropna\(how='all'\)$", blame, re.M)
    assert repo.git("for-each-ref", "refs/notes/textconv/qordiff")  # the cache is in use

    # A merge through qormerge writes the notebook as one line; git still shows source lines.
    repo.git("checkout", "-q", "-b", "feature")
    incoming = edited(one, "train", "model.fit(X, y)", "model.fit(X, y)  # incoming")
    repo.commit(incoming, "feature: comment the fit")
    repo.git("checkout", "-q", "main")
    current = edited(one, "load_data", "df = pd.read_csv(data_path)", "df = pd.read_csv(data_path, sep=';')")
    repo.commit(current, "main: semicolons")
    repo.git("merge", "--no-edit", "feature")
    merged_text = (repo.path / "nb.ipynb").read_text()
    assert "\n" not in merged_text.strip()
    assert changed_lines(repo.git("diff", "HEAD~1", "HEAD")) == [
        "-  | model.fit(X, y)", "+  | model.fit(X, y)  # incoming"]
    assert stat(repo, "HEAD~1", "HEAD") == "1 file changed, 1 insertion(+), 1 deletion(-)"

    # After the merge, an edit of one line of the one-line file is still one line.
    after = edited(json.loads(merged_text), "evaluate", "print(accuracy_score(y, model.predict(X)))",
                   "print(round(accuracy_score(y, model.predict(X)), 3))")
    write(repo.path / "nb.ipynb", after, indent=None)
    expected = ["-  | print(accuracy_score(y, model.predict(X)))",
                "+  | print(round(accuracy_score(y, model.predict(X)), 3))"]
    assert changed_lines(repo.git("diff")) == expected
    raw = changed_lines(repo.git("diff", "--no-textconv"))
    assert len(raw) == 2 and raw[0].startswith('-{"cells": [')  # the whole one-line file
    repo.git("commit", "-q", "-am", "evaluate: round")
    assert changed_lines(repo.git("log", "-p", "-1", "--format=")) == expected
    assert stat(repo, "HEAD~1", "HEAD") == "1 file changed, 1 insertion(+), 1 deletion(-)"
    # git's own --stat reads the raw files (git runs no textconv for it): the whole line.
    assert "1 insertion(+), 1 deletion(-)" in repo.git("diff", "--stat", "HEAD~1", "HEAD")


def test_git_log_goes_through_history_that_holds_no_notebook(tmp_path):
    """Placeholders, notebooks committed with git's conflict markers and truncated files: git's
    diff, log -p and show go through them (a failing textconv stops the whole command)."""
    repo = Repo(tmp_path)
    base = example("base")
    repo.commit(base, "a notebook")
    placeholders = [
        ("empty", ""),
        ("markers", "<<<<<<< HEAD\n%s\n=======\n%s\n>>>>>>> feature\n"
         % (json.dumps(base), json.dumps(example("incoming")))),
        ("truncated", json.dumps(base, indent=1)[:500]),
        ("not UTF-8 with a title escape", "{\"cells\": [\"\xff\x1b]0;owned\x07\"]}"),
    ]
    for name, text in placeholders:
        (repo.path / "nb.ipynb").write_bytes(text.encode("utf-8", "surrogateescape")
                                             if "\xff" not in text else text.encode("latin-1"))
        repo.git("commit", "-q", "-am", name)
    repo.commit(base, "the notebook again")
    log = repo.git("log", "-p", "--format=commit %s")
    assert "\x1b" not in log.replace("\\x1b", "") and "\x07" not in log
    assert "+(not a notebook: 'utf-8' codec can't decode byte 0xff" in log
    assert "+{\"cells\": [\"\ufffd\\x1b]0;owned\\x07\"]}" in log
    assert "+<<<<<<< HEAD" in log and "+>>>>>>> feature" in log
    assert "+(not a notebook: Unterminated string" in log or "+(not a notebook: Expecting" in log
    # The placeholder that is empty is shown as no lines at all.
    empty = repo.git("show", "--format=", "HEAD~4")
    assert "+(not a notebook" not in empty and "-  | " in empty


def test_textconv_shows_a_file_that_is_no_notebook_as_text(tmp_path):
    bad = tmp_path / "bad.ipynb"
    bad.write_bytes(b'{"cells": [\n  "a\r\n\xe2\x80\xae!"\n')
    got = qordiff("--textconv", bad)
    assert got.returncode == 0 and got.stderr == ""
    assert got.stdout == ('(not a notebook: Invalid control character at: line 2 column 5 (char 16))\n'
                          '{"cells": [\n  "a\\x0d\n\\u202e!"\n')


# JSON whose shape the notebook lines cannot show is shown as its text too, so that a change in
# it is a changed line.
@pytest.mark.parametrize("text, why", [
    ("[1, 2, 3]", "a notebook must be a dict, not list"),
    ('{"cells": 5}', "'cells' must be a list, not int"),
    ('{"cells": [], "metadata": "m"}', "'metadata' must be a dict, not str"),
    ('{"metadata": {"canvas": []}}', "'metadata.canvas' must be a dict, not list"),
    ('{"metadata": {"canvas": {"parameters": {"lr": 1}}}}',
     "'metadata.canvas.parameters' must be a list, not dict"),
])
def test_textconv_shows_json_that_is_no_notebook_as_text(tmp_path, text, why):
    got = qordiff("--textconv", write_text(tmp_path / "odd.ipynb", text))
    assert (got.returncode, got.stderr, got.stdout) == (0, "", "(not a notebook: %s)\n%s\n" % (why, text))


def ordinary(*sources):
    """A notebook as Jupyter writes it: code cells without components."""
    return {"cells": [{"cell_type": "code", "execution_count": None, "metadata": {}, "outputs": [],
                       "source": source} for source in sources],
            "metadata": {}, "nbformat": 4, "nbformat_minor": 5}


def with_plain_cell(doc):
    """`doc` with a code cell added in plain Jupyter, without its canvas metadata."""
    return doc | {"cells": doc["cells"] + ordinary(["print(1)"])["cells"]}


# A version the pipeline views cannot show (an ordinary notebook; a component added in Jupyter
# without its canvas metadata) is shown in text and on the page as git diff shows it, its
# textconv lines, rather than as an error; the JSON diff document keeps its contract and fails.
@pytest.mark.parametrize("prev, current, cell, shown", [
    (ordinary(["x = 1\n", "y = 2"]), ordinary(["x = 1\n", "y = 3"]), 0,
     ["  -  | y = 2", "  +  | y = 3"]),
    (ordinary(["x = 1"]), ordinary(["x = 1\r\n"]), 0, ["no changes in its text lines"]),
    (example("base"), with_plain_cell(example("base")), len(example("base")["cells"]),
     ["  +code  (unnamed)", "  +  | print(1)"]),
])
def test_text_view_shows_what_is_no_pipeline_notebook_line_by_line(tmp_path, prev, current, cell,
                                                                   shown):
    a, b = write(tmp_path / "a.ipynb", prev), write(tmp_path / "b.ipynb", current)
    got = qordiff("--format=text", a, b)
    assert got.returncode == 0 and got.stderr == ""
    lines = got.stdout.splitlines()
    assert lines[0] == ("(not a pipeline notebook, shown as text line by line: %s (current version): "
                        "cell %d (code): missing metadata.canvas.id: every code cell needs a "
                        "component id)" % (b, cell))
    assert all(line in lines for line in shown)
    page = qordiff("--format=html", a, b)
    assert page.returncode == 0 and page.stderr == ""
    assert "<title>Notebook diff: %s \u2192 %s</title>" % (a, b) in page.stdout
    assert html.escape(lines[0][len("(not a pipeline notebook, shown as text line by line: "):-1],
                       quote=False) in page.stdout
    assert page.stdout.count('<tr class="add">') == sum(line.startswith("  +") for line in lines)
    as_json = qordiff("--format=json", a, b)
    assert as_json.returncode == 1 and "every code cell needs a component id" in as_json.stderr


def test_textconv_reads_both_layouts_alike(tmp_path):
    doc = example("incoming")
    one_line = write(tmp_path / "a.ipynb", doc, indent=None)
    indented = write(tmp_path / "b.ipynb", doc, indent=2)
    a, b = qordiff("--textconv", one_line), qordiff("--textconv", indented)
    assert a.returncode == b.returncode == 0
    assert a.stdout == b.stdout
    assert "\ncode  train  id 6f1c2a1e-0b7e-4a53-9d0e-1f2a3b4c5d04\n" in a.stdout
    assert "  | model.fit(X, y)  # all features\n" in a.stdout


# ---- the HTML page in a browser ------------------------------------------------------------

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
needs_chromium = pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")


def chromium(tmp_path, *args):
    profile = tmp_path / ("profile-%d" % time.monotonic_ns())
    profile.mkdir()
    cmd = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync",
           "--user-data-dir=%s" % profile, *map(str, args)]
    got = subprocess.run(cmd, capture_output=True, text=True, timeout=180)
    assert got.returncode == 0, got.stderr[-2000:]
    return got.stdout


def code_cell(cid, name, source, parents=(), outputs=()):
    return {"cell_type": "code", "execution_count": None, "metadata": {"canvas": {
        "id": cid, "name": name, "parents": [{"id": p, "name": p} for p in parents]}},
        "outputs": list(outputs), "source": source}


def params(**values):
    return [{"name": k, "type": t, "value": v} for k, (t, v) in values.items()]


def pipeline_pair():
    """Two versions of a pipeline with every kind of change, a cycle and an unknown parent."""
    prev = {"cells": [
        {"cell_type": "markdown", "metadata": {}, "source": ["# Pipeline\n", "old intro"]},
        code_cell("load", "load", ["df = load()\n", "print(df)"]),
        code_cell("clean", "clean", ["df = df.dropna()"], ["load"]),
        code_cell("feat", "features", ["X = df"], ["clean"]),
        code_cell("fit", "train", ["m = fit(X, C=1.0)"], ["feat"]),
        code_cell("old", "old_report", ["report(m)"], ["fit"]),
        code_cell("loopa", "loop_a", ["a"], ["loopb"]),
        code_cell("loopb", "loop_b", ["b"], ["loopa"]),
    ], "metadata": {"canvas": {"parameters": params(C=("float", "1.0"), mode=("str", "fast"),
                                                     gone=("str", "x"))}}}
    cur = copy.deepcopy(prev)
    cells = {c["metadata"].get("canvas", {}).get("id"): c for c in cur["cells"]}
    cur["cells"][0]["source"] = ["# Pipeline\n", "new intro"]
    cells["feat"]["metadata"]["canvas"]["name"] = "feature_engineering"
    cells["fit"]["source"] = ["m = fit(X, C=2.0)"]
    cells["fit"]["metadata"]["canvas"]["parents"] = [{"id": "clean", "name": "clean"}]
    cells["clean"]["metadata"]["canvas"]["name"] = "<<< clean"
    cells["load"]["outputs"] = [{"output_type": "stream", "name": "stdout", "text": ["5 rows\n"]}]
    cur["cells"].remove(cells["old"])
    cur["cells"].append(code_cell("plot", "plot <roc>", ["plot(m)"], ["fit", "nowhere"],
                                  [{"output_type": "display_data", "metadata": {},
                                    "data": {"image/png": "iVBORw0KGgo=" * 100}}]))
    cur["metadata"]["canvas"]["parameters"] = params(C=("float", "2.0"), mode=("int", "fast"),
                                                     threshold=("float", "0.5"))
    return prev, cur


class Dom:
    """The parts of a dumped DOM that the tests look at, found with regular expressions over
    chromium's serialisation (attributes in double quotes, as it writes them)."""

    def __init__(self, html):
        self.html = html

    def nodes(self):
        return re.findall(r'<g id="([^"]*)" class="node ([^"]*)"', self.html)

    def edges(self, kind):
        return len(re.findall(r'<g id="[^"]*" class="edge %s"' % kind, self.html))

    def parameter_rows(self):
        return re.findall(r'<tr class="param (\w+)" data-status="\w+"><td class="name">([^<]*)</td>', self.html)


def png_pixels(path):
    """Width, height and rows of RGB(A) bytes of an 8-bit PNG (as chromium writes them)."""
    data = pathlib.Path(path).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = header
    assert depth == 8 and colour in (2, 6) and interlace == 0
    bpp = 3 if colour == 2 else 4
    raw, stride, rows, prev = zlib.decompress(idat), width * bpp, [], bytearray(width * bpp)
    for y in range(height):
        f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], prev[i - bpp] if i >= bpp else 0
            if f == 1:
                line[i] = (line[i] + a) & 255
            elif f == 2:
                line[i] = (line[i] + b) & 255
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(bytes(line))
        prev = line
    return width, height, bpp, rows


@needs_chromium
def test_html_page_in_a_browser(tmp_path):
    prev, cur = pipeline_pair()
    page = tmp_path / "diff.html"
    got = qordiff("--format=html", "--graph=full", "-o", page, write(tmp_path / "prev.ipynb", prev),
                  write(tmp_path / "cur.ipynb", cur))
    assert got.returncode == 0, got.stderr
    text = page.read_text()
    assert not re.search(r'(src|href)="(https?:)?//', text) and "@import" not in text

    dom = Dom(chromium(tmp_path, "--dump-dom", page.as_uri()))
    nodes = dict(dom.nodes())
    statuses = sorted(cls.split()[0] for cls in nodes.values())
    assert statuses == ["missing", "status-added", "status-changed", "status-modified", "status-removed",
                        "status-renamed", "status-renamed", "status-unchanged", "status-unchanged"]
    assert any("renamed" in cls.split()[1:] for cls in nodes.values())
    assert [cls for cls in nodes.values() if "conflict" in cls.split()] == ["status-renamed renamed conflict"]
    assert dom.edges("edge-gained") == 3 and dom.edges("edge-lost") == 2 and dom.edges("edge-kept") == 4
    assert dom.parameter_rows() == [("modified", "C"), ("modified", "mode"), ("added", "threshold"),
                                    ("removed", "gone")]
    assert ">4 components changed, 1 added, 1 removed; 2 parameters changed, 1 added, 1 removed; " \
           "1 markdown cell changed<" in dom.html.replace("\n", "")
    assert "plot &lt;roc&gt;" in dom.html and "iVBORw0KGgo" not in dom.html
    assert '<aside id="panel" hidden=""></aside>' in dom.html

    # A click on a node shows its details beside the graph.
    clicked = tmp_path / "clicked.html"
    clicked.write_text(text.replace("</body>", "<script>document.querySelector('#n-3 a').dispatchEvent("
                                    "new MouseEvent('click', {bubbles: true, cancelable: true}));</script></body>"))
    after = chromium(tmp_path, "--dump-dom", clicked.as_uri())
    panel = re.search(r'<aside id="panel">(.*?)</aside>', after, re.S)
    assert panel and "m = fit(X, C=2.0)" in panel.group(1)
    assert re.search(r'<g id="n-3" class="node [^"]*selected', after)

    shot, quiet = tmp_path / "shot.png", tmp_path / "quiet.png"
    # Without its script the page looks the same: the script only adds the details panel on a
    # click. (Headless chromium needs scripts itself to dump or shoot a page, so the script is
    # taken out of a copy instead of turned off.)
    scriptless = tmp_path / "scriptless.html"
    scriptless.write_text(re.sub(r"<script>.*?</script>", "", text, flags=re.S))
    assert "<script" not in scriptless.read_text()
    # On a busy machine chromium may shoot before every glyph is drawn; a real difference shows
    # in every pair of shots, a late glyph in one, so the pair is shot again up to twice.
    for attempt in range(3):
        for png, uri in ((shot, page.as_uri()), (quiet, scriptless.as_uri())):
            chromium(tmp_path, "--screenshot=%s" % png, "--window-size=1200,900", "--hide-scrollbars",
                     "--virtual-time-budget=2000", uri)
        width, height, bpp, rows = png_pixels(shot)
        quiet_rows = png_pixels(quiet)[3]
        differing = sum(1 for a, b in zip(rows, quiet_rows) if a != b)
        if differing <= height // 50:
            break
    assert differing <= height // 50, differing
    assert (width, height) == (1200, 900)
    pixels = [row[i:i + 3] for row in rows[::4] for i in range(0, len(row), bpp * 4)]
    colours = set(pixels)
    inked = sum(1 for p in pixels if p != b"\xff\xff\xff")
    assert len(colours) > 20 and inked > len(pixels) // 50, (len(colours), inked)
    # The status colours of the graph are on screen.
    for rgb in [(0xda, 0xfb, 0xe1), (0xff, 0xf8, 0xc5), (0xff, 0xeb, 0xe9)]:
        assert bytes(rgb) in colours, rgb


@needs_chromium
def test_two_thousand_components_with_cycles_and_unknown_parents_are_drawn(tmp_path):
    # A long pipeline: a chain with a skip connection on every tenth step, a parent record
    # pointing forward on every fiftieth (closing a cycle) and one naming no component on every
    # hundredth.
    cells = []
    for i in range(2000):
        parents = [j for j in (i - 1, i - 5 if i % 10 == 0 else -1, i + 3 if i % 50 == 0 else -1)
                   if 0 <= j < 2000]
        if i % 100 == 5:
            parents.append("lost-%d" % i)
        cells.append(code_cell("c%04d" % i, "step_%d" % i, ["x = %d" % i],
                               ["c%04d" % p if isinstance(p, int) else p for p in parents]))
    prev = {"cells": cells, "metadata": {"canvas": {"parameters": []}}}
    cur = copy.deepcopy(prev)
    for i in range(0, 2000, 97):
        cur["cells"][i]["source"] = ["x = -%d" % i]
    page = tmp_path / "big.html"
    start = time.monotonic()
    got = qordiff("--format=html", "--graph=full", "-o", page, write(tmp_path / "a.ipynb", prev),
                  write(tmp_path / "b.ipynb", cur))
    print("qordiff --format=html, 2,000 components: %.2f s" % (time.monotonic() - start))
    assert got.returncode == 0, got.stderr
    dom = Dom(chromium(tmp_path, "--dump-dom", page.as_uri()))
    nodes = dom.nodes()
    assert len(nodes) == 2000 + 20
    assert sum("status-modified" in cls for _, cls in nodes) == len(range(0, 2000, 97))
    assert sum(cls == "missing" for _, cls in nodes) == 20

    # By default, the changed components with their parents and children; the rest folded.
    folded = tmp_path / "folded.html"
    assert qordiff("--format=html", "-o", folded, tmp_path / "a.ipynb", tmp_path / "b.ipynb").returncode == 0
    dom = Dom(chromium(tmp_path, "--dump-dom", folded.as_uri()))
    nodes = dom.nodes()
    assert sum("status-modified" in cls for _, cls in nodes) == len(range(0, 2000, 97))
    assert sum(cls == "missing" for _, cls in nodes) == 20
    folds = [cls for _, cls in nodes if cls == "folded"]
    assert folds and len(nodes) < 400, len(nodes)
    held = [int(n) for n in re.findall(r">(\d+) unchanged components<", dom.html)]
    unchanged_shown = sum("status-unchanged" in cls for _, cls in nodes)
    single = len(folds) - len(held)  # a fold of one component is named as that component
    assert sum(held) + single + unchanged_shown == 2000 - len(range(0, 2000, 97))


def test_html_graph_folds_what_did_not_change(tmp_path):
    # A chain of 60 components, two of them changed, and 10 components joined to nothing.
    cells = [code_cell("c%02d" % i, "step_%d" % i, ["x = %d" % i], ["c%02d" % (i - 1)] if i else [])
             for i in range(60)]
    cells += [code_cell("alone%d" % i, "alone_%d" % i, ["y"]) for i in range(10)]
    prev = {"cells": cells, "metadata": {"canvas": {"parameters": []}}}
    cur = copy.deepcopy(prev)
    for i in (20, 40):
        cur["cells"][i]["source"] = ["x = -%d" % i]
    a, b = write(tmp_path / "a.ipynb", prev), write(tmp_path / "b.ipynb", cur)
    page = html.unescape(qordiff("--format=html", a, b).stdout)
    nodes = re.findall(r'<g id="([^"]*)" class="node ([^"]*)"', page)
    # step_19..21 and step_39..41 as they are; folded: step_0..18, step_22..38, step_42..59 and
    # the ten alone.
    assert sorted(i for i, cls in nodes if cls.startswith("status-")) == \
        sorted("n-%d" % i for i in (19, 20, 21, 39, 40, 41))
    held = sorted(int(n) for n in re.findall(r">(\d+) unchanged components<", page))
    assert held == [10, 17, 18, 19]
    assert "qordiff --graph=full draws every component" in page
    full = qordiff("--format=html", "--graph=full", a, b).stdout
    assert len(re.findall(r'class="node ', full)) == 70 and "unchanged components<" not in full
    assert qordiff("--format=html", "--graph=all", a, b).returncode == 2


@needs_chromium
def test_html_page_prints(tmp_path):
    prev, cur = pipeline_pair()
    page = tmp_path / "diff.html"
    assert qordiff("--format=html", "-o", page, write(tmp_path / "prev.ipynb", prev),
                   write(tmp_path / "cur.ipynb", cur)).returncode == 0
    pdf = tmp_path / "diff.pdf"
    chromium(tmp_path, "--no-pdf-header-footer", "--print-to-pdf=%s" % pdf, page.as_uri())
    data = pdf.read_bytes()
    assert data.startswith(b"%PDF") and len(re.findall(rb"/Type\s*/Page\b", data)) >= 1
