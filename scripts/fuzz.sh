#!/usr/bin/env bash
# Builds the decryption fuzz target with libFuzzer (clang, address and undefined-behaviour
# sanitizers) and runs it for a bounded time. Exits non-zero when the target crashes.
# Usage: scripts/fuzz.sh [seconds=30] [build folder=build/fuzz]
set -euo pipefail

seconds=${1:-30}
root=$(cd "$(dirname "$0")/.." && pwd)
out=${2:-$root/build/fuzz}
cxx=${FUZZ_CXX:-clang++}
mkdir -p "$out/corpus"

sources=(
    "$root/tests/fuzz/fuzz_decrypt.cpp"
    "$root"/src/crypto/*.cpp
    "$root"/src/WebCallExec/*.cpp
    "$root/src/platform/Error.cpp"
)
# shellcheck disable=SC2046
"$cxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$root/src" $(pkg-config --cflags libcrypto) "${sources[@]}" \
    $(pkg-config --libs libcrypto) -o "$out/fuzz_decrypt"

# Seeds: the known-answer records made with the fuzz target's password.
hex2bin() { printf "$(printf '%s' "$1" | sed 's/../\\x&/g')"; }
n=0
while read -r password _ _ record; do
    [ "$password" = "$(printf 'correct horse battery staple' | od -An -v -tx1 | tr -d ' \n')" ] || continue
    hex2bin "$record" > "$out/corpus/seed-$n"
    n=$((n + 1))
done < "$root/tests/crypto/data/vectors.txt"

"$out/fuzz_decrypt" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$out/" -print_final_stats=1 "$out/corpus"

# The client's answer-to-item conversion (answer text -> every item class, listings
# included), seeded with answers of the shapes the service sends.
answers=(
    "$root/tests/fuzz/fuzz_answers.cpp"
    "$root"/src/BVApi/Content/*.cpp
    "$root"/src/app/Logging/*.cpp
    "$root"/src/platform/*.cpp
)
mkdir -p "$out/corpus-answers"
# shellcheck disable=SC2046
"$cxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$root/src" $(pkg-config --cflags libcrypto libutf8proc) "${answers[@]}" \
    $(pkg-config --libs libcrypto libutf8proc) -pthread -o "$out/fuzz_answers"
printf '%s' '{"DirUpdateTime":5,"Name":"x","ParentFolderID":"0","ResponseType":1,"Folders":[{"FolderID":"d1","Name":"Docs","Encrypted":1,"ShareMode":1}],"Files":[{"FileId":"f1","Name":"a.txt","Size":12,"DateModified":1733790000}],"SharedFolders":[],"SharedUsers":[{"Name":"bob","SharingID":"s1"}]}' \
    > "$out/corpus-answers/listing"
printf '%s' '{"SessionID":"S1","UserName":"ann","AccType":1,"DriveName":"B","UserFirstName":"","UserLastName":"","UserID":"7","UploadSpeedLimit":0,"Active2FA":"1","IsAccountUser":0,"FileId":"f1","FolderId":"d1","TempLocation":"/t","RequireHash":0,"RequireHashOnly":0,"TotalWritten":5,"ShareWithUser":[{"SharingID":"u1","Name":"Bob","ShareMode":"read"}]}' \
    > "$out/corpus-answers/session"
"$out/fuzz_answers" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
    -artifact_prefix="$out/answers-" -print_final_stats=1 "$out/corpus-answers"
