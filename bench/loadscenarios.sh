#!/bin/sh
# Runs the load benchmark's standard scenarios several times and prints the median of each
# figure: 200 connections in 10 groups of 20, at 1 000 and 4 000 messages per second in all
# (5 and 20 per connection), plus any further per-connection rates given as arguments. Besides
# delivery and latency it prints the server's CPU time (share of one core while sending) and
# its mean commit time, so that a slow run shows whether the server or the machine was busy.
#
#   bench/loadscenarios.sh [-n RUNS] [-c CONNECTIONS] [-b BUILD_DIR] [-s SERVER] [RATE...]
#
# More connections (in groups of 20) find the aggregate rate where latency breaks down, since
# one connection may send at most 20 messages per second without waiting in its queue.
set -eu

runs=3
connections=200
build=build
server=
while getopts n:c:b:s: option; do
    case $option in
    n) runs=$OPTARG ;;
    c) connections=$OPTARG ;;
    b) build=$OPTARG ;;
    s) server=$OPTARG ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))
rates=${*:-5 20}
bench=$build/ferrow-loadbench
[ -x "$bench" ] || { echo "no $bench; build ferrow-loadbench first" >&2; exit 2; }
set -- --connections "$connections" --groups $((connections / 20)) --duration 10 --drain 10
[ -n "$server" ] && set -- "$@" --server "$server"

. "$(dirname "$0")/loadfigures.sh"

# Figures from a busy machine are not figures of the server; the load says how busy it was.
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-22s %10s %10s %10s %12s %12s %12s %s\n' "rate (msg/s in all)" delivered% "p50 ms" "p99 ms" "drain ms" "server cpu%" "commit ms" runs
for rate in $rates; do
    out=$(mktemp)
    i=0
    while [ "$i" -lt "$runs" ]; do
        "$bench" "$@" --rate "$rate" >>"$out" 2>&1 || true
        i=$((i + 1))
    done
    total=$(awk -v r="$rate" -v c="$connections" 'BEGIN { print r * c }')
    delivered=$(figure delivered "$out" | median)
    p50=$(figure p50 "$out" | median)
    p99=$(figure p99 "$out" | median)
    drain=$(figure drain "$out" | median)
    cpu=$(figure cpu "$out" | median)
    commit=$(figure commit "$out" | median)
    printf '%-22s %10s %10s %10s %12s %12s %12s %s\n' "$total" "$delivered" "$p50" "$p99" "$drain" "$cpu" "$commit" "$runs"
    rm -f "$out"
done
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
