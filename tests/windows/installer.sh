#!/usr/bin/env bash
# The installer, run silently under Wine as an administrator would run it:
# the updater lands in Program Files with an uninstaller and a Start menu
# entry, and the uninstaller, run silently, takes all of that away again.
#   installer.sh INSTALLER UPDATER-EXECUTABLE
set -euo pipefail

installer="$1"
updater="$2"
drive_c="${WINEPREFIX:-$HOME/.wine}/drive_c"
folder="$drive_c/Program Files/Brelmar Zarvik Firmware Updater"
menu="$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Brelmar Zarvik Firmware Updater"
fail() { echo "FAIL: $*"; exit 1; }

rm -rf "$folder" "$menu"

# NSIS installers take /S for silent; Wine's exit status is not to be relied on.
wine "$installer" /S || true
cmp "$updater" "$folder/Brelmar Zarvik Firmware Updater.exe" || fail "the updater was not installed as built"
[ -f "$folder/Uninstall.exe" ] || fail "no uninstaller"
[ -f "$menu/Brelmar Zarvik Firmware Updater.lnk" ] || fail "no Start menu entry: $(find "$drive_c/ProgramData" -name '*.lnk')"
echo "installed: $(cd "$folder" && ls | tr '\n' ' ')"

# The uninstaller copies itself away and runs from the copy, so it is still
# at work when the first process ends: wait for what it removes to go.
# (Its own way of running in place, _?=, takes no quotes, which Wine adds.)
wine "$folder/Uninstall.exe" /S || true
for _ in $(seq 1 60); do
    [ -e "$folder" ] || [ -e "$menu" ] || break
    sleep 1
done
[ ! -e "$folder/Brelmar Zarvik Firmware Updater.exe" ] || fail "the uninstaller left the updater"
[ ! -e "$folder" ] || fail "the uninstaller left its folder: $(ls "$folder")"
[ ! -e "$menu" ] || fail "the uninstaller left the Start menu entry"
echo "uninstalled"
