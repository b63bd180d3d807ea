#!/usr/bin/env bash
# Sweeps of a /16 over four paths, each built in a lab of its own, beside nmap's host discovery
# in the same run: wall time, answering hosts found, CPU time and peak resident size.
#
#   bench/sweep-bench.sh [BUILD_DIR] [RUNS]   as root; BUILD_DIR defaults to build-bench, RUNS to 3
#
# The client and the answering host sit on one veth pair. The host answers all of 198.19.0.0/16,
# one address in four (those ending in binary 11) silenced by nftables: a sweep of .0.1 to
# .255.254 (65,024 requests; the program passes over the .0 and .255 of each /24) finds 48,896,
# nmap over the /16 49,152. The paths:
#   plain    nothing in the way
#   slow     10 Mbit/s both ways (tbf rate 10mbit burst 16kb latency 20ms on both ends)
#   policed  an nftables policer at the host: echo requests over 2,000 a second (burst 200) dropped
#   lossy    1 % of echo requests and 1 % of echo replies dropped at random
# Quilvane runs RUNS times per case (the median is shown); nmap runs NMAP_RUNS times (1 unless
# set: its long cases take minutes). PATHS (default "plain slow policed lossy") and NMAP=0 narrow
# the run; BASELINE=BINARY adds the rows of another build of the program (an earlier version, for
# instance) with the same options. On the plain path a run with --rate 5000 is captured on the client's interface and the
# most echo requests in any one second are counted. The load average is noted before each run, as
# other work on the machine shows in the figures. At the end a Markdown table is printed.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
runs=${2:-3}
nmap_runs=${NMAP_RUNS:-1}
paths=${PATHS:-plain slow policed lossy}
use_nmap=${NMAP:-1}
baseline=${BASELINE:-}

source "$here/common.sh"
need_root_and_tools cmake ninja ip nft tc tcpdump /usr/bin/time
if [ "$use_nmap" = 1 ] && ! command -v nmap >/dev/null; then
    echo "sweep-bench.sh: no nmap; its rows stay out" >&2
    use_nmap=0
fi

build_program "$build"
program=$build/quilvane

suffix=$(od -An -N3 -tx1 /dev/urandom | tr -d ' \n')
client=qvb-c-$suffix
host=qvb-h-$suffix
client_if=qvbc$suffix
host_if=qvbh$suffix
work=$(mktemp -d)

lab_down() {
    ip netns del "$client" 2>/dev/null || true
    ip netns del "$host" 2>/dev/null || true
}
trap 'lab_down; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

# One path: a client without a default route, and the host that answers the /16.
lab_up() {
    local path=$1
    lab_down
    ip netns add "$client"
    ip netns add "$host"
    ip link add "$client_if" netns "$client" type veth peer name "$host_if" netns "$host"
    ip -n "$client" addr add 198.18.1.1/24 dev "$client_if"
    ip -n "$host" addr add 198.18.1.2/24 dev "$host_if"
    for ns in "$client" "$host"; do ip -n "$ns" link set lo up; done
    ip -n "$client" link set "$client_if" up
    ip -n "$host" link set "$host_if" up
    ip -n "$host" route add local 198.19.0.0/16 dev lo
    ip -n "$client" route add 198.19.0.0/16 via 198.18.1.2
    local policer="" loss_in="" loss_out=""
    case $path in
        plain) ;;
        slow)
            ip netns exec "$client" tc qdisc add dev "$client_if" root tbf rate 10mbit burst 16kb \
                latency 20ms
            ip netns exec "$host" tc qdisc add dev "$host_if" root tbf rate 10mbit burst 16kb \
                latency 20ms
            ;;
        policed)
            policer="icmp type echo-request limit rate over 2000/second burst 200 packets drop"
            ;;
        lossy)
            loss_in="icmp type echo-request numgen random mod 1000 < 10 drop"
            loss_out="icmp type echo-reply numgen random mod 1000 < 10 drop"
            ;;
        *) die "unknown path $path" ;;
    esac
    ip netns exec "$host" nft -f - <<EOF
table ip sweep {
    chain input {
        type filter hook input priority 0; policy accept;
        $policer
        $loss_in
        ip daddr & 0.0.0.3 == 0.0.0.3 ip daddr 198.19.0.0/16 icmp type echo-request drop
    }
    chain output {
        type filter hook output priority 0; policy accept;
        $loss_out
    }
}
EOF
    # Neighbour discovery before the first measured request.
    ip netns exec "$client" "$program" 198.19.0.1 -n 1 -w 1000 >/dev/null || true
}

# One run: "wall_s cpu_s peak_kB found load" appended to $work/NAME.runs.
measure() {
    local name=$1 count=$2
    shift 2
    local load
    load=$(cut -d' ' -f1 /proc/loadavg)
    /usr/bin/time -f "%e %U %S %M" -o "$work/$name.time" ip netns exec "$client" "$@" \
        >"$work/$name.text" 2>/dev/null || true
    local found
    found=$(grep -c -E "$count" "$work/$name.text" || true)
    # The figures are the last line; a non-zero exit status adds one before them.
    read -r wall user system peak < <(tail -1 "$work/$name.time")
    echo "$wall $(echo "$user + $system" | bc) $peak $found $load" >>"$work/$name.runs"
    echo "  $name: $wall s, found $found, load $load" >&2
}

# The most requests in any one second of a capture (each request opens a window of one second).
most_in_any_second() {
    tcpdump -r "$1" -tt -n 2>/dev/null | awk '{ t[NR] = $1 } END {
        first = 1; most = 0
        for (i = 1; i <= NR; i++) {
            while (t[i] - t[first] >= 1.0) first++
            if (i - first + 1 > most) most = i - first + 1
        }
        print most }'
}

quilvane_sweep=(-g 198.19.0.1/198.19.255.254 -w 200 -p 4096 -l)
replies='^Reply\['
nmap_up='Status: Up'
rows=()

# A row of the table: path, program and options, the medians of the runs, and their loads.
row() {
    local path=$1 what=$2 name=$3 answering=$4
    local file=$work/$name.runs
    [ -f "$file" ] || return 0
    local n wall cpu peak found loads
    n=$(wc -l <"$file")
    wall=$(cut -d' ' -f1 "$file" | median)
    cpu=$(cut -d' ' -f2 "$file" | median)
    peak=$(cut -d' ' -f3 "$file" | sort -n | tail -1)
    found=$(cut -d' ' -f4 "$file" | median)
    loads=$(cut -d' ' -f5 "$file" | paste -sd/ -)
    rows+=("$(printf '| %s | %s | %s | %s (%.3f %%) | %s | %.1f | %s | %s |' "$path" "$what" \
        "$wall" "$found" "$(echo "100 * $found / $answering" | bc -l)" "$cpu" \
        "$(echo "$peak / 1024" | bc -l)" "$n" "$loads")")
}

echo "Load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
rate_line=""
for path in $paths; do
    echo "Path: $path" >&2
    lab_up "$path"
    options=()
    [ "$path" = lossy ] && options=(--retries 2)
    for round in $(seq "$runs"); do
        measure "q-$path" "$replies" "$program" "${quilvane_sweep[@]}" "${options[@]}"
        if [ -n "$baseline" ]; then
            measure "b-$path" "$replies" "$baseline" "${quilvane_sweep[@]}" "${options[@]}"
        fi
        if [ "$path" = lossy ]; then
            measure "q-$path-once" "$replies" "$program" "${quilvane_sweep[@]}"
        fi
        if [ "$path" = plain ]; then
            # The /24 of the first /16 (191 of its 254 answer), and the CPU per address there.
            measure "q-plain-24" "$replies" "$program" -g 198.19.0.1/198.19.0.254 -w 200 -p 256 -l
            capture=$work/rate$round.pcap
            ip netns exec "$client" tcpdump -i "$client_if" -n -w "$capture" \
                'icmp[icmptype] == icmp-echo' 2>/dev/null &
            capturing=$!
            sleep 1
            measure "q-plain-rate" "$replies" "$program" "${quilvane_sweep[@]}" --rate 5000
            sleep 0.5
            kill -INT "$capturing"
            wait "$capturing" || true
            most_in_any_second "$capture" >>"$work/rate.most"
        fi
    done
    if [ "$use_nmap" = 1 ]; then
        for round in $(seq "$nmap_runs"); do
            measure "n-$path-0" "$nmap_up" nmap -sn -PE -n --max-retries 0 -oG - 198.19.0.0/16
            if [ "$path" = plain ]; then
                measure "n-plain-24" "$nmap_up" nmap -sn -PE -n --max-retries 0 -oG - 198.19.0.0/24
            fi
            # Without retries it finds nearly nothing more on a lossy path: its default only there.
            [ "$path" = plain ] || measure "n-$path" "$nmap_up" nmap -sn -PE -n -oG - 198.19.0.0/16
        done
    fi
    lab_down
    what="Quilvane \`-w 200 -p 4096\`"
    [ "$path" = lossy ] && row "$path" "$what \`--retries 2\`" "q-$path" 48896
    [ "$path" = lossy ] && row "$path" "$what" "q-$path-once" 48896
    [ "$path" = lossy ] || row "$path" "$what" "q-$path" 48896
    row "$path" "baseline build, same options" "b-$path" 48896
    if [ "$path" = plain ]; then
        row "$path" "$what \`--rate 5000\`" "q-plain-rate" 48896
        row "$path /24" "Quilvane \`-g 198.19.0.1/198.19.0.254 -w 200 -p 256\`" "q-plain-24" 191
        rate_line="Most echo requests in any one second with \`--rate 5000\` (capture on the client's interface): $(paste -sd' ' "$work/rate.most") (one figure a run)."
    fi
    row "$path" "nmap \`-sn -PE -n --max-retries 0\`" "n-$path-0" 49152
    row "$path" "nmap \`-sn -PE -n\`" "n-$path" 49152
    [ "$path" = plain ] && row "$path /24" "nmap \`-sn -PE -n --max-retries 0\` 198.19.0.0/24" "n-plain-24" 192
done

echo
echo "| Path | Program and options | Wall time, s | Hosts found | CPU time, s | Peak RSS, MB | Runs | Load average at each run |"
echo "| --- | --- | --- | --- | --- | --- | --- | --- |"
printf '%s\n' "${rows[@]}"
echo
[ -n "$rate_line" ] && echo "$rate_line"
echo "Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
