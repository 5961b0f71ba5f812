#!/usr/bin/env bash
# Test bed for the bench: three network namespaces joined by veth pairs.
#
#   P-client [eth0] ---- [enp1s0f1] P-bench [enp1s0f0] ---- [eth0] P-server
#
# up      builds the rig (idempotent; converges to the options given)
# down    removes everything the rig made; missing pieces are ignored
# status  prints the rig as key=value lines; exit 1 when it is not up
#
# Options: --prefix P (default rb), --bridge (join the bench ports with a
# kernel bridge: the baseline), --drop PCT (bridge only: drop that share of
# RoCE frames at random).
set -euo pipefail

usage() {
    echo "usage: $0 up|down|status [--prefix P] [--bridge] [--drop PCT]" >&2
    exit 2
}

[ $# -ge 1 ] || usage
action=$1
shift
prefix=rb
bridge=0
drop=0
while [ $# -gt 0 ]; do
    case $1 in
    --prefix) [ $# -ge 2 ] || usage; prefix=$2; shift 2 ;;
    --bridge) bridge=1; shift ;;
    --drop) [ $# -ge 2 ] || usage; drop=$2; shift 2 ;;
    *) usage ;;
    esac
done
[[ $prefix =~ ^[A-Za-z0-9_]{1,20}$ ]] || { echo "testbed: bad prefix '$prefix'" >&2; exit 2; }
[[ $drop =~ ^[0-9]+$ ]] && [ "$drop" -le 100 ] || { echo "testbed: --drop takes 0..100" >&2; exit 2; }
if [ "$drop" -gt 0 ] && [ "$bridge" -eq 0 ]; then
    echo "testbed: --drop needs --bridge" >&2
    exit 2
fi

ns_client=$prefix-client
ns_bench=$prefix-bench
ns_server=$prefix-server
host_if=eth0
client_port=enp1s0f1
server_port=enp1s0f0
client_ip=10.47.0.1
server_ip=10.47.0.2
subnet_bits=24
# Locally administered, fixed so that tests can build frames in advance.
client_mac=02:47:00:00:00:01
server_mac=02:47:00:00:00:02
bench_client_mac=02:47:00:00:01:01
bench_server_mac=02:47:00:00:01:00
bridge_if=br0

in_ns() { ip netns exec "$1" "${@:2}"; }
ns_exists() { ip netns list | awk '{print $1}' | grep -qx "$1"; }
link_exists() { in_ns "$1" ip link show "$2" >/dev/null 2>&1; }

make_ns() {
    ns_exists "$1" || ip netns add "$1"
    in_ns "$1" ip link set lo up
    # Router solicitations and MLD reports would add frames nobody sent.
    in_ns "$1" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
}

make_veth() {  # make_veth <ns_a> <if_a> <ns_b> <if_b>
    if ! link_exists "$1" "$2"; then
        # A half-built pair from an interrupted run would block the name.
        in_ns "$3" ip link del "$4" 2>/dev/null || true
        ip link add "$2" netns "$1" type veth peer name "$4" netns "$3"
    fi
}

# Offloads would let captures show unsegmented or checksum-less frames that
# never exist on a real wire.
offloads_off() {  # offloads_off <ns> <if>
    local feature
    for feature in rx tx sg tso gso gro lro rxvlan txvlan ufo; do
        in_ns "$1" ethtool -K "$2" "$feature" off >/dev/null 2>&1 || true
    done
}

setup_port() {  # setup_port <ns> <if> <mac>
    in_ns "$1" ip link set "$2" address "$3"
    in_ns "$1" sysctl -qw "net.ipv6.conf.$2.disable_ipv6=1"
    offloads_off "$1" "$2"
    in_ns "$1" ip link set "$2" up
}

# The RoCE stack lives in user space (rocepeer); the kernel must neither
# answer RoCE packets with port-unreachable nor add other replies of its own.
quiet_host() {  # quiet_host <ns>
    in_ns "$1" nft -f - <<EOF
table inet rig
delete table inet rig
table inet rig {
    chain in {
        type filter hook input priority 0;
        udp dport 4791 drop
    }
    chain out {
        type filter hook output priority 0;
        icmp type destination-unreachable drop
    }
}
EOF
}

setup_host() {  # setup_host <ns> <ip> <peer_ip> <peer_mac>
    in_ns "$1" ip addr replace "$2/$subnet_bits" dev "$host_if"
    in_ns "$1" ip neigh replace "$3" lladdr "$4" dev "$host_if" nud permanent
    quiet_host "$1"
}

setup_bridge() {
    if [ "$bridge" -eq 1 ]; then
        link_exists "$ns_bench" "$bridge_if" ||
            in_ns "$ns_bench" ip link add "$bridge_if" type bridge stp_state 0 forward_delay 0
        # Snooping makes the bridge send IGMP reports of its own.
        in_ns "$ns_bench" ip link set "$bridge_if" type bridge mcast_snooping 0
        in_ns "$ns_bench" sysctl -qw "net.ipv6.conf.$bridge_if.disable_ipv6=1"
        in_ns "$ns_bench" ip link set "$client_port" master "$bridge_if"
        in_ns "$ns_bench" ip link set "$server_port" master "$bridge_if"
        in_ns "$ns_bench" ip link set "$bridge_if" up
    elif link_exists "$ns_bench" "$bridge_if"; then
        in_ns "$ns_bench" ip link del "$bridge_if"
    fi
}

setup_drop() {
    in_ns "$ns_bench" nft delete table bridge lossy 2>/dev/null || true
    [ "$drop" -gt 0 ] || return 0
    in_ns "$ns_bench" nft -f - <<EOF
table bridge lossy {
    chain forward {
        type filter hook forward priority 0;
        udp dport 4791 numgen random mod 100 < $drop drop
    }
}
EOF
}

up() {
    make_ns "$ns_client"
    make_ns "$ns_bench"
    make_ns "$ns_server"
    make_veth "$ns_client" "$host_if" "$ns_bench" "$client_port"
    make_veth "$ns_server" "$host_if" "$ns_bench" "$server_port"
    setup_port "$ns_client" "$host_if" "$client_mac"
    setup_port "$ns_server" "$host_if" "$server_mac"
    setup_port "$ns_bench" "$client_port" "$bench_client_mac"
    setup_port "$ns_bench" "$server_port" "$bench_server_mac"
    setup_host "$ns_client" "$client_ip" "$server_ip" "$server_mac"
    setup_host "$ns_server" "$server_ip" "$client_ip" "$client_mac"
    setup_bridge
    setup_drop
}

down() {
    local ns
    for ns in "$ns_client" "$ns_bench" "$ns_server"; do
        ip netns del "$ns" 2>/dev/null || true
    done
}

status() {
    local ns
    for ns in "$ns_client" "$ns_bench" "$ns_server"; do
        ns_exists "$ns" || { echo "testbed: namespace $ns missing" >&2; return 1; }
    done
    link_exists "$ns_bench" "$client_port" && link_exists "$ns_bench" "$server_port" ||
        { echo "testbed: bench ports missing" >&2; return 1; }
    local has_bridge=0 drop_rule=0
    link_exists "$ns_bench" "$bridge_if" && has_bridge=1
    drop_rule=$(in_ns "$ns_bench" nft list table bridge lossy 2>/dev/null |
        sed -n 's/.*mod 100 < \([0-9]*\) drop.*/\1/p' || true)
    cat <<EOF
prefix=$prefix
client_ns=$ns_client
bench_ns=$ns_bench
server_ns=$ns_server
client_if=$host_if
server_if=$host_if
client_ip=$client_ip
server_ip=$server_ip
client_mac=$client_mac
server_mac=$server_mac
bench_client_port=$client_port
bench_client_mac=$bench_client_mac
bench_server_port=$server_port
bench_server_mac=$bench_server_mac
bridge=$has_bridge
drop_percent=${drop_rule:-0}
EOF
}

case $action in
up)
    [ "$(id -u)" -eq 0 ] || { echo "testbed: needs root" >&2; exit 1; }
    up
    ;;
down) down ;;
status) status ;;
*) usage ;;
esac
