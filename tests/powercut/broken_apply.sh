#!/bin/sh
# A deliberately broken apply, the power-cut test's proof that it catches one: the staged files are copied
# over the installation without any flush, the staged copy deleted and the launcher started.
set -eu
[ -d self_update ] || exit 1
cp -a self_update/. .
rm -rf self_update
./QORLauncher.exe
