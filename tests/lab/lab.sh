#!/usr/bin/env bash
# Builds and removes the network lab of namespaces that the end-to-end tests run the program in.
#
#   lab.sh up SUFFIX          build the lab whose names end in SUFFIX, then print its facts
#   lab.sh down SUFFIX        remove it again (also a half-built one)
#   lab.sh info SUFFIX        print the facts (KEY=VALUE lines) without touching anything
#   lab.sh start STATE_FILE   pick a fresh suffix, remove the lab a stale STATE_FILE names,
#                             build a new lab and write its facts to STATE_FILE
#   lab.sh stop STATE_FILE    remove the lab that STATE_FILE names, and the file
#
# Layout (every IPv4 address lies in 198.18.0.0/15, the block set aside for network tests, and
# every IPv6 address in the project's own prefix fd00:5152::/48; each link has an IPv4 /24 and an
# IPv6 /64 whose numbers match, e.g. 198.18.4.0/24 and fd00:5152:4::/64):
#
#   client  198.18.1.1 ---- 198.18.1.2 alpha (also .3 to .6, all of 198.18.2.0/24, and the even
#                                            addresses of 198.19.0.0/16)
#           fd00:5152:1::1  fd00:5152:1::2     (also ::5, ::6 and all of fd00:5152:2::/64)
#           198.18.3.1 ---- 198.18.3.2 silent (kernel echo off, IPv4 and IPv6)
#           198.18.4.1 ---- 198.18.4.2 r1 198.18.5.1 ---- 198.18.5.2 r2 198.18.6.1 ---- far
#                                                                             198.18.6.2
#           (fd00:5152:4::1 -- ::2 r1 fd00:5152:5::1 -- ::2 r2 fd00:5152:6::1 -- ::2 far)
#           198.18.7.1 ---- 198.18.7.2 responder (kernel echo off; answers 198.18.8.0/24 and
#                                                 fd00:5152:8::/64)
#
# The client has routes to these subnets only and no default route, IPv4 or IPv6, so a target
# outside the lab fails at once with "Network is unreachable" and nothing leaves the machine.
# IPv6 addresses are usable at once (no duplicate address detection), and no host sends or
# heeds router advertisements. Names of the lab
# hosts live in /etc/netns/CLIENT/hosts, which `ip netns exec` puts in place of /etc/hosts; the
# client's resolver reads files only, so an unknown name fails at once as "host not found".
#
# -E: the clean-up trap of a failed build also fires for failures inside the helper functions.
set -Eeuo pipefail

die() {
    echo "lab.sh: $*" >&2
    exit 1
}

names_for() {
    local suffix=$1
    [[ $suffix =~ ^[a-z0-9]{1,10}$ ]] || die "suffix must be 1 to 10 lower-case letters or digits"
    CLIENT=qv-client-$suffix
    ALPHA=qv-alpha-$suffix
    SILENT=qv-silent-$suffix
    ROUTER1=qv-r1-$suffix
    ROUTER2=qv-r2-$suffix
    FAR=qv-far-$suffix
    RESPONDER=qv-resp-$suffix
    ALL_NAMESPACES=("$CLIENT" "$ALPHA" "$SILENT" "$ROUTER1" "$ROUTER2" "$FAR" "$RESPONDER")
    CLIENT_ETC=/etc/netns/$CLIENT
}

print_info() {
    local suffix=$1
    names_for "$suffix"
    cat <<EOF
SUFFIX=$suffix
CLIENT_NS=$CLIENT
ALPHA_NS=$ALPHA
SILENT_NS=$SILENT
ROUTER1_NS=$ROUTER1
ROUTER2_NS=$ROUTER2
FAR_NS=$FAR
RESPONDER_NS=$RESPONDER
CLIENT_ETC=$CLIENT_ETC
CLIENT_TO_ALPHA_IF=to-alpha
CLIENT_TO_SILENT_IF=to-silent
CLIENT_TO_ROUTER_IF=to-r1
CLIENT_TO_RESPONDER_IF=to-resp
ROUTER2_FORWARD_IF=to-far
CLIENT_ALPHA_ADDR=198.18.1.1
ALPHA_ADDR=198.18.1.2
ALPHA_ADDR2=198.18.1.3
ALPHA_ADDR3=198.18.1.4
ALPHA_BLOCK=198.18.2.0/24
WIDE_BLOCK=198.19.0.0/16
WIDE_TABLE=qvwide
ALPHA_NAME=alpha
ALPHA_FQDN=alpha.lab.test
ALPHA2_FQDN=alpha-b.lab.test
SILENT_ADDR=198.18.3.2
SILENT_NAME=silent
SILENT_FQDN=silent.lab.test
CLIENT_ROUTER_ADDR=198.18.4.1
ROUTER1_IN_ADDR=198.18.4.2
ROUTER1_OUT_ADDR=198.18.5.1
ROUTER2_IN_ADDR=198.18.5.2
ROUTER2_OUT_ADDR=198.18.6.1
FAR_ADDR=198.18.6.2
FAR_NAME=far
FAR_FQDN=far.lab.test
CLIENT_RESPONDER_ADDR=198.18.7.1
RESPONDER_ADDR=198.18.7.2
RESPONDER_BLOCK=198.18.8.0/24
RESPONDER_BLOCK6=fd00:5152:8::/64
OUTSIDE_ADDR=198.18.255.254
UNKNOWN_NAME=nosuchhost.lab.test
CLIENT_ALPHA_ADDR6=fd00:5152:1::1
ALPHA_ADDR6=fd00:5152:1::2
ALPHA_BLOCK6=fd00:5152:2::/64
ALPHA_TO_CLIENT_IF=to-client
ALPHA6_NAME=alpha6
ALPHA6_FQDN=alpha6.lab.test
DUAL_FQDN=dual.lab.test
DUAL_ADDR=198.18.1.5
DUAL_ADDR6=fd00:5152:1::5
DUAL2_FQDN=dual-b.lab.test
DUAL2_ADDR=198.18.1.6
DUAL2_ADDR6=fd00:5152:1::6
CLIENT_SILENT_ADDR6=fd00:5152:3::1
SILENT_ADDR6=fd00:5152:3::2
CLIENT_ROUTER_ADDR6=fd00:5152:4::1
ROUTER1_IN_ADDR6=fd00:5152:4::2
ROUTER1_OUT_ADDR6=fd00:5152:5::1
ROUTER2_IN_ADDR6=fd00:5152:5::2
ROUTER2_OUT_ADDR6=fd00:5152:6::1
FAR_ADDR6=fd00:5152:6::2
FAR6_NAME=far6
FAR6_FQDN=far6.lab.test
CLIENT_RESPONDER_ADDR6=fd00:5152:7::1
RESPONDER_ADDR6=fd00:5152:7::2
OUTSIDE_ADDR6=fd00:5152:ff::1
EOF
}

in_ns() {
    local ns=$1
    shift
    ip netns exec "$ns" "$@"
}

set_sysctl() {
    local ns=$1 key=$2 value=$3
    in_ns "$ns" sysctl -q -w "$key=$value" >/dev/null
}

# IPv6 on, with addresses usable at once (no duplicate address detection to wait for) and no
# router advertisements sent, heeded or solicited: every route is set by hand. The defaults apply
# to the links made afterwards.
enable_ipv6() {
    local ns=$1 scope
    for scope in all default; do
        set_sysctl "$ns" "net.ipv6.conf.$scope.disable_ipv6" 0
        set_sysctl "$ns" "net.ipv6.conf.$scope.accept_dad" 0
        set_sysctl "$ns" "net.ipv6.conf.$scope.accept_ra" 0
        set_sysctl "$ns" "net.ipv6.conf.$scope.autoconf" 0
        set_sysctl "$ns" "net.ipv6.conf.$scope.router_solicitations" 0
    done
}

# A veth pair straight into two namespaces, addressed (IPv4, and IPv6 without duplicate address
# detection) and up.
link() {
    local ns_a=$1 if_a=$2 addr_a=$3 addr6_a=$4 ns_b=$5 if_b=$6 addr_b=$7 addr6_b=$8
    ip -n "$ns_a" link add "$if_a" type veth peer name "$if_b" netns "$ns_b"
    ip -n "$ns_a" addr add "$addr_a" dev "$if_a"
    ip -n "$ns_b" addr add "$addr_b" dev "$if_b"
    ip -n "$ns_a" -6 addr add "$addr6_a" dev "$if_a" nodad
    ip -n "$ns_b" -6 addr add "$addr6_b" dev "$if_b" nodad
    ip -n "$ns_a" link set "$if_a" up
    ip -n "$ns_b" link set "$if_b" up
}

write_client_files() {
    mkdir -p "$CLIENT_ETC"
    cat >"$CLIENT_ETC/hosts" <<'EOF'
127.0.0.1	localhost
198.18.1.2	alpha.lab.test alpha
198.18.1.3	alpha-b.lab.test alpha-b
198.18.3.2	silent.lab.test silent
198.18.4.2	r1-in.lab.test
198.18.5.1	r1.lab.test
198.18.6.1	r2.lab.test
198.18.6.2	far.lab.test far
198.18.7.2	responder.lab.test responder
fd00:5152:1::2	alpha6.lab.test alpha6
fd00:5152:6::2	far6.lab.test far6
198.18.1.5	dual.lab.test
fd00:5152:1::5	dual.lab.test
fd00:5152:1::6	dual-b.lab.test
198.18.1.6	dual-b.lab.test
EOF
    # Lab names only: no query may leave for a name server outside the lab.
    sed -e 's/^hosts:.*/hosts:          files/' /etc/nsswitch.conf >"$CLIENT_ETC/nsswitch.conf"
    if ! grep -q '^hosts:' "$CLIENT_ETC/nsswitch.conf"; then
        echo 'hosts:          files' >>"$CLIENT_ETC/nsswitch.conf"
    fi
    : >"$CLIENT_ETC/resolv.conf"
}

lab_up() {
    local suffix=$1
    names_for "$suffix"
    for ns in "${ALL_NAMESPACES[@]}"; do
        [ -e "/var/run/netns/$ns" ] && die "namespace $ns exists already"
    done
    # Whatever fails from here on, nothing of the half-built lab stays behind.
    trap 'lab_down "$suffix" >/dev/null 2>&1 || true' ERR
    for ns in "${ALL_NAMESPACES[@]}"; do
        ip netns add "$ns"
        enable_ipv6 "$ns"
        ip -n "$ns" link set lo up
    done

    link "$CLIENT" to-alpha 198.18.1.1/24 fd00:5152:1::1/64 \
        "$ALPHA" to-client 198.18.1.2/24 fd00:5152:1::2/64
    local extra
    for extra in 198.18.1.3 198.18.1.4 198.18.1.5 198.18.1.6; do
        ip -n "$ALPHA" addr add "$extra/24" dev to-client
    done
    for extra in fd00:5152:1::5 fd00:5152:1::6; do
        ip -n "$ALPHA" -6 addr add "$extra/64" dev to-client nodad
    done
    # The whole block answers without 254 addresses of its own (a local route); so does an IPv6
    # /64 for ranges.
    ip -n "$ALPHA" route add local 198.18.2.0/24 dev lo
    ip -n "$CLIENT" route add 198.18.2.0/24 via 198.18.1.2
    ip -n "$ALPHA" -6 route add local fd00:5152:2::/64 dev lo
    ip -n "$CLIENT" -6 route add fd00:5152:2::/64 via fd00:5152:1::2
    # A /16 for many requests in flight: alpha answers every even address of it, and the odd ones
    # are silent (dropped on arrival, so no ICMP error comes back either).
    ip -n "$ALPHA" route add local 198.19.0.0/16 dev lo
    ip -n "$CLIENT" route add 198.19.0.0/16 via 198.18.1.2
    ip netns exec "$ALPHA" nft -f - <<'NFT'
table ip qvwide {
 chain input {
  type filter hook input priority 0;
  ip daddr 198.19.0.0/16 ip daddr & 0.0.0.1 == 0.0.0.1 icmp type echo-request drop
 }
}
NFT

    link "$CLIENT" to-silent 198.18.3.1/24 fd00:5152:3::1/64 \
        "$SILENT" to-client 198.18.3.2/24 fd00:5152:3::2/64
    set_sysctl "$SILENT" net.ipv4.icmp_echo_ignore_all 1
    set_sysctl "$SILENT" net.ipv6.icmp.echo_ignore_all 1

    link "$CLIENT" to-r1 198.18.4.1/24 fd00:5152:4::1/64 \
        "$ROUTER1" to-client 198.18.4.2/24 fd00:5152:4::2/64
    link "$ROUTER1" to-r2 198.18.5.1/24 fd00:5152:5::1/64 \
        "$ROUTER2" to-r1 198.18.5.2/24 fd00:5152:5::2/64
    link "$ROUTER2" to-far 198.18.6.1/24 fd00:5152:6::1/64 \
        "$FAR" to-r2 198.18.6.2/24 fd00:5152:6::2/64
    ip -n "$CLIENT" route add 198.18.5.0/24 via 198.18.4.2
    ip -n "$CLIENT" route add 198.18.6.0/24 via 198.18.4.2
    ip -n "$ROUTER1" route add 198.18.6.0/24 via 198.18.5.2
    ip -n "$ROUTER2" route add 198.18.4.0/24 via 198.18.5.1
    ip -n "$FAR" route add 198.18.4.0/24 via 198.18.6.1
    ip -n "$FAR" route add 198.18.5.0/24 via 198.18.6.1
    ip -n "$CLIENT" -6 route add fd00:5152:5::/64 via fd00:5152:4::2
    ip -n "$CLIENT" -6 route add fd00:5152:6::/64 via fd00:5152:4::2
    ip -n "$ROUTER1" -6 route add fd00:5152:6::/64 via fd00:5152:5::2
    ip -n "$ROUTER2" -6 route add fd00:5152:4::/64 via fd00:5152:5::1
    ip -n "$FAR" -6 route add fd00:5152:4::/64 via fd00:5152:6::1
    ip -n "$FAR" -6 route add fd00:5152:5::/64 via fd00:5152:6::1
    for router in "$ROUTER1" "$ROUTER2"; do
        set_sysctl "$router" net.ipv4.ip_forward 1
        set_sysctl "$router" net.ipv6.conf.all.forwarding 1
        # By default only a few of many time-exceeded messages would come back.
        set_sysctl "$router" net.ipv4.icmp_ratelimit 0
        set_sysctl "$router" net.ipv6.icmp.ratelimit 0
    done

    link "$CLIENT" to-resp 198.18.7.1/24 fd00:5152:7::1/64 \
        "$RESPONDER" to-client 198.18.7.2/24 fd00:5152:7::2/64
    set_sysctl "$RESPONDER" net.ipv4.icmp_echo_ignore_all 1
    set_sysctl "$RESPONDER" net.ipv6.icmp.echo_ignore_all 1
    ip -n "$RESPONDER" route add local 198.18.8.0/24 dev lo
    ip -n "$CLIENT" route add 198.18.8.0/24 via 198.18.7.2
    ip -n "$RESPONDER" -6 route add local fd00:5152:8::/64 dev lo
    ip -n "$CLIENT" -6 route add fd00:5152:8::/64 via fd00:5152:7::2

    # Ping sockets allowed in the client for everyone; tests that need them refused say so.
    set_sysctl "$CLIENT" net.ipv4.ping_group_range "0 2147483647"
    write_client_files
    trap - ERR

    print_info "$suffix"
}

lab_down() {
    local suffix=$1
    names_for "$suffix"
    local status=0
    for ns in "${ALL_NAMESPACES[@]}"; do
        [ -e "/var/run/netns/$ns" ] || continue
        # Helpers a test left running inside (responders, captures) go with the lab.
        local pids
        pids=$(ip netns pids "$ns" 2>/dev/null || true)
        if [ -n "$pids" ]; then
            # shellcheck disable=SC2086
            kill -KILL $pids 2>/dev/null || true
        fi
        ip netns del "$ns" || status=1
    done
    rm -rf "$CLIENT_ETC"
    rmdir /etc/netns 2>/dev/null || true
    return $status
}

require_root() {
    [ "$(id -u)" -eq 0 ] || die "the lab needs root (network namespaces)"
}

state_suffix() {
    local file=$1
    [ -f "$file" ] || return 0
    sed -n 's/^SUFFIX=//p' "$file" | head -n 1
}

[ $# -eq 2 ] || die "usage: lab.sh up|down|info SUFFIX, or lab.sh start|stop STATE_FILE"
command=$1
argument=$2
case $command in
    up)
        require_root
        lab_up "$argument"
        ;;
    down)
        require_root
        lab_down "$argument"
        ;;
    info)
        print_info "$argument"
        ;;
    start)
        require_root
        stale=$(state_suffix "$argument")
        if [ -n "$stale" ]; then
            lab_down "$stale" || true
        fi
        suffix=$(od -An -N4 -tx4 /dev/urandom | tr -d ' \n')
        mkdir -p "$(dirname "$argument")"
        # The suffix is on record before anything is built, so that `stop` removes even a lab
        # whose start was killed half-way (a time-out).
        echo "SUFFIX=$suffix" >"$argument"
        lab_up "$suffix" >"$argument.tmp"
        mv "$argument.tmp" "$argument"
        cat "$argument"
        ;;
    stop)
        require_root
        suffix=$(state_suffix "$argument")
        [ -n "$suffix" ] || exit 0
        lab_down "$suffix"
        rm -f "$argument" "$argument.tmp"
        ;;
    *)
        die "unknown command $command"
        ;;
esac
