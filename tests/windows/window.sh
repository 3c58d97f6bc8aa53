#!/usr/bin/env bash
# The Windows updater, started under Wine on the current X display, opens its
# 500 x 452 window; a screenshot of the screen is saved.
#   window.sh UPDATER-EXECUTABLE SCREENSHOT
set -euo pipefail

updater="$1"
screenshot="$2"
title="Brelmar Zarvik Firmware Updater"

wine "$updater" >/dev/null 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null; wait' EXIT

# Wine gives the window's frame and its client area X windows of their own.
for _ in $(seq 120); do
    for window in $(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null); do
        eval "$(xdotool getwindowgeometry --shell "$window")"
        echo "window $window: ${WIDTH}x$HEIGHT"
        if [ "$WIDTH" = 500 ] && [ "$HEIGHT" = 452 ]; then
            sleep 2
            mkdir -p "$(dirname "$screenshot")"
            import -window root "$screenshot"
            echo "saved $screenshot"
            exit 0
        fi
    done
    sleep 0.5
done
echo "FAIL: no 500x452 window titled \"$title\""
exit 1
