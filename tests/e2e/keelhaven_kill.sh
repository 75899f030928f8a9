#!/usr/bin/env bash
# Keelhaven killed with SIGKILL inside two-way sync runs, with new files of up to a few MiB
# on both sides before each run: each kill waits for a moment of the run seen from outside
# (a download's part file holding bytes, the Nth chunk on its way, the Nth finished action).
# After every kill no local file holds other bytes than the ones written for it (here or at
# the service) and no partial download is visible; the run that is let finish leaves both
# sides with the same files and the same bytes, and no part file behind.
source "$(dirname "$0")/lib.sh"

kills=3
[ "$long" = 1 ] && kills=10
khv="$build/src/brimvault/keelhaven"
khv_exe=$(readlink -f "$khv")
local_root="$work/local"
: >"$work/expected"

# The Keelhaven the daemon started for this case, if one runs.
khv_pid() {
    local pid
    for pid in $(our_processes); do
        [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$khv_exe" ] && echo "$pid" && return 0
    done
    return 0
}

khv_ready() {
    for _ in $(seq 1 300); do
        [ -n "$(khv_pid)" ] && "$khv" task list >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    fails "the daemon did not start Keelhaven"
}

sha() { sha256sum <"$1" | cut -d' ' -f1; }

# A new file for the relative path, written locally or at the service (through a staging
# copy); its bytes are what that path may ever hold.
add_file() {  # local|cloud PATH BYTES
    local file
    if [ "$1" = local ]; then
        file="$local_root/$2"
        mkdir -p "$(dirname "$file")"
    else
        file="$work/stage"
    fi
    random_file "$file" "$3"
    echo "$2 $(sha "$file")" >>"$work/expected"
    if [ "$1" = cloud ]; then
        bvapi put "$file" "/Kill/$2" >"$work/put.out" 2>&1 ||
            fails "cannot put /Kill/$2 at the service: $(cat "$work/put.out")"
    fi
}

# Every local file is one that was written for its path, whole; no part file is visible
# under its final name.
check_local() {
    local path rel
    while IFS= read -r -d '' path; do
        rel=${path#"$local_root/"}
        case "$(basename "$rel")" in .bvkh-part-*) continue ;; esac
        grep -qx "$rel $(sha "$path")" "$work/expected" ||
            fails "local $rel holds bytes that were never written for it ($(stat -c %s "$path") bytes): a damaged or partial file"
    done < <(find "$local_root" -type f -print0)
}

# Both sides hold every expected path with its bytes, and nothing else.
check_both() {
    local rel want got
    find "$local_root" -type f | sed "s|^$local_root/||" | sort >"$work/local.list"
    cut -d' ' -f1 "$work/expected" | sort >"$work/expected.list"
    diff "$work/expected.list" "$work/local.list" >"$work/diff" ||
        fails "the local folder differs from what both sides were given: $(cat "$work/diff")"
    check_local
    list_cloud /Kill | sort >"$work/cloud.list"
    diff "$work/expected.list" "$work/cloud.list" >"$work/diff" ||
        fails "the service differs from what both sides were given: $(cat "$work/diff")"
    while read -r rel want; do
        bvapi get "/Kill/$rel" "$work/got" >/dev/null 2>&1 || fails "cannot download /Kill/$rel"
        got=$(sha "$work/got")
        [ "$got" = "$want" ] || fails "/Kill/$rel at the service holds other bytes than written"
    done <"$work/expected"
}

# The files below a service folder, as paths relative to it (the names here have no spaces).
list_cloud() {  # FOLDER [PREFIX]
    local name listing
    listing=$(bvapi ls "$1" 2>"$work/ls.err") || fails "cannot list $1 at the service: $(cat "$work/ls.err")"
    awk '$1 == "-" {print $NF}' <<<"$listing" | sed "s|^|${2:-}|"
    for name in $(awk '$1 == "d" {sub("/$", "", $NF); print $NF}' <<<"$listing"); do
        list_cloud "$1/$name" "${2:-}$name/"
    done
}

start_server
start_daemon
khv_ready
bvapi mkdir /Kill >/dev/null 2>&1 || fails "cannot make /Kill at the service"
for d in 1 2 3; do
    for f in 1 2 3 4 5 6; do add_file local "l$d/f$f" $(((RANDOM % 512 + 1) * 1024)); done
done
add_file local big $((6 << 20))
# More than one chunk of an upload (20 MiB each), so that a kill can fall between two.
[ "$long" = 1 ] && add_file local l1/huge $((24 << 20))
for d in c1 c2; do
    bvapi mkdir "/Kill/$d" >/dev/null 2>&1 || fails "cannot make /Kill/$d at the service"
done
for f in 1 2 3 4; do add_file cloud "c1/g$f" $(((RANDOM % 512 + 1) * 1024)); done
add_file cloud c1/big $((5 << 20))
task_id=$("$khv" task add --type sync --from "$local_root" --to "$mount_point/Kill" --schedule manual) ||
    fails "keelhaven task add failed"

# The task's log (one file across runs): the kill moment is chosen from the run's own
# records and part files, not from a guess at how long a run takes.
log_file=$(find "$HOME" -name "*.$task_id.log" -type f | head -1)
[ -n "$log_file" ] || fails "the task's log file was not found"

# Lines of this run's log, that is after line $1 of the file.
run_records() { tail -n +"$(($1 + 1))" "$log_file"; }
count_records() { run_records "$1" | grep -c -- "$2" || true; }

# Waits for the chosen moment of the run that starts after log line FROM; 0 at the moment,
# 1 when the run ended first.
wait_moment() {  # FROM KIND N
    local deadline=$((SECONDS + 120))
    until run_records "$1" | grep -q ': Sync Started\.$'; do
        [ $SECONDS -lt $deadline ] || fails "the run of round $round did not start within 120 s"
        sleep 0.02
    done
    while [ $SECONDS -lt $deadline ]; do
        case "$2" in
            # A download of this run whose part file already holds bytes (a killed run's
            # part stays until that file is downloaded again).
            download) find "$local_root" -name '.bvkh-part-*' -size +0 -newer "$work/run.mark" |
                grep -q . && return 0 ;;
            # The Nth chunk of this run on its way to the service.
            upload) [ "$(count_records "$1" 'UploadFile attempt ')" -ge "$3" ] && return 0 ;;
            # The Nth finished action of this run.
            done) [ "$(count_records "$1" 'Succeeded')" -ge "$3" ] && return 0 ;;
        esac
        run_records "$1" | grep -q ': Task Finished\.$' && return 1
        sleep 0.02
    done
    fails "the run of round $round neither reached its $2 moment nor ended within 120 s: $(run_records "$1" | tail -5)"
}

during=0
moments=
for round in $(seq 1 "$kills"); do
    for n in 1 2 3 4; do
        add_file local "l$(((round + n) % 3 + 1))/r$round-$n" $(((RANDOM % 4 + 1) << 20))
    done
    add_file local "l$((round % 3 + 1))/t$round" $(((RANDOM % 64 + 1) << 10))
    add_file cloud "c1/s$round-1" $(((RANDOM % 4 + 3) << 20))
    add_file cloud "c$((round % 2 + 1))/s$round-2" $(((RANDOM % 2048 + 1) << 10))
    add_file cloud "c2/t$round" $(((RANDOM % 64 + 1) << 10))
    pid=$(khv_pid)
    [ -n "$pid" ] || fails "Keelhaven is not running in round $round"
    from=$(wc -l <"$log_file")
    case $((RANDOM % 3)) in
        0) kind=download n=1 ;;
        1) kind=upload n=$((RANDOM % 4 + 1)) ;;
        *) kind=done n=$((RANDOM % 5 + 1)) ;;
    esac
    touch "$work/run.mark"
    "$khv" task run "$task_id" >"$work/run.out" 2>&1 ||
        fails "keelhaven task run failed in round $round: $(cat "$work/run.out")"
    wait_moment "$from" "$kind" "$n" || true
    kill -KILL "$pid"
    while kill -0 "$pid" 2>/dev/null; do sleep 0.02; done
    if run_records "$from" | grep -q ': Task Finished\.$'; then
        moments="$moments $kind:after"
    else
        during=$((during + 1))
        moments="$moments $kind$n"
    fi
    check_local
    # A new start of the daemon starts Keelhaven at once; its own restart waits longer
    # after each quick end.
    stop_daemon
    start_daemon
    khv_ready
done
# A kill after a run's end shows nothing about interrupted runs: nearly all must land inside.
[ $((during * 5)) -ge $((kills * 4)) ] ||
    fails "only $during of $kills kills fell during a run (moments:$moments)"

"$khv" task run "$task_id" --wait >/dev/null 2>&1 ||
    fails "the run after the kills did not succeed: $("$khv" task log "$task_id" 2>&1 | grep '!!' | tail -20)"
check_both
parts=$(find "$local_root" -name '.bvkh-part-*' | wc -l)
[ "$parts" = 0 ] || fails "part files are left in the local folder: $(find "$local_root" -name '.bvkh-part-*')"
stop_daemon
note "Keelhaven kills survived: $kills ($during during a run:$moments), files on both sides: $(wc -l <"$work/expected"), damaged or lost: 0"
