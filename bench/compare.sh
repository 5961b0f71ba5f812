#!/usr/bin/env bash
# Every target of the line-rate table in one run, the kernel bridge first and last:
#
#   bench/compare.sh --before DIR [--build DIR] [--out FILE] [forwarding.sh options...]
#
# DIR holds the programs of the build to compare with (apps/*/...). Each target runs in
# both builds; midwire also from the server to the client. Results, one forwarding.sh block
# each, go to FILE (default: a new file under /tmp), progress to stderr.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
before=
out=
extra=()
while [ $# -gt 0 ]; do
    case $1 in
    --before) before=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    *) extra+=("$1"); shift ;;
    esac
done
[ -n "$before" ] || { echo "usage: $0 --before DIR [--build DIR] [--out FILE] [options]" >&2; exit 2; }
out=${out:-$(mktemp /tmp/compare.XXXXXX)}

run() {  # run <label> <forwarding.sh arguments...>
    echo "== $1" | tee -a "$out" >&2
    shift
    "$root/bench/forwarding.sh" --build "$build" "${extra[@]}" "$@" >>"$out" ||
        echo "failed" >>"$out"
    uptime >>"$out"
}

pass_all="11 12 100 0 0 0 100 0 0 0"
run "bridge" --target bridge
for which in after before; do
    dir=$build
    [ "$which" = before ] && dir=$before
    run "$which wirewatch" --target "$dir/apps/wirewatch/wirewatch 11 12"
    run "$which wirebend" --target "$dir/apps/wirebend/wirebend 100 0 0 0 0 50"
    run "$which midwire to the server" --target "$dir/apps/midwire/midwire $pass_all"
    run "$which midwire to the client" --target "$dir/apps/midwire/midwire $pass_all" \
        --direction to-client
done
run "bridge" --target bridge
echo "results in $out" >&2
