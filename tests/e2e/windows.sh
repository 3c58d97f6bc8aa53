# Finding windows by their exact title on the X display, for the end-to-end
# and package tests. Sourced.

# title_pattern TITLE: a pattern matching exactly that window title.
title_pattern() { printf '^%s$' "$(sed 's/[][()\.^$*+?{}|]/\\&/g' <<<"$1")"; }

# visible_windows TITLE: the visible windows with that title, one a line.
# xdotool stops on an X error when a window goes while it walks the window
# tree, as JUCE's short-lived windows do while a program starts: it is asked
# again then, and fails only when it never gets through.
visible_windows() {
    local found attempt
    for attempt in 1 2 3 4 5; do
        if found="$(xdotool search --onlyvisible --name "$(title_pattern "$1")" 2>&1)"; then
            echo "$found"
            return 0
        fi
        case "$found" in
            *"X Error"*) sleep 0.1 ;;
            *) return 0 ;;
        esac
    done
    return 1
}

# find_window TITLE SECONDS: the first visible window with that title, once
# there is one; fails when none comes within the time.
find_window() {
    local deadline=$((SECONDS + $2)) found
    while [ $SECONDS -lt $deadline ]; do
        found="$(visible_windows "$1" | head -n 1)" || true
        [ -n "$found" ] && echo "$found" && return 0
        sleep 0.2
    done
    return 1
}
