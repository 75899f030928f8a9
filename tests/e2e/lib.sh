# Shared pieces of the fault suite, sourced by each case: the reference service with its
# admin endpoint, the brimvault daemon in a temporary HOME, sign-in and the mount, and one
# cleanup that ends every process started here and unmounts on every path.
# Each case is run as: CASE.sh BUILD_DIR. BV_E2E_LONG=1 runs the long counts.
set -euo pipefail

build=$(cd "$1" && pwd)
long=${BV_E2E_LONG:-0}
server_bin="$build/server/brimvault-server"
brimvault="$build/src/brimvault/brimvault"
bvapi_bin="$build/src/tools/bvapi"
work=$(mktemp -d /tmp/bv-e2e.XXXXXX)
chmod 700 "$work"
server_pid= daemon_pid= mount_point= port=
admin_token=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')

fails() {
    echo "FAIL: $*" >&2
    exit 1
}
note() { echo "== $*"; }

# The daemon and whatever it started that outlived it (Keelhaven): found by a mark in their
# environment naming this case's folder, which only they carry.
our_processes() {
    local pid
    for pid in $(ls /proc | grep -E '^[0-9]+$'); do
        tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qx "BV_E2E_RUN=$work" && echo "$pid"
    done
    return 0
}

unmount_all() {
    local m
    for m in $(awk -v w="$work/" 'index($2, w) == 1 {print $2}' /proc/mounts); do
        fusermount3 -u -z "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true
    done
}

# Ends at once when the process is gone or dead (a zombie), else after tenths of a second.
gone_within() {
    local state
    for _ in $(seq 1 "$2"); do
        state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)
        [ -z "$state" ] || [ "$state" = Z ] && return 0
        sleep 0.1
    done
    return 1
}

# A daemon killed while one of its threads waits in the kernel on its own mount (a folder's
# lock, held by a request the dead daemon will never answer) never ends by itself, and the
# program waiting on the mount neither. Aborting the mount's connection frees both.
abort_connections() {
    local dev
    for dev in $(awk -v w="$work/" 'index($5, w) == 1 {print $3}' /proc/self/mountinfo); do
        [ -e "/sys/fs/fuse/connections/${dev#*:}/abort" ] ||
            mount -t fusectl none /sys/fs/fuse/connections 2>/dev/null
        echo 1 >"/sys/fs/fuse/connections/${dev#*:}/abort" 2>/dev/null
    done
    return 0
}
stuck_after_kill=0

cleanup() {
    local status=$?
    set +e
    trap - EXIT
    if [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2>/dev/null; then
        timeout 10 "$brimvault" quit >/dev/null 2>&1
        for _ in $(seq 1 50); do kill -0 "$daemon_pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$daemon_pid" 2>/dev/null
        gone_within "$daemon_pid" 50 || abort_connections
    fi
    for pid in $(our_processes); do kill -KILL "$pid" 2>/dev/null; done
    unmount_all
    # Readers and writers of this case, freed by the unmount.
    for pid in $(jobs -p); do [ "$pid" != "$server_pid" ] && kill -KILL "$pid" 2>/dev/null; done
    if [ -n "$server_pid" ]; then
        kill -CONT "$server_pid" 2>/dev/null
        kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    fi
    if [ $status -ne 0 ]; then
        echo "--- daemon log:" >&2
        cat "$work"/home/.local/share/Brimvault/LogDirectory/BVLog-* 2>/dev/null | tail -60 >&2
        echo "--- daemon output:" >&2
        tail -40 "$work/daemon.out" 2>/dev/null >&2
        echo "--- server errors:" >&2
        tail -20 "$work/server.err" 2>/dev/null >&2
    fi
    sleep 0.2
    if awk -v w="$work/" 'index($2, w) == 1' /proc/mounts | grep -q . || [ -n "$(our_processes)" ]; then
        echo "FAIL: a mount or a process of this case is left over" >&2
        status=1
    fi
    rm -rf "$work"
    exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ ! -e /dev/fuse ]; then
    echo "SKIP: no /dev/fuse"
    exit 0
fi

mkdir -p "$work/data" "$work/home" "$work/run" "$work/mnt"
chmod 700 "$work/run"
export HOME="$work/home" XDG_RUNTIME_DIR="$work/run"
unset XDG_CACHE_HOME XDG_DATA_HOME XDG_CONFIG_HOME XDG_STATE_HOME

# Starts the service; again on the same port and data after a kill.
start_server() {
    : >"$work/server.out"
    "$server_bin" --data "$work/data" --listen "127.0.0.1:${port:-0}" --generate-cert --demo \
        --admin-token "$admin_token" >"$work/server.out" 2>>"$work/server.err" &
    server_pid=$!
    for _ in $(seq 1 100); do
        grep -q '^password: ' "$work/server.out" 2>/dev/null && break
        kill -0 "$server_pid" 2>/dev/null || fails "the service did not start: $(cat "$work/server.err")"
        sleep 0.1
    done
    field() { sed -n "s/^$1: //p" "$work/server.out"; }
    (umask 077; field password >"$work/password")
    user=$(field user)
    export BRIMVAULT_API_URL=$(field api) BRIMVAULT_CA_FILE=$(field ca)
    port=$(echo "$BRIMVAULT_API_URL" | sed -n 's|.*:\([0-9]*\)/api/v1/|\1|p')
}

kill_server() {
    kill -KILL "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
}

admin() {  # METHOD PATH [JSON]; fails the case when the service refuses
    curl -fsS --cacert "$BRIMVAULT_CA_FILE" -X "$1" -H "X-Admin-Token: $admin_token" \
        ${3:+-H 'Content-Type: application/json' -d "$3"} "${BRIMVAULT_API_URL%api/v1/}${2#/}" ||
        fails "the admin request $1 $2 was refused"
}

bvapi() {
    "$bvapi_bin" --api "$BRIMVAULT_API_URL" --ca "$BRIMVAULT_CA_FILE" --user "$user" \
        --password-file "$work/password" "$@"
}

status_field() {  # KEY: from brimvault status --json
    "$brimvault" status --json 2>/dev/null |
        python3 -c 'import json,sys; print(json.load(sys.stdin).get(sys.argv[1], ""))' "$1" 2>/dev/null
}

# Starts the daemon, signs in and waits for the mount; sets mount_point.
start_daemon() {
    unmount_all
    BV_E2E_RUN="$work" "$brimvault" daemon --foreground --mount-dir "$work/mnt" \
        >>"$work/daemon.out" 2>&1 &
    daemon_pid=$!
    for _ in $(seq 1 200); do
        "$brimvault" status >/dev/null 2>&1 && break
        kill -0 "$daemon_pid" 2>/dev/null || fails "the daemon ended at its start"
        sleep 0.1
    done
    if [ "$(status_field signedIn)" != "True" ]; then
        timeout 60 "$brimvault" login --user "$user" --password-file "$work/password" >/dev/null ||
            fails "sign-in failed"
    fi
    for _ in $(seq 1 200); do
        [ "$(status_field mounted)" = "True" ] && break
        sleep 0.1
    done
    mount_point=$(status_field mountPoint)
    [ -n "$mount_point" ] && grep -q " $mount_point fuse" /proc/mounts ||
        fails "the volume is not mounted"
}

stop_daemon() {
    timeout 30 "$brimvault" quit >/dev/null 2>&1 || true
    for _ in $(seq 1 150); do kill -0 "$daemon_pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$daemon_pid" 2>/dev/null && fails "the daemon still runs 15 s after quit"
    wait "$daemon_pid" 2>/dev/null || true
    daemon_pid=
    grep -q " $mount_point " /proc/mounts && fails "the volume is still mounted after quit"
    return 0
}

kill_daemon() {
    kill -KILL "$daemon_pid" 2>/dev/null || true
    if ! gone_within "$daemon_pid" 100; then
        stuck_after_kill=$((stuck_after_kill + 1))
        echo "the killed daemon did not end within 10 s: its mount's connection is aborted" >&2
        abort_connections
    fi
    wait "$daemon_pid" 2>/dev/null || true
    daemon_pid=
    for pid in $(our_processes); do kill -KILL "$pid" 2>/dev/null; done
    unmount_all
}

daemon_log() { cat "$work"/home/.local/share/Brimvault/LogDirectory/BVLog-* 2>/dev/null; }

# Random bytes of a size into a file.
random_file() { head -c "$2" /dev/urandom >"$1"; }
