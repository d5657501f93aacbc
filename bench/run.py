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
    qormerge = str((build / "cli" / "qormerge").resolve())
    from qor_kelm_git.drivers import merge_files
    import shutil
    import statistics
    import tempfile
    native, python = [], []
    with tempfile.TemporaryDirectory() as work:
        target = os.path.join(work, "current.ipynb")
        for _ in range(7):
            shutil.copyfile(paths[1], target)
            native.append(floor.run_process(launcher, [
                qormerge, "--base-file=%s" % paths[0], "--current-file=" + target,
                "--incoming-file=%s" % paths[2], "--file-path=bench.ipynb"], work)[0])
            shutil.copyfile(paths[1], target)
            t0 = time.perf_counter()
            merge_files(str(paths[0]), target, str(paths[2]), "bench.ipynb")
            python.append(time.perf_counter() - t0)
    ratio = statistics.median(python) / statistics.median(native)
    print("merge_files from Python on m20 (Jupyter layout), median of 7: %.1f ms; the qormerge "
          "process: %.1f ms; %.2fx  <= 1.3x %s" % (
              statistics.median(python) * 1e3, statistics.median(native) * 1e3, ratio,
              verdict(ratio <= 1.3)))
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
    qormerge = build / "cli" / "qormerge"
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
    current = json.loads(prev_bytes)
    rng = gen.random.Random(7)
    for cell in rng.sample(current["cells"], 20):
        cell["source"][0] = "# changed\n"
    del current["cells"][5]
    current["metadata"]["canvas"]["parameters"][3]["value"] = "changed"
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


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default="build-bench", type=pathlib.Path)
    args = parser.parse_args()
    files, cells = prepare(args.build / "bench-data")
    print("Python %s, json %s" % (sys.version.split()[0], json.__version__))
    print()
    bench_json(args.build, files)
    bench_celldiff(args.build, cells)
    bench_merge(args.build, args.build / "bench-data")
    bench_startup(args.build)
    bench_diff(args.build / "bench-data")
    missed = RESULTS.count(False)
    print("%d of %d targets met" % (len(RESULTS) - missed, len(RESULTS)))


if __name__ == "__main__":
    main()
