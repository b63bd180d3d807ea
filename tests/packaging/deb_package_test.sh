#!/usr/bin/env bash
# Builds the Debian package, unpacks it and checks its metadata, its files, its install script
# and the unpacked binary, and has lintian check it.
# Usage: deb_package_test.sh CPACK CPACK_CONFIG VERSION
set -uo pipefail

cpack=$1
config=$2
version=$3

for tool in dpkg-deb dpkg; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is not installed"
        exit 77
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

expect_equal() { # what expected actual
    if [ "$2" != "$3" ]; then
        fail "$1"
        diff -u <(printf '%s' "$2") <(printf '%s' "$3") | sed 's/^/    /'
    fi
}

if ! "$cpack" -G DEB --config "$config" -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "FAIL: cpack could not build the package"
    exit 1
fi
shopt -s nullglob
packages=("$work"/out/*.deb)
if [ "${#packages[@]}" -ne 1 ]; then
    echo "FAIL: expected one .deb in the output, found ${#packages[@]}"
    exit 1
fi
deb=${packages[0]}
architecture=$(dpkg --print-architecture)

# --- metadata
expect_equal "file name" "quilvane_${version}-1_${architecture}.deb" "$(basename "$deb")"
expect_equal "Package" quilvane "$(dpkg-deb -f "$deb" Package)"
expect_equal "Version" "${version}-1" "$(dpkg-deb -f "$deb" Version)"
expect_equal "Architecture" "$architecture" "$(dpkg-deb -f "$deb" Architecture)"
expect_equal "Section" net "$(dpkg-deb -f "$deb" Section)"
expect_equal "Recommends" "libcap2-bin, bash-completion" "$(dpkg-deb -f "$deb" Recommends)"
case $(dpkg-deb -f "$deb" Depends) in
*libc6*) ;;
*) fail "Depends does not name libc6: $(dpkg-deb -f "$deb" Depends)" ;;
esac
[ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "no Maintainer"
[ -n "$(dpkg-deb -f "$deb" Description)" ] || fail "no Description"
# The control file shows the description with one blank before each line.
long_lines=$(dpkg-deb -f "$deb" Description | awk 'NR > 1 && length($0) > 80')
expect_equal "description lines over 80 columns" "" "$long_lines"

# --- files, with their owners and modes
dpkg-deb -c "$deb" >"$work/contents"
check_entry() { # mode path
    if ! awk -v mode="$1" -v path="./$2" '$1 == mode && $2 == "root/root" && $NF == path {found = 1}
            END {exit !found}' "$work/contents"; then
        fail "no $1 root/root entry ./$2 in the package"
    fi
}
check_entry -rwxr-xr-x usr/bin/quilvane
check_entry -rw-r--r-- usr/share/man/man1/quilvane.1.gz
check_entry -rw-r--r-- usr/share/bash-completion/completions/quilvane
check_entry -rw-r--r-- usr/share/doc/quilvane/README.md
check_entry -rw-r--r-- usr/share/doc/quilvane/copyright
check_entry -rw-r--r-- usr/share/doc/quilvane/changelog.Debian.gz
check_entry -rw-r--r-- usr/share/lintian/overrides/quilvane
if grep -qE '^[^ ]*s' "$work/contents"; then
    fail "the package holds set-user-ID or set-group-ID files"
fi

# --- the unpacked files
root=$work/root
dpkg-deb -x "$deb" "$root"
binary=$root/usr/bin/quilvane
[ -x "$binary" ] || fail "the unpacked binary is not executable"
if command -v file >/dev/null && grep -q 'not stripped' <<<"$(file "$binary")"; then
    fail "the packaged binary is not stripped"
fi
if ! gzip -t "$root/usr/share/man/man1/quilvane.1.gz"; then
    fail "the manual page is not a valid gzip file"
fi
if ! bash -n "$root/usr/share/bash-completion/completions/quilvane"; then
    fail "the completion script does not parse"
fi
doc=$root/usr/share/doc/quilvane
expect_equal "first line of the copyright file" \
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" \
    "$(head -n 1 "$doc/copyright")"
grep -qx "Copyright: [0-9]* The Quilvane developers" "$doc/copyright" ||
    fail "the copyright file does not name the Quilvane developers"
grep -qx "License: Expat" "$doc/copyright" || fail "the copyright file names no licence"
# The newest changelog entry must be the version being packaged.
expect_equal "newest changelog entry" "quilvane (${version}-1) unstable; urgency=medium" \
    "$(gzip -dc "$doc/changelog.Debian.gz" | head -n 1)"

# The usage text: banner on standard output, the rest on standard error, exit status 255.
"$binary" '-?' >"$work/usage.out" 2>"$work/usage.err"
status=$?
expect_equal "exit status of -?" 255 "$status"
expect_equal "first banner line" "Quilvane version 2.18" "$(sed -n 2p "$work/usage.out")"
expected_usage=$(
    cat <<'USAGE'
Usage:
quilvane <host(-list)> [-s data_size] [-S size1/size2] [-c] [-t time] [-w timeout]
       [-n count] [-h TTL] [-v TOS] [-r routes] [-R min/max] [-a] [-f] 
       [-b(-)] [-i] [-l] [-T] [-D] [-d ping_data] [-g host1/host2]
       [-H filename] [-L filename] [-p requests] [-4] [-6]

Options:
	-s : data_size in bytes up to 65500
	-S : size sweep. Ping with size1, size1 + 1, ..., size 2 datalength
	-c : continuous ping (higher priority than -n)
	     to see statistics and continue - type Control-Break;
	     to stop - type Control-C.
	-t : time between 2 pings in ms up to 1000000
	-w : timeout in ms to wait for each reply
	-n : number of echo requests to send
	-h : number of hops (TTL: 1 to 128)
	-v : Type Of Service (0 to 255)
	-r : record route (1 to 9 routes)
	-R : random length between min and max (disabled when using -S)
	-a : resolve addresses to hostnames
	-f : set Don't Fragment flag in packet
	-b : beep on every successful reply (- to beep on timeout)
	-i : use ICMP dll instead of raw socket (disables -r)
	-l : limit the output to ping results and errors
	-T : print timestamp with each reply
	-D : print datestamp and timestamp with each reply
	-d : ping with specified data (disabled when using -R)
	-g : ping IP range from host1 to host2
	-H : get hosts from filename (comma delimited, filename with full path)
	-L : logging to a text file
	-p : echo requests in flight at once over many hosts (1 to 4096)
	-4 : resolve host names to IPv4 addresses only
	-6 : resolve host names to IPv6 addresses only
	--rate N : at most N echo requests a second with -p (1 to 10000000)
	--retries K : send a silent host's request again up to K times (0 to 10)
	--summary : one result line per host after the statistics
	--alive : print only the addresses that answered
	--json : print results as JSON Lines
	--metrics filename : write OpenMetrics results after every pass
	--help : print this usage text to standard output and exit
	--version : print the version and exit
USAGE
)
expect_equal "usage text" "$expected_usage" "$(cat "$work/usage.err")"

# A run over two hosts with a negative count: nothing is sent, no socket is needed.
"$binary" 127.0.0.1 127.0.0.2 -n -1 >"$work/run.out" 2>"$work/run.err"
status=$?
expect_equal "exit status of a run that asks for nothing" 0 "$status"
expect_equal "standard error of that run" "" "$(cat "$work/run.err")"
expect_equal "banner of that run" "Quilvane version 2.18" "$(sed -n 2p "$work/run.out")"
expected_run=$(printf '%s\n' "" "Pinging multiple hosts with 32 bytes of data every 1000 ms:" "" \
    "No ping statistics available")
expect_equal "output of that run after the banner" "$expected_run" "$(sed -n '4,$p' "$work/run.out")"

# --- the install script
dpkg-deb -e "$deb" "$work/control"
postinst=$work/control/postinst
if [ ! -x "$postinst" ]; then
    fail "the package has no executable postinst"
else
    sh -n "$postinst" || fail "the postinst does not parse"
    fake=$work/fakebin
    mkdir -p "$fake"
    # setcap stand-ins that record their arguments instead of touching the system.
    printf '#!/bin/sh\necho "$@" >>"%s/setcap.calls"\n' "$work" >"$fake/setcap"
    chmod +x "$fake/setcap"
    PATH=$fake /bin/sh "$postinst" configure >"$work/postinst.out" 2>&1
    expect_equal "postinst exit status with setcap" 0 "$?"
    expect_equal "setcap call" "cap_net_raw+p /usr/bin/quilvane" "$(cat "$work/setcap.calls" 2>/dev/null)"

    rm -f "$work/setcap.calls"
    PATH=$fake /bin/sh "$postinst" abort-upgrade 2.17-1 >/dev/null 2>&1
    expect_equal "postinst exit status on abort-upgrade" 0 "$?"
    [ ! -e "$work/setcap.calls" ] || fail "postinst called setcap outside configure"

    # An administrator's stat override wins over the capability.
    # shellcheck disable=SC2016 # the $1 belongs to the stand-in
    printf '#!/bin/sh\n[ "$1" = --list ] && echo "root root 0755 /usr/bin/quilvane"\n' \
        >"$fake/dpkg-statoverride"
    chmod +x "$fake/dpkg-statoverride"
    PATH=$fake /bin/sh "$postinst" configure >/dev/null 2>&1
    expect_equal "postinst exit status with a stat override" 0 "$?"
    [ ! -e "$work/setcap.calls" ] || fail "postinst called setcap despite a stat override"
    rm -f "$fake/dpkg-statoverride"

    # A file system that refuses the capability must not fail the installation.
    printf '#!/bin/sh\nexit 1\n' >"$fake/setcap"
    PATH=$fake /bin/sh "$postinst" configure >"$work/postinst.out" 2>&1
    expect_equal "postinst exit status when setcap fails" 0 "$?"
    grep -q "ping_group_range" "$work/postinst.out" || fail "no hint when setcap fails"

    # Without setcap at all it does nothing and still succeeds.
    rm -f "$fake/setcap"
    PATH=$fake /bin/sh "$postinst" configure >"$work/postinst.out" 2>&1
    expect_equal "postinst exit status without setcap" 0 "$?"
    grep -q "libcap2-bin" "$work/postinst.out" || fail "no hint when setcap is missing"
fi

# --- lintian, pedantic tags and information included: the package is clean and must stay so
lintian_ran=0
if command -v lintian >/dev/null; then
    lintian_ran=1
    # As root lintian says it should not be; only its tags matter here.
    if ! lintian --pedantic --display-info --fail-on error,warning,info,pedantic "$deb" \
        >"$work/lintian.out" 2>"$work/lintian.err"; then
        fail "lintian reports the package:"
        sed 's/^/    /' "$work/lintian.out" "$work/lintian.err"
    fi
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
if [ "$lintian_ran" -eq 0 ]; then
    echo "SKIP: lintian is not installed (tools/install-dependencies installs it); the rest passed"
    exit 77
fi
echo "package $(basename "$deb") passed, lintian included"
