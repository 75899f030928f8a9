#!/usr/bin/env bash
# The volume against plain transfers of the same reference service, on one machine in one
# run (compare the ratios; absolute times depend on the load):
#   cold `dd bs=1M` of a 256 MiB file through the mount vs `curl -o /dev/null` of it;
#   warm re-read through the mount vs `dd` of a local file from the page cache;
#   `cp` of 256 MiB onto the mount (close() returns once the service has it) vs curl
#   uploading it in 20 MiB chunks;
#   `ls -l` of a 5,000-entry folder, warm, vs the same folder on local disk (best of three);
#   `cp -r` of 1,000 files of 4 KiB onto the mount;
#   with BV_BENCH_TREE=FOLDER, `cp -r` of that folder (a source tree) onto the mount vs
#   onto local disk.
#   The share of the `cp -r` time spent in the designed create throttle (0.2 s per create
#   while more than four were made in the last second) is counted from the volume's log.
# Usage: bench/drivefs/compare.sh [build folder with bvmount and brimvault-server]
#   BV_BENCH_BVMOUNT=PATH measures another bvmount (an older build) against the same service.
# The build needs the test programs (bvmount is one): e.g. cmake -B build/bench
# -DCMAKE_BUILD_TYPE=Release -DBV_BUILD_TESTS=ON, target bvmount brimvault-server.
set -euo pipefail
build=${1:-build/bench}
server="$build/server/brimvault-server"
bvmount=${BV_BENCH_BVMOUNT:-$build/tests/drivefs/bvmount}
size_mib=${BV_BENCH_SIZE_MIB:-256}
entries=${BV_BENCH_ENTRIES:-5000}
small=${BV_BENCH_SMALL_FILES:-1000}

work=$(mktemp -d "${TMPDIR:-/tmp}/bvdrivebench.XXXXXX")
pid=
mount_pid=
cleanup() {
    if [ -n "$mount_pid" ]; then kill "$mount_pid" 2>/dev/null || true; wait "$mount_pid" 2>/dev/null || true; fi
    if grep -q " $work/mnt " /proc/mounts; then fusermount3 -u -z "$work/mnt" || true; fi
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

now_ns() { date +%s%N; }
secs() { awk -v ns="$1" 'BEGIN { printf "%.3f", ns / 1e9 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
timed() { local s; s=$(now_ns); "$@" > /dev/null; echo $(($(now_ns) - s)); }
# The shortest of three runs: a listing takes a tenth of a second, where one scheduling
# hiccup on a loaded machine would decide the ratio.
fastest() {
    local best= t
    for _ in 1 2 3; do
        t=$(timed "$@")
        if [ -z "$best" ] || [ "$t" -lt "$best" ]; then best=$t; fi
    done
    echo "$best"
}
json_field() { sed -n "s/.*\"$1\":\"\\{0,1\\}\\([^\",}]*\\).*/\\1/p"; }

printf '{"users":[{"username":"bench","password":"bench-pw","max_storage_mib":1000000}]}' \
    > "$work/seed.json"
"$server" --data "$work/data" --generate-cert --seed "$work/seed.json" \
    --max-open-uploads $((entries + small + 100)) > "$work/out" 2> "$work/err" &
pid=$!
for _ in $(seq 300); do
    grep -q '^ca: ' "$work/out" 2>/dev/null && break
    sleep 0.1
done
api=$(sed -n 's/^api: //p' "$work/out")
ca=$(sed -n 's/^ca: //p' "$work/out")
[ -n "$api" ] || { echo "server did not start"; cat "$work/err"; exit 1; }
c() { curl -sS --cacert "$ca" "$@"; }
sid=$(c -X POST -H 'Content-Type: application/json' \
        -d '{"username":"bench","passwd":"bench-pw","version":"bench"}' \
        "${api}session/login.json/" | json_field SessionID)

# The service side: the big file uploaded by curl in 20 MiB chunks, and a folder of entries.
bytes=$((size_mib * 1024 * 1024))
head -c "$bytes" /dev/urandom > "$work/file"
create() {  # folder id, name, size
    c -X POST -H 'Content-Type: application/json' \
        -d "{\"session_id\":\"$sid\",\"folder_id\":\"$1\",\"file_name\":\"$2\",\"file_size\":\"$3\"}" \
        "${api}upload/create_file.json/"
}
created=$(create 0 big.bin "$bytes")
id=$(echo "$created" | json_field FileId)
temp=$(echo "$created" | json_field TempLocation)
split -b 20M -d -a 4 "$work/file" "$work/chunk."
offset=0
start=$(now_ns)
for chunk in "$work"/chunk.*; do
    n=$(stat -c %s "$chunk")
    c -F "file_data=@$chunk;type=application/octet-stream" \
        "${api}upload/upload_file_chunk2.json/$sid/$id?temp_location=$temp&chunk_offset=$offset&chunk_size=$n" > /dev/null
    offset=$((offset + n))
done
c -X POST -H 'Content-Type: application/json' \
    -d "{\"session_id\":\"$sid\",\"file_id\":\"$id\",\"file_size\":\"$bytes\",\"temp_location\":\"$temp\"}" \
    "${api}upload/close_file_upload.json/" > /dev/null
curl_up=$(($(now_ns) - start))
rm -f "$work"/chunk.*
curl_down=$(timed c -o /dev/null "${api}download/file.json/$id?session_id=$sid&offset=0")

folder=$(c -X POST -H 'Content-Type: application/json' \
    -d "{\"session_id\":\"$sid\",\"folder_name\":\"Many\",\"folder_sub_parent\":\"0\"}" \
    "${api}folder.json/" | json_field FolderID)
python3 - "$api" "$ca" "$sid" "$folder" "$entries" <<'PY'
import http.client, json, ssl, sys, urllib.parse
api, ca, sid, folder, count = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
url = urllib.parse.urlparse(api)
connection = http.client.HTTPSConnection(url.hostname, url.port, context=ssl.create_default_context(cafile=ca))
for i in range(count):
    body = json.dumps({"session_id": sid, "folder_id": folder, "file_name": f"entry-{i}", "file_size": "0"})
    connection.request("POST", url.path + "upload/create_file.json/", body, {"Content-Type": "application/json"})
    answer = connection.getresponse().read()
    if b"FileId" not in answer:
        sys.exit(f"create failed: {answer!r}")
PY
mkdir "$work/localmany"
(cd "$work/localmany" && seq 0 $((entries - 1)) | sed 's/^/entry-/' | xargs touch)
mkdir "$work/small"
for i in $(seq 1 "$small"); do head -c 4096 /dev/urandom > "$work/small/f$i"; done

# The volume.
mkdir -p "$work/home" "$work/mnt"
HOME="$work/home" XDG_CACHE_HOME="$work/home/.cache" XDG_CONFIG_HOME="$work/home/.config" \
    XDG_DATA_HOME="$work/home/.local/share" XDG_STATE_HOME="$work/home/.local/state" \
    XDG_RUNTIME_DIR="$work/home/run" \
    "$bvmount" --url "$api" --ca "$ca" --user bench --password bench-pw \
    --mountpoint "$work/mnt" > "$work/mount.out" 2> "$work/mount.err" &
mount_pid=$!
for _ in $(seq 300); do
    grep -q " $work/mnt " /proc/mounts && break
    sleep 0.1
done
grep -q " $work/mnt " /proc/mounts || { echo "volume did not mount"; cat "$work/mount.err"; exit 1; }
mnt="$work/mnt"

cold=$(timed dd if="$mnt/big.bin" of=/dev/null bs=1M status=none)
warm=$(timed dd if="$mnt/big.bin" of=/dev/null bs=1M status=none)
dd if="$work/file" of=/dev/null bs=1M status=none
local_warm=$(timed dd if="$work/file" of=/dev/null bs=1M status=none)
cmp -s "$mnt/big.bin" "$work/file" || { echo "read back differs"; exit 1; }
cp_up=$(timed cp "$work/file" "$mnt/up.bin")
ls -l "$mnt/Many" > /dev/null
ls_mount=$(fastest ls -l "$mnt/Many")
ls -l "$work/localmany" > /dev/null
ls_local=$(fastest ls -l "$work/localmany")
cp_small=$(timed cp -r "$work/small" "$mnt/small")
throttled=$(cat "$work/home/.local/share/Brimvault/LogDirectory/"* 2>/dev/null |
    grep -c 'createFileAtPath:  going to sleep' || true)
tree=${BV_BENCH_TREE:-}
if [ -n "$tree" ]; then
    tree_files=$(find "$tree" -type f | wc -l)
    cp -r "$tree" "$work/tree-warm"  # the source in the page cache for both copies
    cp_tree_local=$(timed cp -r "$tree" "$work/tree-local")
    cp_tree=$(timed cp -r "$tree" "$mnt/tree")
fi

echo "file: $size_mib MiB; listing: $entries entries; small files: $small x 4 KiB"
echo "cold dd through the mount: $(secs "$cold") s, curl -o /dev/null: $(secs "$curl_down") s, ratio $(ratio "$cold" "$curl_down") (goal <= 1.25)"
echo "warm re-read through the mount: $(secs "$warm") s (goal <= 0.13 s), local dd from the page cache: $(secs "$local_warm") s"
echo "cp onto the mount: $(secs "$cp_up") s, curl in 20 MiB chunks: $(secs "$curl_up") s, ratio $(ratio "$cp_up" "$curl_up") (goal <= 1.2)"
echo "ls -l warm: mount $(secs "$ls_mount") s, local $(secs "$ls_local") s, ratio $(ratio "$ls_mount" "$ls_local") (goal <= 1.2)"
echo "cp -r of $small x 4 KiB: $(secs "$cp_small") s (goal <= 2 s); create throttle: $throttled waits of 0.2 s, $(awk -v n="$throttled" -v t="$cp_small" 'BEGIN { printf "%.0f", n * 0.2e9 / t * 100 }')% of the time"
if [ -n "$tree" ]; then
    echo "cp -r of a source tree ($tree_files files): mount $(secs "$cp_tree") s, local $(secs "$cp_tree_local") s, ratio $(ratio "$cp_tree" "$cp_tree_local")"
fi
