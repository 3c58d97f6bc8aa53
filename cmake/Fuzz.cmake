# libFuzzer harnesses, one program each, built by clang in a folder of their own:
#   cmake -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
#         -DZARVIK_SANITIZER=address -DZARVIK_FUZZING=ON
#   cmake --build build-fuzz --target zarvik-fuzzers
# They link the layers they feed and the simulated unit; in such a build JUCE
# holds only the modules those need (JuceLibrary.cmake), so it stays small.

if (NOT ZARVIK_FUZZING)
    return()
endif()

add_custom_target (zarvik-fuzzers)

foreach (harness ReplyPath FirmwareImage SimulatorStream)
    string (REGEX REPLACE "([a-z])([A-Z])" "\\1-\\2" name "${harness}")
    string (TOLOWER "zarvik-fuzz-${name}" target)

    add_executable (${target} fuzz/${harness}Fuzzer.cpp)
    target_link_libraries (${target} PRIVATE zarvik_simulator)
    target_link_options (${target} PRIVATE -fsanitize=fuzzer)
    zarvik_strict_warnings (${target})
    add_dependencies (zarvik-fuzzers ${target})
endforeach()
