#!/usr/bin/env bash
# Opens the updater's real window on a virtual display in each of its main
# states (the unit simulated on in-process ports where one is needed) and
# saves a screenshot of each in docs/screenshots/.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

shots="$ZARVIK_ROOT/docs/screenshots"
title="Brelmar Zarvik Firmware Updater"

# Runs on the virtual display: STATE FILE WHAT, WHAT being "window" for the
# window alone or "screen" for the window with the dialog in front of it.
capture() {
    local state="$1" file="$2" what="$3"

    coproc harness { exec "$ZARVIK_BUILD/zarvik-window-harness" "$state"; }
    local line=""
    read -r -t 120 line <&"${harness[0]}" || true

    if [ "$line" != "READY" ]; then
        echo "screenshots: the window did not reach the state $state" >&2
        kill "$harness_PID" 2>/dev/null || true
        return 1
    fi

    if [ "$what" = window ]; then
        import -window "$(xdotool search --onlyvisible --name "^$title\$" | head -n 1)" "$shots/$file"
    else
        import -window root "$shots/$file"
    fi

    kill "$harness_PID"
    wait "$harness_PID" 2>/dev/null || true
    echo "saved docs/screenshots/$file"
}

if [ "${1:-}" = "--on-display" ]; then
    capture no-hardware no-hardware.png window
    capture detected unit-detected.png window
    capture instructions instructions.png screen
    capture updating updating.png window
    capture aborted aborted.png screen
    capture complete complete.png screen
    capture refused refused.png screen
    capture up-to-date up-to-date.png window
    capture did-not-take did-not-take.png window
    exit 0
fi

zarvik_install_missing "${ZARVIK_RUN_PACKAGES[@]}" xvfb xauth xdotool imagemagick
zarvik_build "$ZARVIK_BUILD" -- zarvik-window-harness
mkdir -p "$shots"
xvfb-run -a -s "-screen 0 800x600x24" "$0" --on-display
