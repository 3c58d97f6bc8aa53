# libFuzzer harnesses, one program each, built by clang in a folder of their own:
#   cmake -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
#         -DZARVIK_SANITIZER=address -DZARVIK_FUZZING=ON
#   cmake --build build-fuzz --target zarvik-fuzzers
# Their JUCE holds only the modules the harnesses need, and their library only
# the code they reach, so the build stays small.

if (NOT ZARVIK_FUZZING)
    return()
endif()

zarvik_add_juce_library (zarvik_fuzz_juce
    juce_core
    juce_cryptography
    juce_events
    juce_audio_basics
    juce_audio_devices)

# No sound or MIDI system is opened here: the harnesses feed the code directly.
target_compile_definitions (zarvik_fuzz_juce PUBLIC JUCE_ALSA=0 JUCE_JACK=0)

add_library (zarvik_fuzz_code STATIC
    control/Controller.cpp
    control/UpdateLog.cpp
    control/VersionQuery.cpp
    control/native/UpdateLogLocation_${zarvik_platform}.cpp
    firmware/FirmwareItem.cpp
    firmware/FirmwareSysexSender.cpp
    firmware/native/PacingClock_${zarvik_platform}.cpp
    midi/InProcessMidiPorts.cpp
    midi/MidiManager.cpp
    midi/SysexAssembler.cpp
    tools/simulator/SimulatedZarvik.cpp)
target_include_directories (zarvik_fuzz_code PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_definitions (zarvik_fuzz_code PUBLIC
    ZARVIK_PRODUCT_NAME="Brelmar Zarvik Firmware Updater"
    ZARVIK_VERSION="${PROJECT_VERSION}")
target_link_libraries (zarvik_fuzz_code PUBLIC zarvik_fuzz_juce zarvik_firmware_format)
zarvik_strict_warnings (zarvik_fuzz_code)

add_custom_target (zarvik-fuzzers)

foreach (harness ReplyPath FirmwareImage SimulatorStream)
    string (REGEX REPLACE "([a-z])([A-Z])" "\\1-\\2" name "${harness}")
    string (TOLOWER "zarvik-fuzz-${name}" target)

    add_executable (${target} fuzz/${harness}Fuzzer.cpp)
    target_link_libraries (${target} PRIVATE zarvik_fuzz_code)
    target_link_options (${target} PRIVATE -fsanitize=fuzzer)
    zarvik_strict_warnings (${target})
    add_dependencies (zarvik-fuzzers ${target})
endforeach()
