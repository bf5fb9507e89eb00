#!/usr/bin/env bash
# Builds the updater and the example launcher, then shows one self-update in a generated
# installation: the launcher running, the staged update, the wait, the copy, the relaunch.
# Needs no display: error boxes go to standard error.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

step() { printf '\n==> %s\n' "$*"; }
tree() { (cd "$1" && find . -path ./log -prune -o -print | LC_ALL=C sort | sed 's/^/    /'); }

step "Installing what is missing"
scripts/install-deps.sh

step "Building QORLauncherUpdater.exe and QORLauncher.exe (preset linux)"
cmake --preset linux >/dev/null
cmake --build --preset linux --target QORLauncherUpdater QORLauncher

# Absolute: the demo runs inside the installation it makes.
updater_exe="$root/build/linux/src/QORLauncherUpdater/QORLauncherUpdater.exe"
launcher_exe="$root/build/linux/examples/launcher/QORLauncher.exe"

unset DISPLAY WAYLAND_DISPLAY
demo="$(mktemp -d "${TMPDIR:-/tmp}/qor-demo.XXXXXX")"
stage="$(mktemp -d "${TMPDIR:-/tmp}/qor-demo-update.XXXXXX")"
trap 'rm -rf "$stage"' EXIT

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

step "Waiting for the updater to copy the files, start the launcher again and exit"
for _ in $(seq 1 200); do
  if [ "$(wc -l < "$demo/launcher_started.txt")" -ge 2 ]; then break; fi
  sleep 0.1
done
# The updater tidies up after the launcher's start; it has exited once its lock is free (README).
updater_running() {
  f=/tmp/QOR_LauncherUpdater.lock
  [ -f "$f" ] || return 1
  ! ( exec 9<"$f" && flock -n 9 )
}
for _ in $(seq 1 200); do
  if ! updater_running; then break; fi
  sleep 0.05
done

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
sed -e 's/args=0$/&  (started again by the updater)/' -e 's/args=[1-9][0-9]*$/&  (started by the demo to stage the update)/' \
  -e 's/^/    /' "$demo/launcher_started.txt"

step "Running the updater once more by hand, to show its exit code and its log"
echo "Staging the same update again without a launcher running..."
cp -r "$stage" "$demo/self_update"
starts=$(wc -l < launcher_started.txt)
set +e
./QORLauncherUpdater.exe
code=$?
set -e
sleep 0.3
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
mv QORLauncher.exe.away QORLauncher.exe
echo "exit code: $code"
# The launch is the last step: the update itself is already in when it fails.
if [ -e self_update ]; then echo "self_update: still there"; else echo "self_update: removed (the update was applied; only the relaunch failed)"; fi
echo "log/self_updater_log.txt:"; sed 's/^/    /' log/self_updater_log.txt

step "Done. The demo installation stays in $demo"
