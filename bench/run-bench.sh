#!/usr/bin/env bash
# Builds the program and the network lab, then measures the program beside iputils ping against
# the same answering host and prints one table (see the Performance section of README.md).
#
#   bench/run-bench.sh [BUILD_DIR]      as root; BUILD_DIR defaults to build-bench in the checkout
#
# Environment: QV_BENCH_JSON=FILE also writes the raw figures as JSON; QV_BENCH_BUILD_TYPE picks
# the CMake build type (default RelWithDebInfo, the project's default); QV_BENCH_ONLY=truth runs
# only the reported round trips against the wire (a few minutes).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
case ${1:-} in
    -h | --help)
        sed -n '2,9p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
esac
build=${1:-$root/build-bench}
lab_script=$root/tests/lab/lab.sh

die() {
    echo "run-bench.sh: $*" >&2
    exit 1
}

[ "$(id -u)" -eq 0 ] || die "the lab needs root (network namespaces)"
for tool in cmake ninja cc c++ python3 ping valgrind ip tcpdump; do
    command -v "$tool" >/dev/null || die "$tool is missing (tools/install-dependencies)"
done
ping -V 2>/dev/null | grep -q iputils || die "ping is not iputils ping"
command -v hyperfine >/dev/null || echo "run-bench.sh: no hyperfine; start-up by repeated runs" >&2

echo "Building in $build" >&2
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${QV_BENCH_BUILD_TYPE:-RelWithDebInfo}" \
    -DQUILVANE_TESTS=OFF >/dev/null
cmake --build "$build" --target quilvane >/dev/null
cc -O2 -Wall -Wextra -shared -fPIC -o "$build/rtt_probe.so" "$here/rtt_probe.c" -ldl
cc -O2 -Wall -Wextra -o "$build/tx_stamp" "$here/tx_stamp.c"
c++ -std=c++20 -O2 -Wall -Wextra -o "$build/lab_responder" "$root/tests/lab/responder.cpp"

# A lab of the benchmark's own: its names cannot meet those of a test run going on beside it.
suffix=bench$(od -An -N2 -tx2 /dev/urandom | tr -d ' \n')
responder=
tear_down() {
    if [ -n "$responder" ]; then
        kill "$responder" 2>/dev/null || true
        wait "$responder" 2>/dev/null || true
    fi
    "$lab_script" down "$suffix" >/dev/null 2>&1 || echo "run-bench.sh: lab $suffix left behind" >&2
}
trap tear_down EXIT
trap 'exit 130' INT TERM
facts=$("$lab_script" up "$suffix")
fact() {
    sed -n "s/^$1=//p" <<<"$facts"
}

# The whole block of 198.18.2.0/24 answers through the same host on one veth pair.
block=$(fact ALPHA_BLOCK)
prefix=${block%.0/24}
# The second path: a responder that holds every reply 2 ms, give or take 0.05 ms.
delayed=$(fact RESPONDER_BLOCK)
delayed=${delayed%.0/24}.1
ready=$(mktemp)
ip netns exec "$(fact RESPONDER_NS)" "$build/lab_responder" --address "$delayed" --delay 2 \
    --jitter 50 >"$ready" &
responder=$!
for _ in $(seq 50); do
    grep -q ready "$ready" && break
    sleep 0.1
done
grep -q ready "$ready" || die "the responder did not start"
rm -f "$ready"

ip netns exec "$(fact CLIENT_NS)" "$(command -v python3)" "$here/measure.py" \
    --binary "$build/quilvane" --probe "$build/rtt_probe.so" \
    --host "$(fact ALPHA_ADDR)" --first "$prefix.1" --last "$prefix.200" --addresses 200 \
    --wire-if "$(fact CLIENT_TO_ALPHA_IF)" --delayed-host "$delayed" \
    --delayed-if "$(fact CLIENT_TO_RESPONDER_IF)" --source "$root" --tx-stamp "$build/tx_stamp" \
    ${QV_BENCH_ONLY:+--only "$QV_BENCH_ONLY"} ${QV_BENCH_JSON:+--json "$QV_BENCH_JSON"}
