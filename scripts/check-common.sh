# shellcheck shell=bash
# Sourced by the install and package checks: compares lists of files with patterns and
# checks that programs and libraries are stripped. The sourcing script defines
# fail MESSAGE, which reports and exits.

# check_list LISTFILE PATTERN...: every file (or link) named in LISTFILE, one per line,
# matches one of the glob PATTERNs, and every PATTERN matches at least one of them.
check_list() {
  local list=$1 pattern path matched
  shift
  while read -r path; do
    matched=
    for pattern in "$@"; do
      # shellcheck disable=SC2053 # the pattern is meant to match as a glob
      [[ $path == $pattern ]] && matched=1 && break
    done
    [ -n "$matched" ] || fail "unexpected file: $path"
  done <"$list"
  for pattern in "$@"; do
    matched=
    while read -r path; do
      # shellcheck disable=SC2053
      [[ $path == $pattern ]] && matched=1 && break
    done <"$list"
    [ -n "$matched" ] || fail "missing: $pattern"
  done
}

# check_stripped FILE MACHINE: FILE is an ELF object for MACHINE (as readelf -h names the
# machine) without a symbol table or debugging sections.
check_stripped() {
  local file=$1 machine=$2 header sections
  header=$(readelf -h "$file" 2>/dev/null) || fail "$file is not an ELF object"
  grep -qE "^ *Machine: +$machine\$" <<<"$header" || fail "$file is not built for $machine"
  sections=$(readelf -S -W "$file")
  if grep -qE ' \.(symtab|debug_[a-z_]+) ' <<<"$sections"; then
    fail "$file is not stripped"
  fi
}
