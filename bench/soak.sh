#!/usr/bin/env bash
# Long run of midwire under steady faulted traffic, watching its memory, threads and open files.
#
#   bench/soak.sh [--minutes M] [--rate PPS] [--weights "90 4 3 3 90 4 3 3"] [--build DIR]
#
# The client sends RoCE frames at a steady rate, each acknowledged by the server, through midwire
# with faults in both directions. Every 10 s the script samples midwire's resident memory,
# threads and open file descriptors; at the end it stops midwire as an operator would and checks
# that it ended with status 8 and complete reports. Needs root; not part of the test command.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
prefix=soak
minutes=10
rate=1000
weights="90 4 3 3 90 4 3 3"

usage() {
    echo "usage: $0 [--minutes M] [--rate PPS] [--weights \"W1 .. W8\"] [--build DIR]" \
        "[--prefix P]" >&2
    exit 2
}
while [ $# -gt 0 ]; do
    case $1 in
    --minutes) [ $# -ge 2 ] || usage; minutes=$2; shift 2 ;;
    --rate) [ $# -ge 2 ] || usage; rate=$2; shift 2 ;;
    --weights) [ $# -ge 2 ] || usage; weights=$2; shift 2 ;;
    --build) [ $# -ge 2 ] || usage; build=$2; shift 2 ;;
    --prefix) [ $# -ge 2 ] || usage; prefix=$2; shift 2 ;;
    *) usage ;;
    esac
done
[ "$(id -u)" -eq 0 ] || { echo "soak: needs root" >&2; exit 1; }
rocepeer=$build/tools/rocepeer/rocepeer
midwire=$build/apps/midwire/midwire
for program in "$rocepeer" "$midwire"; do
    [ -x "$program" ] || { echo "soak: no $program (build first, or give --build)" >&2; exit 1; }
done

testbed=$root/scripts/testbed.sh
scratch=$(mktemp -d /tmp/soak.XXXXXX)
pids=()
cleanup() {
    exec 9>&- 2>/dev/null || true
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    "$testbed" down --prefix "$prefix" >/dev/null 2>&1 || true
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# wait_for <text> <file> <shown on failure>: waits up to 10 s for <text> in <file>.
wait_for() {
    for _ in $(seq 100); do
        grep -q "$1" "$2" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "soak: no \"$1\" in $2:" >&2
    cat "$3" >&2
    exit 1
}

"$testbed" up --prefix "$prefix" >/dev/null
seconds=$((minutes * 60))

mkfifo "$scratch/stdin"
# shellcheck disable=SC2086 # the weights are eight words
(cd "$scratch" && exec ip netns exec "$prefix-bench" "$midwire" 11 12 $weights \
    <"$scratch/stdin" >"$scratch/midwire.out" 2>"$scratch/midwire.err") &
bench_pid=$!
pids+=("$bench_pid")
exec 9>"$scratch/stdin"
wait_for STARTED "$scratch/midwire.out" "$scratch/midwire.err"

ip netns exec "$prefix-server" "$rocepeer" rate-recv --dev eth0 --ack --idle-ms 5000 \
    --seconds $((seconds + 30)) >"$scratch/recv.out" &
pids+=($!)
wait_for ready "$scratch/recv.out" "$scratch/recv.out"
ip netns exec "$prefix-client" "$rocepeer" rate-send --dev eth0 --peer-mac 02:47:00:00:00:02 \
    --peer-ip 10.47.0.2 --rate "$rate" --frame-size 1100 --seconds "$seconds" \
    >"$scratch/send.out" &
sender=$!
pids+=("$sender")

status_field() {  # status_field <key>: a number from midwire's /proc status
    awk -v key="$1:" '$1 == key {print $2}' "/proc/$bench_pid/status"
}
echo "elapsed_s rss_kb threads fds log_bytes"
samples=$scratch/samples
start=$(date +%s)
while kill -0 "$sender" 2>/dev/null; do
    elapsed=$(($(date +%s) - start))
    echo "$elapsed $(status_field VmRSS) $(status_field Threads)" \
        "$(ls "/proc/$bench_pid/fd" | wc -l) $(stat -c %s "$scratch/verifier_log.txt")" |
        tee -a "$samples"
    sleep 10
done
wait "$sender" || true
exec 9>&-
status=0
wait "$bench_pid" || status=$?

echo "--- sender: $(cat "$scratch/send.out")"
echo "--- receiver: $(tail -1 "$scratch/recv.out")"
echo "--- midwire exit status $status; stderr:"
cat "$scratch/midwire.err"
sed -n '/Client Modifier/,$p' "$scratch/midwire.out"
# Memory after the first minute (buffers warmed up) against the last sample.
awk 'NR == 1 {first = $2} $1 >= 60 && !warm {warm = $2} {last = $2}
     END {printf "rss_kb first=%d after_1min=%d last=%d\n", first, warm, last}' "$samples"
[ "$status" -eq 8 ] && grep -q '^\*\*\*THE END\*\*\*$' "$scratch/midwire.out"
