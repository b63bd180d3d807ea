#!/usr/bin/env bash
# Sweeps of a /24 and a /16 of which every other address answers, with many requests in flight
# (-p), beside nmap's host discovery in the same lab: wall time, peak resident size, replies.
#
#   bench/sweep-bench.sh [BUILD_DIR] [RUNS]   as root; BUILD_DIR defaults to build-bench
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
runs=${2:-5}
lab_script=$root/tests/lab/lab.sh

die() {
    echo "sweep-bench.sh: $*" >&2
    exit 1
}

[ "$(id -u)" -eq 0 ] || die "the lab needs root (network namespaces)"
for tool in cmake ninja ip /usr/bin/time; do
    command -v "$tool" >/dev/null || die "$tool is missing (tools/install-dependencies)"
done
command -v nmap >/dev/null || echo "sweep-bench.sh: no nmap; its column stays empty" >&2

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILVANE_TESTS=OFF \
    >/dev/null
cmake --build "$build" --target quilvane >/dev/null

suffix=sweep$(od -An -N2 -tx2 /dev/urandom | tr -d ' \n')
trap '"$lab_script" down "$suffix" >/dev/null 2>&1 || echo "lab $suffix left behind" >&2' EXIT
trap 'exit 130' INT TERM
client=$("$lab_script" up "$suffix" | sed -n 's/^CLIENT_NS=//p')

# One figure per run: "wall_s peak_kB replies".
measure() {
    local out=$1
    shift
    /usr/bin/time -f "%e %M" -o "$out.time" ip netns exec "$client" "$@" >"$out.text" 2>/dev/null ||
        true
    echo "$(cat "$out.time") $(grep -c -E '^Reply\[|Host: .*Status: Up' "$out.text" || true)"
}

median() {
    sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

work=$(mktemp -d)
report() {
    local name=$1 file=$2
    printf '%s: wall %s s (min %s, max %s), peak %s kB, replies %s\n' "$name" \
        "$(cut -d' ' -f1 "$file" | median)" "$(cut -d' ' -f1 "$file" | sort -n | head -1)" \
        "$(cut -d' ' -f1 "$file" | sort -n | tail -1)" "$(cut -d' ' -f2 "$file" | sort -n | tail -1)" \
        "$(cut -d' ' -f3 "$file" | sort -n | head -1)"
}

echo "Load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
for round in $(seq "$runs"); do
    measure "$work/q24" "$build/quilvane" -g 198.19.0.1/198.19.0.254 -w 200 -p 256 -l \
        >>"$work/q24.runs"
    measure "$work/q16" "$build/quilvane" -g 198.19.0.1/198.19.255.254 -w 200 -p 4096 -l \
        >>"$work/q16.runs"
    if command -v nmap >/dev/null; then
        measure "$work/n24" nmap -sn -PE -n --max-retries 0 -oG - 198.19.0.0/24 >>"$work/n24.runs"
        # The /16 takes nmap about forty seconds: once is enough.
        if [ "$round" -eq 1 ]; then
            measure "$work/n16" nmap -sn -PE -n --max-retries 0 -oG - 198.19.0.0/16 \
                >>"$work/n16.runs"
        fi
    fi
done
report "quilvane /24 -w 200 -p 256 (127 of 254 answer)" "$work/q24.runs"
report "quilvane /16 -w 200 -p 4096 (32,512 of 65,024 answer)" "$work/q16.runs"
[ -f "$work/n24.runs" ] && report "nmap -sn -PE -n --max-retries 0 /24" "$work/n24.runs"
[ -f "$work/n16.runs" ] && report "nmap -sn -PE -n --max-retries 0 /16" "$work/n16.runs"
rm -rf "$work"
