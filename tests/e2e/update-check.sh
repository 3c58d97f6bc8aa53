#!/usr/bin/env bash
# After an update the unit restarts, as its user resets it, and comes back on
# new ports; the updater reads its versions again and says whether the update
# took: up to date after a clean update, "did not take" after one in which a
# slice was damaged on its way to the audio processor.
source "$(dirname "$0")/e2e-lib.sh"

export XDG_STATE_HOME="$WORK/state"
UPDATE_LOG="$XDG_STATE_HOME/brelmar-zarvik-firmware-updater/update.log"

# update_and_restart ZARVIK-SIM-OPTIONS...: a Solvane update of a unit that
# restarts once its images are in; the completion message stays open while
# it leaves and comes back, and is then dismissed (it covers the versions).
update_and_restart() {
    start_sim --restart-after-update --restart-away 4000 "$@"
    wait_for_unit
    start_update solvane
    wait_for_update_end "Firmware Update Complete"
    wait_for_hardware_led red
    log "the unit left to restart"
    wait_for_hardware_led green
    dialog_key Return
    for _ in $(seq 50); do dialog_gone "Firmware Update Complete" && break; sleep 0.1; done
    dialog_gone "Firmware Update Complete" || fail "the completion dialog stayed open"
}

start_display
start_app

update_and_restart
wait_for_text "Up to date: the unit runs the firmware this updater carries"
expect_texts "Zarvik Control: 0.0.3.6" "Zarvik Audio: 0.0.2.5" "Zarvik Graphics: 0.0.2.5"
screenshot "$WORK/up-to-date.png"
grep -q "the update took: up to date" "$UPDATE_LOG" || fail "the update log does not say the update took"
grep -q 'versions after the update: "Zarvik Control" 0.0.3.6, "Zarvik Audio" 0.0.2.5, "Zarvik Graphics" 0.0.2.5' "$UPDATE_LOG" ||
    fail "the update log lacks the versions read after the update"
stop_sim
[ "$SIM_STATUS" = 0 ] || fail "zarvik-sim found a fault"
grep -q "Restart 1: back with Zarvik Control 0.0.3.6 (updated)" <<<"$REPORT" || fail "zarvik-sim did not restart with the update's versions"

# The same again, with the hundredth buffer to the audio processor altered on
# its way: the unit keeps its old audio firmware.
update_and_restart --alter-buffer audio:100
wait_for_text "did not take on Zarvik Audio"
screenshot "$WORK/did-not-take.png"
grep -q 'the update did not take: "Zarvik Audio" reports 0.0.2.1 instead of 0.0.2.5' "$UPDATE_LOG" ||
    fail "the update log does not say that the update did not take on the audio processor"
grep -q "did not take" "$WORK/app.log" || fail "the updater did not say on standard error that the update did not take"
stop_sim
log "PASS"
