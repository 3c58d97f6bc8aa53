#!/usr/bin/env bash
# The Debian package as a user meets it: made with cpack, checked by lintian,
# installed with dpkg into a throw-away copy of this machine (the virtual
# machine, which keeps every change in its memory), started until its window
# shows, and purged without leaving anything behind.
#
#   package-test.sh BUILD-DIR PACKAGE-FILE-NAME     builds, checks, then runs
#   package-test.sh --installed PACKAGE-FILE        the part in the virtual machine
set -euo pipefail
source "$(dirname "$0")/../e2e/windows.sh"

NAME=brelmar-zarvik-firmware-updater
TITLE="Brelmar Zarvik Firmware Updater"

fail() {
    echo "FAIL: $*"
    exit 1
}

timed() {
    local what="$1" start=$SECONDS
    shift
    "$@"
    echo "[$((SECONDS - start)) s] $what"
}

#===============================================================================
# In the virtual machine.

# The files the guest changed, less temporary files (JUCE's single-instance
# lock stays behind in /var/tmp), dpkg's own records and the caches that the
# triggers of other packages rebuild.
changed_files() {
    (cd /run/zarvik-vm/changes && find . ! -type d) | sed 's|^\.||' |
        grep -vE '^/(tmp|var/tmp|var/log|var/lib/dpkg|var/cache/man)/|/(icon-theme|mimeinfo)\.cache$' | sort || true
}

# The package's files and folders that exist now.
existing_package_paths() {
    local path
    for path in $(dpkg-deb -c "$1" | awk '{ print substr($6, 2) }'); do
        if [ -e "$path" ]; then echo "$path"; fi
    done
}

# Starts the installed program on a display of its own and waits for its window.
check_window() {
    export DISPLAY=:9 HOME=/tmp/home
    mkdir -p "$HOME"
    Xvfb :9 -screen 0 1280x1024x24 -nolisten tcp >/tmp/xvfb.log 2>&1 &
    local xvfb=$!
    for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

    "$NAME" >/tmp/app.log 2>&1 &
    local app=$! window
    window="$(find_window "$TITLE" 120)" ||
        { cat /tmp/app.log; fail "no window \"$TITLE\""; }

    # The window must belong to the program dpkg installed, nothing else.
    [ "$(readlink "/proc/$(xdotool getwindowpid "$window")/exe")" = "/usr/bin/$NAME" ] ||
        fail "the window is not the installed program's"
    eval "$(xdotool getwindowgeometry --shell "$window")"
    echo "window \"$TITLE\" of /usr/bin/$NAME, ${WIDTH}x$HEIGHT"
    [ "$WIDTH" = 500 ] && [ "$HEIGHT" = 452 ] || fail "the window is ${WIDTH}x$HEIGHT, not 500x452"

    kill "$app" "$xvfb"
    wait "$app" "$xvfb" 2>/dev/null || true
}

if [ "${1:-}" = --installed ]; then
    deb="$2"
    # man-db's trigger would index every manual page here: minutes in the guest.
    rm -f /var/lib/man-db/auto-update
    changed_files >/tmp/changed-before
    existing_package_paths "$deb" >/tmp/paths-before

    timed "dpkg -i" dpkg -i "$deb"
    dpkg-query -W -f='${Status} ${Version}\n' "$NAME"
    [ "$(command -v "$NAME")" = "/usr/bin/$NAME" ] || fail "$NAME is not on the PATH"
    grep -qx "Exec=$NAME" "/usr/share/applications/$NAME.desktop" || fail "the desktop entry does not start $NAME"
    [ -f "/usr/share/icons/hicolor/256x256/apps/$NAME.png" ] || fail "no icon in the hicolor theme"
    timed "started, window shown" check_window

    timed "dpkg --purge" dpkg --purge "$NAME"
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$NAME" 2>/dev/null || echo not-installed)" = not-installed ] ||
        fail "dpkg still knows $NAME"

    existing_package_paths "$deb" >/tmp/paths-after
    diff /tmp/paths-before /tmp/paths-after || fail "the package's paths before and after (< before, > after) differ"
    changed_files >/tmp/changed-after
    diff /tmp/changed-before /tmp/changed-after ||
        fail "installing, running and purging changed these files (< before, > after)"
    echo "purged: nothing left behind"
    exit 0
fi

#===============================================================================
# On this machine.
build="$(cd "$1" && pwd)"
deb="$build/package/$2"

rm -f "$build"/package/*.deb
timed "cpack" sh -c "cd '$build' && cpack -G DEB >'$build/package/cpack.log' 2>&1" || { cat "$build/package/cpack.log"; fail "cpack"; }
[ -f "$deb" ] || fail "cpack made $(ls "$build"/package/*.deb 2>/dev/null || echo nothing), not $2"
echo "$2: $(stat -c %s "$deb") bytes"
dpkg-deb -f "$deb" Version Depends Description

echo "lintian:"
timed "lintian" lintian --fail-on error --info "$deb" || fail "lintian found errors"

cd "$build"
exec "$(dirname "$0")/../vm/zarvik-vm" --writable-root --quiet --timeout 600 -- "$(cd "$(dirname "$0")" && pwd)/package-test.sh" --installed "$deb"
