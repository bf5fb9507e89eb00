#!/usr/bin/env python3
"""Checks a release package made by scripts/package.sh, as a launcher team would receive it.

  tests/package/check_package.py <archive> [--ca <certificate>] [--wine-prefix <folder>]

What it holds and its checksums; each program stripped, with a .debug file that its debug link names
(CRC included); the updater's size; on Linux the glibc and libstdc++ symbol versions it needs, on Windows
its imports, its asInvoker manifest and, with --ca, the Authenticode signature of both programs. Then,
in the unpacked folder itself: an update run by the packaged updater (under Wine for the zip), and three
real failures whose log lines must match the packaged docs/log-line.schema.json and answer the jq
one-liners of docs/log.md.

Prints one line per check and ends with "package <platform>: N checks passed, N failed, N skipped";
exits 1 when a check failed.
"""

import argparse
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import zipfile
import zlib
from pathlib import Path

# What the README and docs/releasing.md promise; a build that needs more must change them too.
SIZE_LIMIT = {"linux": 1_000_000, "windows": 2_000_000}
GLIBC_FLOOR = (2, 34)
GLIBCXX_FLOOR = (3, 4, 30)
LINUX_LIBRARIES = {"libc.so.6", "libstdc++.so.6", "libgcc_s.so.1", "libm.so.6"}
WINDOWS_IMPORTS = {"kernel32.dll", "msvcrt.dll", "user32.dll"}

PROGRAMS = ["QORLauncherUpdater.exe", "example/QORLauncher.exe"]
CONTENTS = {
    "LICENSE", "README.md", "SHA256SUMS", "QORLauncherUpdater.exe", "QORLauncherUpdater.exe.debug",
    "example/QORLauncher.exe", "example/QORLauncher.exe.debug", "example/main.cpp",
    "docs/log-line.schema.json", "docs/log.md", "docs/launcher-protocol.md", "docs/releasing.md",
    "docs/performance.md", "docs/reliability.md", "docs/copy_benchmark.png",
}


class Checks:
    def __init__(self, platform):
        self.platform = platform
        self.counts = {"passed": 0, "failed": 0, "skipped": 0}

    def record(self, name, ok, detail=""):
        self.counts["passed" if ok else "failed"] += 1
        print(f"{'ok  ' if ok else 'FAIL'} {name}{': ' + detail if detail else ''}", flush=True)
        return ok

    def skip(self, name, why):
        self.counts["skipped"] += 1
        print(f"skip {name}: {why}", flush=True)

    def run(self, name, check, *args):
        """check() returns a detail text, or raises AssertionError with the reason it failed."""
        try:
            return self.record(name, True, check(*args) or "")
        except AssertionError as failure:
            return self.record(name, False, str(failure))
        except (OSError, subprocess.SubprocessError, ValueError) as error:
            return self.record(name, False, f"{type(error).__name__}: {error}")

    def summary(self):
        c = self.counts
        return f"package {self.platform}: {c['passed']} checks passed, {c['failed']} failed, {c['skipped']} skipped"


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def tool(platform, name):
    return f"x86_64-w64-mingw32-{name}" if platform == "windows" else name


def output(*command, cwd=None):
    return subprocess.run(command, cwd=cwd, check=True, capture_output=True, text=True, timeout=120).stdout


def unpack(archive, into):
    if archive.name.endswith(".zip"):
        with zipfile.ZipFile(archive) as z:
            names = [n for n in z.namelist() if not n.endswith("/")]
            z.extractall(into)  # without Unix modes: main() makes the programs executable
    else:
        with tarfile.open(archive) as t:
            names = [m.name for m in t.getmembers() if m.isfile()]
            t.extractall(into)
    return names


# --- what the package holds -------------------------------------------------------------------------


def check_archive_checksum(archive):
    listed = Path(f"{archive}.sha256").read_text().split()
    assert listed[0] == sha256(archive), f"{archive.name}.sha256 says {listed[0]}"
    return listed[0][:16] + "..."


def check_contents(names, top):
    assert all(n.startswith(top + "/") for n in names), f"not all under {top}/"
    found = {n[len(top) + 1:] for n in names}
    assert found == CONTENTS, f"missing {sorted(CONTENTS - found)}, unexpected {sorted(found - CONTENTS)}"
    return f"{len(found)} files"


def check_sums(root):
    lines = (root / "SHA256SUMS").read_text().splitlines()
    listed = {}
    for line in lines:
        digest, path = line.split("  ", 1)
        listed[path] = digest
    assert set(listed) == CONTENTS - {"SHA256SUMS"}, "SHA256SUMS does not list every other file"
    wrong = [p for p, d in listed.items() if sha256(root / p) != d]
    assert not wrong, f"wrong sums: {wrong}"
    return f"{len(listed)} files"


# --- the programs -----------------------------------------------------------------------------------


def section_names(platform, path):
    text = output(tool(platform, "objdump"), "-h", str(path))
    return set(re.findall(r"^\s*\d+\s+(\S+)", text, re.M))


def check_stripped(platform, program):
    names = section_names(platform, program)
    debug = sorted(n for n in names if n.startswith(".debug"))
    assert not debug, f"debug sections left: {debug}"
    symbols = output(tool(platform, "objdump"), "-t", str(program))
    assert "no symbols" in symbols, "its symbol table is still there"
    return f"{program.stat().st_size} bytes"


def check_debug_link(platform, program):
    dump = output(tool(platform, "objdump"), "-s", "-j", ".gnu_debuglink", str(program))
    # " <address> <four groups of 8 hex digits, padded> <text>": the 35 columns after the address.
    rows = [line.split(None, 1)[1] for line in dump.splitlines() if re.match(r"^ [0-9a-f]+ ", line)]
    data = bytes.fromhex("".join(row[:35].replace(" ", "") for row in rows))
    name = data[: data.index(b"\0")].decode()
    crc = int.from_bytes(data[-4:], "little")
    debug = program.with_name(program.name + ".debug")
    assert name == debug.name, f"the link names {name!r}"
    assert crc == zlib.crc32(debug.read_bytes()), "the link's CRC does not match the .debug file"
    assert ".debug_info" in section_names(platform, debug), f"{debug.name} holds no .debug_info"
    return f"{debug.name}, {debug.stat().st_size} bytes"


def check_size(platform, updater):
    size = updater.stat().st_size
    assert size < SIZE_LIMIT[platform], f"{size} bytes, the limit is {SIZE_LIMIT[platform]}"
    return f"{size} bytes ({size / 1e6:.2f} MB) < {SIZE_LIMIT[platform] / 1e6:.0f} MB"


def highest(versions):
    return max((tuple(int(p) for p in v.split(".")) for v in versions), default=())


def check_linux_floor(updater):
    symbols = output("objdump", "-T", str(updater))
    glibc = highest(re.findall(r"\bGLIBC_([0-9.]+)", symbols))
    glibcxx = highest(re.findall(r"\bGLIBCXX_([0-9.]+)", symbols))
    needed = set(re.findall(r"NEEDED\s+(\S+)", output("objdump", "-p", str(updater))))
    assert glibc <= GLIBC_FLOOR, f"needs GLIBC_{'.'.join(map(str, glibc))}"
    assert glibcxx <= GLIBCXX_FLOOR, f"needs GLIBCXX_{'.'.join(map(str, glibcxx))}"
    assert needed <= LINUX_LIBRARIES, f"needs {sorted(needed - LINUX_LIBRARIES)}"
    return (f"GLIBC_{'.'.join(map(str, glibc))}, GLIBCXX_{'.'.join(map(str, glibcxx))}, "
            f"libraries {sorted(needed)}")


def check_windows_imports(updater):
    text = output("x86_64-w64-mingw32-objdump", "-p", str(updater))
    imports = {n.lower() for n in re.findall(r"DLL Name: (\S+)", text)}
    assert imports == WINDOWS_IMPORTS, f"imports {sorted(imports)}"
    assert b'level="asInvoker"' in updater.read_bytes(), "no asInvoker manifest"
    return f"{sorted(imports)}, asInvoker"


def check_signature(program, ca):
    result = subprocess.run(["osslsigncode", "verify", "-in", str(program), "-CAfile", str(ca)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and "Signature verification: ok" in result.stdout, \
        (result.stdout + result.stderr).strip().splitlines()[-1:]
    subject = re.search(r"Subject: (.*)", result.stdout)
    return subject.group(1) if subject else "verified"


# --- running the unpacked updater -------------------------------------------------------------------


class Runner:
    """Runs a program of the package in the unpacked folder: directly on Linux, under Wine for the zip."""

    def __init__(self, platform, prefix):
        self.platform = platform
        self.env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(name, None)  # a box must never wait for a click
        if platform == "windows":
            self.env.update(WINEPREFIX=str(prefix), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
            # One persistent wineserver for all runs. It outlives these commands, so it must not hold pipes
            # of ours: nothing here is captured through a pipe.
            quiet = {"env": self.env, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
            if not (prefix / "system.reg").exists():
                subprocess.run(["wineboot", "-i"], timeout=600, **quiet)
            subprocess.run(["wineserver", "-p"], timeout=60, **quiet)

    def run(self, root, program):
        command = (["wine", program] if self.platform == "windows" else [f"./{program}"])
        code, said = self._run(command, root)
        if self.platform == "windows" and code != 0 and not said:
            # The updater always says why it failed: no output at all means Wine did not start it (a
            # start-up race with the wineserver, as cmake/wine-run.sh.in knows); only that is tried again.
            time.sleep(1)
            code, said = self._run(command, root)
        return code

    def _run(self, command, root):
        # Output to a file, not a pipe: the launcher the updater starts may keep it open after the updater ends.
        with tempfile.TemporaryFile() as out:
            code = subprocess.run(command, cwd=root, env=self.env, stdout=out, stderr=out, timeout=180).returncode
            return code, os.fstat(out.fileno()).st_size > 0

    def close(self):
        if self.platform == "windows":
            subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=60)


def wait_until(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def leftovers(root):
    return [str(p.relative_to(root)) for p in root.rglob(".qor-*")]


def launcher_starts(root):
    marker = root / "launcher_started.txt"
    return marker.read_text().splitlines() if marker.exists() else []


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)


def check_update(runner, root):
    shutil.copy2(root / "example" / "QORLauncher.exe", root / "QORLauncher.exe")
    write(root / "data" / "textures.pak", "textures 21")
    write(root / "self_update" / "data" / "textures.pak", "textures 22")
    write(root / "self_update" / "bin" / "core.dll", "core 22")
    write(root / "self_update" / "QORLauncherUpdater.exe", "a staged updater is never installed")
    updater = sha256(root / "QORLauncherUpdater.exe")

    code = runner.run(root, "QORLauncherUpdater.exe")
    assert code == 0, f"exit code {code}; log: {read_log(root)!r}"
    assert (root / "data" / "textures.pak").read_text() == "textures 22", "data/textures.pak not replaced"
    assert (root / "bin" / "core.dll").read_text() == "core 22", "bin/core.dll not installed"
    assert sha256(root / "QORLauncherUpdater.exe") == updater, "the running updater was replaced"
    assert not (root / "self_update").exists(), "./self_update is still there"
    assert wait_until(lambda: any(s.endswith(" args=0") for s in launcher_starts(root)), 60), \
        "the launcher was not started again"
    assert wait_until(lambda: not leftovers(root), 30), f"working files left: {leftovers(root)}"
    assert read_log(root) == "", f"a successful run logged {read_log(root)!r}"
    return "exit 0, files in, launcher started, nothing left"


def read_log(root):
    log = root / "log" / "self_updater_log.txt"
    return log.read_bytes().decode("utf-8", "replace") if log.exists() else ""


# Real failures of the packaged updater, in the folder the update above left: how each is made, and the
# pattern the start of its log line's message must match (Windows names staged files with backslashes).
def no_staging(root):
    pass


def folder_in_the_way(root):
    # A staged file whose target is a folder goes into it, as with cp: here a non-empty folder is there too.
    write(root / "blocked" / "blocked" / "keep.txt", "a player's file")
    write(root / "self_update" / "blocked", "a file where the installation has a folder")


def launcher_missing(root):
    (root / "QORLauncher.exe").rename(root / "QORLauncher.exe.away")
    write(root / "self_update" / "bin" / "core.dll", "core 23")


FAILURES = [
    ("nothing staged", no_staging, r"Unable to copy update files\. Aborting application\. File:\./self_update\. Err: "),
    ("a folder in the way", folder_in_the_way,
     r"Unable to copy update files\. Aborting application\. File:\./self_update[/\\]blocked\. Err: "),
    ("the launcher missing", launcher_missing, r"Unable to launch QORLauncher\.exe\."),
]


def check_failure_line(runner, root, schema, make, expected):
    import jsonschema  # python3-jsonschema (scripts/install-deps.sh test)

    shutil.rmtree(root / "self_update", ignore_errors=True)  # what the failure before put back
    make(root)
    code = runner.run(root, "QORLauncherUpdater.exe")
    assert code == 1, f"exit code {code}"
    text = read_log(root)  # each run rotates the log first: this file holds this run's lines only
    assert text.endswith("\r\n") and text.count("\n") == 1, f"not one line ended by CR LF: {text!r}"
    line = json.loads(text)
    jsonschema.Draft202012Validator(schema).validate(line)
    assert line["level"] == "error" and line["category"] == "QOR::LauncherUpdater", line
    assert re.match(expected, line["message"]), f"message {line['message']!r}"
    return line["message"][:90]


def check_schema(schema):
    import jsonschema

    jsonschema.Draft202012Validator.check_schema(schema)
    return f"{len(schema['properties'])} members, all required"


def check_jq_one_liners(root, guide):
    """Every jq command in the packaged docs/log.md runs on the real log and prints something."""
    commands = [line.strip() for line in guide.read_text().splitlines() if line.startswith("jq ")]
    assert commands, "docs/log.md shows no jq command"
    for command in commands:
        result = subprocess.run(["bash", "-c", command], cwd=root, capture_output=True, text=True, timeout=60)
        assert result.returncode == 0 and result.stdout.strip(), f"{command!r}: {result.stderr.strip()}"
    return f"{len(commands)} commands"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("archive", type=Path)
    parser.add_argument("--ca", type=Path, help="certificate the Windows programs must be signed with")
    parser.add_argument("--wine-prefix", type=Path, default=Path("build/windows-release/wineprefix"))
    args = parser.parse_args()

    archive = args.archive.resolve()
    platform = "windows" if archive.name.endswith(".zip") else "linux"
    top = re.sub(r"\.(zip|tar\.gz)$", "", archive.name)
    checks = Checks(platform)
    print(f"== {archive.name}", flush=True)

    with tempfile.TemporaryDirectory(prefix="qor-package-") as scratch:
        names = unpack(archive, scratch)
        root = Path(scratch) / top
        checks.run("archive checksum", check_archive_checksum, archive)
        if not checks.run("contents", check_contents, names, top):
            print(checks.summary())
            return 1
        checks.run("SHA256SUMS", check_sums, root)
        for program in PROGRAMS:
            (root / program).chmod(0o755)
            checks.run(f"{program} stripped", check_stripped, platform, root / program)
            checks.run(f"{program} debug link", check_debug_link, platform, root / program)
        updater = root / "QORLauncherUpdater.exe"
        checks.run("updater size", check_size, platform, updater)
        if platform == "linux":
            checks.run("glibc floor", check_linux_floor, updater)
        else:
            checks.run("imports and manifest", check_windows_imports, updater)
            for program in PROGRAMS:
                if args.ca:
                    checks.run(f"{program} signature", check_signature, root / program, args.ca)
                else:
                    checks.skip(f"{program} signature", "no --ca given")

        schema = json.loads((root / "docs" / "log-line.schema.json").read_text())
        checks.run("log line schema", check_schema, schema)
        runner = Runner(platform, args.wine_prefix.resolve())
        try:
            if checks.run("update from the unpacked folder", check_update, runner, root):
                for name, make, expected in FAILURES:
                    checks.run(f"failure log line: {name}", check_failure_line, runner, root, schema, make,
                               expected)
                checks.run("jq one-liners of docs/log.md", check_jq_one_liners, root, root / "docs" / "log.md")
        finally:
            runner.close()
    print(checks.summary(), flush=True)
    return 1 if checks.counts["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
