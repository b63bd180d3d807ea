# shellcheck shell=bash
# What the lab benchmarks share: their checks, the build of the program, the median of runs.
# Sourced by a benchmark after it set root (the source tree); messages carry the script's name.

die() {
    echo "$(basename "$0"): $*" >&2
    exit 1
}

# Root, for network namespaces, and the tools named.
need_root_and_tools() {
    [ "$(id -u)" -eq 0 ] || die "the lab needs root (network namespaces)"
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || die "$tool is missing (tools/install-dependencies)"
    done
}

# The program, built as the benchmarks measure it (no tests), into the folder given.
build_program() {
    cmake -S "$root" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILVANE_TESTS=OFF \
        >/dev/null
    cmake --build "$1" --target quilvane >/dev/null
}

# The median of the numbers on standard input, one a line.
median() {
    sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
