#!/usr/bin/env python3
"""Handover benchmark: the player's wait between the launcher's exit and the start of the launcher the
updater starts again, for a one-file update, with the exit at random moments of the updater's wait.

Each run makes a fresh installation (the example launcher, the updater, one staged file) and starts
`QORLauncher.exe --start-updater --hold-ms <random>`: the launcher starts the updater, holds its mutex
for the random time and exits. Both launchers stamp their own moments with QOR_LAUNCHER_CLOCK_LOG on
the system-wide monotonic clock: the handover is the second launcher's "start" minus the first one's
"exit". The random hold is uniform over --hold-span-ms (default 1 s, one period of a once-a-second
probe) after --hold-min-ms, so the exit falls at every phase of a periodic probe. Reports the median
and the maximum and writes every run as CSV.

  bench/handover/handover_bench.py --build build/linux [--runs 20] [--updater FILE] [--csv FILE]
  bench/handover/handover_bench.py --build build/windows --wine        (Windows build under Wine)

--updater runs another build's updater with this build's launcher (the figure before a change).
On Linux the lock files are in /tmp: run it where no other updater or launcher runs.
"""

import argparse
import csv
import fcntl
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

CLOCK_LOG = "handover_clock.txt"  # relative: both launchers run in the installation folder


def read_stamps(path):
    stamps = {"start": [], "exit": []}
    try:
        with open(path) as log:
            for line in log:
                parts = line.split()
                if len(parts) == 2 and parts[0] in stamps:
                    stamps[parts[0]].append(int(parts[1]))
    except FileNotFoundError:
        pass
    return stamps


def lock_is_free(name):
    """The probe of a named mutex on Linux given in docs/launcher-protocol.md."""
    path = f"/tmp/{name}.lock"
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NOCTTY | os.O_NONBLOCK)
    except FileNotFoundError:
        return True
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except BlockingIOError:
        return False
    finally:
        os.close(fd)


def wait_for(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            sys.exit(f"timed out waiting for {what}")
        time.sleep(0.005)


def one_run(installation, launcher, updater, hold_ms, wine, env):
    shutil.rmtree(installation, ignore_errors=True)
    os.makedirs(os.path.join(installation, "self_update"))
    with open(os.path.join(installation, "self_update", "version.txt"), "w") as out:
        out.write("22.0.0.1\n")
    shutil.copy2(launcher, os.path.join(installation, "QORLauncher.exe"))
    shutil.copy2(updater, os.path.join(installation, "QORLauncherUpdater.exe"))

    command = ["./QORLauncher.exe", "--start-updater", "--hold-ms", str(hold_ms)]
    if wine:
        command = ["wine", "QORLauncher.exe"] + command[1:]
    first = subprocess.run(command, cwd=installation, env=env, timeout=120, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if first.returncode != 0:
        sys.exit(f"the launcher failed with exit code {first.returncode}: {first.stderr.strip()}")
    clock = os.path.join(installation, CLOCK_LOG)
    # The launcher started again stamps its start and exits at once.
    wait_for(lambda: len(read_stamps(clock)["exit"]) >= 2, 60, "the launcher to be started again")
    if wine:
        time.sleep(0.5)  # the updater's own exit cannot be seen from here
    else:
        wait_for(lambda: lock_is_free("QOR_LauncherUpdater"), 30, "the updater to end")

    log = os.path.join(installation, "log", "self_updater_log.txt")
    if os.path.exists(os.path.join(installation, "self_update")) or (os.path.exists(log) and os.path.getsize(log)):
        sys.exit(f"the update failed in {installation}")
    stamps = read_stamps(clock)
    return (stamps["start"][1] - stamps["exit"][0]) / 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build/linux", help="build folder of the linux or windows preset")
    parser.add_argument("--updater", help="updater to run (default: the build's own)")
    parser.add_argument("--wine", action="store_true", help="run the Windows programs under Wine")
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--hold-min-ms", type=int, default=300, help="earliest exit after the updater's start")
    parser.add_argument("--hold-span-ms", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--csv", help="result file (default: <build>/bench-results/handover.csv)")
    args = parser.parse_args()

    build = os.path.abspath(args.build)
    launcher = os.path.join(build, "examples", "launcher", "QORLauncher.exe")
    updater = os.path.abspath(args.updater or os.path.join(build, "src", "QORLauncherUpdater", "QORLauncherUpdater.exe"))
    for program in (launcher, updater):
        if not os.path.isfile(program):
            sys.exit(f"missing {program}: build the preset first")
    result = os.path.abspath(args.csv or os.path.join(build, "bench-results", "handover.csv"))
    os.makedirs(os.path.dirname(result), exist_ok=True)

    env = dict(os.environ, QOR_LAUNCHER_CLOCK_LOG=CLOCK_LOG)
    if args.wine:
        env.update(WINEPREFIX=os.path.join(build, "wineprefix"), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)

    rng = random.Random(args.seed)
    rows = []
    scratch = tempfile.mkdtemp(prefix="qor-handover-", dir=build)
    try:
        for run in range(args.runs):
            hold = args.hold_min_ms + rng.randrange(args.hold_span_ms + 1)
            handover = one_run(os.path.join(scratch, "installation"), launcher, updater, hold, args.wine, env)
            rows.append({"run": run + 1, "hold_ms": hold, "handover_ms": f"{handover:.2f}"})
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    with open(result, "w", newline="") as out:
        writer = csv.DictWriter(out, fieldnames=list(rows[0].keys()))
        writer.writeheader()
        writer.writerows(rows)
    times = [float(row["handover_ms"]) for row in rows]
    print("| updater | runs | handover median | min | max |")
    print("|---|---|---|---|---|")
    print(f"| {updater} | {len(times)} | {statistics.median(times):.1f} ms | {min(times):.1f} ms | {max(times):.1f} ms |")
    print(f"\nwritten to {result}")


if __name__ == "__main__":
    main()
