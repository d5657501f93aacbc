"""Runs the benchmarks and prints our figures next to CPython's json and jsondiff, measured in the
same run on the same data, with the targets each figure is held to.

Usage: python3 bench/run.py --build BUILD_DIR
"""
import argparse
import json
import os
import pathlib
import subprocess
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import floor  # noqa: E402
import gen  # noqa: E402

RESULTS = []


def best_seconds(fn, runs):
    """The best of `runs` timings (CPython's timings vary with the state of its allocator; the
    best one is the fairest to it)."""
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def qor(build, *args):
    out = subprocess.run([str(build / "bench" / "qor_bench"), *map(str, args)], check=True,
                         capture_output=True, text=True).stdout
    return float(out.strip())


def verdict(ok):
    RESULTS.append(ok)
    return "ok" if ok else "MISSED"


def prepare(data_dir):
    data_dir.mkdir(parents=True, exist_ok=True)
    files = {}
    for name, make in [("large.ipynb", gen.large_notebook), ("many_cells.ipynb", gen.many_cells_notebook)]:
        path = data_dir / name
        compact = data_dir / name.replace(".ipynb", "_compact.ipynb")
        if not path.exists() or not compact.exists():
            doc = make()
            path.write_text(json.dumps(doc, indent=1))  # as Jupyter writes notebooks
            compact.write_text(json.dumps(doc))  # as the merge writes them
        files[name] = path
        files[compact.name] = compact
    cells = {}
    for name, make in [("source_1000", lambda: gen.long_source_cells(1000)),
                       ("source_2000", lambda: gen.long_source_cells(2000)),
                       ("outputs_4mb", gen.big_outputs_cells)]:
        old_path, new_path = data_dir / (name + "_old.json"), data_dir / (name + "_new.json")
        if not old_path.exists():
            old, new = make()
            old_path.write_text(json.dumps(old))
            new_path.write_text(json.dumps(new))
        cells[name] = (old_path, new_path)
    return files, cells


def bench_json(build, files):
    print("JSON reading and writing (MB/s; ratio = ours / CPython json)")
    print("  %-18s %8s  %-6s %10s %10s %8s  %s" % ("file", "size", "op", "CPython", "qor", "ratio", "target"))
    for name, path in files.items():
        data = path.read_bytes()
        mb = len(data) / 1e6
        py_read = best_seconds(lambda: json.loads(data), 5)
        our_read = qor(build, "read", path, 9)
        doc = json.loads(data)
        py_write = best_seconds(lambda: json.dumps(doc), 5)
        our_write = qor(build, "write", path, 9)
        for op, py, ours, target in [("read", py_read, our_read, 2.0), ("write", py_write, our_write, 3.0)]:
            ratio = py / ours
            print("  %-18s %6.1f MB  %-6s %10.0f %10.0f %7.2fx  >= %.0fx %s" % (
                name, mb, op, mb / py, mb / ours, ratio, target, verdict(ratio >= target)))
    print()
    print("Peak memory added by reading a notebook file (file bytes included)")
    for name, path in files.items():
        size = path.stat().st_size
        peak = qor(build, "peak", path)
        print("  %-18s %6.1f MB file  %7.1f MB peak  %.2fx  < 3x %s" % (
            name, size / 1e6, peak / 1e6, peak / size, verdict(peak / size < 3)))
    print()


def bench_celldiff(build, cells):
    import jsondiff

    def reference(old, new):
        d = jsondiff.diff(old, new)
        if isinstance(d, dict):
            d.pop("execution_count", None)
        return d

    print("Cell difference (best time; ratio = ours / jsondiff)")
    figures = {}
    for name, (old_path, new_path) in cells.items():
        old, new = json.loads(old_path.read_text()), json.loads(new_path.read_text())
        runs = 1 if name == "source_2000" else 3
        theirs = best_seconds(lambda: reference(old, new), runs)
        ours = qor(build, "celldiff", old_path, new_path, 201)
        figures[name] = ours
        share = ours / theirs
        print("  %-14s jsondiff %9.1f ms   qor %8.3f ms   %6.3f%%  < 1%% %s" % (
            name, theirs * 1e3, ours * 1e3, share * 100, verdict(share < 0.01)))
    growth = figures["source_2000"] / figures["source_1000"]
    print("  doubling the source length multiplies our time by %.2f  < 4 %s" % (growth, verdict(growth < 4)))
    print()


def bench_merge(build, data_dir):
    """The merge against the simdjson floor (see floor.py), then the Python entry point against
    the native command, and the literal Python statement of the merge for scale."""
    RESULTS.extend(floor.report(build, 7, [], ["jupyter", "compact"]))
    paths = floor.triple(build.resolve() / "bench-data", "m20", "jupyter")
    launcher = str((build / "bench" / "qor_bench").resolve())
    qormerge = str((build / "bin" / "qormerge").resolve())
    from qor_kelm_git.drivers import merge_files
    import shutil
    import statistics
    import tempfile
    native, python = [], []
    with tempfile.TemporaryDirectory() as work:
        target = os.path.join(work, "current.ipynb")
        for _ in range(15):
            shutil.copyfile(paths[1], target)
            native.append(floor.run_process(launcher, [
                qormerge, "--base-file=%s" % paths[0], "--current-file=" + target,
                "--incoming-file=%s" % paths[2], "--file-path=bench.ipynb"], work)[0])
            shutil.copyfile(paths[1], target)
            t0 = time.perf_counter()
            merge_files(str(paths[0]), target, str(paths[2]), "bench.ipynb")
            python.append(time.perf_counter() - t0)
    # Each Python merge against the native one run just before it: load that comes and goes on
    # the machine then weighs on both.
    ratios = [p / n for p, n in zip(python, native)]
    ratio = statistics.median(ratios)
    print("merge_files from Python on m20 (Jupyter layout), 15 runs each, alternately: %.1f ms; "
          "the qormerge process: %.1f ms (medians); run by run %.2fx [%.2f, %.2f]  <= 1.1x %s" % (
              statistics.median(python) * 1e3, statistics.median(native) * 1e3, ratio,
              min(ratios), max(ratios), verdict(ratio <= 1.1)))
    small = [data_dir / ("merge_400_%s.ipynb" % side) for side in ("base", "current", "incoming")]
    if not all(p.exists() for p in small):
        for path, doc in zip(small, gen.merge_triple(400, 40, 40, 46000, 400)):
            path.write_text(json.dumps(doc, indent=1))
    print("the same merge of 400 cells in plain Python (json, jsondiff, GitPython): %.2f s" % (
        reference_seconds(small)))
    print()


def reference_seconds(paths):
    """Time of the literal Python statement of the merge used by the tests, for scale."""
    import shutil
    import tempfile
    import uuid

    import git
    sys.path.insert(0, str(pathlib.Path(__file__).parent.parent / "tests" / "python"))
    import reference_merge

    with tempfile.TemporaryDirectory() as work:
        current = os.path.join(work, "current.ipynb")
        shutil.copy(paths[1], current)
        t0 = time.perf_counter()
        reference_merge.merge_files(str(paths[0]), current, str(paths[2]), "bench.ipynb",
                                    git.cmd.Git(), lambda: str(uuid.uuid4()))
        return time.perf_counter() - t0


def bench_startup(build):
    """The whole small merge by the executable, next to an empty Python start."""
    import shutil
    import tempfile

    case = pathlib.Path(__file__).parent.parent / "tests" / "data" / "merge" / "incoming_change_taken_in_place"
    qormerge = build / "bin" / "qormerge"
    with tempfile.TemporaryDirectory() as work:
        current = os.path.join(work, "current.ipynb")
        args = [str(qormerge), "--base-file", str(case / "base.ipynb"), "--current-file", current,
                "--incoming-file", str(case / "incoming.ipynb")]

        def merge():
            shutil.copy(case / "current.ipynb", current)
            t0 = time.perf_counter()
            subprocess.run(args, check=True)
            return time.perf_counter() - t0

        def python_start():
            t0 = time.perf_counter()
            subprocess.run([sys.executable, "-c", "pass"], check=True)
            return time.perf_counter() - t0

        merges = sorted(merge() for _ in range(41))
        starts = sorted(python_start() for _ in range(41))
    ours, theirs = merges[len(merges) // 2], starts[len(starts) // 2]
    print("Start-up: a small merge by qormerge next to `python3 -c pass` (median of 41 runs)")
    print("  python3 -c pass %6.1f ms   qormerge merge %6.1f ms   %.2f of it  < 1/3 %s" % (
        theirs * 1e3, ours * 1e3, ours / theirs, verdict(ours < theirs / 3)))
    print()


def bench_diff(data_dir):
    """diff_dicts on two versions of the 20 MB notebook, next to json.loads of both."""
    import copy

    from qor_kelm_git.drivers.notebook_diff import diff_dicts

    path = data_dir / "large.ipynb"
    prev_bytes = path.read_bytes()
    current = changed_copy(json.loads(prev_bytes))
    current_bytes = json.dumps(current, indent=1).encode()
    loads = best_seconds(lambda: (json.loads(prev_bytes), json.loads(current_bytes)), 5)
    docs = [(json.loads(prev_bytes), json.loads(current_bytes)) for _ in range(5)]
    times = []
    for prev, cur in docs:
        t0 = time.perf_counter()
        diff_dicts(prev, cur)
        times.append(time.perf_counter() - t0)
    ours = min(times)
    print("diff_dicts from Python on two versions of a %.0f MB notebook (best time)" % (len(prev_bytes) / 1e6))
    print("  json.loads of both %7.1f ms   diff_dicts %7.1f ms   %.3f of it  <= 1 %s" % (
        loads * 1e3, ours * 1e3, ours / loads, verdict(ours <= loads)))
    print()


def changed_copy(doc, seed=7):
    """`doc` with 20 sources edited, a cell deleted and a parameter changed, as bench_diff does."""
    import copy

    current = copy.deepcopy(doc)
    rng = gen.random.Random(seed)
    for cell in rng.sample(current["cells"], 20):
        cell["source"][0] = "# changed\n"
    del current["cells"][5]
    current["metadata"]["canvas"]["parameters"][3]["value"] = "changed"
    return current


def run_seconds(args):
    """Wall and CPU (user + system) seconds of one run of a command."""
    t0 = time.perf_counter()
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise subprocess.CalledProcessError(proc.returncode, args)
    return wall, usage.ru_utime + usage.ru_stime


def spread(values):
    values = sorted(values)
    return values[len(values) // 2], values[0], values[-1]


def bench_views(build, data_dir):
    """qordiff's text and HTML views next to its JSON diff of the same pair (rounds interleaved,
    each ratio taken within one round), and the textconv speed."""
    qordiff = str(build / "bin" / "qordiff")
    prev = data_dir / "large.ipynb"
    current = data_dir / "large_changed.ipynb"
    if not current.exists():
        current.write_text(json.dumps(changed_copy(json.loads(prev.read_text())), indent=1))
    print("qordiff views of two versions of a %.0f MB notebook (7 rounds interleaved; ratio to the JSON\n"
          "diff within each round, median [min, max]; wall clock, and CPU time, which other load\n"
          "on the machine disturbs less)" % (prev.stat().st_size / 1e6))
    runs = {"json": [], "text": [], "html": []}
    for _ in range(7):
        for fmt in runs:
            runs[fmt].append(run_seconds([qordiff, "--format=" + fmt, str(prev), str(current)]))
    print("  %-5s wall %7.1f ms  cpu %7.1f ms" % (
        "json", spread([w for w, _ in runs["json"]])[0] * 1e3, spread([c for _, c in runs["json"]])[0] * 1e3))
    for fmt in ("text", "html"):
        wall = spread([a[0] / b[0] for a, b in zip(runs[fmt], runs["json"])])
        cpu = spread([a[1] / b[1] for a, b in zip(runs[fmt], runs["json"])])
        print("  %-5s wall %.2fx [%.2f, %.2f]  cpu %.2fx [%.2f, %.2f] of json  <= 2x %s" % (
            fmt, *wall, *cpu, verdict(wall[0] <= 2.0)))
    for name in ("large.ipynb", "large_compact.ipynb"):
        path = data_dir / name
        size = path.stat().st_size
        times = [run_seconds([qordiff, "--textconv", str(path)]) for _ in range(7)]
        wall, cpu = min(w for w, _ in times), min(c for _, c in times)
        print("  textconv %-20s %6.0f MB/s wall (best of 7), %6.0f MB/s cpu  >= 200 MB/s %s" % (
            name, size / wall / 1e6, size / cpu / 1e6, verdict(size / wall >= 200e6)))
    path = floor.triple(data_dir, "t20k", "jupyter")[0]
    size = path.stat().st_size
    times = [run_seconds([qordiff, "--textconv", str(path)]) for _ in range(7)]
    wall = spread([w for w, _ in times])
    print("  textconv t20k (20,000 small cells) %6.0f MB/s wall (median of 7; best %.0f), %6.0f MB/s cpu"
          "  >= 300 MB/s %s" % (size / wall[0] / 1e6, size / wall[1] / 1e6,
                                size / min(c for _, c in times) / 1e6, verdict(size / wall[0] >= 300e6)))

    # The HTML page with its folded graph against the JSON diff, on the merge benchmark's pairs
    # (base and current of m20: 2,000 components; of t20k: 20,000), rounds interleaved.
    for name in ("m20", "t20k"):
        pair = floor.triple(data_dir, name, "jupyter")[:2]
        rounds = {"json": [], "html": []}
        for _ in range(5):
            for fmt in rounds:
                rounds[fmt].append(run_seconds([qordiff, "--format=" + fmt, *map(str, pair)]))
        wall = spread([a[0] / b[0] for a, b in zip(rounds["html"], rounds["json"])])
        print("  html on %-4s (folded graph) %7.1f ms, json %7.1f ms: %.2fx [%.2f, %.2f] of json  <= 2x %s" % (
            name, spread([w for w, _ in rounds["html"]])[0] * 1e3,
            spread([w for w, _ in rounds["json"]])[0] * 1e3, *wall, verdict(wall[0] <= 2.0)))

    # The graph layout: 2,000 components (a chain with extra edges), HTML against text.
    big_prev, big_current = data_dir / "layout_2000_prev.ipynb", data_dir / "layout_2000_current.ipynb"
    if not big_current.exists():
        doc = gen.notebook(gen.random.Random(11), 2000, 6, 0, 0)
        for i, cell in enumerate(doc["cells"]):
            if i % 7 == 3 and i > 10:
                cell["metadata"]["canvas"]["parents"].append({"id": "cmp-%06d" % (i - 9), "name": "x"})
        big_prev.write_text(json.dumps(doc))
        big_current.write_text(json.dumps(changed_copy(doc)))
    html = [run_seconds([qordiff, "--format=html", "--graph=full", str(big_prev), str(big_current)])
            for _ in range(3)]
    text = [run_seconds([qordiff, "--format=text", str(big_prev), str(big_current)]) for _ in range(3)]
    (html_wall, html_cpu), (text_wall, text_cpu) = min(html), min(text)
    print("  2,000 components, --graph=full: html %.2f s (cpu %.2f s), text %.2f s (cpu %.2f s): the layout and\n"
          "  drawing take about %.2f s (cpu %.2f s)" % (html_wall, html_cpu, text_wall, text_cpu,
                                                     html_wall - text_wall, html_cpu - text_cpu))


def bench_check(build, data_dir, files=1820, runs=7):
    """`qorgit check` over a repository whose staged notebooks are many small ones (a monorepo's
    pre-commit hook), against `git cat-file --batch` reading the same blobs; alternately, each
    ratio taken within one round."""
    import statistics

    repo = data_dir / ("check_repo_%d" % files)
    env = dict(floor.GIT_ENV, GIT_AUTHOR_NAME="b", GIT_AUTHOR_EMAIL="b@b", GIT_COMMITTER_NAME="b",
               GIT_COMMITTER_EMAIL="b@b")
    if not (repo / ".git").exists():
        repo.mkdir(parents=True, exist_ok=True)
        subprocess.run(["git", "init", "-q", str(repo)], check=True, env=env)
        rng = gen.random.Random(5)
        for k in range(files):
            folder = repo / ("team%02d" % (k % 40))
            folder.mkdir(exist_ok=True)
            doc = gen.notebook(rng, rng.randint(6, 14), 12, 0, 0)
            (folder / ("nb%04d.ipynb" % k)).write_text(json.dumps(doc, indent=1))
        subprocess.run(["git", "add", "-A"], cwd=repo, check=True, env=env)
    listing = subprocess.run(["git", "ls-files", "-s", "-z"], cwd=repo, check=True, env=env,
                             capture_output=True).stdout.split(b"\0")
    objects = b"".join(entry.split(b" ")[1] + b"\n" for entry in listing if entry)
    size = sum(p.stat().st_size for p in repo.rglob("*.ipynb"))
    qorgit = str((build / "bin" / "qorgit").resolve())

    def timed(args, stdin=None):
        t0 = time.perf_counter()
        subprocess.run(args, cwd=repo, env=env, input=stdin, stdout=subprocess.DEVNULL, check=True)
        return time.perf_counter() - t0

    check, cat = [], []
    for _ in range(runs):
        check.append(timed([qorgit, "check"]))
        cat.append(timed(["git", "cat-file", "--batch"], objects))
    ratios = sorted(a / b for a, b in zip(check, cat))
    ratio = statistics.median(ratios)
    print("qorgit check over %d staged notebooks (%.0f MB), %d rounds: %.0f ms; git cat-file --batch\n"
          "  reading the same blobs: %.0f ms (medians); run by run %.2fx [%.2f, %.2f]  <= 3x %s" % (
              files, size / 1e6, runs, statistics.median(check) * 1e3, statistics.median(cat) * 1e3,
              ratio, ratios[0], ratios[-1], verdict(ratio <= 3.0)))
    print()


def run_merge(build, qormerge, paths, work, timeout):
    """Merges a copy of the triple with `qormerge` (git without the user's configuration, as in
    floor.py); returns (seconds, peak RSS in bytes, exit status), or None when it ran longer than
    `timeout` seconds (then it is killed)."""
    import shutil

    current = work / "current.ipynb"
    shutil.copy(paths[1], current)
    out = subprocess.run([str(build / "bench" / "qor_bench"), "run", str(timeout), str(qormerge),
                          "--base-file=%s" % paths[0], "--current-file=%s" % current,
                          "--incoming-file=%s" % paths[2], "--file-path=hostile.ipynb"],
                         env=floor.GIT_ENV, check=True, capture_output=True, text=True).stdout.split()
    if out == ["timeout"]:
        return None
    return float(out[0]), int(out[1]), int(out[2])


def bench_hostile(build, data_dir, baseline=None, timeout=120.0, short=False):
    """The hostile triples of gen.HOSTILE merged by qormerge: time and peak memory against the
    targets, and, with `baseline` (another build's qormerge), the same merge by it in this run."""
    import tempfile

    print("Hostile triples (%s forms): time and peak memory of one merge" % ("test" if short else "benchmark"))
    if baseline:
        print("  before = %s (killed after %.0f s); ratios are before / after" % (baseline, timeout))
    print("  %-22s %9s %9s %9s  %s" % ("triple", "input", "time", "peak", "targets"))
    qormerge = build / "bin" / "qormerge"
    for name, (full, small) in gen.HOSTILE.items():
        tag = "hostile_%s_%s" % (name.replace(" ", "_"), "short" if short else "full")
        paths = [data_dir / ("%s_%s.ipynb" % (tag, side)) for side in ("base", "current", "incoming")]
        if not all(p.exists() for p in paths):
            for path, doc in zip(paths, (small if short else full)()):
                path.write_text(json.dumps(doc))
        sizes = [p.stat().st_size for p in paths]
        total = sum(sizes)
        with tempfile.TemporaryDirectory() as work:
            after = run_merge(build, qormerge, paths, pathlib.Path(work), timeout)
            before = run_merge(build, baseline, paths, pathlib.Path(work), timeout) if baseline else None
        if after is None:
            print("  %-22s %7.2f MB  > %.0f s  %s" % (name, total / 1e6, timeout, verdict(False)))
            continue
        seconds, peak, status = after
        time_limit = 4.0 if max(sizes) > 2 ** 20 else 2.0
        memory_limit = 8 * total + 64 * 2 ** 20
        ok = status == 0 and seconds < time_limit and peak < memory_limit
        print("  %-22s %7.2f MB %7.2f s %6.0f MB  < %.0f s, < %.0f MB, exit %d %s" % (
            name, total / 1e6, seconds, peak / 2 ** 20, time_limit, memory_limit / 2 ** 20, status, verdict(ok)))
        if baseline:
            if before is None:
                print("  %-22s before: > %.0f s (killed)   time ratio > %.0f" % ("", timeout, timeout / seconds))
            else:
                print("  %-22s before: %7.2f s %6.0f MB, exit %d   time ratio %.1f, memory ratio %.1f" % (
                    "", before[0], before[1] / 2 ** 20, before[2], before[0] / seconds, before[1] / peak))
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default="build-bench", type=pathlib.Path)
    parser.add_argument("--baseline", type=pathlib.Path,
                        help="another build's qormerge, run on the hostile triples for before/after ratios")
    parser.add_argument("--hostile-only", action="store_true", help="run the hostile triples only")
    parser.add_argument("--short", action="store_true", help="the tests' forms of the hostile triples")
    parser.add_argument("--timeout", type=float, default=120.0, help="seconds before a hostile merge is killed")
    args = parser.parse_args()
    if args.hostile_only:
        data = args.build / "bench-data"
        data.mkdir(parents=True, exist_ok=True)
        bench_hostile(args.build, data, args.baseline, args.timeout, args.short)
        missed = RESULTS.count(False)
        print("%d of %d targets met" % (len(RESULTS) - missed, len(RESULTS)))
        return
    files, cells = prepare(args.build / "bench-data")
    print("Python %s, json %s" % (sys.version.split()[0], json.__version__))
    print()
    bench_json(args.build, files)
    bench_celldiff(args.build, cells)
    bench_merge(args.build, args.build / "bench-data")
    bench_startup(args.build)
    bench_diff(args.build / "bench-data")
    bench_views(args.build, args.build / "bench-data")
    bench_check(args.build, args.build / "bench-data")
    bench_hostile(args.build, args.build / "bench-data", args.baseline, args.timeout)
    missed = RESULTS.count(False)
    print("%d of %d targets met" % (len(RESULTS) - missed, len(RESULTS)))


if __name__ == "__main__":
    main()
