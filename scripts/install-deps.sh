#!/usr/bin/env bash
# Installs what building, testing, benchmarking and packaging the library needs on a
# Debian 12 machine (pkg-config, dpkg-dev, file and lintian for the install and package
# checks, python3 to read the tool's JSON back in its tests); with
# --cross, what cross-building it for 32-bit ARM Linux (arm-linux-gnueabihf) and running
# its tests under qemu user-mode emulation needs on top of that (GoogleTest is built from
# its sources for the target). Does nothing when everything is there already.
set -euo pipefail
packages=(cmake make g++ binutils libgtest-dev libgmock-dev libbenchmark-dev libexpat1-dev libpugixml-dev clang libclang-rt-14-dev llvm
          pkg-config dpkg-dev file lintian python3)
if [ "${1:-}" = --cross ]; then
  packages=(g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf qemu-user googletest)
fi
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
