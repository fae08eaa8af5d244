#!/usr/bin/env bash
# dev.sh: everything from a fresh Debian machine. Usage:
#   scripts/dev.sh run    set up, load the demo cadastre, serve the demo app on :8000
#   scripts/dev.sh test   set up, run the C++ and Python test suites
#   scripts/dev.sh setup  only the set-up (packages, services, virtual environment, build)
#   scripts/dev.sh token  the administrator token for the cache invalidation route (made once)
#   scripts/dev.sh serve  serve the host app for production on a set-up machine: uvloop, httptools,
#                         one worker per core (VEXA_WORKERS), VEXA_HOST:VEXA_PORT (127.0.0.1:8000),
#                         client addresses from X-Forwarded-For only of FORWARDED_ALLOW_IPS
#                         (default 127.0.0.1,::1: a proxy on this machine); at a stop (SIGTERM,
#                         SIGINT) requests get VEXA_GRACEFUL_SHUTDOWN_S (5 s) to finish, then open
#                         streams are ended and the app's shutdown runs
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
VENV=${VEXA_VENV:-$ROOT/.venv}
cd "$ROOT"

system_packages() {
    local missing=()
    command -v python3 >/dev/null || missing+=(python3)
    python3 -c 'import venv, ensurepip' 2>/dev/null || missing+=(python3-venv)
    command -v g++ >/dev/null || missing+=(g++)
    command -v cmake >/dev/null || missing+=(cmake)
    command -v psql >/dev/null || missing+=(postgresql-client)
    [ -f /usr/src/googletest/CMakeLists.txt ] || [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
    command -v node >/dev/null || missing+=(nodejs)
    command -v npm >/dev/null || missing+=(npm)
    [ -x /usr/bin/chromium ] || missing+=(chromium)
    command -v ogr2ogr >/dev/null || missing+=(gdal-bin)  # GDAL reads served tiles in the tests
    command -v pdftoppm >/dev/null || missing+=(poppler-utils)  # Poppler reads survey plan PDFs in the tests
    if [ ${#missing[@]} -gt 0 ]; then
        local sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

setup() {
    system_packages
    scripts/services.sh start
    [ -x "$VENV/bin/python" ] || python3 -m venv "$VENV"
    "$VENV/bin/pip" install -q --upgrade pip
    "$VENV/bin/pip" install -q ".[host,test]"
    (cd web && npm install --no-audit --no-fund --loglevel=error)  # MapLibre GL JS, playwright-core
    [ -f scripts/demo_cadastre.py ] || return 0
}

environment() { eval "$(scripts/services.sh env)"; export PATH="$VENV/bin:$PATH"; }

TOKEN_FILE=${VEXA_STATE_DIR:-$ROOT/.local}/admin-token

# The administrator token, made once; its file is readable by its owner only, since whoever reads
# it may clear the tile cache.
admin_token() {
    mkdir -p "$(dirname "$TOKEN_FILE")"
    [ -s "$TOKEN_FILE" ] || (umask 077; python3 -c 'import secrets; print(secrets.token_urlsafe(24))' > "$TOKEN_FILE")
    chmod 600 "$TOKEN_FILE"
    cat "$TOKEN_FILE"
}

serve() {
    # The project's own servers unless DATABASE_URL and REDIS_HOST point elsewhere; one of them
    # alone is a mistake, not a wish for the development servers (fsync off, trust authentication).
    if [ -n "${DATABASE_URL:-}" ] && [ -n "${REDIS_HOST:-}" ]; then
        export PATH="$VENV/bin:$PATH"
    elif [ -z "${DATABASE_URL:-}" ] && [ -z "${REDIS_HOST:-}" ]; then
        environment
    else
        echo "serve: set both DATABASE_URL and REDIS_HOST (for your own servers) or neither (for the project's" \
             "development servers); only ${DATABASE_URL:+DATABASE_URL}${REDIS_HOST:+REDIS_HOST} is set" >&2
        exit 2
    fi
    # The workers learn how many they are: each starts its share of the cores as drawing
    # processes, and checks that the database admits the connections of all of them.
    export VEXA_WORKERS=${VEXA_WORKERS:-$(nproc)}
    local workers=$VEXA_WORKERS
    # Each worker checks as it starts that the database admits the connections of all of them;
    # checked here first, so that serve ends with an error status (uvicorn's supervisor ends with
    # 0 when its workers fail their start).
    (cd api && python -c 'import database; database.check_before_serving()')
    # Every worker writes its metrics here; a scrape of any of them reports the sum.
    export PROMETHEUS_MULTIPROC_DIR=${PROMETHEUS_MULTIPROC_DIR:-$ROOT/.local/metrics}
    rm -rf "$PROMETHEUS_MULTIPROC_DIR" && mkdir -p "$PROMETHEUS_MULTIPROC_DIR"
    echo "serving on http://${VEXA_HOST:-127.0.0.1}:${VEXA_PORT:-8000}/ with $workers workers" \
         "(proxy headers trusted from: ${FORWARDED_ALLOW_IPS-127.0.0.1,::1})"
    cd api && exec uvicorn main:app --host "${VEXA_HOST:-127.0.0.1}" --port "${VEXA_PORT:-8000}" \
        --workers "$workers" --loop uvloop --http httptools --no-access-log \
        --proxy-headers --forwarded-allow-ips "${FORWARDED_ALLOW_IPS-127.0.0.1,::1}" \
        --timeout-graceful-shutdown "${VEXA_GRACEFUL_SHUTDOWN_S:-5}"
}

case "${1:-}" in
    setup) setup ;;
    run)
        setup; environment
        if [ -f scripts/demo_cadastre.py ]; then python scripts/demo_cadastre.py --if-empty --plots "${VEXA_DEMO_PLOTS:-20000}"; fi
        [ -n "${VEXA_ADMIN_TOKEN:-}" ] || VEXA_ADMIN_TOKEN=$(admin_token)
        export VEXA_ADMIN_TOKEN
        echo "administrator token for POST /gis/cache/invalidate/...: $VEXA_ADMIN_TOKEN (in $TOKEN_FILE)"
        echo "serving on http://127.0.0.1:${VEXA_PORT:-8000}/ (tiles: /gis/{layer}/{z}/{x}/{y}.pbf, API: /docs)"
        cd api && exec uvicorn main:app --host 127.0.0.1 --port "${VEXA_PORT:-8000}" ;;
    serve) serve ;;
    token) admin_token ;;
    test)
        setup; environment
        cmake -S . -B build/cpp-tests -DVEXA_BUILD_PYTHON_MODULES=OFF -DVEXA_BUILD_TESTS=ON >/dev/null
        cmake --build build/cpp-tests -j 2 >/dev/null
        ctest --test-dir build/cpp-tests --output-on-failure
        python -m pytest -q "${@:2}" ;;
    *) echo "usage: $0 run|serve|test|setup|token" >&2; exit 2 ;;
esac
