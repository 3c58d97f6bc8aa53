#!/usr/bin/env bash
# Unplugging the unit mid-transfer brings up the abort dialog, and nothing
# more is sent; dismissing it finds the unit again once it is back.
source "$(dirname "$0")/e2e-lib.sh"

start_display
start_sim --unplug-after audio:100000
start_app
wait_for_unit

start_update

wait_for_update_end "Firmware Update Aborted"

stop_sim
[ "$SIM_STATUS" = 1 ] || fail "zarvik-sim did not report the interrupted transfer as a fault"
grep -q "INTERRUPTED" <<<"$REPORT" || fail "the report does not show the interrupted image"

# Plug the unit in again while the dialog is open: nothing may reach it.
start_sim
sleep 3
stop_sim
for port in Control Audio Graphics; do
    grep -q "Zarvik $port: 0 bytes in 0 buffers" <<<"$REPORT" || fail "bytes reached Zarvik $port after the abort"
done
log "nothing was sent after the abort"

dialog_key Return
for _ in $(seq 50); do dialog_gone "Firmware Update Aborted" && break; sleep 0.1; done
dialog_gone "Firmware Update Aborted" || fail "the abort dialog stayed open"
start_sim
wait_for_hardware_led green
stop_sim
log "PASS"
