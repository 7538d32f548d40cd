#!/bin/sh
# Runs the load benchmark's standard scenarios several times and prints the median of each
# figure: 200 connections in 10 groups of 20, at 1 000 and 4 000 messages per second in all
# (5 and 20 per connection), plus any further per-connection rates given as arguments.
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

median() {
    sort -g | awk '{ v[NR] = $1 } END { if (NR) print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2); else print "-" }'
}

printf '%-22s %10s %10s %10s %12s %s\n' "rate (msg/s in all)" delivered% "p50 ms" "p99 ms" "drain ms" runs
for rate in $rates; do
    out=$(mktemp)
    i=0
    while [ "$i" -lt "$runs" ]; do
        "$bench" "$@" --rate "$rate" >>"$out" 2>&1 || true
        i=$((i + 1))
    done
    total=$(awk -v r="$rate" -v c="$connections" 'BEGIN { print r * c }')
    delivered=$(sed -n 's/.*deliveries.*(\([0-9.]*\) %).*/\1/p' "$out" | median)
    p50=$(sed -n 's/.*latency p50 *\([0-9.]*\) ms.*/\1/p' "$out" | median)
    p99=$(sed -n 's/.*latency p99 *\([0-9.]*\) ms.*/\1/p' "$out" | median)
    drain=$(sed -n 's/.*last receipt \([0-9.]*\) ms after.*/\1/p' "$out" | median)
    printf '%-22s %10s %10s %10s %12s %s\n' "$total" "$delivered" "$p50" "$p99" "$drain" "$runs"
    rm -f "$out"
done
