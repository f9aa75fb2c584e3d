#!/bin/sh
# Installs what the project needs to build, run and test on Debian 12.
# Runs apt as root, or through sudo when not root.
set -e
packages="cmake g++ make pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libgtest-dev libgmock-dev
  libasound2-dev libasound2-plugins alsa-utils
  xvfb xauth fonts-dejavu-core fonts-liberation librsvg2-bin"
if [ "$(id -u)" -eq 0 ]; then SUDO=; else SUDO=sudo; fi
missing=
for p in $packages; do dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q ' installed$' || missing="$missing $p"; done
if [ -n "$missing" ]; then
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends $missing
fi
