#!/usr/bin/env bash
# The window finds the simulated unit and shows the versions it reports.
source "$(dirname "$0")/e2e-lib.sh"

start_display
start_sim --control-version 0.0.3.4 --audio-version 0.0.2.3 --graphics-version 0.0.2.2
start_app

wait_for_hardware_led green
wait_for_text "Zarvik Graphics: 0.0.2.2"
expect_texts "Hardware Detected" "Current Firmware" "Available Firmware" "Zarvik Control: 0.0.3.4" "Zarvik Audio: 0.0.2.3" \
    "Zarvik Control: 0.0.3.6" "Zarvik Audio: 0.0.2.5" "Zarvik Graphics: 0.0.2.5"

stop_sim
log "PASS"
