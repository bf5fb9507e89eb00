#!/usr/bin/python3
"""Power cuts during a self-update, on real file systems.

For each file system asked for: make it on a small disk image, put an installation and its staged
update on it, and record one update run on it through qemu-storage-daemon's blklogwrites driver (the
dm-log-writes method: every write with its data and every flush, in order). Then rebuild the disk as a
power cut at each crash state would have left it (crashstates.py), mount it (the kernel replays the file
system's journal), check the file system read-only, check the installation (scenario.py) and run the
updater again there: it must complete, start the launcher and leave nothing of its own.

With forced commits, an unrelated program commits the file system every few milliseconds (an fsync of a
file of its own; on btrfs a transaction commit) while strace slows each call of the updater that changes
something, so that the crash states fall between the updater's steps too. The update is staged either on
the disk before the run, or just before it and left in the page cache, as a download leaves it; then the
updater's own flush is what must put it on the disk before the first move.

Two controls show that the harness catches what it should: --broken-apply replaces the updater by a copy
without any flush, and --suppress-flushes answers the updater's fsync, fdatasync and syncfs with success
without making them; both must fail some states (--expect fail).

Exit status: 0 when every recording met the expectation (--expect pass: every state passed; --expect
fail: some state of every recording failed), 1 otherwise, 77 when this machine cannot run the test.
"""

import argparse
import contextlib
import ctypes
import fcntl
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field

sys.dont_write_bytecode = True  # the sources stay clean whoever runs them
import blockdev  # noqa: E402
import crashstates  # noqa: E402
import scenario  # noqa: E402
from logwrites import Log, Replayer  # noqa: E402

SKIP = 77
FS = blockdev.FILESYSTEMS
BTRFS_IOC_START_SYNC = 0x80089418  # _IOR(0x94, 24, __u64): start a transaction commit, get its id
BTRFS_IOC_WAIT_SYNC = 0x40089416  # _IOW(0x94, 22, __u64): wait for that commit
HERE = os.path.dirname(os.path.abspath(__file__))
BROKEN_APPLY = os.path.join(HERE, "broken_apply.sh")

# The calls of the updater that change the file system, each slowed while commits are forced.
FLUSH_CALLS = ("fsync", "fdatasync", "syncfs")
CHANGING_CALLS = ("mkdir", "mkdirat", "rename", "renameat", "renameat2", "link", "linkat", "symlink", "symlinkat",
                  "unlink", "unlinkat", "rmdir", "write", "pwrite64", "ftruncate", "fchmod", "fchmodat") + FLUSH_CALLS


class Interrupted(Exception):
    pass


def _on_signal(signum, _frame):
    raise Interrupted(f"signal {signum}")


@dataclass
class Options:
    apply: list  # the command of the apply under test
    fs_names: list
    forcings: list  # [False, True]: without and/or with forced commits
    stagings: list  # ["durable", "unflushed"]: how the update is staged
    kinds: list
    expect: str
    commit_period: float
    delay_us: int
    spread: int
    random_subsets: int
    seed: int
    deadline: float
    keep_failed: str  # a folder for the images of failed states, or ""
    suppress_flushes: bool  # the recorded run's flushes answered without being made
    verbose: bool


@dataclass(frozen=True)
class Recording:
    """One recorded run: its file system, whether commits are forced during it, and how the update is
    staged: "durable", already on the disk when the run starts (written to the image beforehand), or
    "unflushed", written just before the run and left in the page cache, as a download leaves it."""

    fs: str
    forced: bool
    staging: str

    def __str__(self):
        return (f"{self.fs}, {'forced commits' if self.forced else 'no forced commits'}, "
                f"{self.staging} staging")

    @property
    def name(self):
        return f"{self.fs}-{'forced' if self.forced else 'plain'}-{self.staging}"


@dataclass
class Result:
    recording: Recording
    writes: int = 0
    flushes: int = 0
    installations: set = field(default_factory=set)  # the distinct signatures of the states
    states: dict = field(default_factory=dict)  # kind -> count of the states checked
    failed: list = field(default_factory=list)  # (state, problems)
    record_seconds: float = 0.0
    check_seconds: float = 0.0
    error: str = ""

    @property
    def state_count(self):
        return sum(self.states.values())

    @property
    def passed(self):
        return self.state_count - len(self.failed)


# --- running an apply in an installation ------------------------------------------------------------

def run_in_installation(command, install, starts_file, timeout=120):
    """Runs the apply with the installation as working folder, in a mount namespace of its own with a
    private /tmp: its lock files meet no other test's updater on this machine. Returns (exit code or
    None after a time-out, output)."""
    wrapper = ["unshare", "--mount", "--propagation", "private", "--", "/bin/sh", "-c",
               'mount -t tmpfs -o size=1m,mode=1777 qor-powercut /tmp && cd "$1" && shift && exec "$@"',
               "sh", install] + command
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env[scenario.STARTS_VARIABLE] = starts_file
    with tempfile.TemporaryFile() as output:
        process = subprocess.Popen(wrapper, stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                                   env=env, start_new_session=True)
        try:
            code = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            code = None
        finally:
            if process.poll() is None:  # a time-out, or this run interrupted
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        output.seek(0)
        return code, output.read().decode(errors="replace").strip()


def launcher_starts(starts_file, timeout=10.0):
    """The versions of the launchers started so far, waiting a little for the first: the updater does
    not wait for the launcher it starts."""
    deadline = time.monotonic() + timeout
    while True:
        with open(starts_file) as f:
            starts = f.read().split()
        if starts or time.monotonic() > deadline:
            return starts
        time.sleep(0.01)


def run_problems(command, fs_root, starts_file):
    """Runs the apply in the installation on `fs_root`; what went wrong with the run itself."""
    open(starts_file, "w").close()
    code, output = run_in_installation(command, os.path.join(fs_root, scenario.INSTALL), starts_file)
    if code != 0:
        return [f"the run ended with {'a time-out' if code is None else f'exit {code}'}: {output[-2000:]}"]
    starts = launcher_starts(starts_file)
    if starts != [scenario.NEW_LAUNCHER_START]:
        return [f"launcher starts {starts}, expected exactly one of the new launcher"]
    return []


class CommitForcer:
    """Appends to a file of the file system under test and commits it every `period` seconds."""

    def __init__(self, path, period, call):
        self._path, self._period, self._call = path, period, call
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self.commits = 0

    def _run(self):
        libc = ctypes.CDLL(None, use_errno=True)
        fd = os.open(self._path, os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_CLOEXEC, 0o644)
        try:
            while not self._stop.wait(self._period):
                os.write(fd, b"x" * 512)
                if self._call == "syncfs":
                    libc.syncfs(fd)
                elif self._call == "btrfs-commit":
                    transaction = fcntl.ioctl(fd, BTRFS_IOC_START_SYNC, bytes(8))
                    fcntl.ioctl(fd, BTRFS_IOC_WAIT_SYNC, transaction)
                else:
                    os.fsync(fd)
                self.commits += 1
        finally:
            os.close(fd)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


def traced(command, delay_us, suppress_flushes):
    """The apply under strace: each changing call's return delayed by `delay_us` (0: not at all), and with
    `suppress_flushes` every flush answered with success without being made."""
    rules = []
    if suppress_flushes:
        rules.append(f"inject={','.join(FLUSH_CALLS)}:retval=0" + (f":delay_exit={delay_us}" if delay_us else ""))
    if delay_us:
        slowed = [c for c in CHANGING_CALLS if not (suppress_flushes and c in FLUSH_CALLS)]
        rules.append(f"inject={','.join(slowed)}:delay_exit={delay_us}")
    if not rules:
        return command
    calls = CHANGING_CALLS if delay_us else FLUSH_CALLS
    return (["strace", "-f", "-qq", "-o", "/dev/null", "--seccomp-bpf", "-e", f"trace={','.join(calls)}"]
            + [arg for rule in rules for arg in ("-e", rule)] + command)


# --- one recording and its crash states ------------------------------------------------------------

def record(options, recording, folder):
    """Records one update run on a fresh file system. Returns (base image, recorded disk, log, window
    start), the window being the log entries from the run's start on."""
    base = os.path.join(folder, "base.img")
    disk = os.path.join(folder, "disk.img")
    log = os.path.join(folder, "log.bin")
    mnt = os.path.join(folder, "mnt")
    starts = os.path.join(folder, "starts.txt")

    fs = FS[recording.fs]
    blockdev.make_filesystem(fs, base)
    with blockdev.loop_device(base) as device, blockdev.mounted(device, mnt, fs):
        scenario.install_old_version(mnt)
        if recording.staging == "durable":
            scenario.stage_new_version(mnt)
    blockdev.copy_sparse(base, disk)

    command = traced(options.apply, options.delay_us if recording.forced else 0, options.suppress_flushes)
    with blockdev.Recorder(folder, disk, log) as recorder, \
            blockdev.recording_loop(recorder.exported) as device, \
            blockdev.mounted(device, mnt, fs):
        if recording.staging == "unflushed":
            # As a download leaves it: in the page cache, written back whenever the kernel likes.
            scenario.stage_new_version(mnt)
        start = Log.entry_count(log)
        forcer = CommitForcer(os.path.join(mnt, "unrelated.bin"), options.commit_period, fs.commit_call)
        with forcer if recording.forced else contextlib.nullcontext():
            problems = run_problems(command, mnt, starts)
        problems += scenario.completed_problems(mnt)
        if problems:
            raise RuntimeError("the recorded run itself failed: " + "; ".join(problems))
        if options.verbose and recording.forced:
            print(f"  {forcer.commits} forced commits during the run")
    return base, disk, log, start


def verify_replay(log, base, disk, folder):
    """The replayer must give exactly the recorded disk from the whole log, or no state means anything."""
    replayed = os.path.join(folder, "replayed.img")
    blockdev.copy_sparse(base, replayed)
    with Replayer(log) as replayer, open(replayed, "r+b") as image:
        replayer.apply(image.fileno(), log.entries)
    difference = blockdev.first_difference(replayed, disk)
    os.unlink(replayed)
    if difference is not None:
        raise RuntimeError(f"replaying the whole log does not give the recorded disk: byte {difference} differs")


def state_problems(options, recording, image, folder):
    """Mounts a crash state, checks it, runs the apply again there and checks the result. Returns the
    problems and the state's signature."""
    mnt = os.path.join(folder, "state")
    starts = os.path.join(folder, "starts.txt")
    fs = FS[recording.fs]
    problems = []
    with blockdev.loop_device(image) as device:
        try:
            with blockdev.mounted(device, mnt, fs):
                pass  # the kernel replays the journal; the check needs a clean file system
        except blockdev.CommandError as e:
            return [f"mounting failed: {e}"], "unmountable"
        finding = blockdev.check_filesystem(fs, device)
        if finding:
            problems.append(finding)
        with blockdev.mounted(device, mnt, fs):
            signature = scenario.signature(mnt)
            if recording.staging == "unflushed" and not scenario.installation_changed(mnt) \
                    and not scenario.staged_tree_whole(mnt):
                # Cut before the updater changed anything, and before the staged data was on the disk:
                # what a second run installs is the launcher's business.
                return problems, signature + " (staging not yet on disk)"
            problems += scenario.crash_state_problems(mnt)
            # The updater runs again as the launcher's rule has it: while ./self_update or a record of the
            # updater is there. Otherwise the update is finished (a run without ./self_update fails by design).
            if scenario.is_pending(mnt):
                problems += run_problems(options.apply, mnt, starts)
            problems += scenario.completed_problems(mnt)
    return problems, signature


def build_state(replayer, log, prefix, state, image):
    blockdev.copy_sparse(prefix, image)
    with open(image, "r+b") as f:
        replayer.apply(f.fileno(), [log.entries[i] for i in state.extra])


def check_states(options, base, log, start, folder, result, deadline):
    states = crashstates.enumerate_states(log.entries, start, options.kinds, seed=options.seed,
                                          spread=options.spread, random_subsets=options.random_subsets)
    prefix = os.path.join(folder, "prefix.img")
    image = os.path.join(folder, "state.img")
    blockdev.copy_sparse(base, prefix)
    applied = 0
    with Replayer(log) as replayer, open(prefix, "r+b") as prefix_file:
        for number, state in enumerate(states, 1):
            if time.monotonic() > deadline:
                raise RuntimeError(f"the time limit was reached after {number - 1} of {len(states)} states")
            # The states come sorted by their prefix, so the prefix image only ever moves forward.
            replayer.apply(prefix_file.fileno(), log.entries[applied:state.applied])
            applied = state.applied
            build_state(replayer, log, prefix, state, image)
            problems, signature = state_problems(options, result.recording, image, folder)
            result.states[state.kind] = result.states.get(state.kind, 0) + 1
            result.installations.add(signature)
            if problems:
                result.failed.append((state, problems))
                if options.keep_failed:
                    kept = os.path.join(options.keep_failed, f"{result.recording.name}-state{number}.img")
                    build_state(replayer, log, prefix, state, kept)
            if options.verbose or problems:
                print(f"  state {number}/{len(states)} [{state.kind}] {state.label}: "
                      f"{'FAILED' if problems else 'passed'} ({signature})", flush=True)
                for problem in problems:
                    print(f"      {problem}", flush=True)


def run_recording(options, recording, folder, deadline):
    result = Result(recording)
    os.makedirs(folder)
    began = time.monotonic()
    try:
        base, disk, log_path, start = record(options, recording, folder)
        log = Log(log_path)
        verify_replay(log, base, disk, folder)
        window = log.entries[start:]
        result.writes = sum(e.changes_disk for e in window)
        result.flushes = sum(e.is_flush for e in window)
        result.record_seconds = time.monotonic() - began
        print(f"{recording}: the run logged "
              f"{result.writes} writes and {result.flushes} flushes; the whole log replayed gives the "
              f"recorded disk", flush=True)
        began = time.monotonic()
        check_states(options, base, log, start, folder, result, deadline)
    except (RuntimeError, blockdev.CommandError, OSError) as e:
        result.error = str(e)
        print(f"{recording}: {e}", flush=True)
    finally:
        result.check_seconds = time.monotonic() - began
        shutil.rmtree(folder, ignore_errors=True)
    return result


# --- the report ------------------------------------------------------------------------------------

def report(results, options, seconds):
    print()
    print("| file system | forced commits | staging | writes / flushes logged | states (flush/prefix/subset) "
          "| distinct installations | passed | failed | s per state | s in all |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for r in results:
        kinds = "/".join(str(r.states.get(k, 0)) if k in options.kinds else "-" for k in crashstates.KINDS)
        per_state = r.check_seconds / r.state_count if r.state_count else 0
        print(f"| {r.recording.fs} | {'yes' if r.recording.forced else 'no'} | {r.recording.staging} "
              f"| {r.writes} / {r.flushes} | {r.state_count} ({kinds}) "
              f"| {len(r.installations)} | {r.passed} | {len(r.failed)}{' + error' if r.error else ''} "
              f"| {per_state:.2f} | {r.record_seconds + r.check_seconds:.0f} |")
    states = sum(r.state_count for r in results)
    failed = sum(len(r.failed) for r in results)
    print(f"\n{states} states, {states - failed} passed, {failed} failed, in {seconds:.0f} s")


def met_expectation(results, expect):
    if any(r.error for r in results):
        return False
    if expect == "pass":
        return all(not r.failed for r in results)
    return all(r.failed for r in results)


def parse_options(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--updater", help="the QORLauncherUpdater.exe under test")
    parser.add_argument("--broken-apply", action="store_true",
                        help="test the deliberately broken apply (broken_apply.sh) instead of the updater")
    parser.add_argument("--fs", default="ext4,xfs,btrfs", help="file systems, comma separated")
    parser.add_argument("--forced-commits", default="no,yes", help="runs without and/or with forced commits")
    parser.add_argument("--states", default="flush,prefix,subset", help="crash state kinds, comma separated")
    parser.add_argument("--expect", choices=("pass", "fail"), default="pass")
    parser.add_argument("--commit-period-ms", type=float, default=2.0)
    parser.add_argument("--delay-ms", type=float, default=5.0, help="strace's delay after each changing call")
    parser.add_argument("--spread", type=int, default=8, help="writes lost alone per flush interval")
    parser.add_argument("--random-subsets", type=int, default=8, help="random halves per flush interval")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--time-limit", type=float, default=0, help="seconds; 0 for none")
    parser.add_argument("--work-parent", default="/dev/shm" if os.path.isdir("/dev/shm") else tempfile.gettempdir())
    parser.add_argument("--staging", default="durable,unflushed",
                        help="the update staged on the disk before the run (durable) and/or just before it, "
                             "left unflushed (unflushed)")
    parser.add_argument("--suppress-flushes", action="store_true",
                        help="answer the recorded run's fsync, fdatasync and syncfs with success without making them")
    parser.add_argument("--keep-failed", default="", help="a folder to keep the disk images of failed states in")
    parser.add_argument("--verbose", action="store_true", help="a line for every state")
    args = parser.parse_args(argv)
    if args.broken_apply:
        apply = ["/bin/sh", BROKEN_APPLY]
    elif args.updater:
        apply = [os.path.abspath(args.updater)]
    else:
        parser.error("--updater or --broken-apply is needed")
    split = lambda text: [x for x in text.split(",") if x]
    fs_names, forcings = split(args.fs), split(args.forced_commits)
    stagings, kinds = split(args.staging), split(args.states)
    for name in fs_names:
        if name not in FS:
            parser.error(f"unknown file system {name}")
    if set(forcings) - {"no", "yes"} or set(stagings) - {"durable", "unflushed"} \
            or set(kinds) - set(crashstates.KINDS):
        parser.error("--forced-commits takes no and yes, --staging durable and unflushed, "
                     "--states flush, prefix and subset")
    return Options(apply, fs_names, [f == "yes" for f in forcings], stagings, kinds, args.expect,
                   args.commit_period_ms / 1000, int(args.delay_ms * 1000), args.spread, args.random_subsets,
                   args.seed, args.time_limit, args.keep_failed, args.suppress_flushes,
                   args.verbose), args.work_parent


def main(argv):
    options, parent = parse_options(argv)
    reasons = blockdev.missing_prerequisites(options.fs_names)
    if reasons:
        print("skipped: " + "; ".join(reasons))
        return SKIP
    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, _on_signal)
    blockdev.sweep_stale_runs(parent)
    folder = tempfile.mkdtemp(prefix=blockdev.RUN_PREFIX, dir=parent)
    with open(os.path.join(folder, "owner"), "w") as f:
        f.write(str(os.getpid()))
    began = time.monotonic()
    deadline = began + options.deadline if options.deadline else float("inf")
    results = []
    try:
        blocks = blockdev.check_recording_stack(os.path.join(folder, "stack-check"))
        print(f"recording stack: {blocks} blocks written at once by several threads arrived and were logged "
              f"intact", flush=True)
        if options.keep_failed:
            os.makedirs(options.keep_failed, exist_ok=True)
        for fs_name in options.fs_names:
            for staging in options.stagings:
                for forced in options.forcings:
                    recording = Recording(fs_name, forced, staging)
                    results.append(run_recording(options, recording, os.path.join(folder, recording.name),
                                                 deadline))
    except Interrupted as e:
        print(f"interrupted ({e}); cleaning up", flush=True)
        return 1
    except blockdev.CommandError as e:
        print(f"the recording stack cannot be trusted here: {e}", flush=True)
        return 1
    finally:
        blockdev.release_folder(folder)
        shutil.rmtree(folder, ignore_errors=True)
    report(results, options, time.monotonic() - began)
    ok = met_expectation(results, options.expect)
    print(f"{'as expected' if ok else 'NOT as expected'}: every state should "
          f"{'pass' if options.expect == 'pass' else 'be caught failing in each recording'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
