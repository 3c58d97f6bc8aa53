# Build options, all off or empty by default.

set (ZARVIK_FIRMWARE_DIR "" CACHE PATH
     "Folder holding the five .syx images of a firmware release to embed instead of the generated test firmware")

set (ZARVIK_HOST_TOOLS "" CACHE FILEPATH
     "Cross builds: the ZarvikHostTools.cmake that a build for this machine exports, naming the build-time tools")

set (ZARVIK_SANITIZER "" CACHE STRING "Sanitizer for the whole build, JUCE included: empty, address or thread")
set_property (CACHE ZARVIK_SANITIZER PROPERTY STRINGS "" address thread)

if (ZARVIK_SANITIZER)
    if (NOT ZARVIK_SANITIZER MATCHES "^(address|thread)$")
        message (FATAL_ERROR "ZARVIK_SANITIZER must be empty, address or thread, not '${ZARVIK_SANITIZER}'")
    endif()
    add_compile_options (-fsanitize=${ZARVIK_SANITIZER} -fno-omit-frame-pointer)
    add_link_options (-fsanitize=${ZARVIK_SANITIZER})
endif()

# Reuse compiled objects across build folders (worktrees, sanitizer builds) when ccache is there.
find_program (ZARVIK_CCACHE ccache)
if (ZARVIK_CCACHE)
    set (CMAKE_C_COMPILER_LAUNCHER "${ZARVIK_CCACHE}")
    set (CMAKE_CXX_COMPILER_LAUNCHER "${ZARVIK_CCACHE}")
endif()
