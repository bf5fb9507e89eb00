"""The block-device plumbing of the power-cut test: the recording stack (qemu-storage-daemon's blklogwrites
node exported as a FUSE file, a loop device on that file), loop devices and mounts of disk images, the
file systems, and the removal of whatever an earlier run that was killed left attached.

Everything that attaches or mounts is a context manager, so an exception or a signal unwinds it.
"""

import contextlib
import ctypes
import json
import mmap
import os
import shutil
import signal
import socket
import subprocess
import threading
import time
from dataclasses import dataclass, field

from logwrites import Log

# Every run works in a folder named so; `owner` in it holds the pid of the run.
RUN_PREFIX = "qor-powercut."


class CommandError(Exception):
    pass


def run(cmd, *, check=True, timeout=120):
    """Runs a command to its end; returns (exit code, output and error text)."""
    try:
        done = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=timeout, text=True, errors="replace")
    except subprocess.TimeoutExpired as e:
        raise CommandError(f"{' '.join(cmd)}: no end within {timeout} s") from e
    if check and done.returncode != 0:
        raise CommandError(f"{' '.join(cmd)}: exit {done.returncode}: {done.stdout.strip()}")
    return done.returncode, done.stdout


@dataclass(frozen=True)
class FileSystem:
    name: str
    size_mib: int  # small: about the smallest xfs and btrfs make with their default settings
    mkfs: tuple
    check: tuple  # a read-only check of an unmounted, clean file system; the device is appended
    # How an unrelated program makes the file system commit: ext4's and xfs's fsync of any file commits
    # the journal or log up to that point, all earlier renames included; a btrfs fsync writes only that
    # file's log tree, so there a syncfs (a transaction commit) is what commits the update's renames.
    commit_call: str = "fsync"


FILESYSTEMS = {
    "ext4": FileSystem("ext4", 64, ("mkfs.ext4", "-q", "-F"), ("e2fsck", "-f", "-n")),
    "xfs": FileSystem("xfs", 300, ("mkfs.xfs", "-q", "-f"), ("xfs_repair", "-n")),
    "btrfs": FileSystem("btrfs", 128, ("mkfs.btrfs", "-q", "-f"), ("btrfs", "check", "--readonly"),
                        commit_call="btrfs-commit"),
}

TOOLS = ["qemu-storage-daemon", "losetup", "mount", "umount", "unshare", "strace"]
TOOLS_BY_FS = {"ext4": ["mkfs.ext4", "e2fsck"], "xfs": ["mkfs.xfs", "xfs_repair"], "btrfs": ["mkfs.btrfs", "btrfs"]}


def missing_prerequisites(fs_names):
    """Why this machine cannot run the test (empty when it can): what a CI machine may lack."""
    reasons = []
    if os.geteuid() != 0:
        reasons.append("not root (loop devices and mounts need it)")
    if not os.path.exists("/dev/loop-control"):
        reasons.append("no /dev/loop-control")
    if not os.path.exists("/dev/fuse"):
        reasons.append("no /dev/fuse")
    for tool in TOOLS + [t for name in fs_names for t in TOOLS_BY_FS[name]]:
        if shutil.which(tool) is None:
            reasons.append(f"{tool} is missing (scripts/install-deps.sh installs it)")
    for name in fs_names + ["fuse"]:
        if not _kernel_has(name):
            reasons.append(f"the kernel has no {name}")
    return reasons


def _kernel_has(fs_name):
    def listed():
        with open("/proc/filesystems") as f:
            return fs_name in {line.split()[-1] for line in f if line.strip()}
    # A module not loaded yet is not listed until something loads it.
    if not listed() and shutil.which("modprobe"):
        run(["modprobe", fs_name], check=False)
    return listed()


def make_filesystem(fs, image):
    with open(image, "wb") as f:
        f.truncate(fs.size_mib << 20)
    run(list(fs.mkfs) + [image])


def check_filesystem(fs, device):
    """None when the check finds nothing, else its output."""
    for _ in range(20):
        code, out = run(list(fs.check) + [device], check=False, timeout=300)
        # Seen once in thousands of btrfs states: the device still held for a moment after the unmount.
        if code == 0 or "Device or resource busy" not in out:
            break
        time.sleep(0.25)
    return None if code == 0 else f"{' '.join(fs.check)} exit {code}: {out.strip()[-2000:]}"


# --- loop devices and mounts ---------------------------------------------------------------------------

def _wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise CommandError(f"{what}: not within {timeout} s")
        time.sleep(0.01)


def _loop_backing_file(device):
    try:
        with open(f"/sys/block/{os.path.basename(device)}/loop/backing_file") as f:
            return f.read().strip()
    except OSError:
        return None


def detach_loop(device):
    run(["losetup", "-d", device], check=False)
    # The kernel lets go of the file only when the last opener closes the device.
    _wait_until(lambda: _loop_backing_file(device) is None, 30, f"release of {device}")


@contextlib.contextmanager
def loop_device(image):
    device = run(["losetup", "--find", "--show", image])[1].strip()
    try:
        yield device
    finally:
        detach_loop(device)


@contextlib.contextmanager
def recording_loop(exported):
    """A loop device on the exported file that hands the export one request at a time.

    QEMU 7.2's FUSE export reads each request into one buffer per export, and while a write waits for its
    I/O it may already read the next request into it: a loop device in direct-I/O mode, which keeps many
    requests in flight, gets blocks written (and logged) with another request's bytes. Without direct
    I/O the loop device's one worker writes through the FUSE file synchronously (the export has no
    write-back cache), and without read-ahead no read is sent behind its back either."""
    st = os.stat(exported)
    read_ahead = f"/sys/class/bdi/{os.major(st.st_dev)}:{os.minor(st.st_dev)}/read_ahead_kb"
    with open(read_ahead, "w") as f:
        f.write("0")
    with loop_device(exported) as device:
        yield device


def is_mount_point(path):
    path = os.path.realpath(path)
    with open("/proc/self/mountinfo") as f:
        return any(line.split()[4] == path for line in f)


def unmount(path):
    # The launcher a rerun starts may still be leaving the folder; a few tries, then a lazy unmount so
    # that nothing stays mounted whatever happens.
    for _ in range(200):
        if run(["umount", path], check=False)[0] == 0 or not is_mount_point(path):
            return
        time.sleep(0.025)
    run(["umount", "-l", path], check=False)
    raise CommandError(f"umount {path}: still busy after 5 s (unmounted lazily)")


@contextlib.contextmanager
def mounted(device, folder, fs):
    os.makedirs(folder, exist_ok=True)
    run(["mount", "-t", fs.name, device, folder])
    try:
        yield folder
    finally:
        unmount(folder)
        if fs.name == "btrfs":
            # btrfs remembers every device it has seen; forget the one about to be detached.
            run(["btrfs", "device", "scan", "--forget", device], check=False)


# --- the recording stack ---------------------------------------------------------------------------------

def _die_with_parent():
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG: no daemon outlives a killed run


@dataclass
class Recorder:
    """qemu-storage-daemon logging every write and flush that reaches `disk` into `log`, with the disk
    exported as the FUSE file `exported`."""

    folder: str
    disk: str
    log: str
    exported: str = field(init=False)
    process: subprocess.Popen = field(init=False, default=None)

    def __post_init__(self):
        self.exported = os.path.join(self.folder, "exported.img")
        self._qmp = os.path.join(self.folder, "qmp.sock")

    def __enter__(self):
        open(self.log, "wb").close()
        open(self.exported, "wb").close()
        cmd = [
            "qemu-storage-daemon",
            "--blockdev", f"driver=file,node-name=disk,filename={self.disk}",
            "--blockdev", f"driver=file,node-name=log,filename={self.log}",
            # The super block's entry count is rewritten after every entry, so the count can be read
            # while the log grows and is exact when the daemon is killed.
            "--blockdev", "driver=blklogwrites,node-name=logged,file=disk,log=log,log-append=off,"
                          "log-super-update-interval=1",
            "--export", f"type=fuse,id=export,node-name=logged,mountpoint={self.exported},writable=on",
            "--chardev", f"socket,id=qmp,path={self._qmp},server=on,wait=off",
            "--monitor", "chardev=qmp",
            "--pidfile", os.path.join(self.folder, "qsd.pid"),
        ]
        self._output = open(os.path.join(self.folder, "qsd.out"), "wb")
        self.process = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=self._output,
                                        stderr=subprocess.STDOUT, preexec_fn=_die_with_parent)
        try:
            _wait_until(lambda: self.process.poll() is not None or is_mount_point(self.exported), 30,
                        "qemu-storage-daemon's FUSE export")
            if self.process.poll() is not None:
                with open(self._output.name, errors="replace") as f:
                    raise CommandError(f"qemu-storage-daemon exited with {self.process.returncode}: {f.read()}")
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _quit(self):
        try:
            with socket.socket(socket.AF_UNIX) as s:
                s.settimeout(10)
                s.connect(self._qmp)
                f = s.makefile("rw")
                f.readline()
                for command in ("qmp_capabilities", "quit"):
                    f.write(json.dumps({"execute": command}) + "\n")
                    f.flush()
                    f.readline()
        except OSError:
            self.process.terminate()

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self._quit()
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self._output.close()
        # The daemon leaves its FUSE mount behind when it ends (QEMU 7.2).
        if is_mount_point(self.exported):
            run(["umount", "-l", self.exported], check=False)


# --- leftovers of killed runs ------------------------------------------------------------------------

def _pid_alive(pid):
    """Whether the process runs; a zombie, or one gone, does not."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rpartition(")")[2].split()[0] != "Z"
    except FileNotFoundError:
        return False


def sweep_stale_runs(parent):
    """Detaches and removes what runs that were killed (a ctest time-out kills with SIGKILL) left under
    `parent`: their mounts, loop devices and storage daemons. Runs whose owner still lives are left alone."""
    for name in os.listdir(parent):
        folder = os.path.join(parent, name)
        if not name.startswith(RUN_PREFIX) or not os.path.isdir(folder):
            continue
        try:
            with open(os.path.join(folder, "owner")) as f:
                owner = int(f.read())
        except (OSError, ValueError):
            owner = None
        if owner is not None and _pid_alive(owner):
            continue
        release_folder(folder)
        shutil.rmtree(folder, ignore_errors=True)


def release_folder(folder):
    """Unmounts everything mounted under `folder`, detaches the loop devices whose file lies under it and
    kills the storage daemons whose pid files lie in it."""
    folder = os.path.realpath(folder)
    inside = lambda path: path == folder or path.startswith(folder + "/")
    # The loop devices first: once the FUSE file is unmounted, their file's path no longer tells.
    loops = [f"/dev/{device}" for device in os.listdir("/sys/block")
             if device.startswith("loop") and inside((_loop_backing_file(device) or "").removesuffix(" (deleted)"))]
    with open("/proc/self/mountinfo") as f:
        points = [line.split()[4] for line in f]
    for point in sorted((p for p in points if inside(p)), key=len, reverse=True):
        run(["umount", "-l", point], check=False)
    for device in loops:
        run(["losetup", "-d", device], check=False)
    for pid_file in (os.path.join(d, "qsd.pid") for d, _, files in os.walk(folder) if "qsd.pid" in files):
        try:
            with open(pid_file) as f:
                pid = int(f.read())
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                cmdline = f.read()
            if b"qemu-storage-daemon" in cmdline and folder.encode() in cmdline:
                os.kill(pid, signal.SIGKILL)
        except (OSError, ValueError):
            pass


# --- disk images -------------------------------------------------------------------------------------------

def copy_sparse(source, target):
    """Copies an image, its holes left holes: most of a fresh file system is never written."""
    with open(source, "rb") as s, open(target, "wb") as t:
        size = os.fstat(s.fileno()).st_size
        t.truncate(size)
        position = 0
        while position < size:
            try:
                data = os.lseek(s.fileno(), position, os.SEEK_DATA)
            except OSError:  # ENXIO: only a hole is left
                break
            hole = os.lseek(s.fileno(), data, os.SEEK_HOLE)
            offset = data
            while offset < hole:
                offset += os.copy_file_range(s.fileno(), t.fileno(), hole - offset, offset, offset)
            position = hole


def first_difference(a, b, chunk=4 << 20):
    """The first byte offset at which two images differ, or None when they are the same."""
    with open(a, "rb") as fa, open(b, "rb") as fb:
        offset = 0
        while True:
            x, y = fa.read(chunk), fb.read(chunk)
            if x != y:
                return offset + next((i for i, (p, q) in enumerate(zip(x, y)) if p != q), min(len(x), len(y)))
            if not x:
                return None
            offset += len(x)


# --- the recording stack's own check --------------------------------------------------------------------

def check_recording_stack(folder, writers=4, blocks=64, block_size=4096):
    """Writes from several threads at once, with a reader beside them, through the whole recording stack:
    each block must reach the disk, and the log, with its own bytes. Raises CommandError otherwise."""
    os.makedirs(folder)
    disk, log = os.path.join(folder, "disk.img"), os.path.join(folder, "log.bin")
    with open(disk, "wb") as f:
        f.truncate(writers * blocks * block_size)
    pattern = lambda block: block.to_bytes(4, "little") * (block_size // 4)

    with Recorder(folder, disk, log) as recorder, recording_loop(recorder.exported) as device:
        done = threading.Event()

        def write(first):
            fd = os.open(device, os.O_WRONLY | os.O_DIRECT | os.O_CLOEXEC)
            buffer = mmap.mmap(-1, block_size)  # page-aligned, as O_DIRECT wants
            try:
                for block in range(first, first + blocks):
                    buffer[:] = pattern(block)
                    os.pwrite(fd, buffer, block * block_size)
            finally:
                os.close(fd)

        def read():
            fd = os.open(device, os.O_RDONLY | os.O_DIRECT | os.O_CLOEXEC)
            buffer = mmap.mmap(-1, block_size)
            try:
                while not done.is_set():
                    for block in range(writers * blocks):
                        os.preadv(fd, [buffer], block * block_size)
            finally:
                os.close(fd)

        reader = threading.Thread(target=read)
        threads = [threading.Thread(target=write, args=(w * blocks,)) for w in range(writers)]
        reader.start()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        done.set()
        reader.join()

    wrong = []
    with open(disk, "rb") as f:
        wrong += [b for b in range(writers * blocks) if f.read(block_size) != pattern(b)]
    recorded = Log(log)
    with open(log, "rb") as f:
        for entry in recorded.entries:
            if entry.changes_disk:
                f.seek(entry.data_offset)
                data = f.read(entry.nr_sectors * recorded.sector_size)
                first = entry.sector * recorded.sector_size // block_size
                wrong += [first + i for i in range(len(data) // block_size)
                          if data[i * block_size:(i + 1) * block_size] != pattern(first + i)]
    shutil.rmtree(folder, ignore_errors=True)
    if wrong:
        raise CommandError(f"the recording stack garbles concurrent writes: {len(wrong)} of "
                           f"{writers * blocks} blocks arrived or were logged with other bytes")
    return writers * blocks
