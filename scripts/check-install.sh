#!/usr/bin/env bash
# Checks what users of the library get: installs BUILD_DIR (an already built tree)
# stripped into a fresh staging prefix, checks the files, links and run paths there,
# runs the installed zconf, builds the README's quick start and the example consumer
# against the staged files (with pkg-config, and with CMake's find_package) and runs
# them; then makes and checks the three Debian packages (scripts/check-packages.sh,
# lintian included), and runs zconf and consumers built against the packages unpacked
# into a scratch root. Any failure fails the script.
#
#   scripts/check-install.sh BUILD_DIR
#
# The programs load the library, which reads /etc/zconfig.xml and creates shared
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

# shellcheck source=scripts/check-common.sh
. "$src/scripts/check-common.sh"

echo "-- installing $build stripped into a staging prefix"
cmake --install "$build" --prefix "$stage" --strip >"$work/install.log" ||
  { cat "$work/install.log" >&2; fail "cmake --install --strip failed"; }

# GNUInstallDirs picks the library directory (lib, lib64 or lib/<multiarch>).
pc=$(find "$stage" -name libdovizuz.pc -print -quit)
[ -n "$pc" ] || fail "no libdovizuz.pc installed"
libdir=$(dirname "$(dirname "$pc")")
rel_libdir=${libdir#"$stage"/}

(cd "$stage" && find . -mindepth 1 ! -type d | sed 's|^\./||' | sort) >"$work/installed.txt"
echo "   installed files:"
sed 's/^/     /' "$work/installed.txt"
check_list "$work/installed.txt" \
  "$rel_libdir/libdovizuz.so.1.0.0" "$rel_libdir/libdovizuz.so.1" "$rel_libdir/libdovizuz.so" \
  "$rel_libdir/libzwincompat.so.1.0.0" "$rel_libdir/libzwincompat.so.1" \
  "$rel_libdir/libzwincompat.so" "include/dovizuz.h" "$rel_libdir/pkgconfig/libdovizuz.pc" \
  "$rel_libdir/cmake/dovizuz/dovizuzConfig.cmake" \
  "$rel_libdir/cmake/dovizuz/dovizuzConfigVersion.cmake" \
  "$rel_libdir/cmake/dovizuz/dovizuzTargets.cmake" \
  "$rel_libdir/cmake/dovizuz/dovizuzTargets-*.cmake" \
  "bin/zconf" "share/man/man1/zconf.1.gz" "share/man/man3/libdovizuz.3.gz" \
  "share/bash-completion/completions/zconf"
machine=$(readelf -h "$build/tools/zconf" | sed -n 's/^ *Machine: *//p')

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
  check_stripped "$libdir/$lib.so.1.0.0" "$machine"
done
dynamic=$(readelf -d "$libdir/libdovizuz.so.1.0.0")
# shellcheck disable=SC2016 # $ORIGIN is the literal run path
grep -qF 'Library runpath: [$ORIGIN]' <<<"$dynamic" ||
  fail "libdovizuz.so.1.0.0 does not look for its platform layer beside itself"
grep -qF 'Shared library: [libzwincompat.so.1]' <<<"$dynamic" ||
  fail "libdovizuz.so.1.0.0 does not need libzwincompat.so.1"
[ -x "$stage/bin/zconf" ] || fail "bin/zconf is not executable"
check_stripped "$stage/bin/zconf" "$machine"
dynamic=$(readelf -d "$stage/bin/zconf")
# shellcheck disable=SC2016
grep -qF "path: [\$ORIGIN/../$rel_libdir]" <<<"$dynamic" ||
  fail "bin/zconf does not look for the library in $rel_libdir"
echo "   files, links, sonames, run paths and stripped programs and libraries: ok"

# The consumers must find the staged library through their run paths alone.
unset LD_LIBRARY_PATH
run_consumer() { # BINARY
  local out
  out=$("$src/tests/isolated.sh" "$1") || fail "$1 failed"
  echo "   $out"
  [ "$out" = 'Apps\Consumer created: Owner = "consumer", Level = 3' ] ||
    fail "$1 printed something else than expected"
}

run_zconf() { # ZCONF: one run sets and saves a value, the next reads it back from the file
  local out
  # shellcheck disable=SC2016 # $1 is expanded by the inner shell
  out=$("$src/tests/isolated.sh" sh -c '"$1" set Apps/Tool Name sz installed && "$1" get Apps/Tool Name' \
    sh "$1") || fail "$1 failed"
  [ "$out" = installed ] || fail "$1 read back '$out'"
  echo "   zconf set, then zconf get in a new process: $out"
  [ "$("$1" --version)" = "zconf 1.0.0 (libdovizuz 1.0.0)" ] ||
    fail "$1 --version says something else"
}

echo "-- the installed zconf tool"
run_zconf "$stage/bin/zconf"

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

echo "-- the README's quick start, built with the README's command"
# shellcheck disable=SC2016 # the command as the README writes it, expanded when it runs
quick_build='cc app.c $(pkg-config --cflags --libs libdovizuz)'
grep -qF "\`$quick_build\`" "$src/README.md" ||
  fail "the README does not build the quick start with $quick_build"
mkdir "$work/quick-start"
# shellcheck disable=SC2016 # the fences of the code block, not expansions
sed -n '/^## Quick start in C$/,/^## [^Q]/p' "$src/README.md" |
  sed -n '/^```c$/,/^```$/{/^```/d;p}' >"$work/quick-start/app.c"
[ -s "$work/quick-start/app.c" ] || fail "no quick start found in the README"
(cd "$work/quick-start" && eval "$quick_build") || fail "the quick start does not build"
# Linked without a run path, it finds the staged library through LD_LIBRARY_PATH.
out=$(LD_LIBRARY_PATH=$libdir "$src/tests/isolated.sh" "$work/quick-start/a.out") ||
  fail "the quick start failed"
echo "   $out"
[ "$out" = "Port = 8080" ] || fail "the quick start printed something else than expected"
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

"$src/scripts/check-packages.sh" "$build" "$work/package" "$(dpkg --print-architecture)"

# The unpacked packages are a prefix of their own: the tool finds the library through its
# run path, the pkg-config file and the CMake package point into the unpacked tree.
echo "-- zconf and consumers against the packages unpacked into a scratch root"
root=$work/package/root
run_zconf "$root/usr/bin/zconf"
pc=$(find "$root" -name libdovizuz.pc -print -quit)
PKG_CONFIG_PATH=$(dirname "$pc") "$src/examples/consumer/build-with-pkg-config.sh" "$work/consumer-deb"
run_consumer "$work/consumer-deb"
if ! cmake -S "$src/examples/consumer" -B "$work/consumer-deb-cmake" -DCMAKE_PREFIX_PATH="$root/usr" \
  >"$work/consumer-deb-cmake.log" ||
  ! cmake --build "$work/consumer-deb-cmake" >>"$work/consumer-deb-cmake.log"; then
  cat "$work/consumer-deb-cmake.log" >&2
  fail "the CMake consumer does not build against the packages"
fi
run_consumer "$work/consumer-deb-cmake/consumer"
echo "check-install: ok"
