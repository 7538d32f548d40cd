#!/bin/sh
# The load figures of the PostgreSQL backend and of several servers: starts a throwaway
# PostgreSQL cluster (durable: fsync and synchronous commits on, as in production), runs the load
# scenarios turn by turn through loadcompare.sh, then measures PostgreSQL's commits per second
# with and without a NOTIFY in each transaction (pgbench, two clients). Medians of ROUNDS runs.
#
#   bench/loadcluster.sh [-n ROUNDS] [-b BUILD_DIR] [-p EARLIER_SERVER]
#
# EARLIER_SERVER, an older build's ferrow-server, joins the SQLite turns as the "before".
set -eu

rounds=3
build=build
earlier=
while getopts n:b:p: option; do
    case $option in
    n) rounds=$OPTARG ;;
    b) build=$OPTARG ;;
    p) earlier=$OPTARG ;;
    *) exit 2 ;;
    esac
done
here=$(dirname "$0")
server=$build/ferrow-server
pg_bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
dir=$(mktemp -d /tmp/ferrow-bench-pg-XXXXXX)
as_owner=
if [ "$(id -u)" -eq 0 ]; then
    chown postgres "$dir"
    as_owner="runuser -u postgres --"
fi
$as_owner "$pg_bin/initdb" --pgdata="$dir/data" --auth=trust --username=postgres >/dev/null
$as_owner "$pg_bin/pg_ctl" --pgdata="$dir/data" --log="$dir/log" --wait \
    --options="-c listen_addresses='' -k $dir -c max_connections=300" start >/dev/null
trap '$as_owner "$pg_bin/pg_ctl" --pgdata="$dir/data" --mode=fast --wait stop >/dev/null; rm -rf "$dir"' EXIT
pg="postgresql://postgres@/postgres?host=$dir"

echo "== 1 000 msg/s (200 connections, 5 msg/s each)"
"$here/loadcompare.sh" -n "$rounds" -b "$build" -r 5 ${earlier:+"$earlier"} "$server" "$server;--postgres=$pg"
echo "== 4 000 msg/s (20 msg/s each)"
"$here/loadcompare.sh" -n "$rounds" -b "$build" -r 20 ${earlier:+"$earlier"} "$server" "$server;--postgres=$pg"
echo "== 2 000 msg/s on PostgreSQL: one server, then two with every group on both"
"$here/loadcompare.sh" -n "$rounds" -b "$build" -r 10 "$server;--postgres=$pg" \
    "$server;--postgres=$pg,--servers=2"

echo "== PostgreSQL commits per second, two clients, one insert per transaction"
$as_owner "$pg_bin/psql" -q -h "$dir" -U postgres -d postgres \
    -c "CREATE TABLE notes (id BIGSERIAL PRIMARY KEY, body TEXT NOT NULL)"
printf 'INSERT INTO notes (body) VALUES (repeat(%s, 20));\n' "'x'" >"$dir/plain.sql"
printf 'BEGIN;\nINSERT INTO notes (body) VALUES (repeat(%s, 20));\nSELECT pg_notify(%s, %s);\nCOMMIT;\n' \
    "'x'" "'ferrow_feed'" "'{\"s\":\"g1\",\"q\":1}'" >"$dir/notify.sql"
chmod 644 "$dir/plain.sql" "$dir/notify.sql"
for script in plain notify; do
    i=0
    : >"$dir/$script.tps"
    while [ "$i" -lt "$rounds" ]; do
        $as_owner "$pg_bin/pgbench" -n -h "$dir" -U postgres -c 2 -j 2 -T 10 -f "$dir/$script.sql" postgres 2>/dev/null \
            | sed -n 's/^tps = \([0-9.]*\).*/\1/p' >>"$dir/$script.tps"
        i=$((i + 1))
    done
done
. "$here/loadfigures.sh"
echo "without NOTIFY: $(median <"$dir/plain.tps") commits/s (runs: $(tr '\n' ' ' <"$dir/plain.tps"))"
echo "with NOTIFY:    $(median <"$dir/notify.tps") commits/s (runs: $(tr '\n' ' ' <"$dir/notify.tps"))"
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
