"""The merge against its floors: whole processes, timed from outside, in one run.

For each generated triple, the native `qormerge` process (its git processes included), the
`simdjson_floor` process (simdjson's DOM parser reads the three files, the current one is written
in the merge's output form) and the `io_floor` process (the three files read whole, the current
file's bytes written to a new file that replaces the output durably: synced, renamed, the
directory synced; no parsing) run alternately; the figures are medians over the runs, with the
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
                if label in ("floor", "io"):
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


# Targets of the merge time against the durable I/O floor, by triple.
IO_TARGET = {"m1": 1.2, "m20": 1.2, "t20k": 1.5}
# Peak memory of the merge at most this multiple of the three inputs together.
PEAK_TARGET = 1.5


def report(build, runs, others, forms):
    build = build.resolve()
    data_dir = build / "bench-data"
    launcher = str(build / "bench" / "qor_bench")
    programs = [("floor", str(build / "bench" / "simdjson_floor")),
                ("io", str(build / "bench" / "io_floor")),
                ("qormerge", str(build / "bin" / "qormerge"))]
    programs += [("other%d" % k, str(p.resolve())) for k, p in enumerate(others)]
    print("Merge against the simdjson floor and the durable I/O floor (whole processes; median of %d\n"
          "runs each, %d for m1, run alternately; spread = lowest..highest run ratio to the I/O floor)"
          % (runs, runs * RUNS_FACTOR["m1"]))
    # What the process holds before it reads anything (its code, the C++ runtime, the stack): the
    # smallest peak of a run that only prints the version. The "net" column is the merge's peak
    # above it, against the input: the memory the merge itself takes.
    startup = min(run_process(launcher, [programs[2][1], "--version"], str(build))[1] for _ in range(5))
    print("  net = the merge's peak above that of `qormerge --version` (%.1f MB), over the input"
          % (startup / 1e6))
    print("  %-5s %-8s %7s %9s %9s %9s %7s %7s %11s %7s %6s %9s %9s" % (
        "", "form", "input", "simdjson", "I/O", "merge", "/simd", "/I/O", "spread", "peak", "/input",
        "I/O peak", "net"))
    verdicts = []
    for name, label, _ in TRIPLES:
        for form in forms:
            paths = triple(data_dir, name, form)
            size = sum(p.stat().st_size for p in paths)
            res = measure(launcher, programs, paths, runs * RUNS_FACTOR.get(name, 1))
            s_med = statistics.median(res["floor"][0])
            io_med = statistics.median(res["io"][0])
            for prog, _ in programs[2:]:
                times, peaks = res[prog]
                med = statistics.median(times)
                ratios = sorted(t / f for t, f in zip(times, res["io"][0]))
                peak = max(peaks)
                time_ok = med / io_med <= IO_TARGET[name]
                peak_ok = peak <= PEAK_TARGET * size
                ok = time_ok and peak_ok
                verdicts.append(ok)
                # The I/O floor's own peak over the input: what reading the files whole costs.
                io_peak = max(res["io"][1])
                print("  %-5s %-8s %5.0f MB %7.1f ms %7.1f ms %7.1f ms %6.2fx %6.2fx %5.2f..%-5.2f %4.0f MB %5.2fx %8.2fx %8.2fx %s%s" % (
                    name, form, size / 1e6, s_med * 1e3, io_med * 1e3, med * 1e3, med / s_med,
                    med / io_med, ratios[0], ratios[-1], peak / 1e6, peak / size, io_peak / size,
                    (peak - startup) / size,
                    "" if prog == "qormerge" else "(" + prog + ") ",
                    "ok" if ok else "MISSED: %s" % ", ".join(
                        ([] if time_ok else ["time (<= %.1fx the I/O floor)" % IO_TARGET[name]]) +
                        ([] if peak_ok else ["peak (<= %.1fx input)" % PEAK_TARGET]))))
    # The generated sides edit the cells they both change apart, which the merge settles without
    # git; the same triple with those edits side by side shows what the git processes cost.
    paths = triple(data_dir, "m1", forms[0], meeting=True)
    res = measure(launcher, [programs[1], programs[2]], paths, runs * RUNS_FACTOR["m1"])
    f_med, med = statistics.median(res["io"][0]), statistics.median(res["qormerge"][0])
    print("  m1 (%s) with the sides' edits of the same cells side by side, so that git merges "
          "them\n  (conflicts): I/O floor %.1f ms, merge %.1f ms, %.2fx (no target)"
          % (forms[0], f_med * 1e3, med * 1e3, med / f_med))
    # A notebook as Jupyter saves it, written back in that form: what is carried over unread goes
    # out from its text here too.
    paths = triple(data_dir, "m20", "saved")
    qormerge = str(build / "bin" / "qormerge")
    res = measure(launcher, [("default", qormerge), ("jupyter", [qormerge, "--layout=jupyter"])],
                  paths, runs)
    default, jupyter = (statistics.median(res[k][0]) for k in ("default", "jupyter"))
    print("  m20 as Jupyter saves it (keys sorted), merged with --layout=jupyter: %.1f ms;\n"
          "  with the default layout: %.1f ms; %.2fx (no target)"
          % (jupyter * 1e3, default * 1e3, jupyter / default))
    verdicts.append(non_ascii(launcher, data_dir, qormerge, runs))
    print()
    return verdicts


def has_wide_escape():
    """Whether this processor takes the writer's vector path for non-ASCII text (the flags the
    program checks when it starts)."""
    try:
        flags = set(pathlib.Path("/proc/cpuinfo").read_text().split())
    except OSError:
        return False
    return {"avx512_vbmi2", "avx512vl", "avx512bw", "bmi2"} <= flags


def non_ascii(launcher, data_dir, qormerge, runs):
    """m20 as Jupyter saves it with 30% of its text non-ASCII, merged next to its ASCII twin (the
    same notebook with each such character two ASCII letters, so the files have the same sizes),
    alternately; each layout. Returns whether the default layout's ratio meets its target."""
    ok = True
    twins = {}
    print("  (the writer escapes such text %s)" % (
        "64 bytes at a time: the processor has AVX-512 VBMI2" if has_wide_escape()
        else "byte by byte: the processor has no AVX-512 VBMI2"))
    for kind in ("ascii", "accented"):
        paths = [data_dir / ("m20_saved_%s_%s.ipynb" % (kind, side)) for side in ("base", "current", "incoming")]
        if not all(p.exists() for p in paths):
            cells, lines, every, image = dict((n, p) for n, _, p in TRIPLES)["m20"]
            for path, doc in zip(paths, gen.merge_triple(cells, lines, every, image, cells)):
                doc = gen.accented(doc, ascii_twin=kind == "ascii")
                path.write_bytes((json.dumps(doc, **FORMS["saved"])).encode())
        twins[kind] = paths
    for layout in ("default", "jupyter"):
        program = [qormerge] + (["--layout=jupyter"] if layout == "jupyter" else [])
        res = {}
        for _ in range(runs):
            for kind, paths in twins.items():
                res.setdefault(kind, []).append(measure(launcher, [(kind, program)], paths, 1)[kind][0][0])
        ratios = sorted(a / b for a, b in zip(res["accented"], res["ascii"]))
        ratio = statistics.median(res["accented"]) / statistics.median(res["ascii"])
        verdict = ratio <= 1.1
        if layout == "default":
            ok = verdict
        accented, ascii = (statistics.median(res[k]) for k in ("accented", "ascii"))
        print("  m20 saved with 30%% of its text non-ASCII, %s layout: %.1f ms; ASCII twin %.1f ms"
              " (+%.1f ms); %.2fx [%.2f..%.2f]  <= 1.1x %s" % (
                  layout, accented * 1e3, ascii * 1e3, (accented - ascii) * 1e3, ratio, ratios[0],
                  ratios[-1], "ok" if verdict else "MISSED"))
        if layout == "default":
            output_floor(launcher, data_dir, program, twins, runs)
    return ok


def output_floor(launcher, data_dir, program, twins, runs):
    """The default layout writes each non-ASCII character as a \\u escape, so the accented merge's
    output is larger than its twin's: what writing it alone costs is the I/O floor's run with each
    merge's output in place of the current file (the same reads, the larger file written)."""
    outputs = {}
    with tempfile.TemporaryDirectory() as work:
        for kind, (base, current, incoming) in twins.items():
            target = pathlib.Path(work) / "current.ipynb"
            shutil.copyfile(current, target)
            run_process(launcher, program + ["--base-file=%s" % base, "--current-file=%s" % target,
                                             "--incoming-file=%s" % incoming, "--file-path=bench.ipynb"],
                        work)
            outputs[kind] = data_dir / ("m20_saved_%s_merged.ipynb" % kind)
            shutil.copyfile(target, outputs[kind])
    io_floor = str(pathlib.Path(launcher).parent / "io_floor")
    res = {}
    for _ in range(runs):
        for kind, (base, _, incoming) in twins.items():
            res.setdefault(kind, []).append(
                measure(launcher, [("io", io_floor)], [base, outputs[kind], incoming], 1)["io"][0][0])
    ratios = sorted(a / b for a, b in zip(res["accented"], res["ascii"]))
    sizes = [outputs[k].stat().st_size / 1e6 for k in ("accented", "ascii")]
    accented, ascii = (statistics.median(res[k]) for k in ("accented", "ascii"))
    print("    the I/O floor writing the two merges' outputs (%.1f MB, %.1f MB): %.1f ms, %.1f ms"
          " (+%.1f ms); %.2fx [%.2f..%.2f]" % (sizes[0], sizes[1], accented * 1e3, ascii * 1e3,
                                                (accented - ascii) * 1e3, accented / ascii,
                                                ratios[0], ratios[-1]))


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
