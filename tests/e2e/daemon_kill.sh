#!/usr/bin/env bash
# The daemon killed with SIGKILL while files are being written through the volume, at random
# moments: after it is started again, every file whose close() had returned is complete at
# the service, and no file is ever at the service with other bytes than the ones written.
source "$(dirname "$0")/lib.sh"

kills=3
[ "$long" = 1 ] && kills=20
start_server
: >"$work/intended"
: >"$work/closed"

# Every file the service lists at the top holds exactly what was written under its name, or
# nothing yet (created, its bytes not closed); with "closed" every file whose close()
# returned is there whole.
check_service() {  # closed|present
    local listing name size want
    bvapi ls / >"$work/listing" || fails "listing at the service failed"
    awk '$1 == "-" {print $NF, $(NF-1)}' "$work/listing" | grep '^k' >"$work/present" || true
    while read -r name size; do
        want=$(awk -v n="$name" '$1 == n {print $2}' "$work/intended" | tail -1)
        [ -n "$want" ] || fails "the service holds $name, which was never written"
        bvapi get "/$name" "$work/got" >/dev/null || fails "cannot download $name"
        [ "$(sha256sum <"$work/got" | cut -d' ' -f1)" = "$want" ] && continue
        # The empty file its open(O_CREAT) made, as it was when that call returned; the
        # journal brings the bytes of a closed one at the next start.
        if [ "$size" = 0 ] && { [ "$1" = present ] || ! grep -qx "$name" "$work/closed"; }; then
            continue
        fi
        fails "the service holds $name with other bytes ($size of $(awk -v n="$name" '$1 == n {print $3}' "$work/intended") bytes): a partial file visible as finished"
    done <"$work/present"
    if [ "$1" = closed ]; then
        while read -r name; do
            grep -q "^$name " "$work/present" || return 1
        done <"$work/closed"
    fi
    return 0
}

for round in $(seq 1 "$kills"); do
    start_daemon
    python3 "$(dirname "$0")/writer.py" "$mount_point" "k$round" "$work/intended" "$work/closed" \
        >/dev/null 2>&1 &
    writer=$!
    sleep "$(python3 -c 'import random; print(round(random.uniform(0.3, 2.5), 2))')"
    kill_daemon
    wait "$writer" 2>/dev/null || true
    check_service present
done

# The last start resumes whatever the journal kept; then every closed file is there.
start_daemon
ok=0
for _ in $(seq 1 120); do
    if check_service closed; then ok=1; break; fi
    sleep 1
done
[ "$ok" = 1 ] || fails "files whose close() returned are missing at the service: $(while read -r n; do grep -q "^$n " "$work/present" || echo -n "$n "; done <"$work/closed")"
stop_daemon
note "kills survived: $kills (daemons stuck after the kill until their mount was aborted: $stuck_after_kill), files closed: $(wc -l <"$work/closed"), files at the service: $(wc -l <"$work/present"), lost or partial: 0"
