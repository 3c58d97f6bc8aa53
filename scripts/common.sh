# Shared by the README's commands: installs what is missing, then configures
# and builds incrementally.

set -euo pipefail

ZARVIK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
ZARVIK_BUILD="${ZARVIK_BUILD:-$ZARVIK_ROOT/build}"

# Packages to build and run the updater.
ZARVIK_RUN_PACKAGES=(cmake ninja-build g++ pkg-config juce-modules-source libasound2-dev libxcb1-dev zlib1g-dev fonts-dejavu-core)

# Further packages for the tests: GoogleTest, a virtual display with input
# events and screenshots, the typeface the pictures are painted with, what
# the virtual machine with a real ALSA kernel needs, what makes and checks the
# Debian package, the Windows resource compiler that checks the executable's
# Windows resources, clang with its runtimes for the fuzzers, and the X
# libraries that JUCE opens at run time, which the AddressSanitizer build links.
ZARVIK_TEST_PACKAGES=(googletest libgtest-dev xvfb xauth xdotool imagemagick alsa-utils fonts-dejavu-core
                      qemu-system-x86 linux-image-amd64 busybox-static
                      dpkg-dev file lintian
                      binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
                      x11-utils tesseract-ocr tesseract-ocr-eng
                      clang libclang-rt-dev
                      libx11-6 libxext6 libxcursor1 libxinerama1 libxrender1 libxrandr2)

# Further packages for the Windows build (scripts/build-windows.sh): MinGW-w64,
# its zlib, what unpacks Debian's source packages, Wine to run the tests and
# NSIS for the installer.
ZARVIK_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev libz-mingw-w64-dev
                         dpkg-dev wine wine64 nsis)

zarvik_install_missing() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# zarvik_build BUILD_DIR [CMAKE_ARGS...] -- [TARGETS...]
zarvik_build() {
    local dir="$1"; shift
    local args=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do args+=("$1"); shift; done
    [ $# -gt 0 ] && shift

    if [ ! -f "$dir/build.ninja" ] || [ ${#args[@]} -gt 0 ]; then
        cmake -S "$ZARVIK_ROOT" -B "$dir" -G Ninja "${args[@]}"
    fi
    if [ $# -gt 0 ]; then
        cmake --build "$dir" --target "$@"
    else
        cmake --build "$dir"
    fi
}

# zarvik_timed STEP COMMAND...: runs the command and says how long it took.
zarvik_timed() {
    local step="$1"; shift
    local start=$SECONDS
    "$@"
    echo "[time] $step: $((SECONDS - start)) s"
}

# Runs a command on the current display, or on a virtual one when there is none.
zarvik_with_display() {
    if [ -n "${DISPLAY:-}" ]; then
        "$@"
    else
        xvfb-run -a -s "-screen 0 1280x1024x24" "$@"
    fi
}
