#!/usr/bin/env bash
# Builds the release artifacts into build/dist (docs/releasing.md):
#   QORLauncherUpdater-<version>-linux-x86_64.tar.gz   preset linux-release
#   QORLauncherUpdater-<version>-windows-x64.zip       preset windows-release, Authenticode-signed when a
#                                                      certificate is given
# each with its <archive>.sha256, and SHA256SUMS over the archives.
#
#   scripts/package.sh [--test-certificate] [linux] [windows]        (default: both platforms)
#
# Signing the Windows programs: QOR_SIGN_CERT and QOR_SIGN_KEY (a key file, or with QOR_SIGN_PKCS11_MODULE
# a key on a PKCS#11 token; cmake/QorReleaseBinary.cmake lists the other variables), or --test-certificate:
# a throw-away self-signed certificate made here, whose key is deleted when the script ends; the
# certificate stays in build/test-signing/certificate.pem. The signatures are then verified with
# osslsigncode against QOR_SIGN_CAFILE (default: the test certificate, else the system's CA store).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

platforms=()
test_certificate=0
for argument in "$@"; do
  case "$argument" in
    --test-certificate) test_certificate=1 ;;
    linux | windows) platforms+=("$argument") ;;
    *) echo "usage: scripts/package.sh [--test-certificate] [linux] [windows]" >&2; exit 2 ;;
  esac
done
[ ${#platforms[@]} -gt 0 ] || platforms=(linux windows)

scripts/install-deps.sh package

# The glibc floor the docs state is that of Debian 12's toolchain; a newer system raises it.
if ! grep -qsx 'VERSION_ID="12"' /etc/os-release || ! grep -qsx 'ID=debian' /etc/os-release; then
  echo "note: not Debian 12: the Linux binary may need a newer glibc than docs/releasing.md states" >&2
fi

dist="$root/build/dist"
mkdir -p "$dist"
rm -f "$dist"/QORLauncherUpdater-* "$dist/SHA256SUMS"

if [ "$test_certificate" -eq 1 ]; then
  keys="$(mktemp -d)"
  trap 'rm -rf "$keys"' EXIT
  mkdir -p build/test-signing
  openssl req -x509 -newkey rsa:3072 -sha256 -days 2 -nodes -subj "/CN=QOR throw-away test signing" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
    -keyout "$keys/key.pem" -out build/test-signing/certificate.pem 2>/dev/null
  export QOR_SIGN_CERT="$root/build/test-signing/certificate.pem" QOR_SIGN_KEY="$keys/key.pem"
  export QOR_SIGN_CAFILE="$QOR_SIGN_CERT"
  unset QOR_SIGN_PKCS11_MODULE QOR_SIGN_PKCS11_ENGINE QOR_SIGN_PASSWORD_FILE QOR_SIGN_TIMESTAMP_URL
fi

for platform in "${platforms[@]}"; do
  echo "=== ${platform}: configure, build, package (preset ${platform}-release)"
  log="build/${platform}-release-package.log"
  if ! cmake --workflow --preset "${platform}-release" --fresh >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "package.sh: the ${platform} package failed; the whole output is in $log" >&2
    exit 1
  fi
  grep -E '^(-- (Signed|Not signed)|CPack: - (package|checksum))' "$log" || true
done

if [[ " ${platforms[*]} " == *" windows "* ]]; then
  if [ -n "${QOR_SIGN_CERT:-}" ]; then
    echo "=== verifying the Authenticode signatures"
    unpacked="$(mktemp -d)"
    (cd "$unpacked" && cmake -E tar xf "$dist"/QORLauncherUpdater-*-windows-x64.zip)
    for program in "$unpacked"/*/QORLauncherUpdater.exe "$unpacked"/*/example/QORLauncher.exe; do
      ca=(-CAfile "${QOR_SIGN_CAFILE:-/etc/ssl/certs/ca-certificates.crt}")
      if ! osslsigncode verify -in "$program" "${ca[@]}" >"$unpacked/verify.txt" 2>&1; then
        cat "$unpacked/verify.txt"
        echo "package.sh: the signature of ${program#"$unpacked"/} does not verify" >&2
        rm -rf "$unpacked"
        exit 1
      fi
      echo "${program#"$unpacked"/}: $(grep -m1 'Subject:' "$unpacked/verify.txt" | sed 's/^[[:space:]]*//'), verified"
    done
    rm -rf "$unpacked"
  else
    echo "WARNING: the Windows programs are NOT signed (set QOR_SIGN_CERT and QOR_SIGN_KEY, or --test-certificate)"
  fi
fi

(cd "$dist" && sha256sum QORLauncherUpdater-*.tar.gz QORLauncherUpdater-*.zip 2>/dev/null >SHA256SUMS || true)
echo "=== artifacts in build/dist"
(cd "$dist" && ls -l QORLauncherUpdater-* SHA256SUMS | awk '{print "    " $5 "  " $9}')
