"""The merge against the simdjson floor: whole processes, timed from outside, in one run.

For each generated triple, the native `qormerge` process (its git processes included) and the
`simdjson_floor` process (simdjson's DOM parser reads the three files, the current one is written
in the merge's output form) run alternately; the figures are medians over the runs, with the
spread of the ratio over the runs. Peak memory is the largest resident size of the process.

Usage: python3 bench/floor.py --build BUILD_DIR [--runs N] [--qormerge OTHER ...]
"""
import argparse
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import gen  # noqa: E402

# name, label, (cells, source lines, image every, image bytes)
TRIPLES = [
    ("m1", "200 cells", (200, 24, 0, 0)),
    ("m20", "2,000 cells, images", (2000, 60, 6, 46000)),
    ("t20k", "20,000 small cells", (20000, 24, 0, 0)),
]
# Runs of a triple, as a multiple of the runs asked for: m1 takes milliseconds, so the noise of a
# shared machine moves its median most, and more runs cost little.
RUNS_FACTOR = {"m1": 3}

# Jupyter writes notebooks with indent=1; the merge writes them in json.dumps' compact form.
# "saved" is the whole form Jupyter saves in, keys sorted, which --layout=jupyter writes.
FORMS = {"jupyter": {"indent": 1}, "compact": {},
         "saved": {"indent": 1, "sort_keys": True, "ensure_ascii": False}}

GIT_ENV = dict(os.environ, GIT_CONFIG_GLOBAL="/dev/null", GIT_CONFIG_NOSYSTEM="1")


def triple(data_dir, name, form, meeting=False):
    cells, lines, every, image = dict((n, p) for n, _, p in TRIPLES)[name]
    stem = name + ("_meeting" if meeting else "")
    paths = [data_dir / ("%s_%s_%s.ipynb" % (stem, form, side)) for side in ("base", "current", "incoming")]
    if not all(p.exists() for p in paths):
        data_dir.mkdir(parents=True, exist_ok=True)
        for path, doc in zip(paths, gen.merge_triple(cells, lines, every, image, cells, meeting)):
            path.write_text(json.dumps(doc, **FORMS[form]))
    return paths


def run_process(launcher, args, cwd):
    """Wall seconds and peak resident bytes of one process, started by the small launcher (a
    process started from this large Python process would inherit its peak)."""
    out = subprocess.run([launcher, "run", "600", *args], cwd=cwd, env=GIT_ENV, check=True,
                         capture_output=True, text=True).stdout.split()
    if out == ["timeout"] or int(out[2]) != 0:
        raise RuntimeError("%s failed: %s" % (args[0], " ".join(out)))
    return float(out[0]), int(out[1])


def measure(launcher, programs, paths, runs):
    """{label: ([seconds...], [peak bytes...])} for each program, run alternately."""
    base, current, incoming = map(str, paths)
    results = {label: ([], []) for label, _ in programs}
    with tempfile.TemporaryDirectory() as work:
        target = os.path.join(work, "current.ipynb")
        for _ in range(runs):
            for label, program in programs:
                shutil.copyfile(current, target)
                if label == "floor":
                    args = [program, base, target, incoming, target]
                else:
                    # A program may come with options of its own: [path, option...].
                    args = ([program] if isinstance(program, str) else list(program)) + [
                        "--base-file=" + base, "--current-file=" + target,
                        "--incoming-file=" + incoming, "--file-path=bench.ipynb"]
                seconds, peak = run_process(launcher, args, work)
                results[label][0].append(seconds)
                results[label][1].append(peak)
    return results


def report(build, runs, others, forms):
    build = build.resolve()
    data_dir = build / "bench-data"
    floor = str(build / "bench" / "simdjson_floor")
    programs = [("floor", floor), ("qormerge", str(build / "bin" / "qormerge"))]
    programs += [("other%d" % k, str(p.resolve())) for k, p in enumerate(others)]
    print("Merge against the simdjson floor (whole processes; median of %d runs each, %d for m1, "
          "run alternately; ratio spread = lowest..highest run ratio)"
          % (runs, runs * RUNS_FACTOR["m1"]))
    print("  %-5s %-8s %7s %9s %9s %7s %13s %9s %9s %6s" % (
        "", "form", "input", "floor", "merge", "ratio", "spread", "peak", "floor pk", "/input"))
    verdicts = []
    for name, label, _ in TRIPLES:
        for form in forms:
            paths = triple(data_dir, name, form)
            size = sum(p.stat().st_size for p in paths)
            res = measure(str(build / "bench" / "qor_bench"), programs, paths,
                          runs * RUNS_FACTOR.get(name, 1))
            f_med = statistics.median(res["floor"][0])
            for prog, _ in programs[1:]:
                times, peaks = res[prog]
                med = statistics.median(times)
                ratios = sorted(t / f for t, f in zip(times, res["floor"][0]))
                peak = max(peaks)
                ok = med / f_med <= 1.2 and peak <= 2.5 * size
                verdicts.append(ok)
                print("  %-5s %-8s %5.0f MB %7.1f ms %7.1f ms %6.2fx %6.2f..%-5.2f %6.0f MB %6.0f MB %5.2fx %s%s" % (
                    name, form, size / 1e6, f_med * 1e3, med * 1e3, med / f_med, ratios[0], ratios[-1],
                    peak / 1e6, max(res["floor"][1]) / 1e6, peak / size,
                    "" if prog == "qormerge" else "(" + prog + ") ",
                    "ok" if ok else "MISSED (<= 1.2x, peak <= 2.5x input)"))
    # The generated sides edit the cells they both change apart, which the merge settles without
    # git; the same triple with those edits side by side shows what the git processes cost.
    paths = triple(data_dir, "m1", forms[0], meeting=True)
    res = measure(str(build / "bench" / "qor_bench"), programs[:2], paths, runs * RUNS_FACTOR["m1"])
    f_med, med = statistics.median(res["floor"][0]), statistics.median(res["qormerge"][0])
    print("  m1 (%s) with the sides' edits of the same cells side by side, so that git merges "
          "them\n  (conflicts): floor %.1f ms, merge %.1f ms, %.2fx (no target)"
          % (forms[0], f_med * 1e3, med * 1e3, med / f_med))
    # A notebook as Jupyter saves it, written back in that form: what is carried over unread goes
    # out from its text here too.
    paths = triple(data_dir, "m20", "saved")
    qormerge = str(build / "bin" / "qormerge")
    res = measure(str(build / "bench" / "qor_bench"),
                  [("default", qormerge), ("jupyter", [qormerge, "--layout=jupyter"])], paths, runs)
    default, jupyter = (statistics.median(res[k][0]) for k in ("default", "jupyter"))
    print("  m20 as Jupyter saves it (keys sorted), merged with --layout=jupyter: %.1f ms;\n"
          "  with the default layout: %.1f ms; %.2fx (no target)"
          % (jupyter * 1e3, default * 1e3, jupyter / default))
    print()
    return verdicts


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default="build-bench", type=pathlib.Path)
    parser.add_argument("--runs", default=7, type=int)
    parser.add_argument("--form", choices=sorted(FORMS), action="append")
    parser.add_argument("--qormerge", action="append", default=[], type=pathlib.Path,
                        help="another qormerge executable to time in the same run")
    args = parser.parse_args()
    report(args.build, args.runs, args.qormerge, args.form or ["jupyter", "compact"])


if __name__ == "__main__":
    main()
