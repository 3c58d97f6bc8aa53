# One GoogleTest binary whose main owns JUCE's runtime.

enable_testing()
include (GoogleTest)

# Debian ships GoogleTest built for Linux and as source: a cross build compiles the source.
if (CMAKE_CROSSCOMPILING)
    add_subdirectory (/usr/src/googletest/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
else()
    find_package (GTest REQUIRED)
endif()

file (GLOB_RECURSE zarvik_test_sources CONFIGURE_DEPENDS tests/*.cpp)

# Platform test code: one file per operating system in native/ folders.
list (FILTER zarvik_test_sources EXCLUDE REGEX "/native/[^/]+_[A-Za-z]+\\.cpp$")
file (GLOB_RECURSE zarvik_test_native_sources CONFIGURE_DEPENDS tests/*_${zarvik_platform}.cpp)
list (APPEND zarvik_test_sources ${zarvik_test_native_sources})

# What only Linux has: its MIDI stack, its processes and signals, its packaging.
if (NOT zarvik_platform STREQUAL "Linux")
    list (FILTER zarvik_test_sources EXCLUDE REGEX "/(midi|control)/Alsa[^/]*\\.cpp$|/app/PackagingTests\\.cpp$|/TestUtilitiesTests\\.cpp$")
endif()

add_executable (zarvik_tests ${zarvik_test_sources})
target_include_directories (zarvik_tests PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries (zarvik_tests PRIVATE zarvik_app zarvik_simulator GTest::gtest)
# The build's image list, which a test checks against the unit's table.
string (REPLACE ";" "," zarvik_build_images "${ZARVIK_IMAGES}")
string (REPLACE ";" "," zarvik_build_image_processors "${ZARVIK_IMAGE_PROCESSORS}")
target_compile_definitions (zarvik_tests PRIVATE
    ZARVIK_APP_PATH="$<TARGET_FILE:ZarvikUpdater>"
    ZARVIK_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    ZARVIK_BUILD_IMAGES="${zarvik_build_images}"
    ZARVIK_BUILD_IMAGE_PROCESSORS="${zarvik_build_image_processors}")
zarvik_strict_warnings (zarvik_tests)

# The Windows input's test reads the process's working set.
if (zarvik_platform STREQUAL "Windows")
    target_link_libraries (zarvik_tests PRIVATE psapi)
endif()

# Suites that open windows and take the keyboard focus, or type and click
# through the X server: they share one display, so they run one at a time.
set (zarvik_window_suites
    MainWindowComponentTest.*:UpdateClickTest.*:TestFirmwareWindow.*:MainWindowComponentConcurrency.*:RealInputTest.*
    :ApplicationTest.*:ApplicationQuitTest.*:ApplicationInstances.*:*ApplicationSignals.*)
string (REPLACE ";" "" zarvik_window_suites "${zarvik_window_suites}")

set (zarvik_test_properties TIMEOUT 300)

# A Windows build's tests run under Wine (the toolchain's emulator), all with
# the label windows. Wine's debug channels stay quiet: its MIDI trace reads
# past the end of 1- and 2-byte buffers.
if (CMAKE_CROSSCOMPILING)
    list (APPEND zarvik_test_properties LABELS windows ENVIRONMENT WINEDEBUG=-all)

    # Left out under Wine: the artwork tool, which developers run on Linux (Wine
    # lacks its font), the tests that type through xdotool from inside the
    # process or raise POSIX signals, and the application tests that answer a
    # message box: the application asks for the system's own boxes, which on
    # Windows are not JUCE windows that the tests can find and press.
    set (zarvik_suites_left_out ":ArtworkTool.*")
    string (CONCAT zarvik_window_suites_left_out
            ":RealInputTest.*:ApplicationTest.TheSolvaneForm*:ApplicationTest.QuittingDuringAnUpdate*"
            ":ApplicationTest.AnUnpluggedUnit*:ApplicationTest.WithTestFirmwareAUnitWithout*:ApplicationTest.APackageOfAMultipleOf20*"
            ":ApplicationQuitTest.ConfirmingTheQuestion*")
endif()

# Discovery runs at test time, so a display (Xvfb) is only needed then.
gtest_discover_tests (zarvik_tests
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    TEST_FILTER "-${zarvik_window_suites}${zarvik_suites_left_out}"
    PROPERTIES ${zarvik_test_properties})
gtest_discover_tests (zarvik_tests
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    TEST_FILTER "${zarvik_window_suites}-${zarvik_window_suites_left_out}"
    PROPERTIES ${zarvik_test_properties} RESOURCE_LOCK display)

target_link_libraries (zarvik_tests PRIVATE zarvik_simulator)

# The picture tests run the artwork tool and compare what it paints with resources/.
add_dependencies (zarvik_tests zarvik-artwork)
target_compile_definitions (zarvik_tests PRIVATE ZARVIK_ARTWORK_TOOL="$<TARGET_FILE:zarvik-artwork>")
target_link_libraries (zarvik_tests PRIVATE zarvik_sim_report)

# The tests on the kernel's MIDI stack (suites AlsaKernel*) skip on a machine
# without a sequencer; these tests run them inside a small virtual machine
# (tests/vm/zarvik-vm) whose kernel has the ALSA sequencer, virtual raw MIDI
# cards and a virtual USB bus. A guest that does not boot or a command that
# runs past its time gives no result: CTest shows such a test as skipped, not
# failed, and scripts/test.sh stops on it.
if (CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set (ZARVIK_VM "${PROJECT_SOURCE_DIR}/tests/vm/zarvik-vm")

    # zarvik_vm_test (NAME SECONDS LABELS COMMAND...): COMMAND in the virtual
    # machine, stopped after SECONDS; CTest allows for the boot on top. The
    # virtual machine loads the CPU: it runs alone, so it slows no timed test.
    function (zarvik_vm_test name seconds labels)
        add_test (NAME ${name} COMMAND "${ZARVIK_VM}" --virmidi 1 --quiet --timeout ${seconds} -- ${ARGN})
        math (EXPR ctest_seconds "${seconds} + 240")
        set_tests_properties (${name} PROPERTIES
            LABELS "${labels}"
            TIMEOUT ${ctest_seconds}
            RUN_SERIAL TRUE
            SKIP_REGULAR_EXPRESSION "zarvik-vm: no result:")
    endfunction()

    # An update of zarvik-sim, the simulated unit on the sequencer, end to end.
    add_dependencies (zarvik_tests zarvik-sim)
    target_compile_definitions (zarvik_tests PRIVATE ZARVIK_SIM_PATH="$<TARGET_FILE:zarvik-sim>")

    zarvik_vm_test (AlsaKernelTestsInVirtualMachine 500 alsa
                    "$<TARGET_FILE:zarvik_tests>" --gtest_filter=AlsaKernel*)

    # End to end: the real updater and zarvik-sim in the virtual machine, on
    # its own X display, driven with real X input events. Each scenario is
    # one script of tests/e2e; the full update takes two minutes or more,
    # as the load beside the emulated machine allows.
    foreach (scenario detection solvane-update unplug full-update update-check)
        zarvik_vm_test (EndToEnd.${scenario} 3600 "alsa;e2e"
                        "${PROJECT_SOURCE_DIR}/tests/e2e/${scenario}.sh"
                        "$<TARGET_FILE:ZarvikUpdater>" "$<TARGET_FILE:zarvik-sim>")
    endforeach()

    # The fault matrix runs its cases one after another in one machine and
    # checks the README's table of them. At 35 to 45 minutes it is left out of
    # scripts/test.sh unless ZARVIK_FAULT_MATRIX=1 (label "matrix").
    zarvik_vm_test (EndToEnd.fault-matrix 3600 "alsa;e2e;matrix"
                    "${PROJECT_SOURCE_DIR}/tests/e2e/fault-matrix.sh"
                    "$<TARGET_FILE:ZarvikUpdater>" "$<TARGET_FILE:zarvik-sim>")

    # The Debian package: made, checked by lintian, installed into the virtual
    # machine's throw-away copy of this machine, started and purged.
    add_test (NAME DebianPackage
              COMMAND "${PROJECT_SOURCE_DIR}/tests/package/package-test.sh" "${CMAKE_BINARY_DIR}" "${ZARVIK_PACKAGE_FILE}")
    set_tests_properties (DebianPackage PROPERTIES
        LABELS package
        TIMEOUT 1200
        RUN_SERIAL TRUE
        SKIP_REGULAR_EXPRESSION "zarvik-vm: no result:")

    # The ThreadSanitizer pass reruns what matches "Concurrency": there the
    # kernel's concurrency tests run in the virtual machine on their own.
    if (ZARVIK_SANITIZER STREQUAL "thread")
        zarvik_vm_test (AlsaKernelConcurrencyInVirtualMachine 500 alsa
                        env "TSAN_OPTIONS=halt_on_error=1 second_deadlock_stack=1"
                        "$<TARGET_FILE:zarvik_tests>" --gtest_filter=AlsaKernelConcurrency*)
    endif()
endif()

# The release gate of Firmware.cmake: configure-only runs of CMake in scratch
# folders under release-gate/, with images the generator makes there; a few
# seconds each. The gate is the same for every target, so a cross build
# leaves these to the build for this machine.
if (NOT CMAKE_CROSSCOMPILING)
    set (zarvik_gate_checks digests refuses accepts)
    set (zarvik_gate_names DigestsAreThoseOfTheGeneratedImages RefusesTheGeneratedTestFirmware AcceptsOtherValidImages)
    foreach (check name IN ZIP_LISTS zarvik_gate_checks zarvik_gate_names)
        add_test (NAME ReleaseGate.${name}
                  COMMAND "${PROJECT_SOURCE_DIR}/tests/cmake/release-gate.sh" ${check} "${PROJECT_SOURCE_DIR}"
                          "${CMAKE_BINARY_DIR}/release-gate/${check}" "$<TARGET_FILE:zarvik-firmware-gen>"
                          "$<TARGET_FILE:zarvik-firmware-check>" "${CMAKE_COMMAND}" "${CMAKE_GENERATOR}")
        set_tests_properties (ReleaseGate.${name} PROPERTIES LABELS release-gate TIMEOUT 120)
    endforeach()
endif()

# The app tests run the application's classes, check the Windows icon the build
# makes and start the executable itself, and the window harness.
target_link_libraries (zarvik_tests PRIVATE zarvik_app)
target_compile_definitions (zarvik_tests PRIVATE
    ZARVIK_WINDOWS_ICON="${ZARVIK_WINDOWS_ICON}"
    ZARVIK_WINDOWS_RC="${ZARVIK_WINDOWS_RC}"
    ZARVIK_BUILD_DIR="${CMAKE_BINARY_DIR}")
add_dependencies (zarvik_tests zarvik_windows_icon ZarvikUpdater zarvik-window-harness)
target_compile_definitions (zarvik_tests PRIVATE ZARVIK_HARNESS_PATH="$<TARGET_FILE:zarvik-window-harness>")
if (TARGET zarvik_desktop_icons)
    add_dependencies (zarvik_tests zarvik_desktop_icons)
endif()

# The Windows build under Wine: the real executable opens its window on the
# display, and the installer installs and uninstalls it silently. Where the
# system lists no display, the executable says why and ends; that test makes
# a prefix of its own, and opens no window.
if (CMAKE_CROSSCOMPILING)
    add_test (NAME WindowsUpdater.OpensItsWindowUnderWine
              COMMAND "${PROJECT_SOURCE_DIR}/tests/windows/window.sh" "$<TARGET_FILE:ZarvikUpdater>"
                      "${CMAKE_BINARY_DIR}/screenshots/window-under-wine.png")
    add_test (NAME WindowsInstaller.InstallsAndUninstallsSilently
              COMMAND "${PROJECT_SOURCE_DIR}/tests/windows/installer.sh" "${ZARVIK_INSTALLER}" "$<TARGET_FILE:ZarvikUpdater>")
    set_tests_properties (WindowsUpdater.OpensItsWindowUnderWine WindowsInstaller.InstallsAndUninstallsSilently
                          PROPERTIES LABELS windows TIMEOUT 300 RESOURCE_LOCK display ENVIRONMENT WINEDEBUG=-all)
    add_test (NAME WindowsUpdater.WithoutADisplaySaysWhyLogsItAndFails
              COMMAND "${PROJECT_SOURCE_DIR}/tests/windows/no-display.sh" "$<TARGET_FILE:ZarvikUpdater>")
    set_tests_properties (WindowsUpdater.WithoutADisplaySaysWhyLogsItAndFails
                          PROPERTIES LABELS windows TIMEOUT 300 ENVIRONMENT WINEDEBUG=-all)

    # The Wine prefix of the tests, in /tmp: tests/e2e/wine-solvane-update.sh
    # uses it in the virtual machine, which sees /tmp copy-on-write.
    string (MD5 zarvik_build_hash "${CMAKE_BINARY_DIR}")
    string (SUBSTRING "${zarvik_build_hash}" 0 10 zarvik_build_hash)
    set (ZARVIK_WINE_PREFIX "/tmp/zarvik-wine-${zarvik_build_hash}" CACHE PATH "The Wine prefix (WINEPREFIX) of the tests")

    # End to end through Wine's MIDI: in the virtual machine the executable
    # under Wine updates zarvik-sim (the host build's) in the Solvane form.
    # The machine loads the CPU, so it runs alone.
    if (TARGET zarvik-sim)
        add_test (NAME WindowsEndToEnd.wine-solvane-update
                  COMMAND "${PROJECT_SOURCE_DIR}/tests/vm/zarvik-vm" --quiet --timeout 1200 --
                          "${PROJECT_SOURCE_DIR}/tests/e2e/wine-solvane-update.sh" "$<TARGET_FILE:ZarvikUpdater>"
                          "$<TARGET_FILE:zarvik-sim>" "${ZARVIK_WINE_PREFIX}")
        set_tests_properties (WindowsEndToEnd.wine-solvane-update PROPERTIES
            LABELS "windows;e2e"
            TIMEOUT 1440
            RUN_SERIAL TRUE
            SKIP_REGULAR_EXPRESSION "zarvik-vm: no result:")
    endif()
endif()

# The build holds the layers: each layer fails to build an include of the
# layer above it, and the updater holds none of the simulated unit's or the
# in-process ports' code, which only tests, tools and benchmarks link.
if (NOT CMAKE_CROSSCOMPILING AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    set (zarvik_upward_includes
        "zarvik_threads|midi/MidiManager.h"
        "zarvik_midi|firmware/FirmwareItem.h"
        "zarvik_firmware|control/Controller.h"
        "zarvik_control|ui/MainWindowComponent.h"
        "zarvik_ui|app/RZ41FirmwareUpdaterApplication.h")

    foreach (check IN LISTS zarvik_upward_includes)
        string (REPLACE "|" ";" check "${check}")
        list (GET check 0 layer)
        list (GET check 1 header)

        set (source "${CMAKE_BINARY_DIR}/layer-checks/${layer}.cpp")
        file (CONFIGURE OUTPUT "${source}" CONTENT "#include \"${header}\"\n")
        add_library (${layer}_upward_include OBJECT EXCLUDE_FROM_ALL "${source}")
        target_link_libraries (${layer}_upward_include PRIVATE ${layer})

        add_test (NAME Layers.${layer}SeesNothingAboveIt
                  COMMAND ${CMAKE_COMMAND} --build "${CMAKE_BINARY_DIR}" --target ${layer}_upward_include)
        set_tests_properties (Layers.${layer}SeesNothingAboveIt PROPERTIES
            PASS_REGULAR_EXPRESSION "${header}: No such file"
            LABELS layers
            RESOURCE_LOCK build)
    endforeach()

    add_test (NAME Layers.TheUpdaterHoldsNoTestDoubles
              COMMAND sh -c "! nm -C \"$1\" | grep -E 'InProcessMidiPorts|SimulatedZarvik|InProcessZarvik'" sh "$<TARGET_FILE:ZarvikUpdater>")
    set_tests_properties (Layers.TheUpdaterHoldsNoTestDoubles PROPERTIES LABELS layers)
endif()
