#!/usr/bin/env bash
# Installs what cross-building the library for 32-bit ARM Linux (arm-linux-gnueabihf) and
# running its tests under qemu user-mode emulation needs on a Debian 12 machine, on top
# of what install-deps.sh installs (GoogleTest is built from its sources for the target);
# does nothing when everything is there already.
set -euo pipefail
packages=(g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf qemu-user googletest)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
