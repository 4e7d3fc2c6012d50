#!/usr/bin/env bash
# Installs the Debian packages the build needs, when run as root and something is missing.
#
#   scripts/install-deps.sh          everything: the Linux build and the Windows builds under Wine
#   scripts/install-deps.sh --linux  only what the Linux build needs
set -euo pipefail

# dpkg-dev and file: CPack's Debian packages find their dependencies with dpkg-shlibdeps; clang
# and libFuzzer build the fuzz targets; strace counts the store's system calls in a test; perl
# (JSON::PP) reads velmoctl doctor's JSON in its test.
linux=(cmake ninja-build g++ pkg-config clang-format libsqlite3-dev libicu-dev libcli11-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev make dpkg-dev file clang libfuzzer-14-dev
  strace perl)
# `wine` brings the wine, wineboot, wineserver and winepath commands, which wine64 and wine32
# only recommend; the installer's generator needs perl's Digest::MD5, which perl-base lacks.
windows=(mingw-w64 mingw-w64-tools wine wine64 wine32:i386 xvfb wixl perl)

packages=("${linux[@]}")
[[ "${1:-}" == "--linux" ]] || packages+=("${windows[@]}")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
((${#missing[@]} == 0)) && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "install-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
# With what the packages recommend, as the Wine set-up was measured.
apt-get install -y -q "${missing[@]}"
