#!/usr/bin/env bash
# Sweeps of many addresses at the machine's limit: time and CPU per address over a /15 whose every
# send fails at once (no route), and over a /15 the kernel answers itself (a local route on the
# loopback device), each in a network namespace of its own, with the /12 and /8 worked out from
# the figures per address. A /12's worth of requests is measured too: the /15 given eight times
# over in one run, 1,040,384 requests, as many as a /12 sweep sends (each passes over the .0 and
# .255 of every /24). Nothing leaves the namespaces: the first has no route at all, the second
# answers on its loopback device.
#
#   bench/scale-bench.sh [BUILD_DIR] [RUNS]   as root; BUILD_DIR defaults to build-bench
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
runs=${2:-3}
prefix=198.18.0.0/15
first=198.18.0.1
last=198.19.255.254

source "$here/common.sh"
need_root_and_tools cmake ninja ip /usr/bin/time

build_program "$build"

suffix=$(od -An -N2 -tx2 /dev/urandom | tr -d ' \n')
dark=qv-dark-$suffix
local_ns=qv-local-$suffix
work=$(mktemp -d)
cleanup() {
    ip netns del "$dark" 2>/dev/null || true
    ip netns del "$local_ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ip netns add "$dark"
ip netns exec "$dark" ip link set lo up
ip netns add "$local_ns"
ip netns exec "$local_ns" ip link set lo up
ip netns exec "$local_ns" ip route add local "$prefix" dev lo

# One line per run: "wall_s cpu_s peak_kB lines".
measure() {
    local ns=$1 out=$2
    shift 2
    /usr/bin/time -f "%e %U %S %M" -o "$out.time" ip netns exec "$ns" "$@" >"$out.text" 2>/dev/null ||
        true
    # A run whose last send failed ends with status 1, which time reports on a line of its own.
    tail -n 1 "$out.time" | awk -v lines="$(wc -l <"$out.text")" '{ print $1, $2 + $3, $4, lines }'
}

addresses=130048
echo "Load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
for window in 4096 1024; do
    for round in $(seq "$runs"); do
        measure "$dark" "$work/dark$window" "$build/quilvane" -g "$first/$last" -w 200 \
            -p "$window" -l >>"$work/dark$window.runs"
        measure "$local_ns" "$work/local$window" "$build/quilvane" -g "$first/$last" -w 200 \
            -p "$window" -l >>"$work/local$window.runs"
    done
done

twelve=()
for _ in 1 2 3 4 5 6 7 8; do twelve+=(-g "$first/$last"); done
for round in $(seq "$runs"); do
    measure "$dark" "$work/dark12" "$build/quilvane" "${twelve[@]}" -w 200 -p 4096 -l \
        >>"$work/dark12.runs"
    measure "$local_ns" "$work/local12" "$build/quilvane" "${twelve[@]}" -w 200 -p 4096 -l \
        >>"$work/local12.runs"
done

row() {
    local name=$1 file=$2
    local wall cpu peak
    wall=$(cut -d' ' -f1 "$file" | median)
    cpu=$(cut -d' ' -f2 "$file" | median)
    peak=$(cut -d' ' -f3 "$file" | sort -n | tail -1)
    awk -v name="$name" -v wall="$wall" -v cpu="$cpu" -v peak="$peak" -v n="$addresses" 'BEGIN {
        printf "| %s | %s s | %.2f s | %.1f us | %s kB | %.0f s | %.0f s |\n", name, wall, cpu,
            cpu * 1e6 / n, peak, wall * 8, wall * 128 }'
}

echo
echo "| /15 sweep (130,048 addresses), -w 200 -l | wall | CPU | CPU per address | peak | a /12 at that rate | a /8 at that rate |"
echo "| --- | --- | --- | --- | --- | --- | --- |"
row "no route, every send fails, -p 4096" "$work/dark4096.runs"
row "no route, every send fails, -p 1024" "$work/dark1024.runs"
row "local route, every address answers, -p 4096" "$work/local4096.runs"
row "local route, every address answers, -p 1024" "$work/local1024.runs"

addresses=1040384
twelve_row() {
    local name=$1 file=$2
    local wall cpu peak
    wall=$(cut -d' ' -f1 "$file" | median)
    cpu=$(cut -d' ' -f2 "$file" | median)
    peak=$(cut -d' ' -f3 "$file" | sort -n | tail -1)
    awk -v name="$name" -v wall="$wall" -v cpu="$cpu" -v peak="$peak" -v n="$addresses" 'BEGIN {
        printf "| %s | %s s | %.2f s | %.1f us | %s kB | %.0f s |\n", name, wall, cpu,
            cpu * 1e6 / n, peak, wall * 16 }'
}

echo
echo "| A /12's worth (the /15 eight times: 1,040,384 addresses), -w 200 -p 4096 -l | wall | CPU | CPU per address | peak | a /8 at that rate |"
echo "| --- | --- | --- | --- | --- | --- |"
twelve_row "no route, every send fails" "$work/dark12.runs"
twelve_row "local route, every address answers" "$work/local12.runs"
