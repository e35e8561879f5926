#!/bin/sh
# Builds the consumer with pkg-config's flags for libdovizuz, as OUTPUT (default
# ./consumer). For an install prefix pkg-config does not search by itself, set
# PKG_CONFIG_PATH=<libdir>/pkgconfig. The program is linked with a run path to the
# library's directory, so it runs without LD_LIBRARY_PATH.
set -eu
out=${1:-consumer}
here=$(dirname "$0")
libdir=$(pkg-config --variable=libdir libdovizuz)
# shellcheck disable=SC2046 # the flags are meant to be split into words
${CC:-cc} -Wall -Wextra -Werror -O2 $(pkg-config --cflags libdovizuz) \
  -o "$out" "$here/consumer.c" $(pkg-config --libs libdovizuz) -Wl,-rpath,"$libdir"
