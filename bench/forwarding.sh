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
#   - CPU of the target program idle and under --load-rate frames/s (from /proc/<pid>/stat), and
#     per frame it forwarded.
#
# --mode flow sends without asking for acknowledgements (loss-free: under 0.1% lost), so that
# the generator out-runs what it measures; the round trip is always measured acknowledged.
# --direction to-client sends from the server to the client instead. --pin CPU runs both peers
# on that CPU (give the target its own --cpu to pin it too).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
target=
build=$root/build
prefix=fwb
frame_size=1100
step_seconds=3
max_rate=400000
load_rate=50000
mode=ack
direction=to-server
pin=
search=yes

usage() {
    echo "usage: $0 --target bridge|COMMAND [--build DIR] [--prefix P] [--frame-size B]" \
        "[--step-seconds S] [--max-rate PPS] [--load-rate PPS] [--mode ack|flow]" \
        "[--direction to-server|to-client] [--pin CPU] [--no-search]" >&2
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
    --load-rate) [ $# -ge 2 ] || usage; load_rate=$2; shift 2 ;;
    --mode) [ $# -ge 2 ] || usage; mode=$2; shift 2 ;;
    --direction) [ $# -ge 2 ] || usage; direction=$2; shift 2 ;;
    --pin) [ $# -ge 2 ] || usage; pin=$2; shift 2 ;;
    --no-search) search=no; shift ;;
    *) usage ;;
    esac
done
[ -n "$target" ] || usage
[ "$(id -u)" -eq 0 ] || { echo "forwarding: needs root" >&2; exit 1; }
rocepeer=$build/tools/rocepeer/rocepeer
[ -x "$rocepeer" ] || { echo "forwarding: no $rocepeer (build first, or give --build)" >&2; exit 1; }

testbed=$root/scripts/testbed.sh
case $mode in ack|flow) ;; *) usage ;; esac
bench=$prefix-bench
# The sending peer and the one that receives (and acknowledges).
if [ "$direction" = to-server ]; then
    client=$prefix-client server=$prefix-server
    server_mac=02:47:00:00:00:02 server_ip=10.47.0.2 send_qps="--qp 0x11 --peer-qp 0x12"
    recv_qps="--qp 0x12 --peer-qp 0x11"
elif [ "$direction" = to-client ]; then
    client=$prefix-server server=$prefix-client
    server_mac=02:47:00:00:00:01 server_ip=10.47.0.1 send_qps="--qp 0x12 --peer-qp 0x11"
    recv_qps="--qp 0x11 --peer-qp 0x12"
else
    usage
fi
peer() {  # peer <namespace> <rocepeer arguments...>: a peer, on the pinned CPU if any
    local ns=$1
    shift
    if [ -n "$pin" ]; then
        ip netns exec "$ns" taskset -c "$pin" "$rocepeer" "$@"
    else
        ip netns exec "$ns" "$rocepeer" "$@"
    fi
}
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
    local rate=$1 receiver_out="$scratch/recv.out" send_out ack=--ack every=1
    [ "$mode" = flow ] && ack= every=0
    peer "$server" rate-recv --dev eth0 $ack $recv_qps --idle-ms 1000 \
        --seconds $((step_seconds + 10)) >"$receiver_out" &
    local receiver=$!
    for _ in $(seq 100); do
        grep -q ready "$receiver_out" 2>/dev/null && break
        sleep 0.05
    done
    send_out=$(peer "$client" rate-send --dev eth0 --peer-mac "$server_mac" $send_qps \
        --peer-ip "$server_ip" --rate "$rate" --frame-size "$frame_size" --seconds "$step_seconds" \
        --ackreq-every $every)
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
    [ "${achieved%.*}" -ge $(($1 * 95 / 100)) ] || return 1
    if [ "$mode" = flow ]; then
        [ $((received * 1000)) -ge $((sent * 999)) ]
    else
        [ "$sent" = "$received" ] && [ "$acks" = "$asked" ]
    fi
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
rtt_out=$(peer "$server" rate-recv --dev eth0 --ack $recv_qps --idle-ms 1000 \
    --seconds 20 >/dev/null &
    sleep 0.5
    peer "$client" rate-send --dev eth0 --peer-mac "$server_mac" $send_qps \
        --peer-ip "$server_ip" --rate 1000 --frame-size "$frame_size" --seconds "$step_seconds"
    wait)

load_cpu=n/a
load_cpu_per_frame=n/a
if [ -n "$target_pid" ]; then
    echo "CPU under $load_rate frames/s ..." >&2
    run_step "$load_rate" >"$scratch/load.out" &
    load=$!
    sleep 1
    load_cpu="$(cpu_percent $((step_seconds - 1 > 0 ? step_seconds - 1 : 1)))"
    wait "$load"
    read -r load_sent _ _ load_received load_achieved <"$scratch/load.out"
    # Share of a core over the frames it forwarded per second, in microseconds per frame; a
    # sender that falls behind takes longer than the step, so the rate is the one it achieved.
    load_cpu_per_frame=$(awk -v cpu="$load_cpu" -v got="$load_received" -v sent="$load_sent" \
        -v pps="$load_achieved" \
        'BEGIN { r = sent > 0 ? got * pps / sent : 0; if (r > 0) printf "%.2f", cpu * 1e4 / r; else print "n/a" }')
    load_cpu="$load_cpu% (sent ${load_achieved%.*}/s, received $load_received)"
fi

max=skipped
if [ "$search" = yes ]; then
    echo "searching the highest loss-free rate ..." >&2
    max=$(search_max_rate)
fi

cat <<EOF
target=$target
mode=$mode direction=$direction pin=${pin:-none}
frame_size=$frame_size
step_seconds=$step_seconds
max_loss_free_pps=$max
rtt_median_us=$(field rtt_median_us "$rtt_out")
rtt_p99_us=$(field rtt_p99_us "$rtt_out")
cpu_idle=$idle_cpu
cpu_at_${load_rate}pps=$load_cpu
cpu_us_per_frame_at_${load_rate}pps=$load_cpu_per_frame
EOF
