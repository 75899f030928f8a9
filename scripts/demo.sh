#!/usr/bin/env bash
# The demo: starts the reference service with a demo account on loopback (HTTPS, a
# certificate made on first start), then works with the account from the command line:
# list, make a folder, upload, list again, download and compare, move to the trash.
# Usage: scripts/demo.sh [build folder=build/release]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build/release}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
server="$build/server/brimvault-server"
bvapi="$build/src/tools/bvapi"
data="$root/build/demo-data"
work=$(mktemp -d)
server_pid=

cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$data"
chmod 700 "$data"
"$server" --data "$data" --listen 127.0.0.1:0 --generate-cert --demo >"$work/server.out" 2>"$data/server.err" &
server_pid=$!

for _ in $(seq 1 100); do
    grep -q '^password: ' "$work/server.out" 2>/dev/null && break
    kill -0 "$server_pid" 2>/dev/null || { cat "$data/server.err" >&2; exit 1; }
    sleep 0.1
done
field() { sed -n "s/^$1: //p" "$work/server.out"; }
api=$(field api) ca=$(field ca) user=$(field user)
( umask 077; field password >"$work/password" )
echo "== reference service at $api (certificate $ca), demo account $user"

run() {
    printf '$ bvapi'; printf ' "%s"' "$@"; echo
    "$bvapi" --api "$api" --ca "$ca" --user "$user" --password-file "$work/password" "$@"
}

stamp=$(date +%Y%m%d-%H%M%S)
folder="/Demo $stamp"
run ls /
run mkdir "$folder"
run put "$root/README.md" "$folder/README.md"
run ls "$folder"
run get "$folder/README.md" "$work/README.copy"
cmp "$root/README.md" "$work/README.copy" && echo "downloaded copy is identical to the original"
run trash "$folder"
run ls /
echo "== demo finished; the service's data stays in $data, its log in $data/server.log"
