#!/usr/bin/env bash
# What the machine outputs cost: a /16 sweep (every other address answers) with and without
# --json, CPU time and peak resident size; --summary and --metrics over the /16 at -n 3; nmap's
# host discovery of the same /16 with its XML output beside them, in the same lab.
#
#   bench/output-bench.sh [BUILD_DIR] [RUNS]   as root; BUILD_DIR defaults to build-output-bench
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-output-bench}
runs=${2:-5}
lab_script=$root/tests/lab/lab.sh

source "$here/common.sh"
need_root_and_tools cmake ninja ip /usr/bin/time

build_program "$build"

suffix=out$(od -An -N2 -tx2 /dev/urandom | tr -d ' \n')
work=$(mktemp -d)
trap '"$lab_script" down "$suffix" >/dev/null 2>&1 || echo "lab $suffix left behind" >&2; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
client=$("$lab_script" up "$suffix" | sed -n 's/^CLIENT_NS=//p')

# One line per run: "cpu_s wall_s peak_kB lines".
measure() {
    local out=$1
    shift
    /usr/bin/time -f "%U %S %e %M" -o "$out.time" ip netns exec "$client" "$@" >"$out.text" \
        2>/dev/null || true
    read -r user system wall peak <"$out.time"
    echo "$(echo "$user + $system" | bc) $wall $peak $(wc -l <"$out.text")"
}

column() { cut -d' ' -f"$2" "$1" | median; }

quilvane=$build/quilvane
sweep=(-g 198.19.0.0/16 -w 200 -p 4096)
echo "Load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
for round in $(seq "$runs"); do
    measure "$work/text" "$quilvane" "${sweep[@]}" >>"$work/text.runs"
    measure "$work/json" "$quilvane" "${sweep[@]}" --json >>"$work/json.runs"
    measure "$work/summary" "$quilvane" "${sweep[@]}" -n 3 -t 100 --summary \
        >>"$work/summary.runs"
    measure "$work/metrics" "$quilvane" "${sweep[@]}" -n 3 -t 100 -l \
        --metrics "$work/sweep.prom" >>"$work/metrics.runs"
done
if command -v nmap >/dev/null; then
    measure "$work/nmap" nmap -n -sn -PE --min-rate 20000 -oX - 198.19.0.0/16 >>"$work/nmap.runs"
fi

printf '\n| Run (/16, 65,024 addresses, every other one answers) | CPU s | wall s | peak kB | lines |\n'
printf '| --- | --- | --- | --- | --- |\n'
for run in text json summary metrics nmap; do
    [ -f "$work/$run.runs" ] || continue
    case $run in
    text) name="\`-p 4096\`, the text" ;;
    json) name="\`-p 4096 --json\`" ;;
    summary) name="\`-p 4096 -n 3 --summary\`" ;;
    metrics) name="\`-p 4096 -n 3 --metrics FILE\`" ;;
    nmap) name="nmap \`-sn -PE --min-rate 20000 -oX -\` (one run)" ;;
    esac
    printf '| %s | %s | %s | %s | %s |\n' "$name" "$(column "$work/$run.runs" 1)" \
        "$(column "$work/$run.runs" 2)" "$(column "$work/$run.runs" 3)" \
        "$(column "$work/$run.runs" 4)"
done
text_cpu=$(column "$work/text.runs" 1)
json_cpu=$(column "$work/json.runs" 1)
printf '\nCPU of --json against the text: %s\n' "$(echo "scale=2; $json_cpu / $text_cpu" | bc)"
