"""qorgit resolve on notebooks that real git merges left with every kind of conflict: from the
shell (--list, --take with selectors), its page at the HTTP level (what it refuses), and in a
real browser (headless chromium driven by selenium) through `git mergetool --tool=qor` and
through `qorgit resolve`, with the keyboard only. Results go through nbformat and qorgit check."""
import copy
import http.client
import json
import os
import pathlib
import re
import shutil
import subprocess
import time

import nbformat
import pytest

QORGIT = os.environ["QORGIT"]


@pytest.fixture
def env(env):
    """The scratch repositories' environment, with no browser of the caller's."""
    return {k: v for k, v in env.items() if k != "BROWSER"}


def run(args, cwd, env):
    return subprocess.run(args, cwd=cwd, env=env, capture_output=True, text=True)


def git(cwd, env, *args):
    got = run(["git", *args], cwd, env)
    assert got.returncode == 0, (args, got.stderr)
    return got.stdout


def cell(kid, name, source, parents=(), colour=None):
    canvas = {"id": kid, "name": name, "parents": [{"id": p} for p in parents]}
    if colour:
        canvas["headerColor"] = colour
    return {"cell_type": "code", "execution_count": None, "id": "c-" + kid,
            "metadata": {"canvas": canvas}, "outputs": [], "source": source}


def notebook(cells, parameters):
    return {"cells": cells, "metadata": {"canvas": {"id": "nb", "parameters": parameters}},
            "nbformat": 4, "nbformat_minor": 5}


def param(name, value):
    return {"name": name, "type": "float", "value": value}


# Every kind of conflict: a block in train's source; plot changed on both sides and renamed
# chart on the incoming side (the current cell and the incoming conflict copy, whose child report
# names plot's id); clean changed here and deleted there; feat deleted here and changed there;
# an incoming new component named like save; lr changed on both sides (it sits before epochs);
# and the incoming header colour of train, which the merge does not take.
BASE = notebook([cell("A", "train", ["a\n", "b\n", "c\n"], colour="#fff"),
                 cell("B", "plot", ["p = 1\n"], ["A"]), cell("D", "report", ["r\n"], ["B"]),
                 cell("E", "clean", ["e = 1\n"]), cell("F", "feat", ["f = 1\n"]),
                 cell("C", "save", ["s\n"])],
                [param("lr", "0.1"), param("epochs", "3")])
CURRENT = notebook([cell("A", "train", ["a\n", "X\n", "c\n"], colour="#fff"),
                    cell("B", "plot", ["p = 2\n"], ["A"]), cell("D", "report", ["r\n"], ["B"]),
                    cell("E", "clean", ["e = 2\n"]), cell("C", "save", ["s\n"])],
                   [param("lr", "0.2"), param("epochs", "3")])
INCOMING = notebook([cell("A", "train", ["a\n", "Y\n", "c\n"], colour="#f00"),
                     cell("B", "chart", ["p = 3\n"], ["A"]), cell("D", "report", ["r\n"], ["B"]),
                     cell("F", "feat", ["f = 2\n"]), cell("C", "save", ["s\n"]),
                     cell("G", "save", ["g\n"], ["C"])],
                    [param("lr", "0.3"), param("epochs", "3")])
LIST = [
    "nb.ipynb: 6 of 6 left",
    "  1  cell 0 (train): conflict block, source lines 2-6  [current, incoming, both, edit]",
    "  2  cells 1, 2 (plot): component in conflict (two versions of one component)"
    "  [current, incoming, both, edit]",
    "  3  cell 4 (clean): component in conflict (changed here, deleted on the incoming side)"
    "  [current, incoming, edit]",
    "  4  cells 5, 7 (save): component in conflict (names collide)  [current, edit]",
    "  5  cell 6 (feat): component in conflict (deleted here, changed on the incoming side)"
    "  [current, incoming, edit]",
    "  6  parameter lr: parameter in conflict  [current, incoming, edit]",
    '  review: cell 0 (train): the incoming header colour "#f00" was not taken; it stays "#fff"',
]


@pytest.fixture
def merged(tmp_path, env):
    """A repository whose merge of INCOMING into CURRENT left nb.ipynb unmerged."""
    repo = tmp_path / "repo"
    repo.mkdir()
    git(repo, env, "init", "-q", "-b", "main")
    assert run([QORGIT, "install"], repo, env).returncode == 0
    path = repo / "nb.ipynb"
    for branch, doc in (("main", BASE), ("feature", INCOMING), ("main", CURRENT)):
        if branch == "feature":
            git(repo, env, "checkout", "-q", "-b", "feature")
        elif doc is CURRENT:
            git(repo, env, "checkout", "-q", "main")
        path.write_text(json.dumps(doc))
        git(repo, env, "add", "nb.ipynb")
        git(repo, env, "commit", "-q", "-m", branch)
    assert run(["git", "merge", "--no-edit", "feature"], repo, env).returncode == 1
    return repo


def cells(path):
    doc = json.loads(pathlib.Path(path).read_text())
    return [(c["metadata"]["canvas"]["id"], c["metadata"]["canvas"]["name"],
             [p["id"] for p in c["metadata"]["canvas"].get("parents", [])], "".join(c["source"]))
            for c in doc["cells"]], doc["metadata"]["canvas"]["parameters"]


def assert_resolved(repo, env, staged=True):
    """The notebook is valid for Jupyter, qorgit check finds nothing, and git has it staged."""
    nbformat.validate(nbformat.reads((repo / "nb.ipynb").read_text(), as_version=4))
    if staged:
        assert git(repo, env, "ls-files", "-u") == ""
        assert git(repo, env, "status", "--porcelain") in ("M  nb.ipynb\n", "")
        got = run([QORGIT, "check"], repo, env)
        assert got.returncode == 0, got.stdout


def test_list_names_every_kind_of_conflict(merged, env):
    got = run([QORGIT, "resolve", "--list"], merged, env)
    assert (got.returncode, got.stdout.splitlines()) == (1, LIST)
    doc = json.loads(run([QORGIT, "resolve", "--list", "--json"], merged, env).stdout)
    [nb] = doc["notebooks"]
    assert (nb["total"], nb["left"], nb["can_save"]) == (6, 6, False)
    block = nb["conflicts"][0]
    assert (block["current"], block["incoming"], block["result"]) == ("X\n", "Y\n", None)
    assert block["base"].endswith("a\nb\nc\n")
    plot = nb["conflicts"][1]
    assert "name: chart\nid: B\nparents: train" in plot["incoming"]
    assert plot["component_ids"][0] == "B"


# (takes, expected cells as (id, name, parents, source), expected parameters)
SHELL_CASES = {
    "all current": (["--take", "current"], [
        ("A", "train", [], "a\nX\nc\n"), ("B", "plot", ["A"], "p = 2\n"),
        ("D", "report", ["B"], "r\n"), ("E", "clean", [], "e = 2\n"), ("C", "save", [], "s\n")],
        [param("lr", "0.2"), param("epochs", "3")]),
    # The incoming version of plot keeps plot's id, so report's parent still resolves; a
    # parameter goes back to its place. The incoming side holds two components named save (its
    # own addition collides), so save is taken from the current side.
    "all incoming": (["--take", "current", "--component", "save", "--take", "incoming"], [
        ("A", "train", [], "a\nY\nc\n"), ("B", "chart", ["A"], "p = 3\n"),
        ("D", "report", ["B"], "r\n"), ("C", "save", [], "s\n"), ("F", "feat", [], "f = 2\n")],
        [param("lr", "0.3"), param("epochs", "3")]),
    # Selected decisions, in order; the last --take covers what is left.
    "mixed": (["--take", "both", "--component", "train", "--component", "B",
               "--take", "incoming", "--parameter", "lr", "--component", "feat",
               "--take", "current"], [
        ("A", "train", [], "a\nX\nY\nc\n"), ("B", "plot", ["A"], "p = 2\n"),
        ("*", "chart", ["A"], "p = 3\n"), ("D", "report", ["B"], "r\n"),
        ("E", "clean", [], "e = 2\n"), ("C", "save", [], "s\n"), ("F", "feat", [], "f = 2\n")],
        [param("lr", "0.3"), param("epochs", "3")]),
}


@pytest.mark.parametrize("case", SHELL_CASES, ids=list(SHELL_CASES))
def test_take_from_the_shell(merged, env, case):
    takes, want_cells, want_parameters = SHELL_CASES[case]
    got = run([QORGIT, "resolve", *takes], merged, env)
    assert got.returncode == 0, got.stderr
    assert got.stdout == "qorgit resolve: nb.ipynb: 6 conflicts resolved, written and staged\n"
    have, parameters = cells(merged / "nb.ipynb")
    assert [c if w[0] != "*" else ("*",) + c[1:] for c, w in zip(have, want_cells)] == want_cells
    assert len(have) == len(want_cells)
    assert parameters == want_parameters
    assert_resolved(merged, env)


def test_nothing_is_written_while_anything_is_left(merged, env):
    before = (merged / "nb.ipynb").read_bytes()
    got = run([QORGIT, "resolve", "--take", "incoming", "--component", "plot", "--parameter", "lr"],
              merged, env)
    assert got.returncode == 1
    assert got.stderr.splitlines() == [
        "nb.ipynb: left: cell 0 (train): conflict block, source lines 2-6: no decision yet",
        "nb.ipynb: left: cell 4 (clean): component in conflict (changed here, deleted on the "
        "incoming side): no decision yet",
        "nb.ipynb: left: cells 5, 7 (save): component in conflict (names collide): no decision yet",
        "nb.ipynb: left: cell 6 (feat): component in conflict (deleted here, changed on the "
        "incoming side): no decision yet",
        "qorgit resolve: nb.ipynb: not written"]
    assert (merged / "nb.ipynb").read_bytes() == before
    assert git(merged, env, "status", "--porcelain") == "UU nb.ipynb\n"


@pytest.mark.parametrize("args, status, message", [
    (["--take", "both", "--component", "save"], 1,
     "qorgit resolve: nb.ipynb: cells 5, 7 (save): component in conflict (names collide): cannot "
     "take both: the two components would have the same name\n"),
    # A side that holds two components under the colliding name cannot be taken; a later
    # --take that covers the conflict does not make the notebook written.
    (["--take", "incoming", "--component", "save", "--take", "current"], 1,
     "qorgit resolve: nb.ipynb: cells 5, 7 (save): component in conflict (names collide): cannot "
     "take incoming: the incoming side holds two of these components under the name 'save'; take "
     "the other side or edit, or rename one\nqorgit resolve: nb.ipynb: not written\n"),
    (["--take", "both", "--component", "feat"], 1,
     "cell 6 (feat): component in conflict (deleted here, changed on the incoming side): cannot "
     "take both: there is one component, kept on one side only\n"),
    (["--take", "current", "--component", "nothing"], 1,
     "qorgit resolve error: no conflict of a component nothing in nb.ipynb\n"),
    (["--take", "theirs"], 2, "argument --take: invalid choice: 'theirs'"),
    (["--component", "plot"], 2, "argument --component: comes after the --take it selects for"),
    (["--json"], 2, "--json goes with --list"),
])
def test_refusals(merged, env, args, status, message):
    before = (merged / "nb.ipynb").read_bytes()
    got = run([QORGIT, "resolve", *args], merged, env)
    assert got.returncode == status
    assert message.replace("qorgit resolve error", "qorgit resolve: error") in got.stderr
    assert (merged / "nb.ipynb").read_bytes() == before


def test_hand_edits_are_kept_and_the_jupyter_layout_is_written(merged, env):
    assert run([QORGIT, "install", "--layout=jupyter"], merged, env).returncode == 0
    doc = json.loads((merged / "nb.ipynb").read_text())
    doc["cells"][3]["source"] = ["r = 'edited by hand'\n"]
    (merged / "nb.ipynb").write_text(json.dumps(doc))
    assert run([QORGIT, "resolve", "--take", "current"], merged, env).returncode == 0
    text = (merged / "nb.ipynb").read_text()
    assert text.startswith('{\n "cells": [\n') and text.endswith("}\n")
    assert "r = 'edited by hand'\\n" in text
    assert_resolved(merged, env)


@pytest.mark.parametrize("problem, message", [
    ("cycle", "a cycle among parents: cell 0 (train) -> cell 1 (plot) -> cell 0 (train)"),
    ("same id", "cell 1 (plot): component id A is also cell 0 (train)'s"),
    ("dangling", None),
])
def test_results_are_checked_before_they_are_written(tmp_path, env, problem, message):
    doc = notebook([cell("A", "train", ["t\n"]), cell("B", "<<< plot", ["p\n"], ["A"])], [])
    if problem == "cycle":
        doc["cells"][0]["metadata"]["canvas"]["parents"] = [{"id": "B"}]
    elif problem == "same id":
        doc["cells"][1]["metadata"]["canvas"]["id"] = "A"
        doc["cells"][1]["metadata"]["canvas"]["parents"] = []
    else:
        doc["cells"][1]["metadata"]["canvas"]["parents"].append({"id": "gone"})
    path = tmp_path / "nb.ipynb"
    path.write_text(json.dumps(doc))
    got = run([QORGIT, "resolve", "--take", "current", "--component", "plot", str(path)],
              tmp_path, env)
    if message is None:
        # A parent record that names no component is a conflict of plot's: dropped, as a merge
        # drops the records of removed components. Outside git nothing is staged.
        assert got.returncode == 0, got.stderr
        assert got.stdout.endswith("nb.ipynb: 2 conflicts resolved, written\n")
        assert cells(path)[0][1] == ("B", "plot", ["A"], "p\n")
        return
    assert got.returncode == 1
    assert "nb.ipynb: left: " + message in got.stderr
    assert json.loads(path.read_text()) == doc


def test_mergetool_is_installed_and_uninstalled(tmp_path, env):
    repo = tmp_path / "r"
    repo.mkdir()
    git(repo, env, "init", "-q")
    got = run([QORGIT, "install", "--mergetool"], repo, env)
    assert got.returncode == 0
    config = lambda key: run(["git", "config", "--get", key], repo, env).stdout.strip()
    assert config("mergetool.qor.cmd") == (
        "'%s' resolve --mergetool \"$BASE\" \"$LOCAL\" \"$REMOTE\" \"$MERGED\"" % QORGIT)
    assert config("mergetool.qor.trustExitCode") == "true"
    assert config("merge.tool") == "qor"
    assert run([QORGIT, "uninstall"], repo, env).returncode == 0
    assert [config(k) for k in ("mergetool.qor.cmd", "merge.tool")] == ["", ""]
    # A merge.tool of the user's own stays.
    git(repo, env, "config", "--global", "merge.tool", "vimdiff")
    assert run([QORGIT, "install", "--mergetool"], repo, env).returncode == 0
    assert config("merge.tool") == "vimdiff"
    assert run([QORGIT, "uninstall"], repo, env).returncode == 0
    assert config("merge.tool") == "vimdiff"


# ---------------------------------------------------------------------------------------------
# The page at the HTTP level


class Page:
    """A running `qorgit resolve --no-browser` and requests to its server."""

    def __init__(self, repo, env, *args):
        self.proc = subprocess.Popen([QORGIT, "resolve", "--no-browser", *args], cwd=repo, env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        match = re.search(r"http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]+)", line)
        assert match, line + self.proc.stderr.read()
        self.port, self.token = int(match.group(1)), match.group(2)
        self.cookie = None

    def request(self, method, path, body=None, headers=None, host=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        h = {"Host": host or "127.0.0.1:%d" % self.port}
        if self.cookie:
            h["Cookie"] = self.cookie
        h.update(headers or {})
        conn.request(method, path, body=body, headers=h)
        r = conn.getresponse()
        data = r.read()
        conn.close()
        return r, data

    def origin(self):
        return "http://127.0.0.1:%d" % self.port

    def post(self, path, doc, **headers):
        h = {"Content-Type": "application/json", "X-Qor-Resolve": "1", "Origin": self.origin()}
        h.update({k.replace("_", "-"): v for k, v in headers.items()})
        h = {k: v for k, v in h.items() if v is not None}
        return self.request("POST", path, json.dumps(doc), h)

    def finish(self):
        out, err = self.proc.communicate(timeout=30)
        return self.proc.returncode, out, err


def test_the_page_refuses_what_does_not_come_from_it(merged, env):
    before = (merged / "nb.ipynb").read_bytes()
    page = Page(merged, env)
    refused = [
        page.request("GET", "/"),                                       # no token
        page.request("GET", "/?token=" + "0" * len(page.token)),       # a wrong token
        page.request("GET", "/?token=" + page.token, host="evil.example:%d" % page.port),
        page.request("GET", "/api/state"),
    ]
    assert [r.status for r, _ in refused] == [403] * 4
    # The token is exchanged once for the session cookie.
    r, _ = page.request("GET", "/?token=" + page.token)
    assert (r.status, r.getheader("Location")) == (303, "/")
    cookie = r.getheader("Set-Cookie")
    assert re.fullmatch(r"qor_resolve=[0-9a-f]{64}; Path=/; HttpOnly; SameSite=Strict", cookie)
    assert page.request("GET", "/?token=" + page.token)[0].status == 403
    page.cookie = cookie.split(";")[0]
    r, data = page.request("GET", "/api/state")
    assert r.status == 200
    assert "default-src 'none'" in r.getheader("Content-Security-Policy")
    assert "script-src 'self'" in r.getheader("Content-Security-Policy")
    assert json.loads(data)["notebooks"][0]["left"] == 6
    r, data = page.request("GET", "/")
    assert r.status == 200 and b"<script" in data and b"<script>" not in data
    decide = {"notebook": 0, "key": "1", "take": "incoming"}
    refused = {
        "foreign host": page.post("/api/decide", decide, Host="evil.example:%d" % page.port),
        "rebinding host": page.request("POST", "/api/decide", json.dumps(decide), {
            "Content-Type": "application/json", "X-Qor-Resolve": "1", "Origin": page.origin()},
            host="localhost.evil.example:%d" % page.port),
        "no custom header": page.post("/api/decide", decide, X_Qor_Resolve=None),
        "foreign origin": page.post("/api/decide", decide, Origin="http://evil.example"),
        "other port": page.post("/api/decide", decide, Origin="http://127.0.0.1:1"),
        "no origin": page.post("/api/decide", decide, Origin=None),
        "cross-site fetch": page.post("/api/decide", decide, Origin=None,
                                      Sec_Fetch_Site="cross-site"),
        "form post": page.post("/api/decide", decide, Content_Type="text/plain"),
        "a get": page.request("GET", "/api/decide?notebook=0&key=1&take=incoming"),
        "save": page.post("/api/save", {"notebook": 0}, Origin="http://evil.example"),
    }
    assert {k: r.status for k, (r, _) in refused.items()} == {
        k: 415 if k == "form post" else 404 if k == "a get" else 403 for k in refused}
    page.cookie = None
    assert page.post("/api/decide", decide)[0].status == 403
    page.cookie = cookie.split(";")[0]
    state = json.loads(page.request("GET", "/api/state")[1])["notebooks"][0]
    assert [c["decision"] for c in state["conflicts"]] == [None] * 6
    # What the page sends is taken; saving is refused while anything is left.
    r, data = page.post("/api/decide", decide, Origin=None, Sec_Fetch_Site="same-origin")
    assert r.status == 200 and json.loads(data)["left"] == 5
    r, data = page.post("/api/save", {"notebook": 0})
    assert r.status == 409 and "no decision yet" in json.loads(data)["error"]
    assert page.post("/api/close", {})[0].status == 200
    status, _, err = page.finish()
    assert status == 1 and "nb.ipynb: not saved, left as it was" in err
    assert (merged / "nb.ipynb").read_bytes() == before


def test_the_server_ends_after_the_idle_timeout(merged, env):
    before = (merged / "nb.ipynb").read_bytes()
    page = Page(merged, env, "--idle-timeout=0.5")
    status, _, _ = page.finish()
    assert status == 1
    assert (merged / "nb.ipynb").read_bytes() == before


# ---------------------------------------------------------------------------------------------
# In a real browser, with the keyboard only

CHROMEDRIVER = shutil.which("chromedriver")
CHROMIUM = shutil.which("chromium")
needs_browser = pytest.mark.skipif(not (CHROMEDRIVER and CHROMIUM),
                                   reason="chromium and chromium-driver are not installed")


@pytest.fixture
def browser(tmp_path):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--no-first-run",
                "--window-size=1400,1100", "--user-data-dir=%s" % (tmp_path / "profile")):
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    yield driver
    driver.quit()


def url_from(browser_log, proc):
    """The URL qorgit resolve handed to $BROWSER (a script that writes it to a file)."""
    for _ in range(300):
        if browser_log.exists() and browser_log.read_text().endswith("\n"):
            return browser_log.read_text().strip()
        assert proc.poll() is None, proc.communicate()
        time.sleep(0.1)
    raise AssertionError("the browser was not started")


def resolve_with_keys(driver, url, shots):
    """Opens the page and resolves every conflict with keys: the block edited, the rest taken
    from the incoming side but save (the incoming side holds two components of that name, so
    its key is refused there, with the reason), taken from the current side; then saves."""
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait
    driver.get(url)
    wait = WebDriverWait(driver, 20)
    counter = lambda: driver.find_element(By.ID, "counter").text
    wait.until(lambda d: counter() == "6 of 6 left")
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#graph svg g.node.conflict"))
    driver.save_screenshot(str(shots / "resolve-start.png"))
    keys = lambda *k: ActionChains(driver).send_keys(*k).perform()
    keys("?")
    assert driver.find_element(By.ID, "help").is_displayed()
    keys("?", "n", "p", "e")
    wait.until(lambda d: d.find_elements(By.ID, "edit"))
    area = driver.find_element(By.ID, "edit")
    area.send_keys(Keys.CONTROL, "a")
    area.send_keys("XY\n")
    ActionChains(driver).key_down(Keys.CONTROL).send_keys(Keys.ENTER).key_up(Keys.CONTROL).perform()
    wait.until(lambda d: counter() == "5 of 6 left")
    for left, key in zip(range(4, -1, -1), "22122"):
        if key == "1":
            keys("2")  # refused where the side cannot be taken: nothing is decided, and why
            wait.until(lambda d: "holds two of these components" in
                       d.find_element(By.ID, "status").text)
            assert counter() == "%d of 6 left" % (left + 1)
        keys(key)
        wait.until(lambda d: counter() == "%d of 6 left" % left)
    wait.until(lambda d: d.find_element(By.ID, "save").is_enabled())
    driver.save_screenshot(str(shots / "resolve-decided.png"))
    keys("s")
    try:
        wait.until(lambda d: "saved" in d.find_element(By.ID, "status").text)
    except Exception:
        raise AssertionError(driver.find_element(By.ID, "status").text)
    driver.save_screenshot(str(shots / "resolve-saved.png"))


RESOLVED = [("A", "train", [], "a\nXY\nc\n"), ("B", "chart", ["A"], "p = 3\n"),
            ("D", "report", ["B"], "r\n"), ("C", "save", [], "s\n"), ("F", "feat", [], "f = 2\n")]


def browser_env(env, tmp_path):
    script = tmp_path / "browser.sh"
    script.write_text('#!/bin/sh\necho "$1" > "%s"\n' % (tmp_path / "browser.log"))
    script.chmod(0o755)
    return dict(env, BROWSER=str(script)), tmp_path / "browser.log"


@needs_browser
def test_qorgit_resolve_in_a_browser(merged, env, tmp_path, browser):
    benv, log = browser_env(env, tmp_path)
    proc = subprocess.Popen([QORGIT, "resolve"], cwd=merged, env=benv, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    resolve_with_keys(browser, url_from(log, proc), tmp_path)
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 0, err
    assert "qorgit resolve: nb.ipynb: written and staged" in out
    assert cells(merged / "nb.ipynb")[0] == RESOLVED
    assert_resolved(merged, env)
    print("screenshots in", tmp_path)


@needs_browser
def test_git_mergetool_in_a_browser(merged, env, tmp_path, browser):
    assert run([QORGIT, "install", "--mergetool"], merged, env).returncode == 0
    benv, log = browser_env(env, tmp_path)
    proc = subprocess.Popen(["git", "-c", "mergetool.keepBackup=false", "mergetool", "--tool=qor",
                             "--no-prompt"], cwd=merged, env=benv, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    resolve_with_keys(browser, url_from(log, proc), tmp_path)
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 0, (out, err)
    assert cells(merged / "nb.ipynb")[0] == RESOLVED
    assert_resolved(merged, env)
    assert not list(merged.glob("*.orig"))


@needs_browser
def test_closing_the_page_leaves_the_file_and_fails_the_mergetool(merged, env, tmp_path, browser):
    assert run([QORGIT, "install", "--mergetool"], merged, env).returncode == 0
    before = (merged / "nb.ipynb").read_bytes()
    benv, log = browser_env(env, tmp_path)
    proc = subprocess.Popen(["git", "-c", "mergetool.keepBackup=false", "mergetool", "--tool=qor",
                             "--no-prompt"], cwd=merged, env=benv, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
    browser.get(url_from(log, proc))
    WebDriverWait(browser, 20).until(
        lambda d: d.find_element(By.ID, "counter").text == "6 of 6 left")
    browser.get("about:blank")  # the page goes away without saving
    out, err = proc.communicate(timeout=30)
    assert proc.returncode != 0
    assert (merged / "nb.ipynb").read_bytes() == before
    assert git(merged, env, "status", "--porcelain") == "UU nb.ipynb\n"


def test_a_single_conflict_is_counted_as_one(tmp_path, env):
    doc = notebook([cell("A", "train", ["t\n"]), cell("B", "<<< plot", ["p\n"], ["A"])], [])
    path = tmp_path / "nb.ipynb"
    path.write_text(json.dumps(doc))
    got = run([QORGIT, "resolve", "--take", "current", str(path)], tmp_path, env)
    assert got.returncode == 0, got.stderr
    assert got.stdout.endswith("nb.ipynb: 1 conflict resolved, written\n")


def test_a_notebook_added_with_conflicts_left_is_found_by_its_path(merged, env):
    git(merged, env, "add", "nb.ipynb")
    got = run([QORGIT, "resolve", "--list"], merged, env)
    assert (got.returncode, got.stdout) == (0, "qorgit resolve: no unmerged notebooks (for one already "
                                               "added with conflicts left, give its path; qorgit "
                                               "check lists them)\n")
    got = run([QORGIT, "resolve", "--list", "nb.ipynb"], merged, env)
    # Without git's stages the versions are unknown, so the conflicts are as the scan groups them.
    assert got.returncode == 1 and got.stdout.startswith("nb.ipynb: 5 of 5 left\n")
    assert "cell 0 (train): conflict block, source lines 2-6" in got.stdout


def test_notebooks_it_cannot_take_are_left_out_with_why(tmp_path, env):
    # Beside a notebook merged component by component: one the current side deleted and the
    # incoming side changed (a conflict about the file, for git add or git rm), and an ordinary
    # notebook git merged as text. Each is named with why; the rest is resolved.
    repo = tmp_path / "repo"
    repo.mkdir()
    git(repo, env, "init", "-q", "-b", "main")
    assert run([QORGIT, "install"], repo, env).returncode == 0

    def plain(line):
        return json.dumps({"cells": [{"cell_type": "code", "execution_count": None, "metadata": {},
                                      "outputs": [], "source": [line]}],
                           "metadata": {}, "nbformat": 4, "nbformat_minor": 5}, indent=1)

    for branch, nb, gone, text in (("main", BASE, BASE, "x = 1\n"), ("feature", INCOMING, INCOMING, "x = 2\n"),
                                   ("main", CURRENT, None, "x = 3\n")):
        if branch == "feature":
            git(repo, env, "checkout", "-q", "-b", "feature")
        elif nb is CURRENT:
            git(repo, env, "checkout", "-q", "main")
        (repo / "nb.ipynb").write_text(json.dumps(nb))
        (repo / "plain.ipynb").write_text(plain(text))
        if gone is None:
            git(repo, env, "rm", "-q", "gone.ipynb")
        else:
            (repo / "gone.ipynb").write_text(json.dumps(gone))
        git(repo, env, "add", "-A")
        git(repo, env, "commit", "-q", "-m", branch)
    assert run(["git", "merge", "--no-edit", "feature"], repo, env).returncode == 1

    got = run([QORGIT, "resolve", "--list"], repo, env)
    assert got.returncode == 1 and got.stdout.startswith("nb.ipynb: 6 of 6 left\n")
    assert ("qorgit resolve: gone.ipynb: deleted on the current side, changed on the incoming side: "
            "keep the notebook with git add, or delete it with git rm (left out)\n") in got.stderr
    assert "qorgit resolve: plain.ipynb: git's conflict markers are in the file's text" in got.stderr
    got = run([QORGIT, "resolve", "--take", "current"], repo, env)
    assert got.returncode == 1
    assert got.stdout == "qorgit resolve: nb.ipynb: 6 conflicts resolved, written and staged\n"
    status = git(repo, env, "status", "--porcelain").splitlines()
    assert [line for line in status if "nb.ipynb" in line and "plain" not in line] in ([], ["M  nb.ipynb"])
    assert {"DU gone.ipynb", "UU plain.ipynb"} <= set(status)


def test_a_component_conflict_answers_to_each_name_it_shows(merged, env):
    # plot's conflict is the current cell "<<< plot" and the incoming copy ">>> chart": qorgit
    # check shows both names, and either selects it.
    got = run([QORGIT, "resolve", "--take", "incoming", "--component", "chart", "--take", "current"],
              merged, env)
    assert got.returncode == 0, got.stderr
    have, _ = cells(merged / "nb.ipynb")
    assert ("B", "chart", ["A"], "p = 3\n") in have
