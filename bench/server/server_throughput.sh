#!/usr/bin/env bash
# Throughput of brimvault-server over HTTPS, measured with curl:
#   download of a large file with `curl -o /dev/null` against `cat` of the same stored
#   content (goal: ratio >= 0.5), and upload of the file in 20 MiB chunks (MB/s).
# Usage: bench/server/server_throughput.sh [path/to/brimvault-server] [size in MiB]
# Build the server in Release first (e.g. `make bench`, or cmake -DCMAKE_BUILD_TYPE=Release).
set -euo pipefail
server=${1:-build/bench/server/brimvault-server}
size_mib=${2:-512}
chunk_mib=20

work=$(mktemp -d "${TMPDIR:-/tmp}/bvbench.XXXXXX")
pid=
cleanup() {
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

now_ns() { date +%s%N; }
mbps() { awk -v b="$1" -v ns="$2" 'BEGIN { printf "%.1f", (b / 1e6) / (ns / 1e9) }'; }
json_field() { sed -n "s/.*\"$1\":\"\\{0,1\\}\\([^\",}]*\\).*/\\1/p"; }

printf '{"users":[{"username":"bench","password":"bench-pw","max_storage_mib":1000000}]}' \
    > "$work/seed.json"
"$server" --data "$work/data" --generate-cert --seed "$work/seed.json" \
    > "$work/out" 2> "$work/err" &
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
bytes=$((size_mib * 1024 * 1024))
head -c "$bytes" /dev/urandom > "$work/file"
created=$(c -X POST -H 'Content-Type: application/json' \
    -d "{\"session_id\":\"$sid\",\"folder_id\":\"0\",\"file_name\":\"big.bin\",\"file_size\":\"$bytes\"}" \
    "${api}upload/create_file.json/")
id=$(echo "$created" | json_field FileId)
temp=$(echo "$created" | json_field TempLocation)
split -b "${chunk_mib}M" -d -a 4 "$work/file" "$work/chunk."

offset=0
start=$(now_ns)
for chunk in "$work"/chunk.*; do
    n=$(stat -c %s "$chunk")
    answer=$(c -F "file_data=@$chunk;type=application/octet-stream" \
        "${api}upload/upload_file_chunk2.json/$sid/$id?temp_location=$temp&chunk_offset=$offset&chunk_size=$n")
    [ "$(echo "$answer" | json_field TotalWritten)" = "$n" ] || { echo "chunk failed: $answer"; exit 1; }
    offset=$((offset + n))
done
closed=$(c -X POST -H 'Content-Type: application/json' \
    -d "{\"session_id\":\"$sid\",\"file_id\":\"$id\",\"file_size\":\"$bytes\",\"temp_location\":\"$temp\"}" \
    "${api}upload/close_file_upload.json/")
upload_ns=$(($(now_ns) - start))
echo "$closed" | grep -q '"FileId"' || { echo "close failed: $closed"; exit 1; }
rm -f "$work"/chunk.*

stored=$(find "$work/data/content" -type f -name "$id.*")
cat "$stored" > /dev/null  # warm the page cache for both readers
best_cat=0; best_curl=0
for _ in 1 2 3; do
    s=$(now_ns); cat "$stored" > /dev/null; t=$(($(now_ns) - s))
    if [ "$best_cat" -eq 0 ] || [ "$t" -lt "$best_cat" ]; then best_cat=$t; fi
    s=$(now_ns); c -o /dev/null "${api}download/file.json/$id?session_id=$sid&offset=0"; t=$(($(now_ns) - s))
    if [ "$best_curl" -eq 0 ] || [ "$t" -lt "$best_curl" ]; then best_curl=$t; fi
done

echo "file: $size_mib MiB"
echo "upload ($chunk_mib MiB chunks, curl): $(mbps "$bytes" "$upload_ns") MB/s"
echo "download (curl -o /dev/null):        $(mbps "$bytes" "$best_curl") MB/s"
echo "cat of the stored content:           $(mbps "$bytes" "$best_cat") MB/s"
echo "download / cat ratio:                $(awk -v a="$best_cat" -v b="$best_curl" 'BEGIN { printf "%.3f", a / b }') (goal >= 0.5)"
