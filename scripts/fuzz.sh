#!/usr/bin/env bash
# Builds the fuzz targets with libFuzzer (clang, address and undefined-behaviour sanitizers)
# and runs each for its share of a bounded time: record decryption, the reference service's
# request parsing, the client's answer-to-item conversion, and the message decoders of the
# command sockets and extension ports. Exits non-zero when a target crashes.
# Usage: scripts/fuzz.sh [seconds for all targets=30] [build folder=build/fuzz]
set -euo pipefail

seconds=${1:-30}
root=$(cd "$(dirname "$0")/.." && pwd)
out=${2:-$root/build/fuzz}
cxx=${FUZZ_CXX:-clang++}
flags=(-std=c++20 -O1 -gline-tables-only -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
targets=4
share=$(( seconds / targets > 0 ? seconds / targets : 1 ))
mkdir -p "$out/corpus" "$out/corpus-params" "$out/corpus-answers" "$out/corpus-comms"

run() {
    local target=$1 corpus=$2
    shift 2
    "$out/$target" -max_total_time="$share" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$out/$target-" -print_final_stats=1 "$@" "$corpus"
}

sources=(
    "$root/tests/fuzz/fuzz_decrypt.cpp"
    "$root"/src/crypto/*.cpp
    "$root"/src/WebCallExec/*.cpp
    "$root/src/platform/Error.cpp"
)
# The targets are built side by side; a build that fails fails the run once all have ended.
builds=()
# shellcheck disable=SC2046
"$cxx" "${flags[@]}" -I"$root/src" $(pkg-config --cflags libcrypto) "${sources[@]}" \
    $(pkg-config --libs libcrypto) -o "$out/fuzz_decrypt" &
builds+=($!)

# shellcheck disable=SC2046
"$cxx" "${flags[@]}" -I"$root/server/src" $(pkg-config --cflags cpp-httplib nlohmann_json) \
    "$root/tests/fuzz/fuzz_request_params.cpp" "$root/server/src/ApiCall.cpp" \
    $(pkg-config --libs cpp-httplib) -o "$out/fuzz_request_params" &
builds+=($!)

wait_for_builds() {
    local failed=0 pid
    for pid in "${builds[@]}"; do
        wait "$pid" || failed=1
    done
    builds=()
    if [ "$failed" -ne 0 ]; then
        echo "fuzz.sh: a fuzz target failed to build" >&2
        exit 1
    fi
}

# The items, logging and platform layer, compiled once for the two targets below that
# decode items: the client's answer-to-item conversion, and the message decoders of the
# command sockets and extension ports.
common_flags=(-std=c++20 -O1 -gline-tables-only -fsanitize=fuzzer-no-link,address,undefined
    -fno-sanitize-recover=undefined)
mkdir -p "$out/common"
rm -f "$out/common"/*.o "$out/libfuzzcommon.a"
# shellcheck disable=SC2046
printf '%s\n' "$root"/src/BVApi/Content/*.cpp "$root"/src/app/Logging/*.cpp \
    "$root"/src/platform/*.cpp |
    xargs -P "$(nproc)" -I{} sh -c 'dir=$1; shift; "$0" "$@" -c "{}" -o "$dir/$(basename "{}" .cpp).o"' \
        "$cxx" "$out/common" "${common_flags[@]}" -I"$root/src" \
        $(pkg-config --cflags libcrypto libutf8proc nlohmann_json)
ar rcs "$out/libfuzzcommon.a" "$out/common"/*.o

# shellcheck disable=SC2046
"$cxx" "${flags[@]}" -I"$root/src" $(pkg-config --cflags libutf8proc nlohmann_json) \
    "$root/tests/fuzz/fuzz_answers.cpp" "$out/libfuzzcommon.a" \
    $(pkg-config --libs libcrypto libutf8proc) -pthread -o "$out/fuzz_answers" &
builds+=($!)

# shellcheck disable=SC2046
"$cxx" "${flags[@]}" -I"$root/src" $(pkg-config --cflags libutf8proc nlohmann_json) \
    "$root/tests/fuzz/fuzz_comms_messages.cpp" \
    "$root"/src/comms/{BVExtensionActions,BVExtensionMessage,CommFrameReader,CommValue}.cpp \
    "$out/libfuzzcommon.a" $(pkg-config --libs libcrypto libutf8proc) -pthread \
    -o "$out/fuzz_comms_messages" &
builds+=($!)
wait_for_builds

# Seeds: the known-answer records made with the fuzz target's password.
hex2bin() { printf "$(printf '%s' "$1" | sed 's/../\\x&/g')"; }
n=0
while read -r password _ _ record; do
    [ "$password" = "$(printf 'correct horse battery staple' | od -An -v -tx1 | tr -d ' \n')" ] || continue
    hex2bin "$record" > "$out/corpus/seed-$n"
    n=$((n + 1))
done < "$root/tests/crypto/data/vectors.txt"

# Seeds for the request parsing: requests shaped as clients send them.
printf 'last_request_time=0&encryption_supported=1' > "$out/corpus-params/seed-query"
printf 'x=1\n{"session_id":"s","folder_name":"a","folder_sub_parent":"0","file_size":12.0}' \
    > "$out/corpus-params/seed-body"
printf '\n{"passwd":[[[[{"a":[1,true,null,-2e3]}]]]],"sharemode":1}' > "$out/corpus-params/seed-nested"

# Seeds for the answer conversion: a listing and a sign-in answer as the service sends them.
printf '%s' '{"DirUpdateTime":5,"Name":"x","ParentFolderID":"0","ResponseType":1,"Folders":[{"FolderID":"d1","Name":"Docs","Encrypted":1,"ShareMode":1}],"Files":[{"FileId":"f1","Name":"a.txt","Size":12,"DateModified":1733790000}],"SharedFolders":[],"SharedUsers":[{"Name":"bob","SharingID":"s1"}]}' \
    > "$out/corpus-answers/listing"
printf '%s' '{"SessionID":"S1","UserName":"ann","AccType":1,"DriveName":"B","UserFirstName":"","UserLastName":"","UserID":"7","UploadSpeedLimit":0,"Active2FA":"1","IsAccountUser":0,"FileId":"f1","FolderId":"d1","TempLocation":"/t","RequireHash":0,"RequireHashOnly":0,"TotalWritten":5,"ShareWithUser":[{"SharingID":"u1","Name":"Bob","ShareMode":"read"}]}' \
    > "$out/corpus-answers/session"

# Seeds for the messages: a framed string stream and an extension datagram, as sent.
printf '\x00\x07\x00\x00\x00\x20\xa2\x66$class\x68NSString\x69NS.string\x64open' \
    > "$out/corpus-comms/seed-stream"
printf '\x01\x82\x64port\x81\x48ext_init' > "$out/corpus-comms/seed-datagram"

# Each target runs on one processor for its share, as many side by side as there are
# processors; each prints its findings to a log of its own, shown once it ended.
runs=() names=()
wait_for_runs() {
    local failed=0 i
    for i in "${!runs[@]}"; do
        wait "${runs[$i]}" || { failed=1; echo "fuzz.sh: ${names[$i]} failed" >&2; }
        cat "$out/${names[$i]}.log"
    done
    runs=() names=()
    [ "$failed" -eq 0 ] || exit 1
}
start_run() {
    run "$@" >"$out/$1.log" 2>&1 &
    runs+=($!) names+=("$1")
    [ "${#runs[@]}" -lt "$(nproc)" ] || wait_for_runs
}
start_run fuzz_decrypt "$out/corpus"
start_run fuzz_request_params "$out/corpus-params"
start_run fuzz_answers "$out/corpus-answers" -max_len=65536
start_run fuzz_comms_messages "$out/corpus-comms"
wait_for_runs
