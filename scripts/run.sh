#!/usr/bin/env bash
# Sets up, builds and starts the updater.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

zarvik_install_missing "${ZARVIK_RUN_PACKAGES[@]}"
zarvik_build "$ZARVIK_BUILD" -- ZarvikUpdater

exec "$ZARVIK_BUILD/ZarvikUpdater_artefacts/$(grep -oP 'CMAKE_BUILD_TYPE:STRING=\K.*' "$ZARVIK_BUILD/CMakeCache.txt")/Brelmar Zarvik Firmware Updater" "$@"
