#!/usr/bin/env bash
# The real programs end to end: brimvault-server with its demo account, the brimvault
# daemon in a temporary HOME, `brimvault login`, the mounted volume, trash and restore, and
# `brimvault quit`. Whatever happens, the volume is unmounted and every process ended.
# Usage: end_to_end.sh BUILD_DIR [--demo]   (--demo prints each step for a person)
set -euo pipefail

build=$1
demo=${2:-}
server="$build/server/brimvault-server"
brimvault="$build/src/brimvault/brimvault"
bvapi="$build/src/tools/bvapi"
work=$(mktemp -d /tmp/bv-e2e.XXXXXX)
chmod 700 "$work"
server_pid= daemon_pid= mount_point=
khv="$build/src/brimvault/keelhaven"
# This run's Keelhaven processes: this build's executable with this run's HOME (other tests
# of the same build run theirs meanwhile).
khv_pids() {
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/exe" 2>/dev/null)" = "$khv" ] || continue
        tr '\0' '\n' 2>/dev/null <"$p/environ" | grep -qxF "HOME=$work/home" && echo "${p#/proc/}"
    done
    return 0
}

# A command that hangs fails its step, so that the logs are shown before the test's own limit.
run_bv() { timeout -k 5 120 "$brimvault" "$@"; }
run_khv() { timeout -k 5 120 "$khv" "$@"; }

say() { echo "== $*"; }
step() { printf '$ %s\n' "$*"; "$@"; }
# Without --demo the headings still go to the test log: they show where a run stopped.
if [ -z "$demo" ]; then step() { "$@" >/dev/null; }; say() { echo "== $*" >&2; }; fi

cleanup() {
    local status=$?
    set +e
    if [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2>/dev/null; then
        HOME="$work/home" XDG_RUNTIME_DIR="$work/run" "$brimvault" quit >/dev/null 2>&1
        for _ in $(seq 1 50); do kill -0 "$daemon_pid" 2>/dev/null || break; sleep 0.1; done
        kill -TERM "$daemon_pid" 2>/dev/null; sleep 0.5; kill -KILL "$daemon_pid" 2>/dev/null
    fi
    if [ -n "$mount_point" ] && grep -q " $mount_point " /proc/mounts; then
        fusermount3 -u -z "$mount_point" 2>/dev/null
    fi
    for pid in $(khv_pids); do kill -TERM "$pid" 2>/dev/null; done
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    if [ $status -ne 0 ] && [ -d "$work/home" ]; then
        # The requests and records of the last daemon log, without the per-answer chatter.
        echo "--- daemon log:" >&2
        cat "$work"/home/.local/share/Brimvault/LogDirectory/BVLog-* 2>/dev/null |
            grep -v 'apiResponseFrom\|checkResponseStatus\|storeItem\|was not restored' | tail -60 >&2
        echo "--- service log:" >&2
        tail -30 "$work/data/server.log" >&2
        echo "--- daemon output:" >&2
        tail -40 "$work/daemon.out" >&2
    fi
    rm -rf "$work"
    exit $status
}
trap cleanup EXIT

if [ ! -e /dev/fuse ]; then echo "SKIP: no /dev/fuse"; exit 0; fi

mkdir -p "$work/data" "$work/home" "$work/run" "$work/mnt"
chmod 700 "$work/run"
echo '[{"username": "tfa", "password": "tfa-secret-1", "two_factor": true,
        "notifications": [{"Type": 1, "Text": "Version 9 is out", "URL": "https://example.invalid/v9.deb"}]}]' >"$work/seed.json"
"$server" --data "$work/data" --listen 127.0.0.1:0 --generate-cert --demo --seed "$work/seed.json" >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
for _ in $(seq 1 100); do
    grep -q '^password: ' "$work/server.out" 2>/dev/null && break
    kill -0 "$server_pid" 2>/dev/null || { cat "$work/server.err" >&2; exit 1; }
    sleep 0.1
done
field() { sed -n "s/^$1: //p" "$work/server.out"; }
( umask 077; field password >"$work/password" )
user=$(field user)
export HOME="$work/home" XDG_RUNTIME_DIR="$work/run"
export BRIMVAULT_API_URL=$(field api) BRIMVAULT_CA_FILE=$(field ca)
say "reference service at $BRIMVAULT_API_URL, demo account $user"

fails() { echo "FAIL: $*" >&2; exit 1; }

say "without a daemon every command explains itself"
if run_bv status 2>"$work/err"; then fails "status without a daemon succeeded"; fi
grep -q "not running" "$work/err" || fails "status without a daemon: $(cat "$work/err")"

say "starting the daemon"
"$brimvault" daemon --foreground --mount-dir "$work/mnt" >"$work/daemon.out" 2>&1 &
daemon_pid=$!
for _ in $(seq 1 100); do run_bv status >/dev/null 2>&1 && break; sleep 0.1; done
step run_bv status

say "signing in"
step run_bv login --user "$user" --password-file "$work/password"
run_bv status --json >"$work/status.json"
[ -n "$demo" ] && step run_bv status
mount_point=$(python3 -c 'import json,sys; s=json.load(open(sys.argv[1])); assert s["signedIn"] and s["mounted"], s; print(s["mountPoint"])' "$work/status.json") \
    || fails "status --json does not report the mount: $(cat "$work/status.json")"
grep -q " $mount_point fuse" /proc/mounts || fails "$mount_point is not in /proc/mounts"

say "the drive, through the volume"
step ls "$mount_point"
echo "written through the volume at $(date)" >"$work/note.txt"
step cp "$work/note.txt" "$mount_point/note.txt"
step cat "$mount_point/note.txt"
cmp -s "$work/note.txt" "$mount_point/note.txt" || fails "the file read back differs"
# The service has it: another client lists it.
for _ in $(seq 1 50); do
    "$bvapi" --api "$BRIMVAULT_API_URL" --ca "$BRIMVAULT_CA_FILE" --user "$user" \
        --password-file "$work/password" ls / 2>/dev/null | grep -q note.txt && break
    sleep 0.2
done
"$bvapi" --api "$BRIMVAULT_API_URL" --ca "$BRIMVAULT_CA_FILE" --user "$user" \
    --password-file "$work/password" ls / | grep -q note.txt || fails "the service lacks note.txt"

say "a file being written shows in the uploads until it is closed"
# More than one 20 MiB chunk is written and the file is held open until the daemon lists it.
python3 - "$mount_point/big.bin" "$work/big.go" <<'PY' &
import os, sys, time
fd = os.open(sys.argv[1], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
piece = bytes(range(256)) * 4096
for _ in range(21):
    os.write(fd, piece)
for _ in range(600):
    if os.path.exists(sys.argv[2]):
        break
    time.sleep(0.1)
os.write(fd, piece)
os.close(fd)
PY
writer_pid=$!
listed=
for _ in $(seq 1 300); do
    run_bv status --json >"$work/status.json" 2>/dev/null || true
    if python3 -c 'import json,sys; u=json.load(open(sys.argv[1]))["uploads"]; sys.exit(0 if any(x["path"]=="/big.bin" and x["completed"]>0 for x in u) else 1)' "$work/status.json"; then
        listed=1; break
    fi
    kill -0 "$writer_pid" 2>/dev/null || break
    sleep 0.1
done
touch "$work/big.go"
wait "$writer_pid" || fails "writing big.bin through the volume failed"
[ -n "$listed" ] || fails "the running upload of big.bin was never listed: $(cat "$work/status.json")"
[ -n "$demo" ] && step run_bv uploads
run_bv uploads | grep -q "no uploads in progress" || fails "big.bin is still listed after its close: $(run_bv uploads)"
[ "$(stat -c %s "$mount_point/big.bin")" = $((22 * 1048576)) ] || fails "big.bin has the wrong size"
rm "$mount_point/big.bin"

say "trash and restore"
step run_bv trash /note.txt
[ ! -e "$mount_point/note.txt" ] || fails "note.txt is still in its folder after trash"
step run_bv restore /Trash/note.txt
[ -e "$mount_point/note.txt" ] || fails "note.txt did not come back"
step run_bv props /note.txt || fails "props of note.txt failed"
if run_bv restore /note.txt 2>/dev/null; then fails "restore outside the trash succeeded"; fi
[ -n "$demo" ] && step run_bv menu

say "send-logs packs the logs into a zip"
step run_bv send-logs --output "$work/logs.zip"
unzip -Z1 "$work/logs.zip" >"$work/logs.list" || fails "logs.zip is not a zip"
grep -q 'BVLog' "$work/logs.list" || fails "the zip lacks the daemon's log: $(cat "$work/logs.list")"

say "signing out: the volume goes and the daemon starts again at the sign-in"
step run_bv logout
for _ in $(seq 1 100); do
    run_bv status --json 2>/dev/null | grep -q '"kind": "signIn"' && break
    sleep 0.1
done
run_bv status --json | grep -q '"signedIn": false' || fails "still signed in after logout"
grep -q " $mount_point " /proc/mounts && fails "the volume is still mounted after logout"
kill -0 "$daemon_pid" 2>/dev/null || fails "the daemon did not come back after logout"
# An upload of note.txt the last run left in the journal, its staged copy in the temporary store: the
# sign-in takes the copy before the store is emptied and sends it without holding up the
# daemon.
journal="$HOME/.local/share/Brimvault/$user/Cache/UploadJournal"
store="$HOME/.cache/Brimvault/tmp/BrimvaultTmp/temp"
[ -d "$journal" ] && [ -d "$store" ] || fails "no journal or store folder at $journal, $store"
echo "left over from the last run" >"$store/resumed-copy"
printf '{"path": "/note.txt", "identifier": "", "staged": "%s", "size": %d, "state": "closing"}' \
    "$store/resumed-copy" "$(stat -c %s "$store/resumed-copy")" >"$journal/1-1-1.upload"
step run_bv login --user "$user" --password-file "$work/password"
[ -e "$mount_point/note.txt" ] || fails "note.txt is missing after signing in again"
for _ in $(seq 1 50); do
    [ "$(cat "$mount_point/note.txt" 2>/dev/null)" = "left over from the last run" ] && break
    sleep 0.2
done
[ "$(cat "$mount_point/note.txt" 2>/dev/null)" = "left over from the last run" ] \
    || fails "the journal's upload was not resumed: $(ls -la "$journal" "$mount_point")"
# The entry goes once the service has confirmed the upload, a moment after its bytes show.
for _ in $(seq 1 100); do [ -z "$(ls "$journal")" ] && break; sleep 0.1; done
[ -z "$(ls "$journal")" ] || fails "the journal still holds $(ls "$journal")"

say "Keelhaven, started by the daemon, backs a local folder up to a folder of the volume"
for _ in $(seq 1 100); do run_khv task list >/dev/null 2>&1 && break; sleep 0.1; done
[ -n "$(khv_pids)" ] || fails "the daemon did not start $khv"
mkdir -p "$work/local/sub"
echo "backed up at $(date)" >"$work/local/a.txt"
head -c 300000 /dev/urandom >"$work/local/sub/b.bin"
task_id=$(run_khv task add --type backup --from "$work/local" --to "$mount_point/Backup" --schedule manual) \
    || fails "keelhaven task add failed"
step run_khv task run "$task_id" --wait || fails "the backup run did not succeed: $(run_khv task log "$task_id")"
bv() { "$bvapi" --api "$BRIMVAULT_API_URL" --ca "$BRIMVAULT_CA_FILE" --user "$user" --password-file "$work/password" "$@"; }
bv ls /Backup | grep -q a.txt || fails "the service lacks /Backup/a.txt: $(bv ls /Backup)"
bv get /Backup/sub/b.bin "$work/b.back" || fails "the service lacks /Backup/sub/b.bin"
cmp -s "$work/local/sub/b.bin" "$work/b.back" || fails "/Backup/sub/b.bin differs at the service"
run_bv refresh / >/dev/null
for _ in $(seq 1 50); do cmp -s "$work/local/a.txt" "$mount_point/Backup/a.txt" && break; sleep 0.2; done
cmp -s "$work/local/a.txt" "$mount_point/Backup/a.txt" || fails "the backup is not visible through the volume"
say "a two-way sync task carries a change on each side over to the other"
mkdir -p "$work/both"
echo "made here" >"$work/both/here.txt"
sync_id=$(run_khv task add --type sync --from "$work/both" --to "$mount_point/Both" --schedule manual) \
    || fails "keelhaven task add --type sync failed"
step run_khv task run "$sync_id" --wait || fails "the first sync run did not succeed: $(run_khv task log "$sync_id")"
bv get /Both/here.txt "$work/here.back" && cmp -s "$work/both/here.txt" "$work/here.back" \
    || fails "the first sync run did not bring here.txt to the service"
echo "changed here" >"$work/both/here.txt"
run_bv refresh / >/dev/null
for _ in $(seq 1 50); do [ -f "$mount_point/Both/here.txt" ] && break; sleep 0.2; done
echo "made on the volume" >"$mount_point/Both/there.txt"
step run_khv task run "$sync_id" --wait || fails "the second sync run did not succeed: $(run_khv task log "$sync_id")"
[ "$(cat "$work/both/there.txt" 2>/dev/null)" = "made on the volume" ] \
    || fails "the sync did not bring the volume's there.txt here: $(ls -la "$work/both")"
bv get /Both/here.txt "$work/here.back" && [ "$(cat "$work/here.back")" = "changed here" ] \
    || fails "the sync did not carry the local change of here.txt to the service"
[ -n "$demo" ] && step run_khv task list

say "quitting"
step run_bv quit
for _ in $(seq 1 100); do kill -0 "$daemon_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$daemon_pid" 2>/dev/null; then fails "the daemon still runs after quit"; fi
wait "$daemon_pid" || fails "the daemon ended with status $? (see daemon.out)"
daemon_pid=
if grep -q " $mount_point " /proc/mounts; then fails "the volume is still mounted after quit"; fi
for _ in $(seq 1 50); do [ -z "$(khv_pids)" ] && break; sleep 0.1; done
[ -z "$(khv_pids)" ] || fails "Keelhaven still runs after quit: $(khv_pids)"
say "done: the volume is gone and the daemon has ended"
[ -n "$demo" ] && exit 0

# A two-factor account, with a stand-in Keelhaven beside a copy of brimvault: the code is
# asked on the terminal, Keelhaven runs while the drive is mounted and ends with the quit.
mkdir -m 700 "$work/bin"
cp "$brimvault" "$work/bin/brimvault"
brimvault="$work/bin/brimvault"
cat >"$work/bin/keelhaven" <<KHV
#!/bin/sh
echo \$\$ >"$work/khv.pid"
exec sleep 300
KHV
chmod 700 "$work/bin/keelhaven"
echo tfa-secret-1 >"$work/tfa-password"
"$brimvault" daemon --foreground --mount-dir "$work/mnt" >>"$work/daemon.out" 2>&1 &
daemon_pid=$!
for _ in $(seq 1 100); do run_bv status >/dev/null 2>&1 && break; sleep 0.1; done
mkfifo "$work/code"
run_bv login --user tfa --password-file "$work/tfa-password" <"$work/code" >"$work/login.out" 2>&1 &
login_pid=$!
exec 3>"$work/code"
echo sms >&3      # the service sends a code when asked
code=
for _ in $(seq 1 100); do
    code=$(sed -n 's/.*2fa code for tfa: \([0-9]*\).*/\1/p' "$work/data/server.log" | tail -1)
    [ -n "$code" ] && break
    sleep 0.1
done
[ -n "$code" ] || fails "no two-factor code was issued"
echo 123456 >&3   # six digits: refused before it reaches the service
echo "$code" >&3
wait "$login_pid" || fails "two-factor login failed: $(cat "$work/login.out")"
exec 3>&-
grep -q "7-digits token" "$work/login.out" || fails "the six-digit code was not refused: $(cat "$work/login.out")"
run_bv status --json | python3 -c 'import json,sys; s=json.load(sys.stdin); assert s["user"]=="tfa" and s["mounted"] and s["keelhavenRunning"], s' \
    || fails "the two-factor sign-in did not mount or start Keelhaven"
khv_pid=$(cat "$work/khv.pid")
# The service's notification reaches the status as an update offer.
for _ in $(seq 1 50); do
    run_bv status --json | grep -q '"Version 9 is out"' && break
    sleep 0.1
done
run_bv status --json | python3 -c 'import json,sys; n=json.load(sys.stdin)["notifications"]; assert n==[{"update": True, "text": "Version 9 is out", "url": "https://example.invalid/v9.deb"}], n' \
    || fails "the update offer is not in the status"

# The uninstall hand-off: an uninstaller others may change is never run; the installed one
# runs once the daemon has signed out and let the volume go.
cat >"$work/bin/bvuninstaller" <<UNI
#!/bin/sh
echo "\$@" >"$work/uninstall.args"
grep -q " $work/mnt/" /proc/mounts && echo mounted >>"$work/uninstall.args"
exit 0
UNI
chmod 770 "$work/bin/bvuninstaller"
if run_bv uninstall --yes 2>"$work/err"; then fails "a group-writable bvuninstaller was run"; fi
grep -q "others may change it" "$work/err" || fails "unsafe uninstaller: $(cat "$work/err")"
[ ! -e "$work/uninstall.args" ] || fails "the unsafe uninstaller ran"
chmod 700 "$work/bin/bvuninstaller"
run_bv uninstall --yes --keep-data >/dev/null 2>&1 || fails "brimvault uninstall failed"
[ "$(cat "$work/uninstall.args")" = "--yes --keep-data" ] \
    || fails "bvuninstaller ran with $(cat "$work/uninstall.args" 2>/dev/null || echo nothing)"
run_bv status --json | grep -q '"signedIn": false' || fails "still signed in for the uninstaller"
kill -0 "$khv_pid" 2>/dev/null && fails "Keelhaven still runs after the uninstall sign-out"

run_bv quit >/dev/null
for _ in $(seq 1 100); do kill -0 "$daemon_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$daemon_pid" 2>/dev/null && fails "the daemon still runs after quit"
daemon_pid=
grep -q " $work/mnt/" /proc/mounts && fails "a volume is still mounted"
exit 0
