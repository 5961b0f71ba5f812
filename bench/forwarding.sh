#!/usr/bin/env bash
# Forwarding benchmark of whatever joins the bench's two ports.
#
#   bench/forwarding.sh --target bridge
#   bench/forwarding.sh --target "build/apps/wirewatch/wirewatch 11 12"
#
# "bridge" is the kernel-bridge baseline. Any other target is a command started
# inside the bench namespace (working directory: a scratch folder) with its
# stdin held open; closing stdin stops it.
#
# Measures, with rocepeer as client and server:
#   - the highest loss-free rate of RoCE frames (client to server, every frame
#     acknowledged back), searched over rates, each step --step-seconds long;
#   - the request/acknowledge round trip (median, p99) at a light load;
#   - CPU of the target program idle and under 50k frames/s (from /proc/<pid>/stat).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
target=
build=$root/build
prefix=fwb
frame_size=1100
step_seconds=3
max_rate=400000
load_rate=50000

usage() {
    echo "usage: $0 --target bridge|COMMAND [--build DIR] [--prefix P] [--frame-size B]" \
        "[--step-seconds S] [--max-rate PPS]" >&2
    exit 2
}
while [ $# -gt 0 ]; do
    case $1 in
    --target) [ $# -ge 2 ] || usage; target=$2; shift 2 ;;
    --build) [ $# -ge 2 ] || usage; build=$2; shift 2 ;;
    --prefix) [ $# -ge 2 ] || usage; prefix=$2; shift 2 ;;
    --frame-size) [ $# -ge 2 ] || usage; frame_size=$2; shift 2 ;;
    --step-seconds) [ $# -ge 2 ] || usage; step_seconds=$2; shift 2 ;;
    --max-rate) [ $# -ge 2 ] || usage; max_rate=$2; shift 2 ;;
    *) usage ;;
    esac
done
[ -n "$target" ] || usage
[ "$(id -u)" -eq 0 ] || { echo "forwarding: needs root" >&2; exit 1; }
rocepeer=$build/tools/rocepeer/rocepeer
[ -x "$rocepeer" ] || { echo "forwarding: no $rocepeer (build first, or give --build)" >&2; exit 1; }

testbed=$root/scripts/testbed.sh
client=$prefix-client
server=$prefix-server
bench=$prefix-bench
server_mac=02:47:00:00:00:02
server_ip=10.47.0.2
scratch=$(mktemp -d /tmp/forwarding.XXXXXX)
target_pid=

stop_target() {
    [ -n "$target_pid" ] || return 0
    exec 9>&- || true
    for _ in $(seq 50); do
        kill -0 "$target_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill "$target_pid" 2>/dev/null || true
    wait "$target_pid" 2>/dev/null || true
    target_pid=
    # The program's own loss report, if it lost anything.
    grep -E "dropped|could not be sent|not parsable|abandoned" "$scratch/target.out" |
        sed 's/^/  target reported: /' >&2 || true
}

cleanup() {
    stop_target
    "$testbed" down --prefix "$prefix"
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_target() {
    mkfifo "$scratch/stdin"
    (cd "$scratch" && exec ip netns exec "$bench" sh -c "exec $target" \
        <"$scratch/stdin" >"$scratch/target.out" 2>&1) &
    target_pid=$!
    # Holding the write end open keeps the program's stdin from reaching EOF.
    exec 9>"$scratch/stdin"
    sleep 2
    kill -0 "$target_pid" 2>/dev/null ||
        { echo "forwarding: target ended at once:" >&2; cat "$scratch/target.out" >&2; exit 1; }
}

cpu_ticks() {  # utime + stime of the target (and its threads)
    awk '{print $14 + $15}' "/proc/$1/stat"
}

# Share of one core the target used over the next $1 seconds, in percent.
cpu_percent() {
    local before after hz
    hz=$(getconf CLK_TCK)
    before=$(cpu_ticks "$target_pid")
    sleep "$1"
    after=$(cpu_ticks "$target_pid")
    echo "$(((after - before) * 100 / hz / $1))"
}

field() {  # field <key> <text>
    sed -n "s/.*[ ]$1=\([^ ]*\).*/\1/p" <<<"$2" | head -1
}

# One step at a given rate; prints "sent acks asked received achieved".
run_step() {
    local rate=$1 receiver_out="$scratch/recv.out" send_out
    ip netns exec "$server" "$rocepeer" rate-recv --dev eth0 --ack --idle-ms 1000 \
        --seconds $((step_seconds + 10)) >"$receiver_out" &
    local receiver=$!
    for _ in $(seq 100); do
        grep -q ready "$receiver_out" 2>/dev/null && break
        sleep 0.05
    done
    send_out=$(ip netns exec "$client" "$rocepeer" rate-send --dev eth0 --peer-mac "$server_mac" \
        --peer-ip "$server_ip" --rate "$rate" --frame-size "$frame_size" --seconds "$step_seconds")
    wait "$receiver"
    local received
    received=$(field received "$(tail -1 "$receiver_out")")
    echo "$(field sent "$send_out") $(field acks "$send_out") $(field ack_requests "$send_out")" \
        "$received $(field achieved_pps "$send_out")"
}

# Loss-free: every frame arrived, every acknowledgement came back, and the
# sender really kept the rate (otherwise the sender, not the target, limits).
step_ok() {  # step_ok <rate>
    local sent acks asked received achieved
    read -r sent acks asked received achieved <<<"$(run_step "$1")"
    echo "  rate $1/s: sent=$sent received=$received acks=$acks/$asked achieved=${achieved%.*}/s" >&2
    [ "$sent" = "$received" ] && [ "$acks" = "$asked" ] &&
        [ "${achieved%.*}" -ge $(($1 * 95 / 100)) ]
}

search_max_rate() {
    local good=0 bad=0 rate=10000
    while [ "$rate" -le "$max_rate" ]; do
        if step_ok "$rate"; then good=$rate; rate=$((rate * 2)); else bad=$rate; break; fi
    done
    [ "$bad" -eq 0 ] && { echo "$good"; return; }
    # Bisect to within 5% of the first failing rate.
    while [ $((bad - good)) -gt $((bad / 20)) ]; do
        rate=$(((good + bad) / 2))
        if step_ok "$rate"; then good=$rate; else bad=$rate; fi
    done
    echo "$good"
}

if [ "$target" = bridge ]; then
    "$testbed" up --prefix "$prefix" --bridge >/dev/null
else
    "$testbed" up --prefix "$prefix" >/dev/null
    start_target
fi

idle_cpu=n/a
[ -n "$target_pid" ] && idle_cpu="$(cpu_percent 3)%"

echo "round trip at 1000 frames/s ..." >&2
rtt_out=$(ip netns exec "$server" "$rocepeer" rate-recv --dev eth0 --ack --idle-ms 1000 \
    --seconds 20 >/dev/null &
    sleep 0.5
    ip netns exec "$client" "$rocepeer" rate-send --dev eth0 --peer-mac "$server_mac" \
        --peer-ip "$server_ip" --rate 1000 --frame-size "$frame_size" --seconds "$step_seconds"
    wait)

load_cpu=n/a
if [ -n "$target_pid" ]; then
    echo "CPU under $load_rate frames/s ..." >&2
    run_step "$load_rate" >"$scratch/load.out" &
    load=$!
    sleep 1
    load_cpu="$(cpu_percent $((step_seconds - 1 > 0 ? step_seconds - 1 : 1)))%"
    wait "$load"
fi

echo "searching the highest loss-free rate ..." >&2
max=$(search_max_rate)

cat <<EOF
target=$target
frame_size=$frame_size
step_seconds=$step_seconds
max_loss_free_pps=$max
rtt_median_us=$(field rtt_median_us "$rtt_out")
rtt_p99_us=$(field rtt_p99_us "$rtt_out")
cpu_idle=$idle_cpu
cpu_at_${load_rate}pps=$load_cpu
EOF
