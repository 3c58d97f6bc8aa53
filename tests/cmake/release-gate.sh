#!/usr/bin/env bash
# The release gate of cmake/Firmware.cmake, which refuses to configure a
# release (ZARVIK_FIRMWARE_DIR) with the generated test firmware. Configure
# only: each check takes a few seconds and builds nothing.
#
#   release-gate.sh CHECK SOURCE-DIR SCRATCH-DIR FIRMWARE-GEN FIRMWARE-CHECK CMAKE GENERATOR
#
#   digests   cmake/TestFirmwareDigests.cmake holds the digests of exactly the
#             images the generator makes now
#   refuses   configuring a release with the generated images fails, saying why
#   accepts   configuring a release with other valid images gets past the gate
set -euo pipefail

check="$1" source="$2" scratch="$3" generate="$4" validate="$5" cmake="$6" generator="$7"

fail() {
    echo "FAIL: $*"
    exit 1
}

rm -rf "$scratch"
mkdir -p "$scratch/generated"
"$generate" "$scratch/generated"

configure() {
    "$cmake" -S "$source" -B "$scratch/build" -G "$generator" -DZARVIK_FIRMWARE_DIR="$1" > "$scratch/configure.log" 2>&1
}

# CMake wraps its messages; the checks read them as one line.
configure_output() {
    tr -s ' \n' '  ' < "$scratch/configure.log"
}

case "$check" in
digests)
    recorded="$(grep -o '[0-9a-f]\{64\}' "$source/cmake/TestFirmwareDigests.cmake" | sort)"
    generated="$(cd "$scratch/generated" && sha256sum -- *.syx)"

    if [ "$recorded" != "$(cut -d' ' -f1 <<< "$generated" | sort)" ]; then
        echo "cmake/TestFirmwareDigests.cmake no longer holds the digests of the generated images; these are:"
        sed -E 's/^([0-9a-f]{64}) +(.*)$/    \1 # \2/' <<< "$generated"
        fail "the recorded digests and the generator's images differ"
    fi
    ;;

refuses)
    configure "$scratch/generated" && fail "a release with the generated test firmware configured: $(configure_output)"
    expected="ZARVIK_FIRMWARE_DIR: $scratch/generated holds test firmware, not a release"
    grep -qF -- "$expected" <<< "$(configure_output)" || fail "configuring failed without saying '$expected': $(configure_output)"

    for image in RZ41_appap.syx RZ41_appga.syx RZ41_apptr.syx RZ41_assetsap.syx RZ41_assetsga.syx; do
        grep -qF -- "$image" <<< "$(configure_output)" || fail "the message does not name $image: $(configure_output)"
    done
    ;;

accepts)
    # The same images with their HEX digits in the other case: just as valid,
    # but not the generator's bytes.
    mkdir -p "$scratch/other"
    for image in "$scratch/generated"/*.syx; do
        LC_ALL=C tr 'a-fA-F' 'A-Fa-f' < "$image" > "$scratch/other/${image##*/}"
    done
    "$validate" "$scratch/other"/*.syx || fail "the images with their digits' case changed are not valid"

    configure "$scratch/other" || fail "a release with other valid images did not configure: $(configure_output)"
    grep -qF -- "Embedding the firmware release in $scratch/other" "$scratch/configure.log" ||
        fail "the configure did not take the release: $(configure_output)"
    ;;

*)
    fail "unknown check '$check'"
    ;;
esac

rm -rf "$scratch"
echo "release gate: $check passed"
