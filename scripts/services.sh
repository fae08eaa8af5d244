#!/usr/bin/env bash
# services.sh: the project's own PostgreSQL 15 + PostGIS 3 and Redis, on ports of their own
# with data under .local/. Usage: services.sh install|start|stop|status|env
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
STATE=${VEXA_STATE_DIR:-$ROOT/.local}
PG_PORT=${VEXA_PG_PORT:-55432}
REDIS_PORT=${VEXA_REDIS_PORT:-56379}
PG_BIN=/usr/lib/postgresql/15/bin
DB_NAME=vexa

as_postgres() {
    if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

install_packages() {
    local missing=()
    [ -x "$PG_BIN/postgres" ] || missing+=(postgresql-15)
    [ -f /usr/share/postgresql/15/extension/postgis.control ] || missing+=(postgresql-15-postgis-3)
    command -v redis-server >/dev/null || missing+=(redis-server)
    command -v redis-cli >/dev/null || missing+=(redis-tools)
    if [ ${#missing[@]} -gt 0 ]; then
        echo "installing ${missing[*]}"
        local sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

pg_running() { [ -f "$STATE/pg/postmaster.pid" ] && as_postgres "$PG_BIN/pg_ctl" -D "$STATE/pg" status >/dev/null 2>&1; }
pg_answers() { PGCONNECT_TIMEOUT=3 psql -h 127.0.0.1 -p "$PG_PORT" -U postgres -d postgres -tAc "SELECT 1" >/dev/null 2>&1; }
redis_running() { redis-cli -h 127.0.0.1 -p "$REDIS_PORT" ping >/dev/null 2>&1; }
psql_db() { PGOPTIONS="-c client_min_messages=warning" psql -h 127.0.0.1 -p "$PG_PORT" -U postgres -v ON_ERROR_STOP=1 -q "$@"; }

start_postgres() {
    mkdir -p "$STATE/run"
    chmod 755 "$STATE"
    if ! pg_running && pg_answers; then
        # Another checkout's instance already serves this port: share it rather than fail.
        echo "using the PostgreSQL already listening on 127.0.0.1:$PG_PORT" >&2
    elif ! pg_running; then
        if [ ! -f "$STATE/pg/PG_VERSION" ]; then
            mkdir -p "$STATE/pg"
            [ "$(id -u)" = 0 ] && chown postgres:postgres "$STATE/pg"
            as_postgres "$PG_BIN/initdb" -D "$STATE/pg" -U postgres --auth=trust -E UTF8 >/dev/null
        fi
        [ "$(id -u)" = 0 ] && chown postgres:postgres "$STATE/run"
        as_postgres "$PG_BIN/pg_ctl" -D "$STATE/pg" -l "$STATE/run/postgres.log" -w -t 60 \
            -o "-p $PG_PORT -k $STATE/run -c listen_addresses=127.0.0.1 -c fsync=off -c shared_buffers=${VEXA_PG_SHARED_BUFFERS:-1GB}" start >/dev/null
    fi
    if ! psql_db -d postgres -tAc "SELECT 1 FROM pg_database WHERE datname='$DB_NAME'" | grep -q 1; then
        psql_db -d postgres -c "CREATE DATABASE $DB_NAME"
    fi
    psql_db -d "$DB_NAME" -f "$ROOT/scripts/schema.sql" -f "$ROOT/scripts/tile_changes.sql"
}

start_redis() {
    mkdir -p "$STATE/redis"
    if ! redis_running; then
        # Bounded memory: past it, the least recently used of the entries that expire (tiles,
        # plans, rate counts) make room; the layers' generations and versions never expire, so
        # they are never evicted.
        redis-server --bind 127.0.0.1 --port "$REDIS_PORT" --daemonize yes --save "" --appendonly no \
            --maxmemory "${VEXA_REDIS_MAXMEMORY:-512mb}" --maxmemory-policy volatile-lru \
            --dir "$STATE/redis" --pidfile "$STATE/redis.pid" --logfile "$STATE/redis.log"
        for _ in $(seq 50); do redis_running && break; sleep 0.1; done
        redis_running || { echo "redis did not start; see $STATE/redis.log" >&2; exit 1; }
    fi
}

stop_all() {
    if pg_running; then as_postgres "$PG_BIN/pg_ctl" -D "$STATE/pg" -m fast -w stop >/dev/null; fi
    if redis_running; then redis-cli -h 127.0.0.1 -p "$REDIS_PORT" shutdown nosave >/dev/null 2>&1 || true; fi
}

case "${1:-}" in
    install) install_packages ;;
    start) install_packages; start_postgres; start_redis ;;
    stop) stop_all ;;
    start-redis) start_redis ;;
    stop-redis) redis-cli -h 127.0.0.1 -p "$REDIS_PORT" shutdown nosave >/dev/null 2>&1 || true ;;
    status)
        pg_running && echo "postgres: running on 127.0.0.1:$PG_PORT" || echo "postgres: stopped"
        redis_running && echo "redis: running on 127.0.0.1:$REDIS_PORT" || echo "redis: stopped" ;;
    env)
        echo "export DATABASE_URL=postgresql+asyncpg://postgres@127.0.0.1:$PG_PORT/$DB_NAME"
        echo "export REDIS_HOST=127.0.0.1 REDIS_PORT=$REDIS_PORT REDIS_DB=0" ;;
    *) echo "usage: $0 install|start|stop|start-redis|stop-redis|status|env" >&2; exit 2 ;;
esac
