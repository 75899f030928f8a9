#!/usr/bin/env bash
# Builds the Debian packages from a configured build tree, installs the client package on
# this machine, runs the installed programs and removes them again with bvuninstaller, once
# keeping the user's data and once removing it. Needs root (it installs packages); as
# another user it says so and does nothing.
set -euo pipefail

build="${1:?usage: package-check.sh BUILD_DIR}"
if [ "$(id -u)" -ne 0 ]; then
    echo "package-check: skipped (installing packages needs root)"
    exit 0
fi

step() { echo "package-check: $*"; }
fail() {
    echo "package-check: FAILED: $*" >&2
    # What the removal script said, when it ran.
    find "${home:-/nonexistent}" -name BVlog -exec cat {} + >&2 2>/dev/null || true
    exit 1
}

(cd "$build" && cpack -G DEB >/dev/null)
deb="$(ls "$build"/brimvault_*.deb | head -1)"
server_deb="$(ls "$build"/brimvault-server_*.deb | head -1)"
[ -f "$deb" ] && [ -f "$server_deb" ] || fail "no packages in $build"
step "built $(basename "$deb") and $(basename "$server_deb")"

home="$(mktemp -d /tmp/bv-package-home.XXXXXX)"
trap 'rm -rf "$home"; dpkg -r brimvault >/dev/null 2>&1 || true' EXIT
run_as_user() {
    env -i PATH=/usr/bin:/bin HOME="$home" XDG_RUNTIME_DIR="$home/run" "$@"
}

install_client() {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$(realpath "$deb")" >/dev/null ||
        fail "apt-get install of $deb"
    for program in /usr/bin/bvuninstaller /usr/bin/bvfinder /usr/lib/brimvault/uninstaller.sh \
                   /usr/lib/systemd/user/brimvault.service; do
        [ -e "$program" ] || fail "$program is not installed"
    done
    for program in brimvault keelhaven bvfinder bvuninstaller; do
        if [ -x "/usr/bin/$program" ]; then
            run_as_user "/usr/bin/$program" --help >/dev/null || fail "$program --help"
        fi
    done
    step "installed; the programs answer --help"
}

seed_user_data() {
    mkdir -p "$home/.local/share/Brimvault" "$home/.config/Brimvault" "$home/run"
    echo '{"BrimvaultAutoLogin":{"demo":"secret"}}' > "$home/.local/share/Brimvault/secrets.json"
    echo '{"savePswd":true}' > "$home/.config/Brimvault/com.Brimvault.Brimvault.json"
    chmod 700 "$home/.local/share/Brimvault" "$home/.config/Brimvault" "$home/run"
    chmod 600 "$home/.local/share/Brimvault/secrets.json"
}

install_client
seed_user_data
run_as_user /usr/bin/bvuninstaller --yes --keep-data >/dev/null || fail "bvuninstaller --keep-data"
[ ! -e /usr/bin/bvfinder ] || fail "onlyapp left /usr/bin/bvfinder"
grep -q secret "$home/.local/share/Brimvault/secrets.json" || fail "onlyapp lost the secrets"
grep -q savePswd "$home/.config/Brimvault/com.Brimvault.Brimvault.json" ||
    fail "onlyapp lost the preferences"
step "onlyapp removed the programs and kept the data"

install_client
run_as_user /usr/bin/bvuninstaller --yes >/dev/null || fail "bvuninstaller (full)"
[ ! -e /usr/bin/bvuninstaller ] || fail "full removal left /usr/bin/bvuninstaller"
[ ! -e "$home/.local/share/Brimvault" ] || fail "full removal left the user's data"
[ ! -e "$home/.config/Brimvault" ] || fail "full removal left the preferences"
step "full removal removed the programs and the user's data"
