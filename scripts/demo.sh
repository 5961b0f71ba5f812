#!/usr/bin/env bash
# Runs the full bench between a simulated RoCE v2 client and server: installs what is missing,
# builds, brings up the test bed (client, bench and server namespaces), starts the responder on
# the server, runs midwire on the bench with faults in both directions, sends RDMA SEND
# messages from the client, stops midwire when the client is done, and shows what each side
# printed and a few lines of the bench's log. midwire's capture file and the PSN timeline drawn
# from it are kept in build/demo. The test bed is removed at the end, also on failure.
#
#   scripts/demo.sh         midwire (verification and faults in both directions)
#   scripts/demo.sh all     then wirewatch (verification only) and wirebend (faults only) too
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
case ${1:-midwire} in
midwire | all) which=${1:-midwire} ;;
*) echo "usage: $0 [all]" >&2; exit 2 ;;
esac

"$root/scripts/install-deps.sh"
echo "building the programs and the RoCE peer ..."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target midwire wirewatch wirebend rocepeer >/dev/null

prefix=demo
testbed() { "$root/scripts/testbed.sh" "$@" --prefix "$prefix"; }
work=$(mktemp -d /tmp/bench-demo-XXXXXX)
cleanup() {
    exec 3>&- 2>/dev/null || true
    for pid in ${bench_pid:-} ${responder_pid:-}; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    testbed down >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'echo "interrupted" >&2; exit 130' INT TERM
echo "bringing up the test bed: namespaces $prefix-client, $prefix-bench, $prefix-server"
testbed up >/dev/null
eval "$(testbed status | grep -E '^(server_ip|server_mac|client_ip)=')"

peer=$root/build/tools/rocepeer/rocepeer
qp_client=0x11
qp_server=0x12
psn=0xfffff0
failed=

# wait_for <what> <text> <file> <pid>: waits up to 10 s for <text> in <file> while <pid> runs.
wait_for() {
    local what=$1 text=$2 file=$3 pid=$4
    for _ in $(seq 100); do
        grep -q "$text" "$file" 2>/dev/null && return 0
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "$what did not start:" >&2
    cat "$file" >&2
    exit 1
}

# run_bench <title> <program> <log file> <args...>: the responder waits on the server, the
# program runs in the bench namespace until its input closes, and meanwhile the client sends
# 20 messages of 3000 bytes (three packets each) starting just below the 24-bit PSN wrap.
run_bench() {
    local title=$1 program=$2 log=$3
    shift 3
    echo
    echo "=================== $title"
    echo "\$ $program $*"
    ip netns exec "$prefix-server" "$peer" respond --dev eth0 --qp "$qp_server" \
        --peer-qp "$qp_client" --psn "$psn" --idle-ms 3000 >"$work/respond.$program" &
    responder_pid=$!
    wait_for "the responder" ready "$work/respond.$program" "$responder_pid"
    mkfifo "$work/in.$program"
    (cd "$work" && exec ip netns exec "$prefix-bench" "$root/build/apps/$program/$program" "$@" \
        <"$work/in.$program" >"$work/out.$program" 2>&1) &
    bench_pid=$!
    exec 3>"$work/in.$program"
    wait_for "$program" STARTED "$work/out.$program" "$bench_pid"
    echo "--- client (requester)"
    local request=0
    ip netns exec "$prefix-client" "$peer" request --dev eth0 --peer-mac "$server_mac" \
        --peer-ip "$server_ip" --src-ip "$client_ip" --qp "$qp_client" --peer-qp "$qp_server" \
        --psn "$psn" --count 20 --size 3000 --mtu 1024 --limit-ms 20000 || request=$?
    [ "$request" -eq 0 ] || failed="the requester of the $program run failed"
    # The key press that stops the bench.
    exec 3>&-
    local status=0
    wait "$bench_pid" || status=$?
    bench_pid=
    kill "$responder_pid" 2>/dev/null || true
    wait "$responder_pid" 2>/dev/null || true
    responder_pid=
    echo "--- server (responder)"
    cat "$work/respond.$program"
    echo "--- $program output (exit status $status)"
    cat "$work/out.$program"
    echo "--- $log: $(grep -c '^\[\|^op:' "$work/$log" 2>/dev/null || true) packet lines; the first ones"
    head -n 8 "$work/$log" 2>/dev/null || true
}

run_bench "midwire: verify every RoCE packet under the rc rules; faults both ways (the server's packets not reordered), and PSN 0xfffff5 dropped once" \
    midwire verifier_log.txt --rules rc --fault psn=0xfffff5,action=drop --summary summary.json \
    --pcap capture.pcapng "$qp_client" "$qp_server" 80 10 5 5 85 10 5 0
echo "--- summary.json: the aimed fault's firing"
/usr/bin/python3 -c 'import json, sys
for firing in json.load(open(sys.argv[1]))["faults"]["firings"]:
    print(json.dumps(firing))' "$work/summary.json" || failed="the summary could not be read"
kept=$root/build/demo
mkdir -p "$kept"
cp "$work/capture.pcapng" "$kept/capture.pcapng" || failed="midwire wrote no capture file"
echo "--- the capture file and its PSN timeline"
if /usr/bin/python3 "$root/tools/roceplot/roceplot" "$kept/capture.pcapng" \
    "$kept/psn-timeline.png" && /usr/bin/python3 "$root/tools/roceplot/roceplot" --summary \
    "$kept/capture.pcapng"; then
    echo "capture: $kept/capture.pcapng (tshark -r or any pcapng reader)"
    echo "plot:    $kept/psn-timeline.png"
else
    failed="the PSN timeline could not be drawn"
fi
if [ "$which" = all ]; then
    run_bench "wirewatch: verify every RoCE packet" wirewatch verifier_log.txt \
        "$qp_client" "$qp_server"
    run_bench "wirebend: drop, delay and reorder client packets" wirebend Log.txt \
        70 10 10 10 5 20
fi
if [ -n "$failed" ]; then
    echo "demo: $failed" >&2
    exit 1
fi
