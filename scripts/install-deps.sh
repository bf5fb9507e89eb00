#!/usr/bin/env bash
# Installs what the builds, tests, demo and benchmarks need on Debian 12, and nothing when all is there.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config python3
  libspdlog-dev libfmt-dev googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64
  xvfb zenity xdotool x11-apps imagemagick
  clang libclang-rt-14-dev
  util-linux procps psmisc
  strace
  # the power-cut test: qemu-system-common ships qemu-storage-daemon, whose blklogwrites driver logs writes
  qemu-system-common mount fuse3 e2fsprogs xfsprogs btrfs-progs
  gnuplot-nox
)

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
