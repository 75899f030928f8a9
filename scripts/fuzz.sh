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
