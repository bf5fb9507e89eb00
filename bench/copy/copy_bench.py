#!/usr/bin/env python3
"""Copy benchmark: the updater end to end against `cp -a` + `sync -f` on the same staged trees.

Three trees are generated once (deterministic contents):
  a) game client: about 2000 files and 200 MB in nested folders, four large packs;
  b) 5000 files of 1 KB;
  c) 50 000 files of 100 bytes.
Each round stages a fresh installation for each contender from the same master tree on the same file
system, runs `sync`, and times one contender; the order alternates between rounds. The updater runs under
the tiny C runner of the start-up benchmark, which also reads its peak resident set size. Reports the
medians and their ratio, and writes them as CSV for the plot.

  bench/copy/copy_bench.py --build build/linux [--rounds 5] [--replacing] [--trees abc] [--work DIR] [--csv FILE]

The player's wait is the time until the launcher is started again; "lock held" is how long after that
start a second updater would still find the single-instance lock taken.
"""

import argparse
import csv
import os
import random
import shutil
import statistics
import subprocess
import sys
import threading
import time

MiB = 1 << 20


def make_tree_a(root):
    rng = random.Random(2026)
    os.makedirs(root)
    # Four large packs: 4 x 32 MiB.
    for i in range(4):
        path = os.path.join(root, "data", "packs", f"pack{i}.pak")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            for _ in range(32):
                out.write(rng.randbytes(MiB))
    # 1996 small and medium files, about 72 MiB, up to five folders deep.
    remaining = 72 * MiB
    count = 1996
    for i in range(count):
        depth = rng.randint(1, 5)
        folders = [f"dir{rng.randint(0, 7)}" for _ in range(depth)]
        size = remaining // (count - i) if i == count - 1 else min(remaining, int(rng.lognormvariate(9.6, 1.3)))
        remaining -= size
        path = os.path.join(root, "bin", *folders, f"file{i}.dat")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(rng.randbytes(size))


def make_tree_b(root):
    rng = random.Random(2027)
    for i in range(5000):
        path = os.path.join(root, f"dir{i % 10}", f"small{i}.dat")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(rng.randbytes(1024))


def make_tree_c(root):
    rng = random.Random(2028)
    for i in range(50000):
        path = os.path.join(root, f"dir{i % 50}", f"tiny{i}.dat")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(rng.randbytes(100))


def tree_stats(root):
    files = 0
    size = 0
    for folder, _, names in os.walk(root):
        for name in names:
            files += 1
            size += os.lstat(os.path.join(folder, name)).st_size
    return files, size


def run(command, cwd=None):
    subprocess.run(command, cwd=cwd, check=True)


def wait_for_launcher(installation):
    """The launcher the updater started writes its start mark; the next round must not race it."""
    mark = os.path.join(installation, "launcher_started.txt")
    deadline = time.monotonic() + 10
    while not os.path.exists(mark) and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.05)


def stage(master, installation, launcher, replacing):
    """A fresh installation with the tree staged; `replacing`: the installation already holds the tree."""
    if os.path.exists(installation):
        shutil.rmtree(installation)
    os.makedirs(installation)
    run(["cp", "-a", master, os.path.join(installation, "self_update")])
    if replacing:
        installed = os.path.join(installation, "installed")
        run(["cp", "-a", master, installed])
        for name in os.listdir(installed):
            os.rename(os.path.join(installed, name), os.path.join(installation, name))
        os.rmdir(installed)
    shutil.copy2(launcher, os.path.join(installation, "QORLauncher.exe"))
    run(["sync"])


CLOCK_LOG = "launcher_clock.txt"  # the started launcher stamps its start here (monotonic clock)


def launcher_start_ns(installation):
    deadline = time.monotonic() + 10
    path = os.path.join(installation, CLOCK_LOG)
    while time.monotonic() < deadline:
        if os.path.exists(path):
            with open(path) as stamps:
                for line in stamps:
                    event, _, ns = line.partition(" ")
                    if event == "start":
                        return int(ns)
        time.sleep(0.01)
    sys.exit("the launcher did not stamp its start")


UPDATER_LOCK = "/tmp/QOR_LauncherUpdater.lock"


class LockWatch(threading.Thread):
    """Watches the updater's single-instance lock in /proc/locks, without ever taking it (a probe that took
    it for an instant could make the updater fail), and notes when it was last seen held."""

    def __init__(self):
        super().__init__(daemon=True)
        self.released_ns = None
        self.stop = False

    def held(self):
        try:
            inode = os.stat(UPDATER_LOCK).st_ino
        except FileNotFoundError:
            return False
        with open("/proc/locks") as locks:
            return any(line.split()[1] == "FLOCK" and line.split()[5].endswith(f":{inode}") for line in locks)

    def run(self):
        seen = False
        while not self.stop:
            if self.held():
                seen = True
            elif seen:
                self.released_ns = time.monotonic_ns()
                return
            time.sleep(0.0001)


def time_updater(installation, updater, runner):
    """Wall time of the whole run and until the launcher's start, in seconds, how long the lock stayed
    held after that start, and peak RSS in KiB."""
    started = time.monotonic_ns()
    env = dict(os.environ, QOR_LAUNCHER_CLOCK_LOG=CLOCK_LOG)
    watch = LockWatch()
    watch.start()
    output = subprocess.run([runner, installation, updater], check=True, capture_output=True, text=True,
                            env=env).stdout
    watch.stop = True
    watch.join()
    nanoseconds, peak_kib, code = (int(field) for field in output.split())
    elapsed = nanoseconds / 1e9
    if code != 0:
        sys.exit(f"the updater failed with exit code {code} in {installation}")
    if os.path.exists(os.path.join(installation, "self_update")):
        sys.exit("the updater left the staging tree behind")
    wait_for_launcher(installation)
    launched = launcher_start_ns(installation)
    held = max(0, (time.monotonic_ns() if watch.released_ns is None else watch.released_ns) - launched) / 1e9
    return elapsed, (launched - started) / 1e9, held, peak_kib


def time_cp(installation):
    """cp -a of the staged tree over the installation, then a flush of its file system."""
    source = os.path.join(installation, "self_update")
    target = installation
    start = time.perf_counter()
    run(["cp", "-a", source + "/.", target + "/"])
    run(["sync", "-f", target])
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build/linux", help="build folder of the linux preset")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--work", help="scratch folder, on the build's file system (default: <build>/bench-copy)")
    parser.add_argument("--csv", help="result file (default: <build>/bench-results/copy.csv)")
    parser.add_argument("--replacing", action="store_true",
                        help="also each tree over an installation that already holds it (every file replaced)")
    parser.add_argument("--trees", default="abc", help="which trees to run (letters of a, b, c)")
    args = parser.parse_args()

    build = os.path.abspath(args.build)
    updater = os.path.join(build, "src", "QORLauncherUpdater", "QORLauncherUpdater.exe")
    launcher = os.path.join(build, "examples", "launcher", "QORLauncher.exe")
    runner = os.path.join(build, "bench", "startup", "qor_bench_runner")
    for program in (updater, launcher, runner):
        if not os.access(program, os.X_OK):
            sys.exit(f"missing {program}: build the linux preset first")
    work = os.path.abspath(args.work or os.path.join(build, "bench-copy"))
    result = os.path.abspath(args.csv or os.path.join(build, "bench-results", "copy.csv"))
    os.makedirs(os.path.dirname(result), exist_ok=True)

    trees = {"a: game client": ("tree_a", make_tree_a), "b: 5000 x 1 KB": ("tree_b", make_tree_b),
             "c: 50000 x 100 B": ("tree_c", make_tree_c)}
    scenarios = [(label, name, maker, replacing) for label, (name, maker) in trees.items()
                 if label[0] in args.trees for replacing in ([False, True] if args.replacing else [False])]
    rows = []
    for label, name, maker, replacing in scenarios:
        label = label + (" (replacing)" if replacing else "")
        master = os.path.join(work, "masters", name)
        if not os.path.isdir(master):
            print(f"generating {label} in {master}", flush=True)
            maker(master)
        files, size = tree_stats(master)
        installation = os.path.join(work, "installation")
        times = {"updater": [], "cp": [], "relaunch": [], "held": []}
        peaks = []
        for round_index in range(args.rounds):
            order = ["updater", "cp"] if round_index % 2 == 0 else ["cp", "updater"]
            for contender in order:
                stage(master, installation, launcher, replacing)
                if contender == "updater":
                    elapsed, relaunch, held, peak = time_updater(installation, updater, runner)
                    times["updater"].append(elapsed)
                    times["relaunch"].append(relaunch)
                    times["held"].append(held)
                    peaks.append(peak)
                else:
                    times["cp"].append(time_cp(installation))
            print(f"{label} round {round_index + 1}: updater {times['updater'][-1]:.3f} s "
                  f"(launcher started after {times['relaunch'][-1]:.3f} s, lock held {times['held'][-1] * 1000:.1f} ms "
                  f"after that), cp {times['cp'][-1]:.3f} s", flush=True)
        shutil.rmtree(installation, ignore_errors=True)
        median_updater = statistics.median(times["updater"])
        median_cp = statistics.median(times["cp"])
        rows.append({
            "tree": label, "files": files, "bytes": size, "rounds": args.rounds,
            "updater_median_s": f"{median_updater:.4f}", "cp_median_s": f"{median_cp:.4f}",
            "ratio": f"{median_updater / median_cp:.3f}",
            "updater_peak_rss_kib": max(peaks),
            "relaunch_median_s": f"{statistics.median(times['relaunch']):.4f}",
            "relaunch_ratio": f"{statistics.median(times['relaunch']) / median_cp:.3f}",
            "lock_held_after_relaunch_max_ms": f"{max(times['held']) * 1000:.2f}",
            "updater_all_s": " ".join(f"{t:.4f}" for t in times["updater"]),
            "cp_all_s": " ".join(f"{t:.4f}" for t in times["cp"]),
        })

    with open(result, "w", newline="") as out:
        writer = csv.DictWriter(out, fieldnames=list(rows[0].keys()))
        writer.writeheader()
        writer.writerows(rows)
    print()
    print("| tree | files | MiB | updater (median) | launcher started after | cp -a + sync -f (median) | ratio "
          "| wait ratio | lock held after the start (max) | updater peak RSS |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for row in rows:
        print(f"| {row['tree']} | {row['files']} | {int(row['bytes']) / MiB:.1f} | {float(row['updater_median_s']):.3f} s "
              f"| {float(row['relaunch_median_s']):.3f} s | {float(row['cp_median_s']):.3f} s "
              f"| {float(row['ratio']):.3f} | {float(row['relaunch_ratio']):.3f} "
              f"| {row['lock_held_after_relaunch_max_ms']} ms | {row['updater_peak_rss_kib'] / 1024:.1f} MiB |")
    print(f"\nwritten to {result}")


if __name__ == "__main__":
    main()
