#!/usr/bin/env bash
# Sets up the machine, builds the release configuration and runs the demo: a throwaway
# cluster is backed up, changed, restored to a point in time and checked.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target pgulo_cli
exec "$root/build/cli/pgulo" demo "$@"
