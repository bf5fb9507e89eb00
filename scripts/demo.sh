#!/usr/bin/env bash
# Builds the updater and the example launcher, then shows self-updates in a generated installation:
# the launcher running, the staged update, the wait, the copy, the relaunch; a run by hand with its exit
# code and log; a failure; and an update that fails on a file that cannot be replaced, which changes
# nothing, and succeeds once the file is released.
# Needs no display: error boxes go to standard error.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

step() { printf '\n==> %s\n' "$*"; }
tree() { (cd "$1" && find . -path ./log -prune -o -print | LC_ALL=C sort | sed 's/^/    /'); }
# Every entry but ./log, with its kind and mode, and the SHA-256 of every file.
snapshot() {
  (cd "$1" && find . -path ./log -prune -o -printf '%y %m %p\n' | LC_ALL=C sort &&
    find . -path ./log -prune -o -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum)
}
# The updater is done with an update once its lock is free and none of its working files (.qor-*) remains:
# it may let go of the lock when it starts the launcher, before it has deleted the files it replaced.
updater_running() {
  f=/tmp/QOR_LauncherUpdater.lock
  [ -f "$f" ] || return 1
  ! ( exec 9<"$f" && flock -n 9 )
}
wait_for_updater() {
  for _ in $(seq 1 300); do
    if ! updater_running && [ -z "$(find "$demo" -name '.qor-*' -print -quit)" ]; then return 0; fi
    sleep 0.05
  done
  echo "(the updater is still busy after 15 s)"
}
wait_for_launcher_starts() {
  for _ in $(seq 1 200); do
    if [ "$(wc -l < "$demo/launcher_started.txt")" -ge "$1" ]; then return 0; fi
    sleep 0.1
  done
}

step "Installing what the Linux build and the demo need"
scripts/install-deps.sh demo

step "Building QORLauncherUpdater.exe and QORLauncher.exe (preset linux-release)"
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release --target QORLauncherUpdater QORLauncher

# Absolute: the demo runs inside the installation it makes.
updater_exe="$root/build/linux-release/src/QORLauncherUpdater/QORLauncherUpdater.exe"
launcher_exe="$root/build/linux-release/examples/launcher/QORLauncher.exe"

unset DISPLAY WAYLAND_DISPLAY
demo="$(mktemp -d "${TMPDIR:-/tmp}/qor-demo.XXXXXX")"
stage="$(mktemp -d "${TMPDIR:-/tmp}/qor-demo-update.XXXXXX")"
stage2="$(mktemp -d "${TMPDIR:-/tmp}/qor-demo-update2.XXXXXX")"
held=""
# Whatever happens, the demo leaves no file immutable behind.
trap 'if [ -n "$held" ]; then chattr -i "$held" 2>/dev/null || chmod u+w "$held" 2>/dev/null; fi; rm -rf "$stage" "$stage2" "$stage2.before" "$stage2.after"' EXIT

step "Creating a sample installation in $demo"
cp "$updater_exe" "$launcher_exe" "$demo/"
mkdir -p "$demo/bin" "$demo/data"
echo "core 21.0" > "$demo/bin/core.dll"
echo "player settings" > "$demo/settings.cfg"
echo "textures 21.0" > "$demo/data/textures.pak"

# The new version, as the launcher would have downloaded it.
mkdir -p "$stage/bin/plugins" "$stage/data/maps"
echo "core 22.0" > "$stage/bin/core.dll"
echo "new plugin" > "$stage/bin/plugins/voice.dll"
echo "new map" > "$stage/data/maps/harbour.map"
echo "updater 22.0 (never copied over the running updater)" > "$stage/QORLauncherUpdater.exe"
echo "Installation before the update:"
tree "$demo"

step "Starting the launcher: it stages the update in ./self_update, starts the updater and keeps running 3 s"
cd "$demo"
./QORLauncher.exe --stage "$stage" --start-updater --hold 3 &
launcher=$!
sleep 0.5
echo "Staged update:"
tree "$demo/self_update"
echo "The updater now waits for the launcher (it goes on the moment \"QOR_Launcher\" is free)..."
wait "$launcher"
echo "The launcher has exited."

step "Waiting for the updater to move the files in, start the launcher again and tidy up"
wait_for_launcher_starts 2
wait_for_updater

step "Installation after the update"
tree "$demo"
echo "bin/core.dll now says: $(cat "$demo/bin/core.dll")"
if cmp -s "$demo/QORLauncherUpdater.exe" "$updater_exe"; then
  echo "QORLauncherUpdater.exe: unchanged (the staged updater is never copied over the running one)"
else
  echo "QORLauncherUpdater.exe: CHANGED: the staged updater was installed over the running one"
fi
if [ -e "$demo/self_update" ]; then echo "self_update: still there"; else echo "self_update: removed"; fi
echo "Launcher starts (launcher_started.txt):"
# The launcher writes its argument count: the demo's start has arguments, the updater's has none.
sed -e 's/args=0$/&  (started again by the updater)/' -e 's/args=[1-9][0-9]*$/&  (started by the demo)/' \
  -e 's/^/    /' "$demo/launcher_started.txt"

step "Running the updater once more by hand, to show its exit code and its log"
echo "Staging the same update again without a launcher running..."
cp -r "$stage" "$demo/self_update"
starts=$(wc -l < launcher_started.txt)
set +e
./QORLauncherUpdater.exe
code=$?
set -e
wait_for_launcher_starts $((starts + 1))
wait_for_updater
echo "exit code: $code"
if [ "$(wc -l < launcher_started.txt)" -gt "$starts" ]; then echo "launcher: started again"; else echo "launcher: NOT started"; fi
if [ -s log/self_updater_log.txt ]; then
  echo "log/self_updater_log.txt:"; sed 's/^/    /' log/self_updater_log.txt
else
  echo "log/self_updater_log.txt: no log line: success"
fi

step "And a failure: the launcher executable is missing"
cp -r "$stage" "$demo/self_update"
mv QORLauncher.exe QORLauncher.exe.away
echo "The updater's warning box (on standard error without a display) and its log line on the console:"
set +e
./QORLauncherUpdater.exe
code=$?
set -e
wait_for_updater
mv QORLauncher.exe.away QORLauncher.exe
echo "exit code: $code"
# The launch is the last step: the update itself is already in when it fails.
if [ -e self_update ]; then echo "self_update: still there"; else echo "self_update: removed (the update was applied; only the relaunch failed)"; fi
echo "log/self_updater_log.txt:"; sed 's/^/    /' log/self_updater_log.txt

step "All or nothing: version 23.0, while data/textures.pak cannot be replaced"
mkdir -p "$stage2/bin/plugins" "$stage2/data/maps" "$stage2/data/music"
echo "core 23.0" > "$stage2/bin/core.dll"
echo "voice plugin 23.0" > "$stage2/bin/plugins/voice.dll"
echo "textures 23.0" > "$stage2/data/textures.pak"
echo "harbour map 23.0" > "$stage2/data/maps/harbour.map"
echo "island map (new in 23.0)" > "$stage2/data/maps/island.map"
echo "theme (a new folder in 23.0)" > "$stage2/data/music/theme.ogg"
cp -r "$stage2" "$demo/self_update"
echo "Staged update:"
tree "$demo/self_update"
held="$demo/data/textures.pak"
if [ "$(id -u)" -eq 0 ]; then
  # Root may write anywhere; only the immutable flag stops a rename over the file.
  if chattr +i "$held" 2>/dev/null; then
    echo "data/textures.pak is made immutable (chattr +i): not even root may replace it."
  else
    held=""
  fi
else
  chmod a-w "$demo/data"
  held="$demo/data"
  echo "data/ is made read-only (chmod a-w): no file in it may be replaced."
fi
if [ -z "$held" ]; then
  echo "This file system has no immutable flag (chattr +i failed) and root ignores read-only folders: skipped."
else
  snapshot "$demo" > "$stage2.before"
  echo "The updater, started by hand in the installation folder without arguments, as the launcher starts it"
  echo "(its box on standard error, its log line on the console):"
  set +e
  ./QORLauncherUpdater.exe
  code=$?
  set -e
  wait_for_updater
  echo "exit code: $code"
  snapshot "$demo" > "$stage2.after"
  installed=$(grep -E '^[0-9a-f]{64}  ' "$stage2.after" | grep -vc '  \./self_update/' || true)
  staged=$(grep -cE '^[0-9a-f]{64}  \./self_update/' "$stage2.after" || true)
  if cmp -s "$stage2.before" "$stage2.after"; then
    echo "Every installed file ($installed) is byte for byte as before, and so is every staged file ($staged) in"
    echo "./self_update: names, kinds, modes and SHA-256 compared before and after the run (all but ./log)."
  else
    echo "CHANGED by the failed run (before < > after):"
    diff "$stage2.before" "$stage2.after" | sed 's/^/    /' || true
  fi
  echo "bin/core.dll still says: $(cat bin/core.dll)"
  rm -f "$stage2.before" "$stage2.after"

  step "The file is released; the player starts the launcher again"
  if [ "$held" = "$demo/data" ]; then chmod u+w "$demo/data"; else chattr -i "$held"; fi
  held=""
  if [ -e self_update ]; then
    echo "It checks the one rule first: ./self_update exists, so an update is pending."
  else
    echo "It checks the one rule first (./self_update is gone)."
  fi
  starts=$(wc -l < launcher_started.txt)
  ./QORLauncher.exe --check-pending
  wait_for_launcher_starts $((starts + 2))
  wait_for_updater
  tree "$demo"
  for file in bin/core.dll bin/plugins/voice.dll data/textures.pak data/maps/island.map data/music/theme.ogg; do
    echo "$file now says: $(cat "$file")"
  done
  if [ -e self_update ]; then echo "self_update: still there"; else echo "self_update: removed"; fi
  echo "Launcher starts (launcher_started.txt):"
  sed -e 's/args=0$/&  (started again by the updater)/' -e 's/args=[1-9][0-9]*$/&  (started by the demo)/' \
    -e 's/^/    /' launcher_started.txt
fi

step "Done. The demo installation stays in $demo"
