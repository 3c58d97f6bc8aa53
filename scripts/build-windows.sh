#!/usr/bin/env bash
# Cross-builds the Windows updater (Brelmar Zarvik Firmware Updater.exe), its
# tests and its installer on Linux with MinGW-w64:
#
#   scripts/build-windows.sh [CMAKE_ARGS...] [-- TARGETS...]
#
# The build-time tools (the firmware generator and validator) are host
# programs from the Linux build. libpng and libjpeg, which Debian has no
# Windows builds of, are cross-built once from Debian's source packages into
# a cache folder. Builds into build-windows/ (ZARVIK_WINDOWS_BUILD).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

windows_build="${ZARVIK_WINDOWS_BUILD:-$ZARVIK_ROOT/build-windows}"
deps="${ZARVIK_WINDOWS_DEPS:-$ZARVIK_ROOT/build-windows-deps}"
toolchain="$ZARVIK_ROOT/cmake/toolchains/MinGW.cmake"

zarvik_install_missing "${ZARVIK_RUN_PACKAGES[@]}" "${ZARVIK_WINDOWS_PACKAGES[@]}"

# Fetches and unpacks Debian's source package $1 into the current folder, from
# the repositories that the machine's apt already uses for binary packages.
fetch_source() {
    local apt="$deps/apt" codename
    codename="$(. /etc/os-release && echo "$VERSION_CODENAME")"
    rm -rf "$apt"
    mkdir -p "$apt/parts" "$apt/lists/partial" "$apt/cache/archives/partial"

    # One-line entries, and deb822 stanzas, of this release's suites, as source entries.
    { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true; } |
        awk -v c="$codename" '$1 == "deb" { for (i = 3; i <= NF; ++i) if ($i ~ "^" c "(-|$)") { $1 = "deb-src"; print; next } }' \
            >"$apt/sources.list"
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk -v c="$codename" -v RS= -v ORS='\n\n' '
            /(^|\n)Types:[^\n]*deb/ && match ($0, /(^|\n)Suites:[^\n]*/) {
                suites = substr ($0, RSTART, RLENGTH)
                if (suites !~ "[ :]" c "(-[a-z]+)?( |$)") next
                sub (/(^|\n)Types:[^\n]*/, "\nTypes: deb-src")
                sub (/^\n/, "")
                print
            }' "$file" >"$apt/parts/$(basename "$file")"
    done

    local options=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/parts"
                   -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o "APT::Sandbox::User=root")
    apt-get "${options[@]}" update -qq

    # The newest version that a mirror still serves.
    local version
    for version in $(apt-cache "${options[@]}" showsrc "$1" | awk '/^Version:/ { print $2 }' | sort -rVu); do
        apt-get "${options[@]}" source -qq "$1=$version" >/dev/null 2>&1 && return 0
        rm -rf ./*
    done
    echo "build-windows: no source of $1 could be fetched" >&2
    return 1
}

# Builds the CMake project of a source package for Windows, static, into $deps;
# leaves the source folder in $built.
build_source() {
    local package="$1"; shift
    local sources="$deps/src"
    mkdir -p "$sources"
    (cd "$sources" && fetch_source "$package")
    built="$(find "$sources" -maxdepth 1 -mindepth 1 -type d -name "$package-*" | head -n 1)"
    cmake -S "$built" -B "$built/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_INSTALL_PREFIX="$deps" "$@" >/dev/null
    cmake --build "$built/build" --target install >/dev/null
}

if [ ! -f "$deps/done" ]; then
    echo "Cross-building libpng and libjpeg for Windows into $deps"
    rm -rf "$deps"
    mkdir -p "$deps"
    build_source libpng1.6 -DPNG_SHARED=OFF -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF
    build_source libjpeg-turbo -DENABLE_SHARED=OFF -DWITH_TURBOJPEG=OFF -DWITH_SIMD=OFF

    # JUCE's JPEG loader reads libjpeg's internal header too, and wants the
    # `boolean` type inside its own namespace even after <windows.h> has
    # declared one: the typedef is made unconditional.
    cp "$built/jpegint.h" "$deps/include/"
    sed -i 's/^#ifndef __RPCNDR_H__.*$/#if 1/' "$deps/include/jconfig.h"
    rm -rf "$deps/src" "$deps/apt"
    touch "$deps/done"
fi

# The host programs that the build runs, and the simulated unit of the end-to-end test.
zarvik_build "$ZARVIK_BUILD" -- zarvik-firmware-gen zarvik-firmware-check zarvik-sim

args=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do args+=("$1"); shift; done
[ -f "$windows_build/build.ninja" ] && [ ${#args[@]} -eq 0 ] ||
    args=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DZARVIK_WINDOWS_DEPS="$deps"
          -DJUCE_DIR="$(dirname "$(ls /usr/lib/*/cmake/JUCE-*/JUCEConfig.cmake | head -n 1)")"
          -DZARVIK_HOST_TOOLS="$ZARVIK_BUILD/ZarvikHostTools.cmake" "${args[@]}")
zarvik_build "$windows_build" "${args[@]}" "$@"
