#!/usr/bin/env bash
# Checks the bash completion: it parses, and it offers options, file names and host names
# where the command line takes them.
# Usage: completion_test.sh SCRIPT
set -uo pipefail

script=$1
if ! bash -n "$script"; then
    echo "FAIL: the completion script does not parse"
    exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Files whose names look like options or patterns must not disturb the completion.
mkdir -p "$work/files/logs"
touch "$work/files/hosts.txt" "$work/files/hosts-lab.txt" "$work/files/-a" "$work/files/-x"
printf '127.0.0.1 localhost\n198.18.0.10 labhost-alpha\n198.18.0.11 labhost-beta\n' \
    >"$work/hosts"

# Each case runs in a fresh bash so that nothing leaks between them.
complete_words() { # the words of the command line, the last one being completed
    (
        cd "$work/files" || exit 1
        HOSTFILE=$work/hosts bash --norc --noprofile -c '
            source "$1"; shift
            COMP_WORDS=("$@")
            COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
            _quilvane quilvane "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
            printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort' bash "$script" "$@"
    )
}

failures=0
expect() { # name expected-lines words...
    local name=$1 expected=$2
    shift 2
    local actual
    actual=$(complete_words "$@")
    if [ "$actual" != "$expected" ]; then
        echo "FAIL: $name"
        diff -u <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") | sed 's/^/    /'
        failures=$((failures + 1))
    fi
}

lines() { printf '%s\n' "$@" | LC_ALL=C sort; }

all_options=$(lines -s -S -c -t -w -n -h -v -r -R -a -f -b -b- -i -l -T -D -d -g -H -L -p -4 -6 '-?' \
    --rate --retries --summary --alive --json --metrics --help --version)

# --- options
expect "all options after a host" "$all_options" quilvane 198.18.0.10 -
expect "options by prefix" "$(lines -b -b-)" quilvane 198.18.0.10 -b
expect "case matters" "-s" quilvane 198.18.0.10 -s
expect "upper case" "-S" quilvane 198.18.0.10 -S
expect "an unknown prefix offers nothing" "" quilvane 198.18.0.10 -x
expect "long options by prefix" "$(lines --rate --retries)" quilvane 198.18.0.10 --r
expect "-? is offered, not expanded as a pattern" "$all_options" quilvane host -

# --- file names for -H and -L, separate and attached
expect "files after -H" "$(lines hosts-lab.txt hosts.txt)" quilvane -H hos
expect "files after -L" "$(lines logs)" quilvane 198.18.0.10 -L lo
expect "files after --metrics" "$(lines logs)" quilvane 198.18.0.10 --metrics lo
expect "long options by prefix" "$(lines --summary)" quilvane 198.18.0.10 --su
expect "files attached to -H" "$(lines -Hhosts-lab.txt -Hhosts.txt)" quilvane -Hhos
expect "files attached to -L" "$(lines -Llogs)" quilvane host -Llo
expect "files after --metrics" "$(lines hosts-lab.txt hosts.txt)" quilvane host --metrics hos
expect "long options by prefix" "$(lines --rate --retries)" quilvane host --r

# --- values that are numbers, pairs or free text get nothing, not even options
for option in -s -S -t -w -n -h -v -r -R -d -g --rate --retries; do
    expect "nothing after $option" "" quilvane 198.18.0.10 "$option" ""
done
expect "a negative number is not taken for an option" "" quilvane 198.18.0.10 -n -

# --- host names only where the program takes hosts: before the first option
expect "hosts first" "$(lines labhost-alpha labhost-beta)" quilvane labhost-
expect "more hosts" "$(lines labhost-beta)" quilvane labhost-alpha labhost-b
expect "no hosts after an option" "" quilvane labhost-alpha -n 3 labhost-
expect "no hosts after a slash option" "" quilvane labhost-alpha /n 3 labhost-

if [ "$failures" -ne 0 ]; then
    echo "$failures case(s) failed"
    exit 1
fi
echo "completion passed"
