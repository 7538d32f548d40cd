#!/usr/bin/env bash
# Search figures on PostgreSQL: starts a throwaway cluster in a temporary folder (listening on a
# Unix socket there only; as root it runs as the "postgres" user), runs ferrow-searchbench on it
# with the arguments given, and removes the cluster again.
#
#   bench/searchfigures-postgres.sh [--messages N] [--queries N]
set -euo pipefail
cd "$(dirname "$0")/.."
pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -n "$pg_bin" ] || { echo "PostgreSQL is not installed; scripts/setup installs it." >&2; exit 1; }
root=$(mktemp -d /tmp/ferrow-searchbench-pg.XXXXXX)
as_owner=()
if [ "$(id -u)" -eq 0 ]; then
    as_owner=(runuser -u postgres --)
    chown postgres:postgres "$root"
fi
stop() {
    "${as_owner[@]}" "$pg_bin/pg_ctl" --pgdata="$root/data" --mode=fast --wait stop \
        >/dev/null 2>&1 || true
    rm -rf "$root"
}
trap stop EXIT
"${as_owner[@]}" "$pg_bin/initdb" --pgdata="$root/data" --auth=trust --username=postgres \
    --encoding=UTF8 --locale=C --no-sync >/dev/null
# Settings as a small server would have them; fsync stays on, as in production.
"${as_owner[@]}" "$pg_bin/pg_ctl" --pgdata="$root/data" --log="$root/log" --wait \
    --options="-c listen_addresses='' -k $root -p 5432 -c shared_buffers=256MB" start >/dev/null
"${FERROW_BUILD_DIR:-build}/ferrow-searchbench" \
    --database "postgresql://postgres@/postgres?host=$root&port=5432" "$@"
