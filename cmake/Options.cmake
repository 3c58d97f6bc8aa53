# Build options, all off or empty by default.

set (ZARVIK_FIRMWARE_DIR "" CACHE PATH
     "Folder holding the five .syx images of a firmware release to embed instead of the generated test firmware")

set (ZARVIK_HOST_TOOLS "" CACHE FILEPATH
     "Cross builds: the ZarvikHostTools.cmake that a build for this machine exports, naming the build-time tools")

set (ZARVIK_SANITIZER "" CACHE STRING
     "Sanitizer for the whole build, JUCE included: empty, address (AddressSanitizer with UndefinedBehaviorSanitizer) or thread")
set_property (CACHE ZARVIK_SANITIZER PROPERTY STRINGS "" address thread)

option (ZARVIK_FUZZING "Build the libFuzzer harnesses of fuzz/ (clang, with ZARVIK_SANITIZER=address)" OFF)

if (ZARVIK_SANITIZER STREQUAL "address")
    # Undefined behaviour ends the run as an AddressSanitizer error does,
    # instead of printing a line and going on.
    set (zarvik_sanitizers address,undefined)
    add_compile_options (-fno-sanitize-recover=undefined)
elseif (ZARVIK_SANITIZER STREQUAL "thread")
    set (zarvik_sanitizers thread)
elseif (ZARVIK_SANITIZER)
    message (FATAL_ERROR "ZARVIK_SANITIZER must be empty, address or thread, not '${ZARVIK_SANITIZER}'")
endif()

if (ZARVIK_SANITIZER)
    add_compile_options (-fsanitize=${zarvik_sanitizers} -fno-omit-frame-pointer)
    add_link_options (-fsanitize=${zarvik_sanitizers})
endif()

# JUCE opens the X libraries at run time and closes them before exit, and
# what they still held in their own variables then shows as leaks from
# "<unknown module>". Linked in, they stay loaded to the end and that memory
# stays reachable, so any leak LeakSanitizer reports is one of ours or JUCE's.
if (ZARVIK_SANITIZER STREQUAL "address" AND NOT ZARVIK_FUZZING AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
    link_libraries (-Wl,--no-as-needed
                    -l:libX11.so.6 -l:libXext.so.6 -l:libXcursor.so.1 -l:libXinerama.so.1 -l:libXrender.so.1 -l:libXrandr.so.2
                    -Wl,--as-needed)
endif()

if (ZARVIK_FUZZING)
    if (NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT ZARVIK_SANITIZER STREQUAL "address")
        message (FATAL_ERROR "ZARVIK_FUZZING needs clang and ZARVIK_SANITIZER=address")
    endif()

    # Coverage for libFuzzer everywhere; only the harnesses link its driver.
    add_compile_options (-fsanitize=fuzzer-no-link)
endif()

# Reuse compiled objects across build folders (worktrees, sanitizer builds) when ccache is there.
find_program (ZARVIK_CCACHE ccache)
if (ZARVIK_CCACHE)
    set (CMAKE_C_COMPILER_LAUNCHER "${ZARVIK_CCACHE}")
    set (CMAKE_CXX_COMPILER_LAUNCHER "${ZARVIK_CCACHE}")
endif()
