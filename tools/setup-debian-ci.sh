#!/bin/sh
# Installs what CI and the benchmarks need on top of tools/setup-debian.sh:
# clang with its sanitizer and libFuzzer runtimes, clang-tidy, the serial
# libraries that bench/ measures the component against (never linked into the
# product), and the checkers of the installed files and Debian packages
# (.ci/package), and the compiler cache of the later stages. Runs apt as root, or through sudo when not root.
set -e
packages="clang libclang-rt-14-dev clang-tidy ccache
  libqt6serialport6-dev libserialport-dev libboost-dev
  desktop-file-utils appstream man-db lintian dpkg-dev file"
if [ "$(id -u)" -eq 0 ]; then SUDO=; else SUDO=sudo; fi
missing=
for p in $packages; do dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q ' installed$' || missing="$missing $p"; done
if [ -n "$missing" ]; then
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends $missing
fi
