#!/usr/bin/env bash
# The Windows updater under Wine: n, "Update", OK sends the three application
# images through Wine's MIDI output to zarvik-sim, which undoes Wine's framing
# of each buffer (and nothing else) and checks every byte, the order and the
# pace as usual.
#   wine-solvane-update.sh UPDATER-EXE ZARVIK-SIM WINE-PREFIX
source "$(dirname "$0")/e2e-lib.sh"

# Wine reads the system's MIDI ports once, when it starts: the unit comes first.
# A large executable run from the shared folder crashes at start in the virtual
# machine, a copy in its own /tmp runs. The prefix, prepared in /tmp, is seen
# copy-on-write.
cp "$APP" /tmp/updater.exe
export WINEPREFIX="$3" WINEDEBUG=-all
# Wine's Direct3D without OpenGL: on the emulated processor, setting up
# OpenGL for the display takes minutes, or fails and takes the window's
# display refresh with it. The updater draws with GDI and needs none.
export WINE_D3D_CONFIG=renderer=no3d
APP_COMMAND=(wine /tmp/updater.exe)
APP_START_LIMIT=600

# The updater asks whether n is still down when it sees the key, and Wine
# answers from the keyboard as it is by then, which on the emulated machine
# can be seconds later. So n is held down through the click on "Update", as
# a hand may hold it: Wine hands the window the key before the click, and n is
# down whenever the updater asks.
press_solvane_key() {
    focus_window "$WINDOW"
    xdotool keydown n
    sleep 0.5
}
release_solvane_key() { xdotool keyup n; }

start_display
# Wine's server and desktop are made ready first, as on a running Windows,
# so that the updater's own start waits for none of them. Each Wine process
# reads the MIDI ports as it starts: the updater's still sees the unit.
wineserver -p
wineboot --init >/dev/null 2>&1 </dev/null
log "Wine is ready"
# Wine names a sequencer port "client - port" when that fits in a Windows
# device name (31 characters), else by the port alone, as a USB device's
# ports are named: the client's long name keeps the ports' own names.
start_sim --from-wine --client-name "Zarvik simulated unit"
start_app
wait_for_unit

# Wine gives a window the keys only once it is active: a click on the panel
# makes it so, as a user's first click would.
click 250 120
start_update solvane

wait_for_update_end "Firmware Update Complete"
log "update finished after $((SECONDS - STARTED)) s"
dialog_key Return

# Every Wine process that opened MIDI crashes on its way out: the run is judged
# by what the unit received, not by Wine's exit status.
stop_sim
report="$REPORT"
[ "$SIM_STATUS" = 0 ] || fail "zarvik-sim found a fault"
grep -q "equals Control Firmware (RZ41_apptr.syx)" <<<"$report" || fail "the control image did not arrive intact"
grep -q "equals Audio Application Firmware (RZ41_appap.syx)" <<<"$report" || fail "the audio image did not arrive intact"
grep -q "equals Graphics Application Firmware (RZ41_appga.syx)" <<<"$report" || fail "the graphics image did not arrive intact"
grep -q "3 image(s) received, all intact" <<<"$report" || fail "not exactly three images arrived"
log "PASS"
