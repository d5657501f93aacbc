"""The resolve page on a large merge: a 2,000-component notebook whose merge left 100 conflicts
(60 conflict blocks, 20 components with two versions, 20 parameters). Measures, over several
runs of `qorgit resolve --no-browser`, the time from the command's start until the page is
ready (the URL printed, the token exchanged, the page, its script and the conflicts' state
fetched) and the time of each decision (one POST to the server, its answer read), against the
targets of 1 s and 50 ms. Figures are medians with the 10th-90th percentile spread (the
extremes for fewer than ten values).

Usage: python3 bench/resolve_page.py --qorgit BUILD/bin/qorgit [--runs 5]
"""
import argparse
import http.client
import json
import os
import pathlib
import re
import statistics
import subprocess
import sys
import tempfile
import time

COMPONENTS, BLOCKS, COPIES, PARAMETERS = 2000, 60, 20, 20


def cell(i, name, source, parents):
    return {"cell_type": "code", "execution_count": None, "id": "c%04d" % i,
            "metadata": {"canvas": {"id": "k%04d" % i, "name": name,
                                    "parents": [{"id": "k%04d" % p} for p in parents]}},
            "outputs": [{"name": "stdout", "output_type": "stream", "text": ["x\n"] * 20}],
            "source": source}


def versions():
    """Base, current and incoming notebooks with the conflicts spread over the pipeline."""
    def notebook(side):
        cells = []
        for i in range(COMPONENTS):
            # Chains of 20 steps, some steps also reading the step before the last.
            parents = [i - 1] if i % 20 else []
            if i % 9 == 4 and i % 20 >= 2:
                parents.append(i - 2)
            name, lines = "step_%d" % i, ["import x\n", "y = %d\n" % i, "z = y\n"]
            if side != "base" and i % (COMPONENTS // BLOCKS) == 1 and i // (COMPONENTS // BLOCKS) < BLOCKS:
                lines[1] = "y = %d  # %s\n" % (i, side)
            if side != "base" and i % (COMPONENTS // COPIES) == 2:
                lines[2] = "z = y + 1  # %s\n" % side
                if side == "incoming":
                    name += "_renamed"
            cells.append(cell(i, name, lines, parents))
        params = [{"name": "p%d" % k, "type": "float",
                   "value": str(k) if side == "base" or k >= PARAMETERS else "%d.%s" % (k, side[0])}
                  for k in range(PARAMETERS + 10)]
        return {"cells": cells, "metadata": {"canvas": {"id": "nb", "parameters": params}},
                "nbformat": 4, "nbformat_minor": 5}
    return notebook("base"), notebook("current"), notebook("incoming")


def git(repo, env, *args):
    subprocess.run(["git", *args], cwd=repo, env=env, check=True, capture_output=True)


def merged_repository(root, qorgit, env):
    repo = root / "repo"
    repo.mkdir()
    git(repo, env, "init", "-q", "-b", "main")
    subprocess.run([qorgit, "install"], cwd=repo, env=env, check=True, capture_output=True)
    base, current, incoming = versions()
    path = repo / "nb.ipynb"
    path.write_text(json.dumps(base))
    git(repo, env, "add", "nb.ipynb")
    git(repo, env, "commit", "-qm", "base")
    git(repo, env, "checkout", "-qb", "feature")
    path.write_text(json.dumps(incoming))
    git(repo, env, "commit", "-qam", "incoming")
    git(repo, env, "checkout", "-q", "main")
    path.write_text(json.dumps(current))
    git(repo, env, "commit", "-qam", "current")
    subprocess.run(["git", "merge", "--no-edit", "feature"], cwd=repo, env=env, capture_output=True)
    return repo


class Client:
    def __init__(self, port):
        self.port, self.cookie = port, None

    def request(self, method, path, body=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        headers = {"Host": "127.0.0.1:%d" % self.port}
        if self.cookie:
            headers["Cookie"] = self.cookie
        if body is not None:
            headers.update({"Content-Type": "application/json", "X-Qor-Resolve": "1",
                            "Origin": "http://127.0.0.1:%d" % self.port})
        conn.request(method, path, body=None if body is None else json.dumps(body), headers=headers)
        r = conn.getresponse()
        data = r.read()
        conn.close()
        if r.status >= 400:
            raise RuntimeError("%s %s: %d %s" % (method, path, r.status, data[:200]))
        return r, data


def one_run(repo, qorgit, env):
    start = time.perf_counter()
    proc = subprocess.Popen([qorgit, "resolve", "--no-browser"], cwd=repo, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    match = re.search(r"127\.0\.0\.1:(\d+)/\?token=(\w+)", proc.stdout.readline())
    client = Client(int(match.group(1)))
    r, _ = client.request("GET", "/?token=" + match.group(2))
    client.cookie = r.getheader("Set-Cookie").split(";")[0]
    client.request("GET", "/")
    client.request("GET", "/page.js")
    state = json.loads(client.request("GET", "/api/state")[1])
    ready = time.perf_counter() - start
    conflicts = state["notebooks"][0]["conflicts"]
    assert len(conflicts) == BLOCKS + COPIES + PARAMETERS, len(conflicts)
    while (graph := json.loads(client.request("GET", "/api/graph?notebook=0")[1]))["state"] == "pending":
        time.sleep(0.02)
    assert graph["state"] == "ready", graph["state"]
    graph_time = time.perf_counter() - start
    decisions = []
    for i, c in enumerate(conflicts):
        t0 = time.perf_counter()
        client.request("POST", "/api/decide",
                       {"notebook": 0, "key": c["key"], "take": "incoming" if i % 2 else "current"})
        decisions.append(time.perf_counter() - t0)
    client.request("POST", "/api/close", {})
    proc.communicate(timeout=60)
    return ready, graph_time, decisions


def spread(values, unit, scale):
    """The median, with the 10th and 90th percentiles (the extremes for fewer than 10 values)."""
    values = sorted(values)
    if len(values) >= 10:
        q = statistics.quantiles(values, n=10)
        low, high, names = q[0], q[-1], ("p10", "p90")
    else:
        low, high, names = values[0], values[-1], ("min", "max")
    return "%.1f %s (%s %.1f, %s %.1f, n=%d)" % (statistics.median(values) * scale, unit, names[0],
                                                  low * scale, names[1], high * scale, len(values))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--qorgit", required=True)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    qorgit = os.path.abspath(args.qorgit)
    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp)
        (root / "home").mkdir()
        env = {k: v for k, v in os.environ.items() if not k.startswith("GIT_") and k != "BROWSER"}
        env.update(HOME=str(root / "home"), GIT_CONFIG_NOSYSTEM="1", GIT_AUTHOR_NAME="b",
                   GIT_AUTHOR_EMAIL="b@example.invalid", GIT_COMMITTER_NAME="b",
                   GIT_COMMITTER_EMAIL="b@example.invalid")
        repo = merged_repository(root, qorgit, env)
        size = (repo / "nb.ipynb").stat().st_size
        readies, graphs, decisions = [], [], []
        for _ in range(args.runs):
            ready, graph, times = one_run(repo, qorgit, env)
            readies.append(ready)
            graphs.append(graph)
            decisions.extend(times)
    ready_ok = statistics.median(readies) < 1.0
    decide_ok = statistics.median(decisions) < 0.05
    print("resolve page: %d components, %d conflicts, %.1f MB notebook" % (
        COMPONENTS, BLOCKS + COPIES + PARAMETERS, size / 1e6))
    print("  page ready after start: %s  target 1000 ms: %s" % (
        spread(readies, "ms", 1000), "ok" if ready_ok else "MISSED"))
    print("  one decision applied:   %s  target 50 ms: %s" % (
        spread(decisions, "ms", 1000), "ok" if decide_ok else "MISSED"))
    print("  pipeline graph laid out after start: %s" % spread(graphs, "ms", 1000))
    return 0 if ready_ok and decide_ok else 1


if __name__ == "__main__":
    sys.exit(main())
