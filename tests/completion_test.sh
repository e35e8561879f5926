#!/usr/bin/env bash
# Drives the bash completion of zconf as bash does on TAB, against a store the tool
# itself filled, and checks the words it offers.
#
#   completion_test.sh COMPLETION_SCRIPT TOOL [EMULATOR...]
set -euo pipefail
script=$(realpath "$1") binary=$(realpath "$2")
shift 2
emulator=("$@")
# The completion runs the command the user typed: here a function that runs the build's
# tool (through the emulator for a cross build).
zconf() { "${emulator[@]}" "$binary" "$@"; }
# shellcheck source=/dev/null
source "$script"
[ "$(complete -p zconf)" = "complete -F _zconf zconf" ] || { echo "zconf has no completion"; exit 1; }

zconf set Network/Eth0 Port dword 1 && zconf set Network/Eth1 Mtu dword 1
zconf set Network Dns sz x && zconf set Network Domain sz y && zconf mkkey System && zconf mkkey "My Apps"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" && touch conf.xml config.txt other

# Completion functions run in the user's shell, which does not stop at a failed command.
set +e
failures=0
# Each row: the words typed, the last one being completed, then "=>" and the words offered
# in order.
while IFS= read -r row; do
    [ -z "$row" ] && continue
    eval "COMP_WORDS=(${row%% =>*})"
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    want=${row#*=> }
    _zconf
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd' ')
    if [ "$got" != "$want" ]; then
        echo "${row%% =>*}: offered '$got', expected '$want'"
        failures=$((failures + 1))
    fi
done <<'ROWS'
zconf '' => batch check export get help import ls mkkey rm rmkey set tree watch
zconf r => rm rmkey
zconf - => --help --no-save --version -h
zconf --no-save rmkey - => --help --no-save -h -r
zconf ls --d => --decimal
zconf mkkey --v => --volatile
zconf set -- - => 
zconf ls '' => My\ Apps/ Network/ System/
zconf --no-save tree net => Network/
zconf ls Network/ => Network/Eth0/ Network/Eth1/
zconf rmkey -r network/eth1 => network/Eth1/
zconf ls Nope/ => 
zconf get Network D => Dns Domain
zconf rm Network/Eth0 '' => Port
zconf set Network Dns DW => dword dword_be dword_le
zconf set Network Dns sz - => 
zconf ls Network -h => 
zconf help rm => rm rmkey
zconf check conf => conf.xml config.txt
zconf export Network o => other
zconf --version => --version
ROWS
[ "$failures" -eq 0 ] && echo "completion: all rows offered the expected words"
exit "$failures"
