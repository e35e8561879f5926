#!/bin/sh
# Compares the defined dynamic symbols of a shared library with the expected list:
# check_exports.sh NM LIBRARY EXPECTED, with NM the nm program for the library's target.
set -eu
nm=$1
lib=$2
expected=$3
actual=$("$nm" -D --defined-only "$lib" | awk '{print $NF}' | sort)
if [ "$actual" = "$(sort "$expected")" ]; then
  echo "exported symbols: as expected"
  exit 0
fi
echo "exported symbols differ from $expected:"
printf '%s\n' "$actual" | diff -u "$expected" - || true
exit 1
