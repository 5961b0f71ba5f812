#!/usr/bin/env bash
# Runs the bench between a simulated RoCE v2 client and server: builds everything, brings up
# the test bed (client, bench and server namespaces), then sends RDMA SEND messages from the
# client to the server first through wirewatch (verification) and then through wirebend (10 %
# drop, 10 % delay of 5 to 20 ms, 10 % reorder), and shows what each program printed and
# logged. The test bed is removed at the end, also on failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

"$root/scripts/install-deps.sh"
echo "building the programs and the RoCE peer ..."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target wirewatch wirebend rocepeer >/dev/null

prefix=demo
testbed() { "$root/scripts/testbed.sh" "$@" --prefix "$prefix"; }
work=$(mktemp -d /tmp/bench-demo-XXXXXX)
cleanup() {
    [ -n "${bench_pid:-}" ] && kill "$bench_pid" 2>/dev/null || true
    exec 3>&- 2>/dev/null || true
    testbed down >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
echo "bringing up the test bed: namespaces $prefix-client, $prefix-bench, $prefix-server"
testbed up >/dev/null
eval "$(testbed status | grep -E '^(server_ip|server_mac|client_ip)=')"

peer=$root/build/tools/rocepeer/rocepeer
qp_client=0x11
qp_server=0x12

# run_bench <title> <program> <log file> <args...>: the program runs in the bench namespace until its
# input closes; meanwhile the client sends 20 messages of 3000 bytes (three packets each)
# starting just below the 24-bit PSN wrap.
run_bench() {
    local title=$1 program=$2 log=$3
    shift 3
    echo
    echo "=================== $title"
    mkfifo "$work/in.$program"
    (cd "$work" && exec ip netns exec "$prefix-bench" "$root/build/apps/$program/$program" "$@" \
        <"$work/in.$program" >"$work/out.$program" 2>&1) &
    bench_pid=$!
    exec 3>"$work/in.$program"
    until grep -q "STARTED" "$work/out.$program" 2>/dev/null; do
        kill -0 "$bench_pid" 2>/dev/null || { cat "$work/out.$program"; exit 1; }
        sleep 0.1
    done
    ip netns exec "$prefix-server" "$peer" respond --dev eth0 --qp "$qp_server" \
        --peer-qp "$qp_client" --psn 0xfffff0 --idle-ms 3000 >"$work/respond.$program" &
    local responder=$!
    sleep 0.3
    ip netns exec "$prefix-client" "$peer" request --dev eth0 --peer-mac "$server_mac" \
        --peer-ip "$server_ip" --src-ip "$client_ip" --qp "$qp_client" --peer-qp "$qp_server" \
        --psn 0xfffff0 --count 20 --size 3000 --mtu 1024 --limit-ms 20000 || true
    kill "$responder" 2>/dev/null || true
    wait "$responder" 2>/dev/null || true
    exec 3>&-
    local status=0
    wait "$bench_pid" || status=$?
    bench_pid=
    echo "--- $program output (exit status $status)"
    cat "$work/out.$program"
    echo "--- first lines of its log"
    head -n 8 "$work/$log" 2>/dev/null || true
}

run_bench "wirewatch: verify every RoCE packet" wirewatch verifier_log.txt "$qp_client" "$qp_server"
run_bench "wirebend: drop, delay and reorder client packets" wirebend Log.txt 70 10 10 10 5 20
