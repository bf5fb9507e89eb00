#!/usr/bin/python3
"""Kills during a self-update on exFAT, whose file ids do not survive a mount.

Make an exFAT file system on a small disk image (through exfat-fuse, and the kernel's vfat where the
kernel has it), put the installation and its staged update there (without links, which FAT cannot hold),
and at every call of the updater that makes a folder, links, moves or removes something, kill it (strace), unmount and
mount the file system again, so that every file gets a new inode number, check the installation (every
file wholly old or new, the new content still on the disk) and run the updater again as the launcher's
rule has it. It must complete, start the launcher and leave nothing of its own; where the repair could not
tell the staged files apart from the installed ones and asks for the update to be staged again (exit 1,
naming a staged file it could not give back), the installation must be as before and the run after a new
staging must complete.

Exit status: 0 when every kill point passed, 1 otherwise, 77 when this machine cannot run the test.
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import blockdev  # noqa: E402
import powercut  # noqa: E402
import scenario  # noqa: E402

# FAT holds no links: the scenario without them.
scenario.OLD = {k: v for k, v in scenario.OLD.items() if not isinstance(v, scenario.Link)}
scenario.NEW = {k: v for k, v in scenario.NEW.items() if not isinstance(v, scenario.Link)}

CHANGING_CALLS = ["mkdir", "link", "linkat", "rename", "renameat", "renameat2", "unlink", "unlinkat", "rmdir"]


class Drive:
    """How one kind of FAT drive is made and mounted."""

    def __init__(self, name, mkfs, mount, tools, kernel_fs=None):
        self.name, self.mkfs, self.mount, self.tools, self.kernel_fs = name, mkfs, mount, tools, kernel_fs

    def missing(self, folder):
        reasons = [f"{tool} is missing (scripts/install-deps.sh installs it)"
                   for tool in self.tools if shutil.which(tool) is None]
        if self.kernel_fs and not blockdev._kernel_has(self.kernel_fs):
            reasons.append(f"the kernel has no {self.kernel_fs}")
        if not reasons:
            # A machine may lack what the mount needs (FUSE, a loop device) in ways no tool check shows.
            image = os.path.join(folder, f"probe-{self.name}.img")
            try:
                fresh_drive(self, image)
                with blockdev.loop_device(image) as device:
                    mount(self, device, os.path.join(folder, "probe"))
                    blockdev.unmount(os.path.join(folder, "probe"))
            except (blockdev.CommandError, OSError) as e:
                reasons.append(f"a drive cannot be made and mounted here: {e}")
            finally:
                if os.path.exists(image):
                    os.remove(image)
        return reasons


DRIVES = {
    "exfat-fuse": Drive("exfat-fuse", ["mkfs.exfat"], ["mount.exfat-fuse"], ["mkfs.exfat", "mount.exfat-fuse"]),
    "vfat": Drive("vfat", ["mkfs.vfat"], ["mount", "-t", "vfat"], ["mkfs.vfat"], kernel_fs="vfat"),
}


def mount(drive, device, folder):
    os.makedirs(folder, exist_ok=True)
    blockdev.run(drive.mount + [device, folder])


def remount(drive, device, folder):
    blockdev.unmount(folder)
    mount(drive, device, folder)


def count_calls(command, install, starts):
    """How often the updater makes each changing call in a whole run."""
    trace = os.path.join(os.path.dirname(starts), "trace.txt")
    traced = ["strace", "-f", "-qq", "-o", trace, "-e", "trace=" + ",".join(CHANGING_CALLS)] + command
    open(starts, "w").close()
    code, output = powercut.run_in_installation(traced, install, starts)
    if code != 0:
        raise blockdev.CommandError(f"the run without a kill ended with exit {code}: {output[-2000:]}")
    counts = {}
    with open(trace) as f:
        for line in f:
            name = line.split(None, 1)[1].split("(", 1)[0] if " " in line else ""
            if name in CHANGING_CALLS:
                counts[name] = counts.get(name, 0) + 1
    return counts


def fresh_drive(drive, image):
    with open(image, "wb") as f:
        f.truncate(64 << 20)
    blockdev.run(drive.mkfs + [image])
    return image


def kill_point_problems(drive, updater, image, folder, call, at):
    """One kill point, on a drive made anew. Returns the problems found and whether the repair asked for
    the update to be staged again."""
    mnt = os.path.join(folder, "mnt")
    starts = os.path.join(folder, "starts.txt")
    install = os.path.join(mnt, scenario.INSTALL)
    fresh_drive(drive, image)
    problems = []
    restaged = False
    with blockdev.loop_device(image) as device:
        mount(drive, device, mnt)
        try:
            scenario.install_old_version(mnt)
            scenario.stage_new_version(mnt)
            open(starts, "w").close()
            killer = ["strace", "-f", "-qq", "-o", "/dev/null", "-e",
                      f"inject={call}:signal=KILL:when={at}"] + [updater]
            powercut.run_in_installation(killer, install, starts)
            remount(drive, device, mnt)
            problems += scenario.crash_state_problems(mnt)
            if scenario.is_pending(mnt):
                open(starts, "w").close()
                code, output = powercut.run_in_installation([updater], install, starts)
                if code == 1 and not os.path.lexists(os.path.join(install, scenario.STAGING)):
                    # The repair asks for the update again: the installation must be the old one.
                    if scenario.installation_changed(mnt):
                        problems.append(f"exit 1 asking for a new staging left the installation changed: {output}")
                    restaged = True
                    scenario.stage_new_version(mnt)
                    problems += powercut.run_problems([updater], mnt, starts)
                elif code != 0:
                    problems.append(f"the rerun ended with exit {code}: {output[-2000:]}")
                else:
                    starts_seen = powercut.launcher_starts(starts)
                    if starts_seen != [scenario.NEW_LAUNCHER_START]:
                        problems.append(f"launcher starts {starts_seen}, expected one of the new launcher")
            problems += scenario.completed_problems(mnt)
            # Nobody but the updater touched the drive: no repair may say another program changed a file.
            log = os.path.join(install, "log", "self_updater_log.txt")
            if os.path.exists(log):
                with open(log, errors="replace") as f:
                    claims = [line for line in f if "changed by another program" in line]
                problems += [f"the log blames another program: {line.strip()[:300]}" for line in claims]
        finally:
            blockdev.unmount(mnt)
    return problems, restaged


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--updater", required=True)
    parser.add_argument("--drive", default="exfat-fuse,vfat",
                        help="comma-separated: " + ", ".join(DRIVES) + " (those this machine cannot make are skipped)")
    args = parser.parse_args(argv)
    updater = os.path.abspath(args.updater)

    reasons = []
    if os.geteuid() != 0:
        reasons.append("not root (loop devices and mounts need it)")
    if not os.path.exists("/dev/loop-control"):
        reasons.append("no /dev/loop-control")
    for tool in ["losetup", "mount", "umount", "unshare", "strace"]:
        if shutil.which(tool) is None:
            reasons.append(f"{tool} is missing")
    if reasons:
        print("skipped: " + "; ".join(reasons))
        return 77
    with tempfile.TemporaryDirectory(prefix="qor-fatkills.", dir="/dev/shm") as folder:
        drives = []
        for name in args.drive.split(","):
            missing = DRIVES[name].missing(folder)
            if missing:
                print(f"{name}: not tested here: {'; '.join(missing)}")
            else:
                drives.append(DRIVES[name])
        if not drives:
            print("skipped: no FAT drive can be made here")
            return 77
        return run_kills(updater, drives, folder)


def run_kills(updater, drives, folder):
    failed = 0
    total = 0
    start = time.monotonic()
    image = os.path.join(folder, "drive.img")
    for drive in drives:
        fresh_drive(drive, image)
        with blockdev.loop_device(image) as device:
            mnt = os.path.join(folder, "mnt")
            mount(drive, device, mnt)
            try:
                scenario.install_old_version(mnt)
                scenario.stage_new_version(mnt)
                counts = count_calls([updater], os.path.join(mnt, scenario.INSTALL),
                                     os.path.join(folder, "starts.txt"))
            finally:
                blockdev.unmount(mnt)
        points = [(call, at) for call, count in sorted(counts.items()) for at in range(1, count + 1)]
        drive_failed = 0
        restagings = 0
        for call, at in points:
            problems, restaged = kill_point_problems(drive, updater, image, folder, call, at)
            restagings += restaged
            total += 1
            if problems:
                drive_failed += 1
                print(f"  {drive.name}: killed at {call} #{at}: FAILED")
                for problem in problems:
                    print(f"      {problem}")
        failed += drive_failed
        print(f"{drive.name}: {len(points)} kill points "
              f"({', '.join(f'{c} {n}' for c, n in sorted(counts.items()))}), "
              f"{len(points) - drive_failed} passed, {drive_failed} failed; "
              f"{restagings} repairs asked for the update to be staged again")
    print(f"{total} kill points, {total - failed} passed, {failed} failed, in {time.monotonic() - start:.0f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
