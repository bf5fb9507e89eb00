#!/usr/bin/env bash
# Builds every preset and runs every test: Linux, Linux with ASan+UBSan, Windows under Wine,
# and short bounded libFuzzer runs.
# Ends with one summary line "tests: N passed, N failed, N skipped" and a non-zero exit when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh || { echo "tests: 0 passed, 1 failed (dependency install failed)"; exit 1; }

presets=(${QOR_TEST_PRESETS:-linux linux-asan windows fuzz})
jobs=${QOR_JOBS:-$(nproc)}
passed=0
failed=0
skipped=0
broken=()
start=$(date +%s)

count_results() { # reads ctest's closing line: "NN% tests passed, F tests failed out of T"
  local line total fails
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1)
  if [ -z "$line" ]; then return 1; fi
  fails=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
  local skips
  skips=$(grep -cE '\*\*\*Skipped' "$1" || true)
  passed=$((passed + total - fails - skips))
  failed=$((failed + fails))
  skipped=$((skipped + skips))
}

for preset in "${presets[@]}"; do
  echo "=== ${preset}: configure and build"
  log="build/${preset}-ctest.log"
  mkdir -p build
  if ! cmake --preset "$preset" >"build/${preset}-configure.log" 2>&1; then
    cat "build/${preset}-configure.log"; broken+=("$preset:configure"); failed=$((failed + 1)); continue
  fi
  if ! cmake --build --preset "$preset" -j "$jobs" >"build/${preset}-build.log" 2>&1; then
    tail -n 60 "build/${preset}-build.log"; broken+=("$preset:build"); failed=$((failed + 1)); continue
  fi
  if [ "$preset" = windows ]; then
    # One persistent wineserver for the whole run; the prefix is made once and kept in the build folder.
    export WINEPREFIX="$root/build/windows/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    (unset DISPLAY WAYLAND_DISPLAY; wineboot -i >/dev/null 2>&1; wineserver -p >/dev/null 2>&1) || true
  fi
  echo "=== ${preset}: test"
  ctest --preset "$preset" 2>&1 | tee "$log" | grep -E '\*\*\*|tests passed|\((Failed|Timeout|Skipped)\)' || true
  if ! count_results "$log"; then
    tail -n 40 "$log"; broken+=("$preset:ctest"); failed=$((failed + 1))
  elif grep -qE '[1-9][0-9]* tests? failed out of' "$log"; then
    broken+=("$preset")
  fi
  if [ "$preset" = windows ]; then
    wineserver -k >/dev/null 2>&1 || true
    unset WINEPREFIX
  fi
done

echo "=== took $(( $(date +%s) - start )) s; presets: ${presets[*]}${broken:+; failing: ${broken[*]}}"
echo "tests: ${passed} passed, ${failed} failed, ${skipped} skipped"
[ "$failed" -eq 0 ]
