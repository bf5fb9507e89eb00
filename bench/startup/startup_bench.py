#!/usr/bin/env python3
"""Start-up benchmark: wall time and peak memory of one whole updater run with a one-file staging tree
and no launcher running, against a trivial C program measured in the same run.

Each run is timed from fork to exit by a tiny C runner; the peak resident set size comes from wait4's
rusage of that one child (a child forked from Python would report Python's size). Runs alternate between the two programs; medians are reported and written as CSV.

  bench/startup/startup_bench.py --build build/linux [--runs 30] [--csv FILE]
"""

import argparse
import csv
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def measure(runner, program, cwd):
    out = subprocess.run([runner, cwd, program], check=True, capture_output=True, text=True).stdout.split()
    return int(out[0]) / 1e9, int(out[1]), int(out[2])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build/linux", help="build folder of the linux preset")
    parser.add_argument("--runs", type=int, default=30)
    parser.add_argument("--csv", help="result file (default: <build>/bench-results/startup.csv)")
    args = parser.parse_args()

    build = os.path.abspath(args.build)
    updater = os.path.join(build, "src", "QORLauncherUpdater", "QORLauncherUpdater.exe")
    launcher = os.path.join(build, "examples", "launcher", "QORLauncher.exe")
    trivial = os.path.join(build, "bench", "startup", "qor_trivial_program")
    runner = os.path.join(build, "bench", "startup", "qor_bench_runner")
    for program in (updater, launcher, trivial, runner):
        if not os.access(program, os.X_OK):
            sys.exit(f"missing {program}: build the linux preset first")
    result = os.path.abspath(args.csv or os.path.join(build, "bench-results", "startup.csv"))
    os.makedirs(os.path.dirname(result), exist_ok=True)

    samples = {"updater": [], "trivial": []}
    scratch = tempfile.mkdtemp(prefix="qor-startup-", dir=build)
    try:
        installation = os.path.join(scratch, "installation")
        for _ in range(args.runs):
            # A fresh installation each time: one staged file, the launcher present but not running.
            shutil.rmtree(installation, ignore_errors=True)
            os.makedirs(os.path.join(installation, "self_update"))
            with open(os.path.join(installation, "self_update", "version.txt"), "w") as out:
                out.write("22.0.0.1\n")
            shutil.copy2(launcher, os.path.join(installation, "QORLauncher.exe"))
            elapsed, rss, code = measure(runner, updater, installation)
            if code != 0:
                sys.exit(f"the updater failed with exit code {code}")
            samples["updater"].append((elapsed, rss))
            elapsed, rss, code = measure(runner, trivial, installation)
            samples["trivial"].append((elapsed, rss))
            # The launcher the updater started ends on its own; let it finish before the folder goes.
            deadline = time.monotonic() + 10
            while not os.path.exists(os.path.join(installation, "launcher_started.txt")) and time.monotonic() < deadline:
                time.sleep(0.01)
            time.sleep(0.05)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    rows = []
    for name, values in samples.items():
        times = [t for t, _ in values]
        rss = [r for _, r in values]
        rows.append({
            "program": name, "runs": len(values),
            "wall_median_ms": f"{statistics.median(times) * 1000:.2f}",
            "wall_min_ms": f"{min(times) * 1000:.2f}", "wall_max_ms": f"{max(times) * 1000:.2f}",
            "peak_rss_median_kib": int(statistics.median(rss)), "peak_rss_max_kib": max(rss),
        })
    with open(result, "w", newline="") as out:
        writer = csv.DictWriter(out, fieldnames=list(rows[0].keys()))
        writer.writeheader()
        writer.writerows(rows)
    print("| program | runs | wall time median (min-max) | peak RSS median (max) |")
    print("|---|---|---|---|")
    for row in rows:
        print(f"| {row['program']} | {row['runs']} | {row['wall_median_ms']} ms ({row['wall_min_ms']}-{row['wall_max_ms']}) "
              f"| {row['peak_rss_median_kib']} KiB ({row['peak_rss_max_kib']}) |")
    print(f"\nwritten to {result}")


if __name__ == "__main__":
    main()
