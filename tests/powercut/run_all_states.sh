#!/usr/bin/env bash
# Every crash state the power-cut test knows, on ext4, xfs and btrfs, with and without forced commits,
# the update staged durably and unflushed: every flush point, every prefix of the writes, and the writes
# after each flush lost alone and in random halves. Then the two controls, which must be caught failing
# on each file system: the broken apply, and the updater with its flushes taken away.
# Prints the tables of docs/reliability.md. Needs root.
#   tests/powercut/run_all_states.sh [more options of powercut.py, e.g. --fs btrfs --verbose]
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target QORLauncherUpdater >/dev/null

updater=build/linux/src/QORLauncherUpdater/QORLauncherUpdater.exe
status=0
echo "=== the updater: every state"
tests/powercut/powercut.py --updater "$updater" "$@" || status=1
echo "=== the broken apply: every flush state, forced commits"
tests/powercut/powercut.py --broken-apply --forced-commits yes --staging durable --states flush --expect fail \
  "$@" || status=1
echo "=== the updater without its flushes: every flush state, forced commits, unflushed staging"
tests/powercut/powercut.py --updater "$updater" --suppress-flushes --forced-commits yes --staging unflushed \
  --states flush --expect fail "$@" || status=1
exit "$status"
