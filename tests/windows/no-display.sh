#!/usr/bin/env bash
# The Windows updater, started under Wine on the current X display in a
# prefix whose desktop was started without one, so that the system lists no
# display: it says why on standard error, as the Linux build does, logs that
# it could not start, and exits with a non-zero status.
#   no-display.sh UPDATER-EXECUTABLE
set -euo pipefail

updater="$1"
fail() { echo "FAIL: $*"; exit 1; }

WINEPREFIX="$(mktemp -d /tmp/zarvik-wine-no-display.XXXXXX)"
export WINEPREFIX
trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT

# The prefix's server and desktop are started without a display and kept
# running, so that they serve the updater too.
env -u DISPLAY wineserver -p
env -u DISPLAY wineboot --init >/dev/null 2>&1 </dev/null
log="$(winepath -u "$(wine cmd /c echo %LOCALAPPDATA% 2>/dev/null | tr -d '\r')")/Brelmar Zarvik Firmware Updater/update.log"

status=0
wine "$updater" >/dev/null 2>"$WINEPREFIX/errors" </dev/null || status=$?
errors="$(tr -d '\r' <"$WINEPREFIX/errors")"
echo "exit status $status, standard error:"
echo "$errors"

[ "$status" != 0 ] || fail "the updater exited with status 0"
why="$(grep -x 'cannot open a display: the system lists no display (DXGI error 0x[0-9a-f]*)' <<<"$errors")" ||
    fail "no line saying why on standard error"

[ -f "$log" ] || fail "no update log at $log"
echo "update log:"
cat "$log"
tail -n 1 "$log" | grep -q " could not start: $why\$" || fail "the update log's last line does not say why it could not start"
