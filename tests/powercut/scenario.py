"""The update the power-cut test cuts: an installation, the new version staged in ./self_update, and what
must hold of the installation in a crash state and after the update is complete.

Every file's bytes are its own (derived from its path and version), so a file that is wholly neither
version, torn or zero-filled or empty, is told apart from both.
"""

import hashlib
import os
import re
import stat

INSTALL = "game"  # the installation folder, at the root of the test file system
STAGING = "self_update"
LAUNCHER = "QORLauncher.exe"
STARTS_VARIABLE = "QOR_POWERCUT_STARTS"  # the file each start of a launcher appends its version to


def _bytes(path, version, size):
    return hashlib.shake_256(f"{path}|{version}".encode()).digest(size)


def _launcher(version):
    return f'#!/bin/sh\necho {version} >> "${STARTS_VARIABLE}"\n'.encode()


class Link(str):
    """A symbolic link's text."""


OLD = {
    LAUNCHER: _launcher("v1"),
    "bin/core.dll": _bytes("bin/core.dll", 1, 96 << 10),
    "bin/render.dll": _bytes("bin/render.dll", 1, 20 << 10),
    "bin/libfoo.so.1": _bytes("bin/libfoo.so.1", 1, 8 << 10),
    "bin/libfoo.so": Link("libfoo.so.1"),
    "data/base.pak": _bytes("data/base.pak", 1, 1 << 20),
    "readme.txt": _bytes("readme.txt", 1, 300),
    # The update does not touch these.
    "data/textures.pak": _bytes("data/textures.pak", 1, 256 << 10),
    "settings.cfg": _bytes("settings.cfg", 1, 100),
}

NEW = {
    LAUNCHER: _launcher("v2"),
    "bin/core.dll": _bytes("bin/core.dll", 2, 128 << 10),
    "bin/render.dll": _bytes("bin/render.dll", 2, 20 << 10),
    "bin/libfoo.so.2": _bytes("bin/libfoo.so.2", 2, 8 << 10),
    "bin/libfoo.so": Link("libfoo.so.2"),
    "bin/plugins/voice.dll": _bytes("bin/plugins/voice.dll", 2, 40 << 10),  # a new folder, moved in whole
    "data/base.pak": _bytes("data/base.pak", 2, 1 << 20),
    "data/maps/harbour.map": _bytes("data/maps/harbour.map", 2, 300 << 10),
    "data/maps/notes.txt": _bytes("data/maps/notes.txt", 2, 200),
    "readme.txt": _bytes("readme.txt", 2, 350),
}

NEW_LAUNCHER_START = "v2"


def _write_tree(root, tree):
    for path, content in tree.items():
        target = os.path.join(root, path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if isinstance(content, Link):
            os.symlink(content, target)
            continue
        with open(target, "wb") as f:
            f.write(content)
        os.chmod(target, 0o755 if path == LAUNCHER else 0o644)


def install_old_version(fs_root):
    _write_tree(os.path.join(fs_root, INSTALL), OLD)


def stage_new_version(fs_root):
    """The staged update, as the launcher leaves it when it starts the updater."""
    _write_tree(os.path.join(fs_root, INSTALL, STAGING), NEW)


def installation_changed(fs_root):
    """Whether any installed entry differs from the old version: something replaced, added or removed."""
    install = os.path.join(fs_root, INSTALL)
    return any(_read(os.path.join(install, path)) != OLD.get(path) for path in OLD.keys() | NEW.keys())


def staged_tree_whole(fs_root):
    staging = os.path.join(fs_root, INSTALL, STAGING)
    return all(_read(os.path.join(staging, path)) == content for path, content in NEW.items())


def _read(path):
    """A regular file's bytes, a link's text as Link, None when missing, or the kind of anything else."""
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return None
    if stat.S_ISLNK(st.st_mode):
        return Link(os.readlink(path))
    if not stat.S_ISREG(st.st_mode):
        return f"<not a file: mode {st.st_mode:o}>"
    with open(path, "rb") as f:
        return f.read()


def _describe(actual, old, new):
    if actual is None:
        return "missing"
    if isinstance(actual, Link):
        return f"a link to {actual!r}"
    if isinstance(actual, str):
        return actual
    if not actual:
        return "empty"
    zeros = actual.count(0) == len(actual)
    what = f"{len(actual)} bytes{' of zeros' if zeros else ''}"
    for name, version in (("old", old), ("new", new)):
        if isinstance(version, bytes):
            same = next((i for i, (a, b) in enumerate(zip(actual, version)) if a != b), min(len(actual), len(version)))
            what += f", {same} leading bytes of the {name} version ({len(version)} bytes)"
    return what


def crash_state_problems(fs_root):
    """What is wrong with the installation in a crash state: each installed file must be wholly old or
    wholly new, a new one absent or wholly new, and each new file's content must exist somewhere on the
    file system (installed, still staged, or set aside by the updater)."""
    install = os.path.join(fs_root, INSTALL)
    problems = []
    for path in sorted(OLD.keys() | NEW.keys()):
        actual = _read(os.path.join(install, path))
        old, new = OLD.get(path), NEW.get(path)
        allowed = [v for v in (old, new) if v is not None] if old is not None else [None, new]
        if actual not in allowed:
            problems.append(f"{path}: {_describe(actual, old, new)}; it must be "
                            f"{'the old or the new version' if old is not None else 'absent or the new version'}")
    found = _contents_on_disk(fs_root, {len(c) for c in NEW.values() if isinstance(c, bytes)})
    for path, content in sorted(NEW.items()):
        if isinstance(content, bytes) and hashlib.sha256(content).digest() not in found:
            problems.append(f"{path}: the new content is nowhere on the file system")
    return problems


def _contents_on_disk(fs_root, sizes):
    digests = set()
    for folder, _dirs, files in os.walk(fs_root):
        for name in files:
            path = os.path.join(folder, name)
            st = os.lstat(path)
            if stat.S_ISREG(st.st_mode) and st.st_size in sizes:
                with open(path, "rb") as f:
                    digests.add(hashlib.sha256(f.read()).digest())
    return digests


def _own_names(install):
    """Every entry of the installation, relative, except the log folder's."""
    names = set()
    for folder, dirs, files in os.walk(install):
        rel = os.path.relpath(folder, install)
        if rel == "log":
            dirs.clear()
            continue
        for name in dirs + files:
            names.add(os.path.normpath(os.path.join(rel, name)))
    return names


def _expected_names():
    names = {"log"}
    for path in OLD.keys() | NEW.keys():
        while path:
            names.add(path)
            path = os.path.dirname(path)
    return names


WORK_FOLDER = re.compile(r"^\.qor-[0-9a-f]{16}$")
RECORDS = ("journal", "committed", "abandoned")


def is_pending(fs_root):
    """The launcher's rule: the updater is started while ./self_update exists or a working folder of the
    updater holds one of its records."""
    install = os.path.join(fs_root, INSTALL)
    if os.path.lexists(os.path.join(install, STAGING)):
        return True
    return any(WORK_FOLDER.match(name) and any(os.path.isfile(os.path.join(install, name, record))
                                               for record in RECORDS)
               for name in os.listdir(install))


def empty_work_folders(fs_root):
    """Working folders with nothing in them: what a cut just before the last step of a finished run leaves.
    The launcher's rule does not see them, and the next run removes them."""
    install = os.path.join(fs_root, INSTALL)
    return {name for name in os.listdir(install)
            if WORK_FOLDER.match(name) and os.path.isdir(os.path.join(install, name))
            and not os.listdir(os.path.join(install, name))}


def completed_problems(fs_root):
    """What is wrong with an installation the update has completed: every staged file installed, every
    other file as it was, no staging tree, nothing else (no working file of the updater, whatever its name)."""
    install = os.path.join(fs_root, INSTALL)
    problems = []
    for path in sorted(OLD.keys() | NEW.keys()):
        expected = NEW.get(path, OLD.get(path))
        actual = _read(os.path.join(install, path))
        if actual != expected:
            problems.append(f"{path}: {_describe(actual, OLD.get(path), NEW.get(path))}; it must be the "
                            f"{'new' if path in NEW else 'untouched old'} version")
    for name in sorted(_own_names(install) - _expected_names() - empty_work_folders(fs_root)):
        problems.append(f"{name}: left behind")
    return problems


def signature(fs_root):
    """What a crash state left of the update, for counting the distinct ones: each file old (o), new (n),
    absent (-) or neither (?), how many entries the staging tree still has, and the updater's working
    files, their random tags left out."""
    install = os.path.join(fs_root, INSTALL)
    versions = []
    for path in sorted(OLD.keys() | NEW.keys()):
        actual = _read(os.path.join(install, path))
        versions.append("o" if actual == OLD.get(path) else "n" if actual == NEW.get(path)
                        else "-" if actual is None else "?")
    names = _own_names(install)
    staged = sum(n.split("/")[0] == STAGING for n in names)
    working = sorted(re.sub(r"\.qor-[0-9a-f]+", ".qor-*", n) for n in names if ".qor-" in n)
    return f"{''.join(versions)} staged:{staged} working:{','.join(working) or '-'}"
