"""The dm-log-writes log: reading it and replaying it onto a copy of the disk it was recorded over.

QEMU's blklogwrites block driver writes the same format as Linux's dm-log-writes target. Log sector 0
holds the super block; each entry follows as one log sector that starts with its header (a mark's text
right after the header), and a write's data follows its header, `nr_sectors` log sectors long. Sector
numbers and counts are in log sectors (the super block's `sectorsize`). A flush entry carries no data.
"""

import os
import struct
from dataclasses import dataclass

MAGIC = 0x6A736677736872
VERSION = 1

FLUSH = 1 << 0
FUA = 1 << 1
DISCARD = 1 << 2
MARK = 1 << 3

_SUPER = struct.Struct("<QQQI")  # magic, version, nr_entries, sectorsize
_ENTRY = struct.Struct("<QQQQ")  # sector, nr_sectors, flags, data_len


class LogError(Exception):
    pass


@dataclass(frozen=True)
class Entry:
    index: int
    sector: int  # first disk sector written or discarded, in log sectors
    nr_sectors: int
    flags: int
    data_offset: int  # where a write's data starts in the log file

    @property
    def is_flush(self):
        return bool(self.flags & FLUSH)

    @property
    def is_discard(self):
        return bool(self.flags & DISCARD)

    @property
    def changes_disk(self):
        """A write or a discard: something a crash may keep or lose."""
        return self.nr_sectors > 0 and not self.flags & MARK


class Log:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            head = f.read(_SUPER.size)
            if len(head) < _SUPER.size:
                raise LogError(f"{path}: no super block")
            magic, version, count, self.sector_size = _SUPER.unpack(head)
            if magic != MAGIC or version != VERSION:
                raise LogError(f"{path}: not a log-writes log (magic {magic:#x}, version {version})")
            self.entries = self._read_entries(f, count)

    def _read_entries(self, f, count):
        entries = []
        position = self.sector_size
        size = os.fstat(f.fileno()).st_size
        for index in range(count):
            f.seek(position)
            header = f.read(_ENTRY.size)
            if len(header) < _ENTRY.size:
                raise LogError(f"{self.path}: entry {index} of {count} lies beyond the end of the log")
            sector, nr_sectors, flags, _data_len = _ENTRY.unpack(header)
            position += self.sector_size
            entry = Entry(index, sector, nr_sectors, flags, position)
            if entry.changes_disk and not entry.is_discard:
                position += nr_sectors * self.sector_size
                if position > size:
                    raise LogError(f"{self.path}: the data of entry {index} lies beyond the end of the log")
            entries.append(entry)
        return entries

    @staticmethod
    def entry_count(path):
        """The number of entries logged so far, read while the log is still being written."""
        with open(path, "rb") as f:
            head = f.read(_SUPER.size)
        return _SUPER.unpack(head)[2] if len(head) == _SUPER.size else 0


class Replayer:
    """Applies entries of a log to a disk image opened for writing."""

    _ZEROS = bytes(1 << 20)

    def __init__(self, log):
        self.log = log
        self._log_fd = os.open(log.path, os.O_RDONLY | os.O_CLOEXEC)

    def close(self):
        os.close(self._log_fd)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def apply(self, image_fd, entries):
        size = self.log.sector_size
        for entry in entries:
            if not entry.changes_disk:
                continue
            offset = entry.sector * size
            length = entry.nr_sectors * size
            if entry.is_discard:
                # A discarded range reads back as zeros from the file the driver punched it in.
                while length:
                    n = os.pwrite(image_fd, self._ZEROS[: min(length, len(self._ZEROS))], offset)
                    offset += n
                    length -= n
                continue
            done = 0
            while done < length:
                chunk = os.pread(self._log_fd, min(length - done, 1 << 20), entry.data_offset + done)
                if not chunk:
                    raise LogError(f"{self.log.path}: short data in entry {entry.index}")
                done += os.pwrite(image_fd, chunk, offset + done)
