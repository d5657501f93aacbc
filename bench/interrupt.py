"""Interrupts qormerge hundreds of times at random moments on each way the current file is
written (atomic replacement, hard link, owner not keepable, directory refusing new files) with
SIGKILL, SIGINT, SIGTERM and SIGHUP, and counts what each run left (see
tests/cli/interruptions.py): old, new, kept (the copy of the old content beside a file a kill cut
short), corrupt (none of these), and files left behind. Then times uninterrupted merges on each
way, against a baseline qormerge when one is given (ratio of medians, with the spread).

Usage: python3 bench/interrupt.py --build BUILD_DIR [--runs 300] [--mb 4] [--baseline OLD/qormerge]
The ways that run the merge as another user need root; they are skipped otherwise.
"""
import argparse
import os
import pathlib
import signal
import statistics
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "cli"))
import interruptions  # noqa: E402


def ways():
    return [w for w, needs_root in interruptions.WAYS.items() if os.geteuid() == 0 or not needs_root]


def counts(qormerge, runs, size):
    print("Interrupted merges of a %.1f MB notebook, %d per way and signal" % (size / 1e6, runs))
    print("  %-20s %-8s %6s %6s %6s %8s %10s" % ("way", "signal", "old", "new", "kept", "corrupt",
                                                  "leftovers"))
    corrupt = 0
    for way in ways():
        for sig in interruptions.SIGNALS:
            verdicts, leftovers, _ = interruptions.interrupt(qormerge, way, sig, runs, size)
            corrupt += verdicts["corrupt"]
            print("  %-20s %-8s %6d %6d %6d %8d %10d" % (
                way, sig.name, verdicts["old"], verdicts["new"], verdicts["kept"],
                verdicts["corrupt"], sum(leftovers.values())), flush=True)
    return corrupt


def durations(programs, way, size, runs):
    """Times of `runs` uninterrupted merges by each of `programs`, taken in turn (so that a
    change of the machine's load falls on all of them alike)."""
    scenes = [interruptions.Scene(p, way, size) for p in programs]
    try:
        times = [[] for _ in programs]
        for _ in range(runs):
            for scene, spent in zip(scenes, times):
                t0 = time.perf_counter()
                proc = scene.start()
                proc.communicate()
                spent.append(time.perf_counter() - t0)
                scene.reset()
        return times
    finally:
        for scene in scenes:
            scene.close()


def timings(qormerge, baseline, size, runs):
    print()
    print("Uninterrupted merges (median ms over %d runs; ratio = ours / baseline, with the spread "
          "of the ratio between the quartiles)" % runs)
    for way in ways():
        if baseline:
            ours, theirs = durations([qormerge, baseline], way, size, runs)
        else:
            (ours,) = durations([qormerge], way, size, runs)
        line = "  %-20s %8.1f ms" % (way, statistics.median(ours) * 1e3)
        if baseline:
            q_ours, q_theirs = statistics.quantiles(ours, n=4), statistics.quantiles(theirs, n=4)
            line += "  baseline %8.1f ms  ratio %.2f (%.2f-%.2f)" % (
                statistics.median(theirs) * 1e3, statistics.median(ours) / statistics.median(theirs),
                q_ours[0] / q_theirs[2], q_ours[2] / q_theirs[0])
        print(line, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build-bench", type=pathlib.Path)
    parser.add_argument("--runs", type=int, default=300, help="interruptions per way and signal")
    parser.add_argument("--mb", type=float, default=4.0, help="size of the notebook")
    parser.add_argument("--timing-runs", type=int, default=21)
    parser.add_argument("--baseline", type=pathlib.Path, help="another qormerge to interrupt and time")
    args = parser.parse_args()
    qormerge = str(args.build / "bin" / "qormerge")
    size = int(args.mb * 1e6)
    corrupt = counts(qormerge, args.runs, size)
    if args.baseline:
        print()
        print("Baseline %s" % args.baseline)
        counts(str(args.baseline), args.runs, size)
    timings(qormerge, args.baseline and str(args.baseline), size, args.timing_runs)
    print()
    print("corrupted notebooks: %d" % corrupt)
    return 1 if corrupt else 0


if __name__ == "__main__":
    sys.exit(main())
