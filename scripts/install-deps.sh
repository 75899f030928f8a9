#!/usr/bin/env bash
# Installs the Debian packages the suite builds, tests and runs with.
# As root it installs what is missing; otherwise it prints the command to run.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev lld
    fuse3 libfuse3-dev fio
    libcurl4-openssl-dev curl rsync python3
    libssl-dev openssl ca-certificates
    libsqlite3-dev
    nlohmann-json3-dev
    libutf8proc-dev
    libcli11-dev
    libcpp-httplib-dev
    libgtest-dev libgmock-dev libbenchmark-dev
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Run as root:"
    echo "  apt-get update && apt-get install -y ${missing[*]}"
    exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
