#!/usr/bin/env bash
# Every crash state the power-cut test knows, on ext4, xfs and btrfs, with and without forced commits:
# every flush point, every prefix of the writes, and the writes after each flush lost alone and in
# random halves. Then the broken apply on the three file systems, which must be caught failing on each.
# Prints the tables of docs/reliability.md. Needs root; took 13 minutes on the project's 2-core machine.
#   tests/powercut/run_all_states.sh [more options of powercut.py, e.g. --fs btrfs --verbose]
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target QORLauncherUpdater >/dev/null

status=0
echo "=== the updater: every state"
tests/powercut/powercut.py --updater build/linux/src/QORLauncherUpdater/QORLauncherUpdater.exe "$@" || status=1
echo "=== the broken apply: every flush state, forced commits"
tests/powercut/powercut.py --broken-apply --forced-commits yes --states flush --expect fail "$@" || status=1
exit "$status"
