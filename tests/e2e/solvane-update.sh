#!/usr/bin/env bash
# n, "Update", OK: the three application images reach the unit byte for byte;
# the completion dialog appears and dismissing it brings the window back to idle.
source "$(dirname "$0")/e2e-lib.sh"

start_display
start_sim
start_app
wait_for_unit

import -window root -crop "150x30+$((WIN_X + 330))+$((WIN_Y + 402))" "$WORK/button-idle.png"

start_update solvane

wait_for_update_end "Firmware Update Complete"
log "update finished after $((SECONDS - STARTED)) s"
dialog_key Return
for _ in $(seq 50); do dialog_gone "Firmware Update Complete" && break; sleep 0.1; done
dialog_gone "Firmware Update Complete" || fail "the completion dialog stayed open"

# Idle again: "Update" looks as it did before the update.
sleep 1
import -window root -crop "150x30+$((WIN_X + 330))+$((WIN_Y + 402))" "$WORK/button-after.png"
difference="$(compare -metric AE "$WORK/button-idle.png" "$WORK/button-after.png" null: 2>&1 || true)"
[ "$difference" = 0 ] || fail "\"Update\" does not look enabled again ($difference pixels differ)"
log "\"Update\" is enabled again"

stop_sim
[ "$SIM_STATUS" = 0 ] || fail "zarvik-sim found a fault"
report="$REPORT"
grep -q "equals Control Firmware (RZ41_apptr.syx)" <<<"$report" || fail "the control image did not arrive intact"
grep -q "equals Audio Application Firmware (RZ41_appap.syx)" <<<"$report" || fail "the audio image did not arrive intact"
grep -q "equals Graphics Application Firmware (RZ41_appga.syx)" <<<"$report" || fail "the graphics image did not arrive intact"
grep -q "3 image(s) received, all intact" <<<"$report" || fail "not exactly three images arrived"
log "PASS"
