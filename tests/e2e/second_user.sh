#!/usr/bin/env bash
# A second local user (nobody) against a signed-in daemon whose HOME and runtime folder are
# open to others as many homes are (0755): it cannot talk to the control or command sockets of
# brimvault and Keelhaven, read the session files, cache, logs, preferences or secret store,
# or list the mounted volume.
source "$(dirname "$0")/lib.sh"

if [ "$(id -u)" != 0 ]; then
    echo "SKIP: needs root to act as a second user"
    exit 0
fi
if command -v setpriv >/dev/null; then
    as_other() { setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups -- "$@"; }
else
    as_other() { runuser -u nobody -- "$@"; }
fi
umask 022
chmod 711 "$work"
chmod 755 "$work/home" "$work/run" "$work/mnt"

start_server
start_daemon
echo "through the volume" >"$mount_point/note.txt"
cat "$mount_point/note.txt" >/dev/null
for _ in $(seq 1 100); do [ "$(status_field keelhavenRunning)" = True ] && break; sleep 0.1; done
sleep 1  # the session files and logs of both programs are written

# The checks below mean something only if the other user reaches the folders at all.
as_other ls "$work/home" >/dev/null || fails "the other user cannot even reach HOME"

denied=0
allowed=()
deny() { denied=$((denied + 1)); }
allow() { allowed+=("$1"); }

# The programs' own clients, as the other user.
if as_other env HOME=/nonexistent XDG_RUNTIME_DIR="$work/run" "$brimvault" status \
    >"$work/other.out" 2>&1; then
    allow "brimvault status answered: $(head -3 "$work/other.out")"
else deny; fi
keelhaven="$(dirname "$brimvault")/keelhaven"
if [ -x "$keelhaven" ]; then
    if as_other env HOME=/nonexistent XDG_RUNTIME_DIR="$work/run" "$keelhaven" task list \
        >"$work/other.out" 2>&1; then
        allow "keelhaven task list answered: $(head -3 "$work/other.out")"
    else deny; fi
fi

# Every socket: no connection, or one closed without an answer.
sockets=$(find "$work/home" "$work/run" -type s 2>/dev/null)
[ -n "$sockets" ] || fails "no sockets found"
# A probe that cannot run at all must not count as a refusal.
probe=/usr/bin/python3
as_other "$probe" -c pass || fails "the other user cannot run $probe"
for s in $sockets; do
    rc=0
    as_other "$probe" - "$s" <<'PY' || rc=$?
import socket, sys
c = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
c.settimeout(3)
try:
    c.connect(sys.argv[1])
except OSError:
    sys.exit(1)
try:
    c.sendall(b'{"command": "status"}\n')
    sys.exit(0 if c.recv(100) else 1)
except OSError:
    sys.exit(1)
PY
    case $rc in
        0) allow "socket $s answered" ;;
        1) deny ;;
        *) fails "the socket probe of $s failed to run (exit $rc)" ;;
    esac
done

# Every file the programs wrote, and their folders.
while IFS= read -r f; do
    if as_other head -c1 "$f" >/dev/null 2>&1; then allow "read $f"; else deny; fi
done < <(find "$work/home" "$work/run" -type f)
while IFS= read -r d; do
    if as_other ls "$d" >/dev/null 2>&1; then allow "listed $d"; else deny; fi
done < <(find "$work/home" "$work/run" -mindepth 1 -type d -iname '*brimvault*' -o -mindepth 1 -type d -iname '*keelhaven*')

if as_other ls "$mount_point" >/dev/null 2>&1; then allow "listed the mount $mount_point"; else deny; fi
if as_other head -c1 "$mount_point/note.txt" >/dev/null 2>&1; then allow "read the mount's note.txt"; else deny; fi

stop_daemon
note "access checks denied: $denied, allowed: ${#allowed[@]}"
if [ ${#allowed[@]} -gt 0 ]; then
    printf '  allowed: %s\n' "${allowed[@]}" >&2
    fails "the second user got in ${#allowed[@]} times"
fi
