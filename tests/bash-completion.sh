#!/bin/bash
# Checks the bash completion of lumora-flash against the built flasher on
# emulated widgets, with bash-completion's framework when it is installed and
# without it; serial strings that a shell would expand come back quoted and
# run nothing:
#   bash-completion.sh COMPLETION_FILE LUMORA_FLASH
# Exits non-zero when a completion is missing.
set -u
completion=$1
flash_dir=$(cd "$(dirname "$2")" && pwd)
framework=/usr/share/bash-completion/bash_completion

failures=0

# Prints COMPREPLY, one a line, for the command line "$@" (the last word is
# the one being completed) in a fresh shell, with or without the framework,
# in the work directory, on the widgets that $serials names (two by default).
serials=
complete_words() {
    local with=$1 count=2
    shift
    [ -n "$serials" ] && count=$(($(printf '%s' "$serials" | tr -cd , | wc -c) + 1))
    (cd "$work" && PATH=$flash_dir:$PATH LUMORA_EMULATOR=$count LUMORA_EMULATOR_SERIALS=$serials \
        bash --norc --noprofile -c '
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
    ' sh "$with" "$framework" "$completion" "$@")
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
touch "$work/new.bin" "$work/notes.txt" "$work/A1"

withs=plain
if [ -r "$framework" ]; then
    withs="framework plain"
else
    echo "skipped: $framework not found (Debian package bash-completion); the file alone is checked"
fi
for with in $withs; do
    expect "$with" "the option --serial" "--serial" lumora-flash --se
    expect "$with" "the record's options" "--record
--record-db" lumora-flash --recor
    expect "$with" "no image with --history" "" lumora-flash --record-db x --history "$work/n"
    expect "$with" "the serials of --list" "EM000001
EM000002" lumora-flash --serial ""
    expect "$with" "only the serial that starts so" "EM000002" lumora-flash -y -s EM000002
    expect "$with" "the indices of --list" "0
1" lumora-flash --device ""
    expect "$with" "the .bin image" "$work/new.bin" lumora-flash --yes "$work/n"

    # Each serial as the word that the shell reads back as it (a backslash
    # as --list prints it, \x5c): nothing expanded, globbed or run.
    serials='$(touch PWN),~root,A*,a b,it'"'"'s "q",a\b'
    expect "$with" "each serial quoted" '\$\(touch\ PWN\)
\~root
A\*
a\ b
it\'"'"'s\ \"q\"
a\\x5cb' lumora-flash --serial ""
    expect "$with" "the serial that starts so, read as the shell reads it" 'a\ b' lumora-flash -s '"a '
    expect "$with" "the serial that starts with a tilde" '\~root' lumora-flash -s '~'
    serials=
done

# Every long option of --help is offered: the completion's list is no copy
# that falls behind.
offered=$(complete_words plain lumora-flash --)
for option in $("$2" --help | grep -o -E -- '--[a-z][a-z-]*' | sort -u); do
    if ! printf '%s\n' "$offered" | grep -q -x -- "$option"; then
        echo "FAIL: --help has $option, which the completion does not offer"
        failures=$((failures + 1))
    fi
done
if [ -e "$work/PWN" ] || [ -e PWN ]; then
    echo "FAIL: a serial string was run as a command"
    failures=$((failures + 1))
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
