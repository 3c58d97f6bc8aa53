#!/usr/bin/env bash
# What the real updater does when things go wrong: one updater on one X
# display meets one fault after another. For each case a zarvik-sim with the
# fault is plugged in, the case is played as a user would, and what the user
# saw, what the unit received and what the updater logged are recorded; then
# a sound unit is plugged in (where one was pulled) and an update in
# "(Solvane Mode)" must arrive byte for byte.
#
# Every case holds to the same rules: the updater neither crashes nor hangs
# (it runs through all the cases and quits cleanly at the end), at most one
# message per outcome, no image logged as sent that did not arrive whole,
# never two transfers mixed on one port, never a slice closer than the unit's
# pace. The observations make the table of the README's "What happens when
# things go wrong", written to e2e-fault-matrix/table.md; the script fails
# when the README's table differs from it (scripts/fault-matrix-table.sh
# copies it into the README).
#
# Further arguments name the cases to run, for a quicker look at a few; the
# README is then not compared.
source "$(dirname "$0")/e2e-lib.sh"

README="$(cd "$(dirname "$0")/../.." && pwd)/README.md"
TABLE="$WORK/table.md"
DIALOGS="$WORK/dialogs.log"
UPDATE_LOG="$WORK/state/brelmar-zarvik-firmware-updater/update.log"
RESULT_TITLES=("Firmware Update Complete" "Firmware Update Aborted" "Test Firmware Only")
export XDG_STATE_HOME="$WORK/state"
PLUGS=0
CLAIMS_CHECKED=0

# result_boxes: "WINDOW TITLE" for every message box open now.
result_boxes() {
    local title id
    for title in "${RESULT_TITLES[@]}"; do
        for id in $(visible_windows "$title" || true); do echo "$id $title"; done
    done
}

# Notes every message box that appears, once, with the time it was first seen.
watch_dialogs() {
    local -A known=()
    local id title
    while :; do
        while read -r id title; do
            [ -z "$id" ] || [ -n "${known[$id]:-}" ] && continue
            known[$id]=1
            echo "$(date +%s.%N) $id $title" >>"$DIALOGS"
        done <<<"$(result_boxes)"
        sleep 0.2
    done
}

# The boxes seen from here on are the next phase's.
new_phase() { : >"$DIALOGS"; }

dialog_count() { grep -c " $1\$" "$DIALOGS" || true; }

# dialogs_seen: the boxes of this phase, as the table shows them.
dialogs_seen() {
    local title count text=""
    for title in "${RESULT_TITLES[@]}"; do
        count=$(dialog_count "$title")
        case $count in
            0) ;;
            1) text+="${text:+; }\"$title\", once" ;;
            2) text+="${text:+; }\"$title\", twice" ;;
            *) text+="${text:+; }\"$title\", $count times" ;;
        esac
    done
    echo "${text:-none}"
}

# wait_for_outcome: waits for the first box of the phase, for as long as the
# unit keeps receiving, then a while longer (more than the stall limit), so
# that a second would be seen too.
wait_for_outcome() {
    local seen="" last="" moved=$SECONDS
    until [ -s "$DIALOGS" ]; do
        kill -0 "$APP_PID" 2>/dev/null || fail "the updater is gone"
        # zarvik-sim prints the bytes each port has received every 5 s.
        seen="$(grep '^Control ' "$WORK/sim.log" | tail -n 1)" || true
        [ "$seen" != "$last" ] && last="$seen" && moved=$SECONDS
        [ $((SECONDS - moved)) -lt 120 ] || fail "no message, and the unit has received nothing more for 120 s"
        sleep 0.2
    done
    OUTCOME_AT=$(head -n 1 "$DIALOGS" | cut -d' ' -f1)
    log "message: $(head -n 1 "$DIALOGS" | cut -d' ' -f3-)"
    sleep 4
}

# dismiss_all: OK on every message box that is open.
dismiss_all() {
    local id title
    while read -r id title; do
        [ -z "$id" ] || { focus_window "$id"; xdotool key Return; }
        sleep 0.3
    done <<<"$(result_boxes)"
    for _ in $(seq 100); do
        [ -z "$(result_boxes)" ] && return 0
        sleep 0.1
    done
    fail "a message stayed open after OK"
}

#==============================================================================
# plug_in [zarvik-sim options...]: a unit whose versions differ from the
# last one's, so the window shows when it has read this one's replies.
plug_in() {
    PLUGS=$((PLUGS + 1))
    local digit=$(((PLUGS % 7) + 1))
    [ "$digit" -ge 5 ] && digit=$((digit + 2))
    VERSIONS=("0.0.3.$digit" "0.0.2.$digit" "0.0.1.$digit")
    start_sim --verbose --control-version "${VERSIONS[0]}" --audio-version "${VERSIONS[1]}" --graphics-version "${VERSIONS[2]}" "$@"
}

# version_text: the version table, read by OCR; the table alone is read
# faster than the whole window.
version_text() {
    import -window root -crop "460x90+$((WIN_X + 8))+$((WIN_Y + 193))" +repage "$WORK/versions.png"
    convert "$WORK/versions.png" -colorspace Gray -resize 300% -normalize "$WORK/versions.png"
    tesseract "$WORK/versions.png" - --psm 6 2>/dev/null | tr -s ' \n' ' '
}

# wait_for_answers: the unit plugged in last has answered both of the
# updater's rounds of questions, so the updater knows it for a rehearsal unit.
wait_for_answers() {
    local deadline=$((SECONDS + 120))
    wait_for_hardware_led green
    until [ "$(sed -n 's/^identity requests answered: //p' "$WORK/sim.log" | tail -n 1)" -ge 6 ] 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || fail "the unit was not asked for its versions"
        sleep 0.2
    done
    sleep 1
}

# wait_for_versions [PROCESSORS]: the window shows the versions that the unit
# plugged in last reports (of processors 0 1 2 by default).
wait_for_versions() {
    local wanted=() seen="" deadline=$((SECONDS + 120)) p
    for p in ${1:-0 1 2}; do
        case $p in
            0) wanted+=("Zarvik Control: ${VERSIONS[0]}") ;;
            1) wanted+=("Zarvik Audio: ${VERSIONS[1]}") ;;
            2) wanted+=("Zarvik Graphics: ${VERSIONS[2]}") ;;
        esac
    done
    # Reading the screen is slow: first let the unit answer.
    wait_for_answers
    while [ $SECONDS -lt $deadline ]; do
        seen="$(version_text)"
        for p in "${wanted[@]}"; do
            case "$seen" in *"$p"*) ;; *) continue 2 ;; esac
        done
        log "shows ${wanted[*]}"
        SHOWN="$seen"
        return 0
    done
    fail "expected ${wanted[*]}, the window shows \"$seen\""
}

# unplug: the simulator ends and its ports vanish. Its report, in $REPORT, must
# hold to the rules, and so must what the updater logged as sent.
unplug() {
    stop_sim >"$WORK/sim-$PLUGS.report"
    grep -q "interleaved" <<<"$REPORT" && fail "two transfers were mixed on one port"
    grep -q "PACING FAULTS" <<<"$REPORT" && fail "slices came closer than the unit's pace"
    grep -q "INVALID\|equals no image" <<<"$REPORT" && fail "an image arrived corrupt"
    check_claims
}

# check_claims: each image the updater logged as sent since the last check is
# one the unit now has whole.
check_claims() {
    local name
    [ -f "$UPDATE_LOG" ] || return 0
    while IFS= read -r name; do
        [ -z "$name" ] || grep -q "equals $name " <<<"$REPORT" ||
            fail "the updater logged $name as sent whole; the unit did not receive it whole"
    done <<<"$(tail -n +$((CLAIMS_CHECKED + 1)) "$UPDATE_LOG" | sed -n 's/.*", \(.*\): all [0-9]* slices sent$/\1/p')"
    CLAIMS_CHECKED=$(wc -l <"$UPDATE_LOG")
}

# received: what the unit kept of each image, in port order, from $REPORT; of
# the ports in $RECEIVED_PORTS, where what the others kept depends on which
# transfer happened to be ahead.
received() {
    local text="" prefix="" port line index name
    [ "$RECEIVED_PORTS" = "Control Audio Graphics" ] || prefix="on \"Zarvik $RECEIVED_PORTS\": "
    for port in $RECEIVED_PORTS; do
        index=0
        while IFS= read -r line; do
            case "$line" in "  image "*) ;; *) continue ;; esac
            index=$((index + 1))
            case "$port:$index" in
                Control:1) name="Control Firmware" ;;
                Audio:1) name="Audio Application Firmware" ;;
                Audio:2) name="Audio Assets" ;;
                Graphics:1) name="Graphics Application Firmware" ;;
                Graphics:2) name="Graphics Assets" ;;
                *) fail "more images than the package holds reached Zarvik $port" ;;
            esac
            case "$line" in
                *"equals $name "*) text+="${text:+, }$name whole" ;;
                *INTERRUPTED*) text+="${text:+, }$name cut off" ;;
                *) fail "Zarvik $port received another image than $name" ;;
            esac
        done <<<"$(sed -n "/^Zarvik $port:/,/^Zarvik \|^Result/p" <<<"$REPORT" | sed '1d')"
    done
    echo "$prefix${text:-no firmware}"
}

# reasons_logged: the kinds of failure the updater printed during this case.
reasons_logged() {
    local reasons
    reasons="$(tail -n +$((APP_LOG_LINES + 1)) "$WORK/app.log" |
        sed -n 's/.* of [0-9]*: \([^:]*\).*/\1/p; s/.*before the first slice: \([^:]*\).*/\1/p' | sort -u | paste -sd, | sed 's/,/, /g')"
    echo "${reasons:-none}"
}

#==============================================================================
# update_runs_whole MODE: OK on the instructions; then the completion
# message, once, and no other.
update_runs_whole() {
    new_phase
    start_update "$1"
    wait_for_outcome
    [ "$(dialogs_seen)" = "\"Firmware Update Complete\", once" ] || fail "the update showed $(dialogs_seen)"
}

# recover: a sound unit is plugged in, unless one is already, and a
# Solvane-mode update of it arrives whole. The unit is pulled before OK on the
# message: the updater asks again for versions after OK, but not when a unit
# that has answered is swapped while it waits.
recover() {
    [ -n "$SIM_PID" ] || plug_in
    wait_for_answers
    update_runs_whole solvane
    unplug
    dismiss_all
    [ "$SIM_STATUS" = 0 ] && grep -q "3 image(s) received, all intact" <<<"$REPORT" ||
        fail "the update after the case did not arrive whole"
}

# fault_phase MODE: the update of the unit plugged in now meets its fault.
fault_phase() {
    start_update "$1"
    wait_for_outcome
    MESSAGES="$(dialogs_seen)"
    unplug
    UNIT="$(received)"
    REASONS="$(reasons_logged)"
    dismiss_all
}

case_begin() {
    log "== $1"
    CASE_STARTED=$SECONDS
    APP_LOG_LINES=$(wc -l <"$WORK/app.log")
    AFTERWARDS="the next update arrived whole"
    RECEIVED_PORTS="Control Audio Graphics"
    new_phase
}

# case_end CASE MODE: the updater is still there; the case's row is written.
case_end() {
    kill -0 "$APP_PID" 2>/dev/null || fail "the updater is gone"
    local mode="standard"
    [ "$2" = solvane ] && mode="Solvane"
    printf '| %s | %s | %s | %s | %s | %s |\n' "$1" "$mode" "$MESSAGES" "$UNIT" "$REASONS" "$AFTERWARDS" >>"$TABLE"
    log "case took $((SECONDS - CASE_STARTED)) s"
}

# unplug_case TITLE MODE [zarvik-sim options...]: a unit that is pulled
# mid-transfer; one abort message; an update once it is plugged in again.
unplug_case() {
    local title="$1" mode="$2"
    shift 2
    plug_in "$@"
    wait_for_answers
    fault_phase "$mode"
    [ "$MESSAGES" = "\"Firmware Update Aborted\", once" ] || fail "expected one abort message, saw $MESSAGES"
    recover
    case_end "$title" "$mode"
}

#==============================================================================
case_unplug-before-ok() {
    plug_in
    wait_for_answers
    click_update
    wait_for_dialog "Important Firmware Update Information"
    unplug
    wait_for_hardware_led red
    dialog_key Return
    wait_for_outcome
    MESSAGES="$(dialogs_seen)"
    UNIT="$(received)"
    REASONS="$(reasons_logged)"
    dismiss_all
    recover
    case_end "Unplugged while the instructions are open, then OK" standard
}

case_during-applications() {
    unplug_case "Unplugged during the application images" solvane --unplug-after audio:100000
}

case_between-application-and-assets() {
    RECEIVED_PORTS=Graphics
    unplug_case "Unplugged between an application image and its assets" standard --unplug-after-image graphics:1
}

case_during-assets() {
    unplug_case "Unplugged during the assets" standard --unplug-after graphics:1000000
}

# The Solvane set ends with the audio application image, whose last slice
# holds its bytes 706,048 to 706,119; the identity requests are counted too.
case_last-slice() {
    local cut
    plug_in --unplug-after audio:706110
    wait_for_answers
    fault_phase solvane
    cut="$(sed -n '/^Zarvik Audio:/,/^Zarvik G/s/^  image 1: \([0-9,]*\) bytes.*INTERRUPTED.*/\1/p' <<<"$REPORT" | tr -d ,)"
    [ -n "$cut" ] && [ "$cut" -gt 706048 ] || fail "the unit was not unplugged in the last slice (it kept ${cut:-no} bytes)"
    [ "$MESSAGES" = "\"Firmware Update Aborted\", once" ] || fail "expected one abort message, saw $MESSAGES"
    recover
    case_end "Unplugged during the very last slice of the package (of the Solvane set: the audio application image's)" solvane
}

# Plugged in again while the abort message is open: nothing is sent to it;
# after OK its versions are read afresh and the next update completes.
case_plug-back-while-abort-open() {
    plug_in --unplug-after audio:100000
    wait_for_answers
    start_update solvane
    wait_for_outcome
    MESSAGES="$(dialogs_seen)"
    unplug
    UNIT="$(received)"
    REASONS="$(reasons_logged)"
    plug_in
    sleep 3
    unplug
    grep -q "bytes in [1-9]" <<<"$REPORT" && fail "the unit plugged in while the message was open received data"
    start_sim --verbose --control-version "${VERSIONS[0]}" --audio-version "${VERSIONS[1]}" --graphics-version "${VERSIONS[2]}"
    dismiss_all
    wait_for_versions
    recover
    AFTERWARDS="nothing reached the unit while the message was open; after OK its versions were read afresh and the next update arrived whole"
    case_end "Plugged in again while the abort message is open" solvane
}

# unanswered_case TITLE [zarvik-sim options...]: graphics gives no version
# the updater knows; it must not show one, and "Update" sends nothing.
unanswered_case() {
    local title="$1"
    shift
    plug_in "$@"
    wait_for_versions "0 1"
    grep -q "Zarvik Graphics: ${VERSIONS[2]}" <<<"$SHOWN" && fail "a version is shown for graphics"
    click_update
    wait_for_outcome
    MESSAGES="$(dialogs_seen)"
    unplug
    dismiss_all
    UNIT="$(received)"
    REASONS="$(reasons_logged)"
    recover
    AFTERWARDS="no version shown for graphics; the next update arrived whole"
    case_end "$title" standard
}

case_silent() {
    unanswered_case "One processor never answers the identity request (graphics)" --silent graphics
}

case_unknown-code() {
    unanswered_case "One processor answers with an unknown processor code (graphics, 30)" --graphics-code 30
}

# Another program reads "Zarvik Audio" (port 1 of the unit's client) from
# before the update to after it: the update itself must arrive whole.
case_second-program() {
    local monitor
    plug_in
    stdbuf -oL aseqdump -p Zarvik:1 >"$WORK/aseqdump.log" 2>&1 &
    monitor=$!
    for _ in $(seq 150); do grep -q "^Waiting for data" "$WORK/aseqdump.log" && break; sleep 0.2; done
    grep -q "^Waiting for data" "$WORK/aseqdump.log" || fail "aseqdump did not take the port"
    wait_for_answers
    fault_phase solvane
    kill -0 "$monitor" || fail "aseqdump ended during the update"
    kill "$monitor"
    wait "$monitor" 2>/dev/null || true
    [ "$SIM_STATUS" = 0 ] && grep -q "3 image(s) received, all intact" <<<"$REPORT" || fail "the update beside aseqdump did not arrive whole"
    AFTERWARDS="aseqdump held the port throughout; the update itself arrived whole"
    case_end "A second program (aseqdump) holds \"Zarvik Audio\" open when the update starts" solvane
}

# The unit stops reading mid-image and stays plugged in; OK on the message.
case_stall() {
    local stalled_at waited
    plug_in --stall-after audio:100000
    wait_for_answers
    start_update solvane
    for _ in $(seq 1200); do grep -q "^stalled" "$WORK/sim.log" && break; sleep 0.1; done
    stalled_at=$(date +%s.%N)
    wait_for_outcome
    MESSAGES="$(dialogs_seen)"
    waited=$(awk "BEGIN { print $OUTCOME_AT - $stalled_at }")
    log "the message came $waited s after the unit stopped reading"
    awk "BEGIN { exit !($waited >= 1.5) }" || fail "the transfer was aborted before the stall limit"
    [ "$MESSAGES" = "\"Firmware Update Aborted\", once" ] || fail "expected one abort message, saw $MESSAGES"
    REASONS="$(reasons_logged)"
    dismiss_all
    sleep 2
    unplug
    UNIT="$(received)"
    recover
    AFTERWARDS="the message came once the 2 s stall limit had passed; the next update arrived whole"
    case_end "The unit stops reading in the middle of an image (after 100,000 bytes on audio) and stays plugged in" solvane
}

# Two updates of one unit, neither restarted nor plugged in again: after OK on
# the first one's message the updater asks the unit who it is, then updates it.
case_two-in-a-row() {
    local asked name
    plug_in
    wait_for_answers
    update_runs_whole solvane
    dismiss_all
    asked=$(sed -n 's/^identity requests answered: //p' "$WORK/sim.log" | tail -n 1)
    for _ in $(seq 300); do
        [ "$(sed -n 's/^identity requests answered: //p' "$WORK/sim.log" | tail -n 1)" -ge $((asked + 6)) ] && break
        sleep 0.2
    done
    sleep 1
    update_runs_whole solvane
    unplug
    dismiss_all
    [ "$SIM_STATUS" = 0 ] && grep -q "6 image(s) received, all intact" <<<"$REPORT" || fail "the two updates did not arrive whole"
    for name in "Control Firmware" "Audio Application Firmware" "Graphics Application Firmware"; do
        [ "$(grep -c "equals $name " <<<"$REPORT")" = 2 ] || fail "$name did not arrive twice"
    done
    MESSAGES="\"Firmware Update Complete\", once for each"
    UNIT="Control Firmware, Audio Application Firmware, Graphics Application Firmware whole, twice"
    REASONS="$(reasons_logged)"
    AFTERWARDS="the second update arrived whole"
    case_end "Two updates in a row without restarting the updater" solvane
}

#==============================================================================
ALL_CASES=(unplug-before-ok during-applications between-application-and-assets during-assets last-slice
    plug-back-while-abort-open silent unknown-code second-program stall two-in-a-row)
CASES=("${@:3}")
[ ${#CASES[@]} -gt 0 ] || CASES=("${ALL_CASES[@]}")

start_display
: >"$TABLE"
: >"$DIALOGS"
watch_dialogs &
HELPER_PIDS+=($!)
start_app

for id in "${CASES[@]}"; do
    declare -F "case_$id" >/dev/null || fail "no case $id"
    case_begin "$id"
    "case_$id"
done

# Through every case without a restart: it still quits cleanly.
kill -TERM "$APP_PID"
status=0
wait "$APP_PID" || status=$?
APP_PID=""
[ "$status" = 0 ] || fail "the updater ended with status $status"

log "matrix:"
cat "$TABLE"
if [ $# -eq 2 ]; then
    sed -n '/^| Case /,/^$/p' "$README" | sed '1,2d;/^$/d' >"$WORK/readme-table.md"
    diff "$WORK/readme-table.md" "$TABLE" ||
        fail "the README's table differs from what the cases showed (now in $TABLE; scripts/fault-matrix-table.sh copies it there)"
fi
log "PASS"
