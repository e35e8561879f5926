#!/usr/bin/env bash
# Makes the Debian packages of BUILD_DIR (an already built tree, native or cross-built)
# in OUT_DIR and checks them: exactly libdovizuz1, libdovizuz-dev and zconf for ARCH,
# their control fields and control files (shlibs, symbols, ldconfig trigger), the files
# each one holds, that its programs and libraries are stripped and built for ARCH, that
# the symbols file lists exactly what the libraries export, and that lintian finds no
# error. Leaves the three packages unpacked together in OUT_DIR/root. Any failure fails
# the script.
#
#   scripts/check-packages.sh BUILD_DIR OUT_DIR ARCH      (ARCH: amd64, armhf, ...)
set -euo pipefail
if [ $# -ne 3 ]; then
  echo "usage: $0 BUILD_DIR OUT_DIR ARCH" >&2
  exit 2
fi
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
out=$2
arch=$3
version=1.0.0

fail() {
  echo "check-packages: $*" >&2
  exit 1
}
# shellcheck source=scripts/check-common.sh
. "$src/scripts/check-common.sh"

case $arch in
  amd64) machine="Advanced Micro Devices X86-64" ;;
  armhf) machine=ARM ;;
  *) fail "no ELF machine known for the architecture $arch" ;;
esac

echo "-- Debian packages of $build for $arch"
rm -rf "$out"
mkdir -p "$out"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1 ||
  { cat "$out/cpack.log" >&2; fail "cpack failed"; }
made=$(cd "$out" && find . -maxdepth 1 -name '*.deb' | sed 's|^\./||' | sort | tr '\n' ' ')
expected="libdovizuz-dev_${version}_$arch.deb libdovizuz1_${version}_$arch.deb zconf_${version}_$arch.deb "
[ "$made" = "$expected" ] || fail "cpack made '$made', not '$expected'"

deb_of() { echo "$out/$1_${version}_$arch.deb"; }

# The fields every package has, then those of each one.
for package in libdovizuz1 libdovizuz-dev zconf; do
  deb=$(deb_of $package)
  echo "   $(basename "$deb"), $(stat -c %s "$deb") bytes:"
  dpkg-deb -f "$deb" | sed 's/^/     /'
  control=$(dpkg-deb -f "$deb")
  for field in "Package: $package" "Version: $version" "Architecture: $arch" \
    "Priority: optional" "Maintainer: [^<]+ <[^@>]+@[^>]+>" "Description: .+" \
    "Installed-Size: [0-9]+"; do
    grep -qxE "$field" <<<"$control" || fail "$package's control has no '$field'"
  done
done
fields_of() { # PACKAGE FIELD...: each FIELD (an extended regex) is a line of the control
  local package=$1 control field
  shift
  control=$(dpkg-deb -f "$(deb_of "$package")")
  for field in "$@"; do
    grep -qxE "$field" <<<"$control" || fail "$package's control has no '$field'"
  done
}
fields_of libdovizuz1 "Section: libs" "Depends: .*libc6 \(>= [0-9.]+\).*" \
  "Depends: .*libstdc\+\+6.*"
fields_of libdovizuz-dev "Section: libdevel" "Depends: libdovizuz1 \(= $version\)"
fields_of zconf "Section: admin" "Depends: libdovizuz1 \(>= $version\), .*libc6 \(>= [0-9.]+\).*"

# The files of each package.
dev_files=$(dpkg-deb -c "$(deb_of libdovizuz-dev)")
pc=$(grep -oE 'usr/[^ ]*/pkgconfig/libdovizuz.pc$' <<<"$dev_files") ||
  fail "no libdovizuz.pc in libdovizuz-dev"
libdir=$(dirname "$(dirname "$pc")")
list_of() { # PACKAGE: the files and links the package holds, one per line, sorted
  dpkg-deb -c "$(deb_of "$1")" | awk '{ print $6 }' | sed 's|^\./||' | grep -v '/$' | sort
}
docs() { echo "usr/share/doc/$1/copyright" "usr/share/doc/$1/changelog.gz"; }
list_of libdovizuz1 >"$out/libdovizuz1.txt"
# shellcheck disable=SC2046 # docs gives two words
check_list "$out/libdovizuz1.txt" $(docs libdovizuz1) \
  "$libdir/libdovizuz.so.1.0.0" "$libdir/libdovizuz.so.1" \
  "$libdir/libzwincompat.so.1.0.0" "$libdir/libzwincompat.so.1"
list_of libdovizuz-dev >"$out/libdovizuz-dev.txt"
# shellcheck disable=SC2046
check_list "$out/libdovizuz-dev.txt" $(docs libdovizuz-dev) \
  "$libdir/libdovizuz.so" "$libdir/libzwincompat.so" "usr/include/dovizuz.h" "$pc" \
  "$libdir/cmake/dovizuz/dovizuzConfig.cmake" "$libdir/cmake/dovizuz/dovizuzConfigVersion.cmake" \
  "$libdir/cmake/dovizuz/dovizuzTargets.cmake" "$libdir/cmake/dovizuz/dovizuzTargets-*.cmake" \
  "usr/share/man/man3/libdovizuz.3.gz"
list_of zconf >"$out/zconf.txt"
# shellcheck disable=SC2046
check_list "$out/zconf.txt" $(docs zconf) \
  "usr/bin/zconf" "usr/share/man/man1/zconf.1.gz" "usr/share/bash-completion/completions/zconf"
echo "   files of each package: ok"

root=$out/root
for package in libdovizuz1 libdovizuz-dev zconf; do
  dpkg-deb -x "$(deb_of $package)" "$root"
done
for lib in libdovizuz libzwincompat; do
  [ "$(readlink "$root/$libdir/$lib.so.1")" = "$lib.so.1.0.0" ] ||
    fail "$lib.so.1 is not a link to $lib.so.1.0.0"
  [ "$(readlink "$root/$libdir/$lib.so")" = "$lib.so.1" ] || fail "$lib.so is not a link to $lib.so.1"
  check_stripped "$root/$libdir/$lib.so.1.0.0" "$machine"
done
check_stripped "$root/usr/bin/zconf" "$machine"
[ -x "$root/usr/bin/zconf" ] || fail "usr/bin/zconf is not executable"
echo "   links, and programs and libraries stripped and built for $machine: ok"

# The run time's control files: shlibs and symbols for the two libraries, and the
# trigger that rebuilds the dynamic linker's cache, and no others.
control_dir=$out/libdovizuz1.control
dpkg-deb -e "$(deb_of libdovizuz1)" "$control_dir"
# The trigger runs ldconfig: no maintainer script is needed.
control_files=$(cd "$control_dir" && find . -mindepth 1 | sed 's|^\./||' | sort | tr '\n' ' ')
[ "$control_files" = "control md5sums shlibs symbols triggers " ] ||
  fail "libdovizuz1's control files are $control_files"
printf 'libdovizuz 1 libdovizuz1 (>= %s)\nlibzwincompat 1 libdovizuz1 (>= %s)\n' "$version" "$version" |
  cmp -s - "$control_dir/shlibs" || fail "libdovizuz1's shlibs file is not as expected"
grep -qx 'activate-noawait ldconfig' "$control_dir/triggers" ||
  fail "libdovizuz1 has no ldconfig trigger"
cmp -s "$src/cmake/debian/libdovizuz1/symbols" "$control_dir/symbols" ||
  fail "libdovizuz1's symbols file is not cmake/debian/libdovizuz1/symbols"
# The symbols file names exactly the symbols the libraries export: an export removed
# breaks programs built against the library, one added needs its line (with the version
# that brings it) so that those programs depend on that version.
for soname in libdovizuz.so.1 libzwincompat.so.1; do
  awk -v soname="$soname" '/^[^ *]/ { take = ($1 == soname) } take && /^ / { sub(/@.*/, "", $1); print $1 }' \
    "$control_dir/symbols" | sort >"$out/$soname.listed"
  readelf --dyn-syms -W "$root/$libdir/$soname" |
    awk '$7 != "UND" && ($5 == "GLOBAL" || $5 == "WEAK") && $8 != "" { sub(/@.*/, "", $8); print $8 }' |
    sort -u >"$out/$soname.exported"
  [ -s "$out/$soname.exported" ] || fail "$soname exports nothing"
  diff "$out/$soname.listed" "$out/$soname.exported" >&2 ||
    fail "$soname exports other symbols than cmake/debian/libdovizuz1/symbols lists (> exported only, < listed only)"
done
echo "   shlibs, symbols (exports of both libraries) and ldconfig trigger: ok"

echo "-- lintian"
lintian_out=$(lintian "$(deb_of libdovizuz1)" "$(deb_of libdovizuz-dev)" "$(deb_of zconf)" 2>&1) ||
  { echo "$lintian_out" >&2; fail "lintian failed or found errors"; }
if grep -q '^E: ' <<<"$lintian_out"; then
  echo "$lintian_out" >&2
  fail "lintian found errors"
fi
echo "   ${lintian_out//$'\n'/$'\n'   }"
echo "check-packages: ok"
