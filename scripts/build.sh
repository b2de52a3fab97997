#!/usr/bin/env bash
# Configures and builds into build/ (or the directory given), warnings as
# errors. Quiet unless the build fails.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
SECONDS=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B "$dir" -DALARMCLOCK_WERROR=ON "$@" && cmake --build "$dir" -j"$(nproc)"; } >"$log" 2>&1; then
    cat "$log"
    echo "Build failed." >&2
    exit 1
fi
echo "Built in $dir/ in $SECONDS s."
