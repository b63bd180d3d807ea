#!/usr/bin/env bash
# Renders the manual page with every groff warning turned on and fails on any warning; checks
# that man(1) renders it too, and that the page has the sections its readers look for.
# Usage: man_page_test.sh PAGE
set -uo pipefail

page=$1
if ! command -v groff >/dev/null; then
    echo "SKIP: groff is not installed"
    exit 77
fi

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
if [ -n "$warnings" ]; then
    fail "groff warns about the page:"
    printf '%s\n' "$warnings" | sed 's/^/    /'
fi

# Narrow and wide terminals break lines differently; neither may warn.
for width in 60 80 200; do
    warnings=$(groff -man -Tutf8 -ww -z -rLL="${width}n" "$page" 2>&1)
    [ -z "$warnings" ] || fail "groff warns at ${width} columns: $warnings"
done

if command -v man >/dev/null; then
    rendered=$(MANWIDTH=80 man --warnings -l "$page" 2>"${TMPDIR:-/tmp}/man-warnings.$$")
    warnings=$(cat "${TMPDIR:-/tmp}/man-warnings.$$")
    rm -f "${TMPDIR:-/tmp}/man-warnings.$$"
    [ -z "$warnings" ] || fail "man warns about the page: $warnings"
else
    rendered=$(groff -man -Tutf8 -rLL=80n "$page" 2>/dev/null)
fi
# Here-strings rather than pipes into grep -q: with pipefail, an early exit of grep would fail
# the writer with SIGPIPE.
# shellcheck disable=SC2001 # a byte class, not a parameter expansion pattern
plain=$(sed 's/.\x08//g' <<<"$rendered")

for section in NAME SYNOPSIS DESCRIPTION OPTIONS "KINDS OF RUN" "HOST FILES" "ADDRESS RANGES" \
    PRIVILEGES SIGNALS "EXIT STATUS" EXAMPLES "SEE ALSO"; do
    grep -qx "$section" <<<"$plain" || fail "no section $section"
done

# Every exit status the program can end with is explained.
exit_status=$(sed -n '/^EXIT STATUS$/,/^EXAMPLES$/p' <<<"$plain")
for status in 0 1 2 3 4 5 255; do
    grep -qE "^ +$status( |$)" <<<"$exit_status" || fail "exit status $status missing"
done

# The sysctl and capability commands must survive rendering as typed (no typographic dashes or
# quotes in them), since readers copy them into a shell.
grep -qF 'sysctl -w net.ipv4.ping_group_range="0 2147483647"' <<<"$plain" ||
    fail "the sysctl command is not rendered as typed"
grep -qF 'setcap cap_net_raw+p /usr/bin/quilvane' <<<"$plain" ||
    fail "the setcap command is not rendered as typed"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "manual page renders without warnings"
