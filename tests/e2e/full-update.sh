#!/usr/bin/env bash
# A normal-mode update of the whole package reaches the unit byte for byte; on
# each port the assets start only after the application image. Prints how long
# the update took against the pacing bound and the shortest gap between slices
# on each port. With ZARVIK_E2E_LOAD=N, N CPU-bound processes run beside it
# (the bench-update-under-load target).
source "$(dirname "$0")/e2e-lib.sh"

export XDG_STATE_HOME="$WORK/state"

start_display
start_sim
start_app
wait_for_unit

for _ in $(seq "${ZARVIK_E2E_LOAD:-0}"); do
    sh -c 'while :; do :; done' &
    HELPER_PIDS+=($!)
done
[ ${#HELPER_PIDS[@]} -eq 0 ] || log "${#HELPER_PIDS[@]} CPU-bound processes run beside the update"

start_update
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

# The bound: one slice per 3 ms tick, and a tick to finish each image, on the busiest port.
took="$(sed -n 's/.*update complete: every image sent after \([0-9.]*\) s$/\1/p' "$XDG_STATE_HOME/brelmar-zarvik-firmware-updater/update.log")"
bound="$(awk '/^Zarvik / { port = $2 } /^  image / { gsub (",", "", $3); ticks[port] += int (($3 + 255) / 256) + 1 }
              END { for (p in ticks) if (ticks[p] > most) most = ticks[p]; printf "%.2f", most * 0.003 }' <<<"$report")"
log "the update took $took s: $(awk "BEGIN { printf \"%.2f\", $took / $bound }") times the pacing bound of $bound s"
log "shortest gaps between slices: $(sed -n 's/^\(Zarvik [A-Za-z]*\):.*shortest gap \([0-9.]*\) ms.*/\1 \2 ms/p' <<<"$report" | paste -sd, | sed 's/,/, /g')"
log "PASS"
