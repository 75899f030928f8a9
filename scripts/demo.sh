#!/usr/bin/env bash
# The demo: what a user does. Starts the reference service with a demo account on loopback,
# starts the brimvault daemon with a temporary HOME, signs in, lists the mounted drive,
# copies a file in and reads it back through the volume, shows the status and the menu,
# then quits (the volume goes, every process ends). Each step is printed.
# Usage: scripts/demo.sh [build folder=build/release]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build/release}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
exec "$root/tests/brimvault/end_to_end.sh" "$build" --demo
