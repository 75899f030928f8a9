#!/usr/bin/env bash
# An update offered by the service: `brimvault update` signs out, downloads the package into
# an owner-only folder, checks it against the offer and hands it on. A package that does not
# match its offer is never handed on, and the daemon goes back to the sign-in.
source "$(dirname "$0")/lib.sh"

start_server
package="$work/data/downloads/brimvault_9.9_amd64.deb"
random_file "$package" 300000
size=$(stat -c %s "$package")
sum=$(sha256sum "$package" | cut -d' ' -f1)
offer() {  # SHA256
    admin POST admin/users "{\"username\": \"$user\", \"notifications\": [{\"Type\": 1,
        \"Text\": \"Brimvault 9.9 is available\", \"Size\": $size, \"SHA256\": \"$1\",
        \"URL\": \"https://127.0.0.1:$port/downloads/brimvault_9.9_amd64.deb\"}]}" >/dev/null
}
wait_for_offer() {
    for _ in $(seq 1 100); do
        "$brimvault" status 2>/dev/null | grep -q '^update: .*9.9' && return 0
        sleep 0.1
    done
    fails "the update offer is not shown: $("$brimvault" status 2>&1)"
}

offer "$(printf '0%.0s' $(seq 1 64))"
start_daemon
wait_for_offer
if timeout 120 "$brimvault" update --yes --download-only >"$work/update.out" 2>&1; then
    fails "a package whose SHA-256 differs from the offer's was accepted: $(cat "$work/update.out")"
fi
grep -q "SHA-256" "$work/update.out" || fails "the refusal does not name the check: $(cat "$work/update.out")"
[ -z "$(find "$work/home/.cache" -name 'update.deb*' 2>/dev/null)" ] ||
    fails "the refused package was kept: $(find "$work/home/.cache" -name 'update.deb*')"

# The daemon went back to the sign-in (same process, started again).
offer "$sum"
for _ in $(seq 1 200); do
    "$brimvault" status >/dev/null 2>&1 && break
    sleep 0.1
done
[ "$(status_field signedIn)" = "False" ] || fails "the daemon is still signed in after the refusal"
timeout 60 "$brimvault" login --user "$user" --password-file "$work/password" >/dev/null ||
    fails "sign-in after the refusal failed"
wait_for_offer

timeout 120 "$brimvault" update --yes --download-only >"$work/update.out" 2>&1 ||
    fails "the update was not downloaded: $(cat "$work/update.out")"
file=$(sed -n 's/^install it as root with: apt-get install //p' "$work/update.out")
[ -n "$file" ] && cmp -s "$file" "$package" || fails "the downloaded file is not the package: $(cat "$work/update.out")"
[ "$(stat -c %a "$file")" = 600 ] && [ "$(stat -c %a "$(dirname "$file")")" = 700 ] ||
    fails "the package or its folder is open to others: $(stat -c '%a %n' "$file" "$(dirname "$file")")"
for _ in $(seq 1 150); do kill -0 "$daemon_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$daemon_pid" 2>/dev/null && fails "the daemon still runs after the update's download"
wait "$daemon_pid" 2>/dev/null || true
daemon_pid=
grep -q " $mount_point " /proc/mounts && fails "the volume is still mounted after the update's download"
note "update offer: a mismatching package refused, the offered one downloaded to $file"
