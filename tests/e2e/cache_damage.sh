#!/usr/bin/env bash
# The content cache damaged while the daemon is stopped (bytes flipped, a file cut, its
# checksums gone as in a cache from before them, an index file cut): after the restart every
# file reads back exactly as the service holds it, the damage is found and logged, and the
# cut index is put aside and written anew.
source "$(dirname "$0")/lib.sh"

start_server
sizes=(300000 1048576 70000 2500000)
[ "$long" = 1 ] && sizes+=(33554432 123 65536 9000000)
for i in "${!sizes[@]}"; do
    random_file "$work/orig-$i" "${sizes[$i]}"
    bvapi put "$work/orig-$i" "/f$i.bin" >/dev/null || fails "upload of f$i.bin"
done

start_daemon
for i in "${!sizes[@]}"; do
    cmp -s "$work/orig-$i" "$mount_point/f$i.bin" || fails "f$i.bin reads back wrong before any damage"
done
stop_daemon

cache=$(dirname "$(find "$work/home" -name '*.binary' -size +0 | head -1)")
[ -d "$cache" ] || fails "no cached content found"
# Each cached content file is told apart by its size.
content_of() { find "$cache" -name '*.binary' -size "${1}c" | head -1; }
flip() { python3 -c 'import sys; f=open(sys.argv[1],"r+b"); f.seek(int(sys.argv[2])); b=f.read(1); f.seek(int(sys.argv[2])); f.write(bytes([b[0]^0x40]))' "$1" "$2"; }
damaged=0
for i in "${!sizes[@]}"; do
    c=$(content_of "${sizes[$i]}")
    [ -n "$c" ] || fails "f$i.bin has no cached content"
    case $((i % 4)) in
        0) flip "$c" $((${sizes[$i]} / 2)) ;;
        1) truncate -s $((${sizes[$i]} / 3)) "$c" ;;
        2) rm -f "${c%.binary}.crc" ;;
        3) flip "$c" 0; flip "$c" $((${sizes[$i]} - 1)) ;;
    esac
    damaged=$((damaged + 1))
done
before=$(daemon_log | wc -l)
start_daemon
for i in "${!sizes[@]}"; do
    cmp "$work/orig-$i" "$mount_point/f$i.bin" || fails "f$i.bin served wrong bytes after the damage"
done
# And once more, now from the content downloaded again.
for i in "${!sizes[@]}"; do
    cmp -s "$work/orig-$i" "$mount_point/f$i.bin" || fails "f$i.bin reads wrong on the second read"
done
stop_daemon
found=$(daemon_log | tail -n +$((before + 1)) | grep -c "is damaged" || true)
# A descriptor that no longer holds (its content cut below what it claimed when persisted)
# is dropped before any read, without reaching the checksums.
purged=$(daemon_log | tail -n +$((before + 1)) | grep -c "Cache invalidated, purging it and re-downloading" || true)
[ $((found + purged)) -ge "$damaged" ] ||
    fails "only $found of $damaged damaged files were detected ($purged dropped as invalid)"

# The index of the content descriptors cut: it is put aside, every file still reads right
# (its content downloaded again), and the index is written anew.
index="$cache/BVBinaryDataDescriptorItem.index"
[ -s "$index" ] || fails "no descriptor index in the cache"
truncate -s $(($(stat -c %s "$index") / 2)) "$index"
start_daemon
for i in "${!sizes[@]}"; do
    cmp "$work/orig-$i" "$mount_point/f$i.bin" || fails "f$i.bin served wrong bytes after the index was cut"
done
stop_daemon
[ -e "$index.unreadable" ] || fails "the cut index was not put aside"
[ -s "$index" ] || fails "the descriptor index was not written anew"
note "damaged files: $damaged, found by their checksums: $found, dropped as invalid before a read: $purged, wrong bytes served: 0; cut index put aside and rebuilt"
