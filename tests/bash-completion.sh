#!/bin/bash
# Checks the bash completion of lumora-flash against the built flasher on two
# emulated widgets, with bash-completion's framework when it is installed and
# without it:
#   bash-completion.sh COMPLETION_FILE LUMORA_FLASH
# Exits non-zero when a completion is missing.
set -u
completion=$1
flash_dir=$(cd "$(dirname "$2")" && pwd)
framework=/usr/share/bash-completion/bash_completion

failures=0

# Prints COMPREPLY, one a line, for the command line "$@" (the last word is
# the one being completed) in a fresh shell, with or without the framework.
complete_words() {
    local with=$1
    shift
    PATH=$flash_dir:$PATH LUMORA_EMULATOR=2 bash --norc --noprofile -c '
        with=$1 framework=$2 completion=$3
        shift 3
        if [ "$with" = framework ]; then
            # shellcheck disable=SC1090
            . "$framework" || exit 1
        fi
        # shellcheck disable=SC1090
        . "$completion" || exit 1
        COMP_WORDS=("$@")
        COMP_CWORD=$(($# - 1))
        COMP_LINE="$*"
        COMP_POINT=${#COMP_LINE}
        _lumora_flash lumora-flash "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
        printf "%s\n" "${COMPREPLY[@]}"
    ' sh "$with" "$framework" "$completion" "$@"
}

expect() {
    local with=$1 what=$2 wanted=$3 got
    shift 3
    got=$(complete_words "$with" "$@")
    if [ "$got" = "$wanted" ]; then
        echo "ok: $with: '$*' completes to $(echo "$got" | tr '\n' ' ')"
    else
        echo "FAIL: $with: '$*' should complete $what; got: $(echo "$got" | tr '\n' ' ')"
        failures=$((failures + 1))
    fi
}

work=$(mktemp -d "${TMPDIR:-/tmp}/lumora-completion.XXXXXX")
trap 'rm -rf "$work"' EXIT
touch "$work/new.bin" "$work/notes.txt"

withs=plain
if [ -r "$framework" ]; then
    withs="framework plain"
else
    echo "skipped: $framework not found (Debian package bash-completion); the file alone is checked"
fi
for with in $withs; do
    expect "$with" "the option --serial" "--serial" lumora-flash --se
    expect "$with" "the serials of --list" "EM000001
EM000002" lumora-flash --serial ""
    expect "$with" "only the serial that starts so" "EM000002" lumora-flash -y -s EM000002
    expect "$with" "the indices of --list" "0
1" lumora-flash --device ""
    expect "$with" "the .bin image" "$work/new.bin" lumora-flash --yes "$work/n"
done

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
