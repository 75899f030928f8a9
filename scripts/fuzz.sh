#!/usr/bin/env bash
# Builds the fuzz targets with libFuzzer (clang, address and undefined-behaviour sanitizers)
# and runs each for its share of a bounded time: record decryption, the reference
# service's request parsing, and the message decoders of the command sockets and extension
# ports. Exits non-zero when a target crashes.
# Usage: scripts/fuzz.sh [seconds for all targets=30] [build folder=build/fuzz]
set -euo pipefail

seconds=${1:-30}
root=$(cd "$(dirname "$0")/.." && pwd)
out=${2:-$root/build/fuzz}
cxx=${FUZZ_CXX:-clang++}
flags=(-std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
targets=3
share=$(( seconds / targets > 0 ? seconds / targets : 1 ))
mkdir -p "$out/corpus" "$out/corpus-params" "$out/corpus-comms"

run() {
    local target=$1 corpus=$2
    "$out/$target" -max_total_time="$share" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$out/$target-" -print_final_stats=1 "$corpus"
}

sources=(
    "$root/tests/fuzz/fuzz_decrypt.cpp"
    "$root"/src/crypto/*.cpp
    "$root"/src/WebCallExec/*.cpp
    "$root/src/platform/Error.cpp"
)
# shellcheck disable=SC2046
"$cxx" "${flags[@]}" -I"$root/src" $(pkg-config --cflags libcrypto) "${sources[@]}" \
    $(pkg-config --libs libcrypto) -o "$out/fuzz_decrypt"

# shellcheck disable=SC2046
"$cxx" "${flags[@]}" -I"$root/server/src" $(pkg-config --cflags cpp-httplib nlohmann_json) \
    "$root/tests/fuzz/fuzz_request_params.cpp" "$root/server/src/ApiCall.cpp" \
    $(pkg-config --libs cpp-httplib) -o "$out/fuzz_request_params"

comms_sources=(
    "$root/tests/fuzz/fuzz_comms_messages.cpp"
    "$root"/src/comms/{BVExtensionActions,BVExtensionMessage,CommFrameReader,CommValue}.cpp
    "$root"/src/BVApi/Content/*.cpp
    "$root"/src/platform/{KeyedArchive,Error,Format}.cpp
)
# shellcheck disable=SC2046
"$cxx" "${flags[@]}" -I"$root/src" $(pkg-config --cflags libutf8proc nlohmann_json) \
    "${comms_sources[@]}" $(pkg-config --libs libutf8proc) -o "$out/fuzz_comms_messages"

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

# Seeds for the messages: a framed string stream and an extension datagram, as sent.
printf '\x00\x07\x00\x00\x00\x20\xa2\x66$class\x68NSString\x69NS.string\x64open' \
    > "$out/corpus-comms/seed-stream"
printf '\x01\x82\x64port\x81\x48ext_init' > "$out/corpus-comms/seed-datagram"

run fuzz_decrypt "$out/corpus"
run fuzz_request_params "$out/corpus-params"
run fuzz_comms_messages "$out/corpus-comms"
