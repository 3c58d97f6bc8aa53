# End-to-end checks of the real updater against zarvik-sim, driven as a user
# drives it: real X input events, and what the screen shows read back from
# screenshots. Runs inside the virtual machine with the ALSA sequencer.
#
# Sourced by the scenario scripts, which are called as
#   SCENARIO.sh UPDATER-EXECUTABLE ZARVIK-SIM-EXECUTABLE

set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/windows.sh"

# The virtual machine emulates its processor: keep the image tools to one thread.
export MAGICK_THREAD_LIMIT=1 OMP_THREAD_LIMIT=1

APP="$1"
SIM="$2"
# Logs and screenshots stay in the current folder, which outlives the machine.
WORK="$PWD/e2e-$(basename "$0" .sh)"
rm -rf "$WORK"
mkdir -p "$WORK"
TITLE="Brelmar Zarvik Firmware Updater"
SIM_PID=""
APP_PID=""
WINDOW=""
STARTED=$SECONDS

log() { printf '[%4ds] %s\n' $((SECONDS - STARTED)) "$*"; }
fail() {
    log "FAIL: $*"
    screenshot "$WORK/failure.png" || true
    log "windows: $(xdotool search --onlyvisible --name '.' getwindowname %@ 2>/dev/null | tr '\n' '|')"
    log "screenshot and logs in $WORK"
    exit 1
}

# Further processes of a scenario, ended with it.
HELPER_PIDS=()

cleanup() {
    for pid in "${HELPER_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    [ -n "$APP_PID" ] && kill "$APP_PID" 2>/dev/null || true
    [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null || true
    [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap cleanup EXIT

start_display() {
    export DISPLAY=:7
    Xvfb :7 -screen 0 1280x1024x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && return 0; sleep 0.1; done
    fail "Xvfb did not start"
}

# start_sim [zarvik-sim options...]: the simulated unit, reporting into $WORK/sim.log.
start_sim() {
    "$SIM" "$@" >"$WORK/sim.log" 2>&1 &
    SIM_PID=$!
    for _ in $(seq 100); do aconnect -l 2>/dev/null | grep -q "Zarvik Graphics" && return 0; sleep 0.1; done
    cat "$WORK/sim.log"
    fail "zarvik-sim did not show its ports"
}

# stop_sim: ends the simulator, prints its report and keeps it in $REPORT,
# with its exit status in $SIM_STATUS.
stop_sim() {
    SIM_STATUS=0
    kill -TERM "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" || SIM_STATUS=$?
    SIM_PID=""
    REPORT="$(sed -n '/zarvik-sim report/,$p' "$WORK/sim.log")"
    echo "$REPORT"
}

# The command that starts the updater; a scenario may put a launcher (Wine) in front.
APP_COMMAND=("$APP")

start_app() {
    "${APP_COMMAND[@]}" >"$WORK/app.log" 2>&1 &
    APP_PID=$!
    WINDOW="$(find_window "$TITLE" "${APP_START_LIMIT:-120}")" || fail "the window did not appear"
    # Wine maps a window at 0,0 first and moves it to where the updater centred
    # it only afterwards: the clicks and the pixels read go by where it ends up.
    for _ in $(seq 50); do
        eval "$(xdotool getwindowgeometry --shell "$WINDOW")"
        [ "$X,$Y" != "0,0" ] && break
        sleep 0.2
    done
    WIN_X=$X WIN_Y=$Y
    log "window $WINDOW at $WIN_X,$WIN_Y, ${WIDTH}x$HEIGHT"
    [ "$WIDTH" = 500 ] && [ "$HEIGHT" = 452 ] || fail "the window is ${WIDTH}x$HEIGHT, not 500x452"
}

screenshot() { import -window root "$1"; }

# screen_text: the texts the window shows, read by OCR in one pass (each run of
# the OCR engine is slow in the virtual machine): the version table with the
# line under it, the progress bar, the status rows and the hardware line,
# stacked into one picture.
screen_text() {
    local shot="$WORK/window.png"
    import -window root -crop "500x452+$WIN_X+$WIN_Y" +repage "$shot"
    convert "$shot" \
        \( -clone 0 -crop 484x117+8+193 \) \( -clone 0 -crop 457x24+21+316 \) \
        \( -clone 0 -crop 405x62+10+338 \) \( -clone 0 -crop 220x20+10+414 \) \
        -delete 0 -background white -splice 0x12 -append +repage \
        -colorspace Gray -resize 300% -normalize "$WORK/text.png"
    tesseract "$WORK/text.png" - --psm 6 2>/dev/null | tr -s ' \n' ' '
}

# wait_for_text TEXT [SECONDS]: waits until the window shows the text.
wait_for_text() {
    local deadline=$((SECONDS + ${2:-60})) seen=""
    while [ $SECONDS -lt $deadline ]; do
        seen="$(screen_text)"
        case "$seen" in *"$1"*) log "shows \"$1\""; return 0 ;; esac
        sleep 0.5
    done
    fail "expected \"$1\", the window shows \"$seen\""
}

# expect_texts TEXT...: the window shows every one of the texts, read in one pass.
expect_texts() {
    local seen text
    seen="$(screen_text)"
    for text in "$@"; do
        case "$seen" in *"$text"*) log "shows \"$text\"" ;; *) fail "expected \"$text\", the window shows \"$seen\"" ;; esac
    done
}

# wait_for_hardware_led green|red [SECONDS]: waits until the indicator shows that colour.
wait_for_hardware_led() {
    local deadline=$((SECONDS + ${2:-60})) colour="" r g b
    while [ $SECONDS -lt $deadline ]; do
        colour="$(pixel 16 423)"
        IFS=, read -r r g b <<<"$colour"
        if { [ "$1" = green ] && [ "$g" -gt $((r + 60)) ]; } || { [ "$1" = red ] && [ "$r" -gt $((g + 60)) ]; }; then
            log "the hardware LED is $1 ($colour)"
            return 0
        fi
        sleep 0.5
    done
    fail "the hardware LED is not $1 ($colour)"
}

# wait_for_unit: the LED is green and the unit's control version (zarvik-sim's
# default) is shown, as a user sees before clicking "Update": an updater with
# test firmware updates the unit only once it has said it is a rehearsal unit.
wait_for_unit() {
    wait_for_hardware_led green
    wait_for_text "Zarvik Control: 0.0.3.1"
}

# pixel X Y: the colour of a pixel of the window, as "r,g,b".
pixel() {
    import -window root -crop "1x1+$((WIN_X + $1))+$((WIN_Y + $2))" -depth 8 txt:- |
        sed -n 's/.*(\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1,\2,\3/p' | head -n 1
}

# wait_for_dialog TITLE [SECONDS]: waits for an alert window with that title.
wait_for_dialog() {
    DIALOG="$(find_window "$1" "${2:-60}")" || fail "no dialog \"$1\""
    log "dialog \"$1\" is open"
}

# wait_for_update_end TITLE: waits for the dialog that ends an update for as
# long as the unit keeps receiving. The emulated machine's pace follows the
# load beside it, so only an update that stops moving for two minutes fails.
wait_for_update_end() {
    local seen="" last="" moved=$SECONDS
    while [ $((SECONDS - moved)) -lt 120 ]; do
        DIALOG="$(visible_windows "$1" | head -n 1)" || true
        if [ -n "$DIALOG" ]; then
            log "dialog \"$1\" is open"
            return 0
        fi
        # zarvik-sim prints the bytes each port has received every 5 s.
        seen="$(grep '^Control ' "$WORK/sim.log" | tail -n 1)" || true
        [ "$seen" != "$last" ] && last="$seen" && moved=$SECONDS
        sleep 1
    done
    fail "no dialog \"$1\", and the unit has received nothing more for 120 s ($seen)"
}

dialog_gone() {
    local windows
    windows="$(visible_windows "$1")" && [ -z "$windows" ]
}

# click X Y: a left click at a point of the window.
click() { xdotool mousemove $((WIN_X + $1)) $((WIN_Y + $2)) click 1; sleep 0.2; }

# key KEY...: key presses through the X server, to the window that has the
# focus. Without a window manager the focus follows the pointer, so the pointer
# rests on the panel first, as a user's hand would be on the mouse.
key() {
    xdotool mousemove $((WIN_X + 250)) $((WIN_Y + 120))
    xdotool key --delay 50 "$@"
    sleep 0.2
}

# dialog_key KEY...: key presses to the open dialog, the pointer resting on it.
dialog_key() {
    focus_window "$DIALOG"
    xdotool key --delay 50 "$@"
    sleep 0.2
}

# focus_window ID: the keyboard goes to that window. Without a window manager
# nobody moves it to a new dialog, and the updater's window takes it back
# after an update has started.
focus_window() {
    xdotool mousemove --window "$1" 30 30 windowfocus "$1"
    sleep 0.1
}

# The "Update" button's centre, and the point in the panel the keyboard goes to.
click_update() { click 405 417; }

# press_solvane_key: n, which makes the next "Update" open the Solvane form.
# release_solvane_key: lets go of it once that form is open, for a run that
# holds n down through the click.
press_solvane_key() { key n; }
release_solvane_key() { :; }

# start_update [solvane]: "Update" (after n for the Solvane form), and OK on
# the instructions it opens.
start_update() {
    if [ "${1:-}" = solvane ]; then
        press_solvane_key
        click_update
        wait_for_dialog "Important Firmware Update Information (Solvane Mode)"
        release_solvane_key
    else
        click_update
        wait_for_dialog "Important Firmware Update Information"
    fi
    dialog_key Return
}
