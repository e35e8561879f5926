#!/usr/bin/env bash
# Checks what users of the library get: installs BUILD_DIR (an already built tree) into
# a fresh staging prefix, checks the files, links and run paths there, builds the
# example consumer against the staged files once with pkg-config and once with CMake's
# find_package, runs both, then builds the .deb, checks what it holds, and builds and runs
# the consumer against the unpacked package. Any failure fails the script.
#
#   scripts/check-install.sh BUILD_DIR
#
# The consumers load the library, which reads /etc/zconfig.xml and creates shared
# objects in /dev/shm, so they run through tests/isolated.sh.
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/stage

fail() {
  echo "check-install: $*" >&2
  exit 1
}

# Every file (or link) found must match one of the patterns, and every pattern must match
# at least one of them.
check_list() { # LISTFILE PREFIX LIBDIR
  local list=$1 prefix=$2 libdir=$3 pattern path matched
  local patterns=(
    "$libdir/libdovizuz.so.1.0.0" "$libdir/libdovizuz.so.1" "$libdir/libdovizuz.so"
    "$libdir/libzwincompat.so.1.0.0" "$libdir/libzwincompat.so.1" "$libdir/libzwincompat.so"
    "include/dovizuz.h"
    "$libdir/pkgconfig/libdovizuz.pc"
    "$libdir/cmake/dovizuz/dovizuzConfig.cmake"
    "$libdir/cmake/dovizuz/dovizuzConfigVersion.cmake"
    "$libdir/cmake/dovizuz/dovizuzTargets.cmake"
    "$libdir/cmake/dovizuz/dovizuzTargets-*.cmake"
    "bin/zconf" "share/man/man1/zconf.1.gz" "share/man/man3/libdovizuz.3.gz"
    "share/bash-completion/completions/zconf")
  while read -r path; do
    matched=
    for pattern in "${patterns[@]}"; do
      # shellcheck disable=SC2053 # the pattern is meant to match as a glob
      [[ $path == $prefix$pattern ]] && matched=1 && break
    done
    [ -n "$matched" ] || fail "unexpected file installed: $path"
  done <"$list"
  for pattern in "${patterns[@]}"; do
    matched=
    while read -r path; do
      # shellcheck disable=SC2053
      [[ $path == $prefix$pattern ]] && matched=1 && break
    done <"$list"
    [ -n "$matched" ] || fail "missing from the installed files: $prefix$pattern"
  done
}

echo "-- installing $build into a staging prefix"
cmake --install "$build" --prefix "$stage" >"$work/install.log" ||
  { cat "$work/install.log" >&2; fail "cmake --install failed"; }

# GNUInstallDirs picks the library directory (lib, lib64 or lib/<multiarch>).
pc=$(find "$stage" -name libdovizuz.pc -print -quit)
[ -n "$pc" ] || fail "no libdovizuz.pc installed"
libdir=$(dirname "$(dirname "$pc")")
rel_libdir=${libdir#"$stage"/}

(cd "$stage" && find . -mindepth 1 ! -type d | sed 's|^\./||' | sort) >"$work/installed.txt"
echo "   installed files:"
sed 's/^/     /' "$work/installed.txt"
check_list "$work/installed.txt" "" "$rel_libdir"

for lib in libdovizuz libzwincompat; do
  if [ ! -f "$libdir/$lib.so.1.0.0" ] || [ -L "$libdir/$lib.so.1.0.0" ]; then
    fail "$lib.so.1.0.0 is not a regular file"
  fi
  [ "$(readlink "$libdir/$lib.so.1")" = "$lib.so.1.0.0" ] ||
    fail "$lib.so.1 is not a link to $lib.so.1.0.0"
  [ "$(readlink "$libdir/$lib.so")" = "$lib.so.1" ] || fail "$lib.so is not a link to $lib.so.1"
  dynamic=$(readelf -d "$libdir/$lib.so.1.0.0")
  grep -qF "Library soname: [$lib.so.1]" <<<"$dynamic" ||
    fail "$lib.so.1.0.0 has not the soname $lib.so.1"
done
dynamic=$(readelf -d "$libdir/libdovizuz.so.1.0.0")
# shellcheck disable=SC2016 # $ORIGIN is the literal run path
grep -qF 'Library runpath: [$ORIGIN]' <<<"$dynamic" ||
  fail "libdovizuz.so.1.0.0 does not look for its platform layer beside itself"
grep -qF 'Shared library: [libzwincompat.so.1]' <<<"$dynamic" ||
  fail "libdovizuz.so.1.0.0 does not need libzwincompat.so.1"
[ -x "$stage/bin/zconf" ] || fail "bin/zconf is not executable"
dynamic=$(readelf -d "$stage/bin/zconf")
# shellcheck disable=SC2016
grep -qF "path: [\$ORIGIN/../$rel_libdir]" <<<"$dynamic" ||
  fail "bin/zconf does not look for the library in $rel_libdir"
echo "   files, links, sonames and run path: ok"

# The consumers must find the staged library through their run paths alone.
unset LD_LIBRARY_PATH
run_consumer() { # BINARY
  local out
  out=$("$src/tests/isolated.sh" "$1") || fail "$1 failed"
  echo "   $out"
  [ "$out" = 'Apps\Consumer created: Owner = "consumer", Level = 3' ] ||
    fail "$1 printed something else than expected"
}

echo "-- the installed zconf tool"
# One run sets and saves a value, the next reads it back from the saved file.
out=$("$src/tests/isolated.sh" sh -c '"$1" set Apps/Tool Name sz installed && "$1" get Apps/Tool Name' \
  sh "$stage/bin/zconf") || fail "the installed zconf failed"
[ "$out" = installed ] || fail "the installed zconf read back '$out'"
echo "   zconf set, then zconf get in a new process: $out"
[ "$("$stage/bin/zconf" --version)" = "zconf 1.0.0 (libdovizuz 1.0.0)" ] ||
  fail "the installed zconf --version says something else"

echo "-- consumer built with pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig
flags=$(pkg-config --cflags --libs libdovizuz) || fail "pkg-config does not find libdovizuz"
echo "   pkg-config --cflags --libs libdovizuz: $flags"
[ "$(pkg-config --modversion libdovizuz)" = 1.0.0 ] || fail "pkg-config gives another version"
[ "$(realpath "$(pkg-config --variable=includedir libdovizuz)")" = "$(realpath "$stage/include")" ] ||
  fail "pkg-config's includedir is not the staged include directory"
[ "$(realpath "$(pkg-config --variable=libdir libdovizuz)")" = "$(realpath "$libdir")" ] ||
  fail "pkg-config's libdir is not the staged library directory"
"$src/examples/consumer/build-with-pkg-config.sh" "$work/consumer-pkg-config"
run_consumer "$work/consumer-pkg-config"
unset PKG_CONFIG_PATH

echo "-- consumer built with CMake's find_package(dovizuz)"
cmake -S "$src/examples/consumer" -B "$work/consumer-cmake" -DCMAKE_PREFIX_PATH="$stage" \
  >"$work/consumer-cmake.log" || { cat "$work/consumer-cmake.log" >&2; fail "configuring failed"; }
found=$(sed -n 's/^dovizuz_DIR:PATH=//p' "$work/consumer-cmake/CMakeCache.txt")
[ "$(realpath "$found")" = "$(realpath "$libdir/cmake/dovizuz")" ] ||
  fail "find_package(dovizuz) found $found, not the staged package"
cmake --build "$work/consumer-cmake" >>"$work/consumer-cmake.log" ||
  { cat "$work/consumer-cmake.log" >&2; fail "building failed"; }
run_consumer "$work/consumer-cmake/consumer"
# The package takes any 1.x request and no other major version, and its target's
# include directory is the staged one.
mkdir -p "$work/versions"
cat >"$work/versions/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(versions C)
find_package(dovizuz 2 QUIET)
if(dovizuz_FOUND)
  message(FATAL_ERROR "dovizuz ${dovizuz_VERSION} was taken for version 2")
endif()
find_package(dovizuz 1.0 REQUIRED)
get_target_property(includes dovizuz::dovizuz INTERFACE_INCLUDE_DIRECTORIES)
file(REAL_PATH "${includes}" includes)
file(REAL_PATH "${CMAKE_PREFIX_PATH}/include" staged)
if(NOT includes STREQUAL staged)
  message(FATAL_ERROR "dovizuz::dovizuz includes ${includes}, not ${staged}")
endif()
CMAKE
cmake -S "$work/versions" -B "$work/versions/build" -DCMAKE_PREFIX_PATH="$stage" \
  >"$work/versions.log" 2>&1 || { cat "$work/versions.log" >&2; fail "version or include check failed"; }
echo "   version 1.0 found, version 2 refused, include directory the staged one: ok"

echo "-- .deb package"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/package" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
arch=$(dpkg --print-architecture)
deb=$work/package/libdovizuz_1.0.0_$arch.deb
[ -f "$deb" ] || { ls "$work/package" >&2; fail "no $(basename "$deb") made"; }
echo "   $(basename "$deb"):"
dpkg-deb -I "$deb" | sed 's/^/     /'
control=$(dpkg-deb -f "$deb")
for field in "Package: libdovizuz" "Version: 1.0.0" "Architecture: $arch" "Section: libs" \
  "Maintainer: " "Description: " "Depends: .*libc6"; do
  grep -q "^$field" <<<"$control" || fail "the package's control has no '$field'"
done
dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./||' | grep -v '/$' | sort >"$work/deb.txt"
sed 's/^/     /' "$work/deb.txt"
deb_pc=$(grep '/pkgconfig/libdovizuz.pc$' "$work/deb.txt") || fail "no libdovizuz.pc in the package"
check_list "$work/deb.txt" "usr/" "$(dirname "$(dirname "${deb_pc#usr/}")")"

# The unpacked package is a prefix of its own: its pkg-config file points into it.
echo "-- consumer built against the unpacked package"
dpkg-deb -x "$deb" "$work/unpacked"
PKG_CONFIG_PATH=$work/unpacked/$(dirname "$deb_pc")
export PKG_CONFIG_PATH
"$src/examples/consumer/build-with-pkg-config.sh" "$work/consumer-deb"
unset PKG_CONFIG_PATH
run_consumer "$work/consumer-deb"
echo "check-install: ok"
