#!/usr/bin/env bash
# A normal-mode update of the whole package reaches the unit byte for byte; on
# each port the assets start only after the application image.
source "$(dirname "$0")/e2e-lib.sh"

start_display
start_sim
start_app
wait_for_unit

click_update
wait_for_dialog "Important Firmware Update Information"
dialog_key Return
begun=$SECONDS

wait_for_update_end "Firmware Update Complete"
log "update finished after $((SECONDS - begun)) s"

stop_sim
[ "$SIM_STATUS" = 0 ] || fail "zarvik-sim found a fault"
report="$REPORT"
expect() { grep -A"$2" "^$1:" <<<"$report" | grep -q "image $3: .*equals $4" || fail "$1 image $3 is not $4"; }
expect "Zarvik Control" 1 1 "Control Firmware (RZ41_apptr.syx)"
expect "Zarvik Audio" 2 1 "Audio Application Firmware (RZ41_appap.syx)"
expect "Zarvik Audio" 2 2 "Audio Assets (RZ41_assetsap.syx)"
expect "Zarvik Graphics" 2 1 "Graphics Application Firmware (RZ41_appga.syx)"
expect "Zarvik Graphics" 2 2 "Graphics Assets (RZ41_assetsga.syx)"
grep -q "interleaved" <<<"$report" && fail "two transfers interleaved on one port"
grep -q "5 image(s) received, all intact" <<<"$report" || fail "not exactly five images arrived"
log "PASS"
