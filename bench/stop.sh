#!/usr/bin/env bash
# How long a program takes to stop while both of its ports are flooded.
#
#   bench/stop.sh --target "$PWD/build/apps/midwire/midwire 11 12 100 0 0 0 100 0 0 0"
#
# Starts the target (an absolute path: it runs in a scratch folder) in the bench namespace,
# floods it from the client and the server with RoCE frames for six seconds, presses its key
# (a character on stdin) in the middle of the flood, and prints the time from the key to the
# end of the process, its exit status and what it reported on stderr.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
target=
build=$root/build
prefix=stopb
rate=400000
flood_seconds=6
frame_size=1100
runs=3

usage() {
    echo "usage: $0 --target COMMAND [--build DIR] [--prefix P] [--rate PPS] [--runs N]" >&2
    exit 2
}
while [ $# -gt 0 ]; do
    case $1 in
    --target) [ $# -ge 2 ] || usage; target=$2; shift 2 ;;
    --build) [ $# -ge 2 ] || usage; build=$2; shift 2 ;;
    --prefix) [ $# -ge 2 ] || usage; prefix=$2; shift 2 ;;
    --rate) [ $# -ge 2 ] || usage; rate=$2; shift 2 ;;
    --runs) [ $# -ge 2 ] || usage; runs=$2; shift 2 ;;
    --frame-size) [ $# -ge 2 ] || usage; frame_size=$2; shift 2 ;;
    *) usage ;;
    esac
done
[ -n "$target" ] || usage
[ "$(id -u)" -eq 0 ] || { echo "stop: needs root" >&2; exit 1; }
rocepeer=$build/tools/rocepeer/rocepeer
[ -x "$rocepeer" ] || { echo "stop: no $rocepeer (build first, or give --build)" >&2; exit 1; }

testbed=$root/scripts/testbed.sh
scratch=$(mktemp -d /tmp/stopbench.XXXXXX)
cleanup() {
    exec 9>&- 2>/dev/null || true
    pkill -f "$scratch" 2>/dev/null || true
    "$testbed" down --prefix "$prefix" >/dev/null 2>&1 || true
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
"$testbed" up --prefix "$prefix" >/dev/null

flood() {  # flood <from-namespace> <peer-mac> <peer-ip>
    ip netns exec "$1" "$rocepeer" rate-send --dev eth0 --peer-mac "$2" --peer-ip "$3" \
        --rate "$rate" --frame-size "$frame_size" --seconds "$flood_seconds" >/dev/null 2>&1 &
}

for run in $(seq "$runs"); do
    rm -f "$scratch/stdin"
    mkfifo "$scratch/stdin"
    (cd "$scratch" && exec ip netns exec "$prefix-bench" sh -c "exec $target" \
        <"$scratch/stdin" >"$scratch/out" 2>"$scratch/err") &
    pid=$!
    exec 9>"$scratch/stdin"
    sleep 1
    flood "$prefix-client" 02:47:00:00:00:02 10.47.0.2
    flood "$prefix-server" 02:47:00:00:00:01 10.47.0.1
    sleep $((flood_seconds / 2))
    start=$(date +%s%N)
    echo >&9
    status=0
    wait "$pid" || status=$?
    end=$(date +%s%N)
    exec 9>&-
    wait
    echo "run $run: stopped in $(((end - start) / 1000000)) ms, exit $status"
    sed 's/^/  stderr: /' "$scratch/err"
done
