# bash completion for zconf: commands, options, value types, and the keys and value
# names of the store, read by running `zconf ls` on the key typed so far.
# Installed as share/bash-completion/completions/zconf, where bash-completion loads it
# when zconf is first completed; it needs nothing from bash-completion itself.

# Prints "d NAME" per subkey and "v NAME" per value of KEY, read with the zconf run as
# $1 (nothing when KEY is missing or the store cannot be read).
_zconf_entries() {
    local tool=$1 key=$2 line
    "$tool" ls -- "$key" 2>/dev/null | while IFS= read -r line; do
        case $line in
        */) printf 'd %s\n' "${line%/}" ;;
        *) printf 'v %s\n' "${line%%$'\t'*}" ;;
        esac
    done
}

# Adds to COMPREPLY each of the following words that starts with $cur, letter case
# ignored (zconf's names and types ignore it), quoted for the command line.
_zconf_add() {
    local word quoted
    for word; do
        if [[ ${word,,} == "${cur,,}"* ]]; then
            printf -v quoted '%q' "$word"
            COMPREPLY+=("$quoted")
        fi
    done
}

# Completes a KEY: the subkeys of the key typed up to the last "/", each with a "/"
# after it so that the next name can follow at once.
_zconf_keys() {
    local tool=$1 parent='' kind name names=()
    [[ $cur == */* ]] && parent=${cur%/*}/
    while read -r kind name; do
        [[ $kind == d ]] && names+=("$parent$name/")
    done < <(_zconf_entries "$tool" "$parent")
    _zconf_add "${names[@]}"
    compopt -o nospace 2>/dev/null
}

# Completes a value NAME of KEY.
_zconf_values() {
    local tool=$1 key=$2 kind name names=()
    while read -r kind name; do
        [[ $kind == v ]] && names+=("$name")
    done < <(_zconf_entries "$tool" "$key")
    _zconf_add "${names[@]}"
}

# Completes a file name.
_zconf_files() {
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
}

_zconf() {
    local cur=${COMP_WORDS[COMP_CWORD]} tool=${COMP_WORDS[0]}
    local commands=(ls tree get set rm mkkey rmkey check export import batch watch help)
    local i word command='' operands=() options=1
    COMPREPLY=()
    # Options stand before the command or between it and its first operand; "--" ends
    # them. The words before the cursor tell which operand is being typed.
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ -n $command && ${#operands[@]} -gt 0 ]]; then
            options=
        fi
        if [[ -n $options && $word == -- ]]; then
            options=
        elif [[ -n $options && $word == -?* ]]; then
            continue
        elif [[ -z $command ]]; then
            command=$word
        else
            operands+=("$word")
        fi
    done
    [[ -n $command && ${#operands[@]} -gt 0 ]] && options=
    if [[ -n $options && $cur == -* ]]; then
        local offered=(--help -h --no-save)
        [[ -z $command ]] && offered+=(--version)
        [[ $command == rmkey ]] && offered+=(-r)
        [[ $command == mkkey ]] && offered+=(--volatile)
        [[ $command =~ ^(ls|tree|get)$ ]] && offered+=(-d --decimal --json)
        [[ $command == export ]] && offered+=(--json)
        _zconf_add "${offered[@]}"
        return
    fi
    if [[ -z $command ]]; then
        _zconf_add "${commands[@]}"
        return
    fi
    case $command:${#operands[@]} in
    ls:0 | tree:0 | get:0 | set:0 | rm:0 | mkkey:0 | rmkey:0 | watch:0 | export:0)
        _zconf_keys "$tool" ;;
    get:1 | set:1 | rm:1) _zconf_values "$tool" "${operands[0]}" ;;
    set:2) _zconf_add none binary sz multi_sz dword dword_le dword_be qword qword_le qword_be ;;
    check:0 | batch:0 | import:0 | import:1 | export:1) _zconf_files ;;
    help:0) _zconf_add "${commands[@]}" ;;
    esac
}

complete -F _zconf zconf
