#!/bin/sh
# The run command: installs what is missing, builds, starts kestd on its embedded SQLite
# default and opens kestcrm against it. Without a display it keeps the server running and
# says how to start the client. Ctrl-C stops everything this script started.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh

JOBS=${KEST_JOBS:-2}
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$JOBS"

# ---- kestd: the server, on an SQLite file kept in the user's data folder ----------------
# The first start creates the database and the account ADMIN / PLOVK (change its password).
DATA=${KEST_DATA:-${XDG_DATA_HOME:-$HOME/.local/share}/kestd}
mkdir -p "$DATA"
# A new database gets sample customers to try the client with (KEST_DEMO=0: start empty).
DEMO=""
if [ ! -e "$DATA/kestd.db" ] && [ "${KEST_DEMO:-200}" != "0" ]; then
    DEMO="--demo ${KEST_DEMO:-200}"
    echo "New database: seeding ${KEST_DEMO:-200} sample customers (choose 所有 in 員工 to list them all)."
fi
# shellcheck disable=SC2086
build/server/kestd --listen 127.0.0.1:8001 --db "$DATA/kestd.db" $DEMO &
KESTD_PID=$!
trap 'kill "$KESTD_PID" 2>/dev/null || true' EXIT INT TERM
echo "kestd runs on 127.0.0.1:8001 with $DATA/kestd.db (pid $KESTD_PID)."

# ---- kestcrm: the client, started here against 127.0.0.1:8001 ------------------------------
# Its working folder is $XDG_DATA_HOME/kestcrm; without a clientLogin.cfg there it connects to
# 127.0.0.1:8001 and offers ADMIN / PLOVK. Closing the client stops the server too.
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "Opening kestcrm (log in as ADMIN / PLOVK)."
    build/app/kestcrm || true
    echo "kestcrm closed; stopping kestd."
    exit 0
fi
echo "No display (DISPLAY and WAYLAND_DISPLAY are unset), so kestd keeps running alone."
echo "From a desktop session on this machine start the client with:"
echo "    $PWD/build/app/kestcrm"
echo "and log in as ADMIN / PLOVK. Ctrl-C here stops kestd."

wait "$KESTD_PID"
