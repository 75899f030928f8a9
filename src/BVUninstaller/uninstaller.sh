#!/bin/sh
# Removes the installed suite. Run with administrator rights by bvuninstaller:
#   uninstaller.sh onlyapp   removes the programs
#   uninstaller.sh full      also removes the user's data, cache, logs, preferences and
#                            backup task databases
# It says on standard output what it removed.
set -u
# Run with administrator rights: only the system's own folders are searched for programs.
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH

mode="${1:-}"
case "$mode" in
    full|onlyapp) ;;
    *) echo "usage: $0 full|onlyapp" >&2; exit 2 ;;
esac

here="$(cd "$(dirname "$0")" && pwd -P)"
prefix="$(cd "$here/../.." && pwd -P)"
status=0

remove_user_data() {
    # The user who asked: pkexec names them; run directly, it is whoever we are.
    if [ -n "${PKEXEC_UID:-}" ]; then
        user="$(getent passwd "$PKEXEC_UID" | cut -d: -f1)"
        home="$(getent passwd "$PKEXEC_UID" | cut -d: -f6)"
        uid="$PKEXEC_UID"
        data="$home/.local/share"; cache="$home/.cache"
        config="$home/.config"; state="$home/.local/state"
        runtime="/run/user/$uid/brimvault"; shared_runtime="/tmp/brimvault-$uid"
        # Removing as that user means a link in their home cannot point us elsewhere.
        as_user="runuser -u $user --"
    else
        uid="$(id -u)"
        home="${HOME:-}"
        data="${XDG_DATA_HOME:-$home/.local/share}"; cache="${XDG_CACHE_HOME:-$home/.cache}"
        config="${XDG_CONFIG_HOME:-$home/.config}"; state="${XDG_STATE_HOME:-$home/.local/state}"
        # Without a runtime folder the per-login state lies in the shared /tmp instead.
        if [ -n "${XDG_RUNTIME_DIR:-}" ]; then
            runtime="$XDG_RUNTIME_DIR/brimvault"; shared_runtime=""
        else
            runtime=""; shared_runtime="/tmp/brimvault-$uid"
        fi
        as_user=""
    fi
    for dir in "$data/Brimvault" "$cache/Brimvault" "$config/Brimvault" "$state/Brimvault" \
               "$runtime" "$shared_runtime"; do
        if [ -n "$dir" ] && { [ -e "$dir" ] || [ -L "$dir" ]; }; then
            if $as_user rm -rf -- "$dir"; then
                echo "removed $dir"
            else
                echo "could not remove $dir" >&2; status=1
            fi
        fi
    done
}

remove_programs() {
    if command -v dpkg-query >/dev/null 2>&1 &&
       owner="$(dpkg-query -S "$here/uninstaller.sh" 2>/dev/null | cut -d: -f1)" &&
       [ -n "$owner" ]; then
        if dpkg -r "$owner"; then
            echo "removed package $owner"
        else
            echo "could not remove package $owner" >&2; status=1
        fi
        return
    fi
    manifest="$here/install-manifest.txt"
    if [ ! -f "$manifest" ]; then
        echo "no install manifest at $manifest: nothing removed" >&2; status=1
        return
    fi
    while IFS= read -r relative; do
        case "$relative" in ""|/*|*..*) continue ;; esac
        if [ -e "$prefix/$relative" ] || [ -L "$prefix/$relative" ]; then
            rm -f -- "$prefix/$relative" && echo "removed $prefix/$relative"
        fi
    done < "$manifest"
    rm -f -- "$manifest" "$here/uninstaller.sh"
    rmdir -- "$here" 2>/dev/null || true
    echo "removed the programs below $prefix"
}

if [ "$mode" = full ]; then
    remove_user_data
fi
remove_programs
exit $status
