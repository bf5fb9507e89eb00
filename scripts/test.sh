#!/usr/bin/env bash
# Builds every preset and runs every test: Linux, Linux with ASan+UBSan, Windows under Wine,
# and short bounded libFuzzer runs; then builds the release packages of the platforms tested and checks them.
# Ends with one summary line "tests: N passed, N failed, N skipped" and a non-zero exit when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh test || { echo "tests: 0 passed, 1 failed (dependency install failed)"; exit 1; }

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
    # What each failing test printed (ctest keeps it only on failure), so that a run elsewhere says why.
    awk '/Test +#[0-9]+: .*\*\*\*(Failed|Timeout|Exception)/ { keep = 1; n = 0; print; next }
         /^ *([0-9]+\/[0-9]+ )?Test +#[0-9]+: / { keep = 0 }
         /tests passed, [0-9]+ tests? failed out of/ { keep = 0 }
         keep && n++ < 80' "$log"
  fi
  if [ "$preset" = windows ]; then
    wineserver -k >/dev/null 2>&1 || true
    unset WINEPREFIX
  fi
done

# The release packages of the platforms tested above, as a launcher team receives them: made by
# scripts/package.sh, signed with a throw-away certificate, and checked by tests/package/check_package.py
# (each of its checks counts as a test). Debian's Python runs it: its jsonschema is the one install-deps.sh
# installs.
package_platforms=()
for platform in linux windows; do
  if [[ " ${presets[*]} " == *" ${platform} "* ]]; then package_platforms+=("$platform"); fi
done
if [ ${#package_platforms[@]} -gt 0 ]; then
  echo "=== package: ${package_platforms[*]}"
  if ! scripts/package.sh --test-certificate "${package_platforms[@]}" >build/package.log 2>&1; then
    tail -n 40 build/package.log; broken+=("package"); failed=$((failed + 1))
  else
    for platform in "${package_platforms[@]}"; do
      if [ "$platform" = windows ]; then archive=(build/dist/QORLauncherUpdater-*-windows-x64.zip)
      else archive=(build/dist/QORLauncherUpdater-*-linux-*.tar.gz); fi
      check=(/usr/bin/python3 tests/package/check_package.py "${archive[0]}" --ca build/test-signing/certificate.pem)
      # The Windows preset's Wine prefix, made above, saves making another one.
      if [ -d build/windows/wineprefix ]; then check+=(--wine-prefix build/windows/wineprefix); fi
      log="build/package-${platform}-check.log"
      "${check[@]}" >"$log" 2>&1
      grep -vE '^ok ' "$log"
      summary='^package [a-z]+: ([0-9]+) checks passed, ([0-9]+) failed, ([0-9]+) skipped$'
      if [[ "$(tail -n 1 "$log")" =~ $summary ]]; then
        passed=$((passed + BASH_REMATCH[1]))
        failed=$((failed + BASH_REMATCH[2]))
        skipped=$((skipped + BASH_REMATCH[3]))
        [ "${BASH_REMATCH[2]}" -eq 0 ] || broken+=("package-${platform}")
      else
        broken+=("package-${platform}"); failed=$((failed + 1))
      fi
    done
  fi
fi

echo "=== took $(( $(date +%s) - start )) s; presets: ${presets[*]}${broken:+; failing: ${broken[*]}}"
echo "tests: ${passed} passed, ${failed} failed, ${skipped} skipped"
[ "$failed" -eq 0 ]
