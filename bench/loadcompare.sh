#!/bin/sh
# Compares server builds under the load benchmark, one run of each in turn, and prints the
# median of each figure per build. Turn by turn, because this machine's disk has quiet and busy
# spells of minutes: a build measured after another one would be measured on another disk.
#
#   bench/loadcompare.sh [-n ROUNDS] [-c CONNECTIONS] [-r RATE] [-i IDLE] [-b BUILD_DIR] SERVER...
#
# RATE is messages per second and connection (5 with 200 connections is 1 000 in all); IDLE
# further connections log in and stay silent beside the load. A SERVER is the binary's path,
# optionally followed by arguments for it, comma-separated: build/ferrow-server,--event-loop=qt;
# then, after a semicolon, arguments for the bench, comma-separated too:
# 'build/ferrow-server;--postgres=postgresql://postgres@/postgres?host=/tmp/pg,--servers=2'.
set -eu

rounds=5
connections=200
rate=5
idle=0
build=build
while getopts n:c:r:i:b: option; do
    case $option in
    n) rounds=$OPTARG ;;
    c) connections=$OPTARG ;;
    r) rate=$OPTARG ;;
    i) idle=$OPTARG ;;
    b) build=$OPTARG ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))
[ $# -ge 1 ] || { echo "usage: $0 [-n ROUNDS] [-c CONNECTIONS] [-r RATE] [-i IDLE] SERVER..." >&2; exit 2; }
bench=$build/ferrow-loadbench
[ -x "$bench" ] || { echo "no $bench; build ferrow-loadbench first" >&2; exit 2; }

. "$(dirname "$0")/loadfigures.sh"

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
i=0
while [ "$i" -lt "$rounds" ]; do
    n=0
    for variant in "$@"; do
        server=${variant%%;*}
        bench_extra=
        [ "$server" = "$variant" ] || bench_extra=$(printf '%s' "${variant#*;}" | tr ',' ' ')
        binary=${server%%,*}
        extra=
        [ "$binary" = "$server" ] || extra=$(printf '%s' "${server#*,}" | tr ',' ' ')
        # The bench seeds the database through its build's store, whose schema an older
        # server may not read: a server next to a bench of its own runs with that one.
        runner=$bench
        [ -x "$(dirname "$binary")/ferrow-loadbench" ] && runner=$(dirname "$binary")/ferrow-loadbench
        set -f
        # shellcheck disable=SC2046,SC2086
        "$runner" --server "$binary" $(for argument in $extra; do printf ' --server-option=%s' "$argument"; done) $bench_extra \
            --connections "$connections" --groups $((connections / 20)) --idle "$idle" \
            --duration 10 --drain 10 --rate "$rate" >>"$out/$n" 2>&1 || true
        set +f
        n=$((n + 1))
    done
    i=$((i + 1))
done
printf '%-40s %10s %10s %10s %12s %12s %12s  %s\n' server delivered% "p50 ms" "p99 ms" "server cpu%" "cpu/msg us" "commit ms" "p99 of each run"
n=0
for server in "$@"; do
    f=$out/$n
    printf '%-40s %10s %10s %10s %12s %12s %12s  %s\n' "$server" \
        "$(figure delivered "$f" | median)" \
        "$(figure p50 "$f" | median)" \
        "$(figure p99 "$f" | median)" \
        "$(figure cpu "$f" | median)" \
        "$(figure cpumsg "$f" | median)" \
        "$(figure commit "$f" | median)" \
        "$(figure p99 "$f" | tr '\n' ' ')"
    n=$((n + 1))
done
n=0
for server in "$@"; do
    cross=$(figure crossp50 "$out/$n" | median)
    [ "$cross" = - ] || printf '%-40s p50 on the same server %s ms, across servers %s ms\n' "$server" \
        "$(figure samep50 "$out/$n" | median)" "$cross"
    n=$((n + 1))
done
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
