"""The states a power cut can leave a disk in, from the log of one recorded run.

A disk keeps everything written before its last completed flush; of the writes after it, it may have
kept any subset (its cache writes them back in any order). So the states are:
- flush: the disk as of each flush the run issued (and as of the run's start and end);
- prefix: the disk after each write, every earlier write kept;
- subset: the disk as of a flush plus some of the writes that followed it before the next flush: each
  one lost alone (where there are many, a spread of them), and random halves.
"""

import random
from dataclasses import dataclass

KINDS = ("flush", "prefix", "subset")


@dataclass(frozen=True)
class CrashState:
    kind: str
    applied: int  # entries [0, applied) are on the disk
    extra: tuple = ()  # and these later ones
    label: str = ""


def _canonical(entries, applied, extra):
    """The same disk is reached by many (applied, extra) pairs; one form each, to test it once."""
    extra = set(extra)
    while applied < len(entries) and (not entries[applied].changes_disk or applied in extra):
        extra.discard(applied)
        applied += 1
    return applied, tuple(sorted(extra))


def enumerate_states(entries, start, kinds, seed=1, spread=8, random_subsets=8):
    """The crash states of kinds `kinds` within entries [start, end), without duplicates, in replay order.
    `spread` bounds the writes lost alone per flush interval, `random_subsets` the random halves."""
    rng = random.Random(seed)
    states = {}

    def add(kind, applied, extra=(), label=""):
        key = _canonical(entries, applied, extra)
        if key not in states:
            states[key] = CrashState(kind, key[0], key[1], label)

    end = len(entries)
    flushes = [i for i in range(start, end) if entries[i].is_flush]
    if "flush" in kinds:
        add("flush", start, label="the run's start")
        for number, i in enumerate(flushes, 1):
            add("flush", i + 1, label=f"flush {number} of {len(flushes)} (log entry {i})")
        add("flush", end, label="the run's end")
    if "prefix" in kinds:
        for i in range(start, end):
            if entries[i].changes_disk:
                add("prefix", i + 1, label=f"every write up to log entry {i}")
    if "subset" in kinds:
        bounds = [start] + [i + 1 for i in flushes]
        for base, stop in zip(bounds, bounds[1:] + [end]):
            writes = [i for i in range(base, stop) if entries[i].changes_disk]
            if len(writes) < 2:
                continue
            after = "the run's start" if base == start else f"the flush at {base - 1}"
            step = max(1, len(writes) // spread)
            for lost in writes[::step][:spread]:
                add("subset", base, [w for w in writes if w != lost],
                    label=f"writes {writes[0]}-{writes[-1]} after {after}, {lost} lost")
            for _ in range(random_subsets):
                kept = [w for w in writes if rng.random() < 0.5]
                add("subset", base, kept,
                    label=f"writes {writes[0]}-{writes[-1]} after {after}, {len(kept)} of {len(writes)} kept")
    return sorted(states.values(), key=lambda s: (s.applied, s.extra))
