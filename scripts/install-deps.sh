#!/usr/bin/env bash
# Installs what one use of the project needs on Debian 12, and nothing when all is there.
#   scripts/install-deps.sh demo      the Linux build and scripts/demo.sh
#   scripts/install-deps.sh package   scripts/package.sh: both release builds and the signing
#   scripts/install-deps.sh [test]    everything: every preset, the tests, the package test, the benchmarks
set -euo pipefail

need="${1:-test}"
demo=(
  cmake ninja-build g++ libspdlog-dev libfmt-dev
  util-linux e2fsprogs   # flock, and chattr for the demo's read-only file
)
package=(
  "${demo[@]}"
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  osslsigncode openssl
)
case "$need" in
  demo) packages=("${demo[@]}") ;;
  package) packages=("${package[@]}") ;;
  test)
    packages=(
      "${package[@]}"
      pkg-config python3
      googletest libgtest-dev libgmock-dev libbenchmark-dev
      wine wine64
      xvfb zenity xdotool x11-apps imagemagick
      clang libclang-rt-14-dev
      procps psmisc
      strace
      gnuplot-nox
      python3-jsonschema jq   # the package test: the log line's schema and the guide's jq one-liners
      # the power-cut test: qemu-system-common ships qemu-storage-daemon, whose blklogwrites driver logs writes
      qemu-system-common mount fuse3 xfsprogs btrfs-progs
      exfatprogs exfat-fuse dosfstools   # the kill test on FAT drives, whose file ids do not survive a mount
    )
    ;;
  *)
    echo "usage: scripts/install-deps.sh [demo|package|test]" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
