#!/usr/bin/env bash
# Builds known-answer records with the openssl command and sha256sum alone, so that the
# record code is checked against bytes it did not make. Output, one record per line:
#   <password hex> <seed hex, as stored> <plaintext hex or -> <record hex>
# Usage: make_vectors.sh > vectors.txt
set -euo pipefail

hex2bin() { printf "$(printf '%s' "$1" | sed 's/../\\x&/g')"; }
bin2hex() { od -An -v -tx1 | tr -d ' \n'; }

pattern_hex() {  # n bytes of i mod 251
    local n=$1 i out=""
    for ((i = 0; i < n; i++)); do out+=$(printf '%02x' $((i % 251))); done
    printf '%s' "$out"
}

record() {
    local password=$1 seed=$2 plain=$3
    local key iv_input iv digest ct total
    key=$(printf '%s' "$password" | sha256sum | cut -c1-64)
    # IV: SHA-256 of every second key byte (from the first) and the seed bytes, first 16 bytes.
    iv_input=""
    for ((i = 0; i < 32; i += 2)); do iv_input+=${key:$((i * 2)):2}; done
    iv_input+=$seed
    iv=$(hex2bin "$iv_input" | sha256sum | cut -c1-32)
    digest=$(hex2bin "$plain" | sha256sum | cut -c1-64)
    ct=$(hex2bin "$plain$digest" | openssl enc -aes-256-cbc -K "$key" -iv "$iv" | bin2hex)
    total=$((10 + ${#ct} / 2))
    printf '%s %s %s %02x%02x%02x%02x0001%s%s\n' \
        "$(printf '%s' "$password" | bin2hex)" "$seed" "${plain:--}" \
        $((total & 255)) $((total >> 8 & 255)) $((total >> 16 & 255)) $((total >> 24 & 255)) \
        "$seed" "$ct"
}

record "correct horse battery staple" 01020304 ""
record "correct horse battery staple" a1b2c3d4 "$(printf 'a' | bin2hex)"
record "correct horse battery staple" ff000000 "$(printf '0123456789abcdef' | bin2hex)"
record "Tr0ub4dor&3" 00000080 "$(pattern_hex 47)"
record "Tr0ub4dor&3" 7f7f7f7f "$(pattern_hex 1024)"
