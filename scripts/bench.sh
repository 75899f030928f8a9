#!/usr/bin/env bash
# Runs every benchmark program of a build folder (default build/bench).
set -euo pipefail
build=${1:-build/bench}
status=0
for prog in $(find "$build/bench" -maxdepth 2 -type f -executable -name 'bench_*' | sort); do
    echo "== $(basename "$prog")"
    "$prog" || status=1
done
exit $status
