# Benchmarks print their figures; none of them is a test.

add_executable (zarvik-bench-sender bench/SenderBenchmark.cpp)
target_link_libraries (zarvik-bench-sender PRIVATE zarvik_simulator zarvik_package)
zarvik_strict_warnings (zarvik-bench-sender)

add_executable (zarvik-bench-full-update bench/FullUpdateBench.cpp bench/native/ProcessUsage_${zarvik_platform}.cpp)
target_link_libraries (zarvik-bench-full-update PRIVATE zarvik_simulator zarvik_package)
if (zarvik_platform STREQUAL "Windows")
    target_link_libraries (zarvik-bench-full-update PRIVATE psapi)
endif()
zarvik_strict_warnings (zarvik-bench-full-update)

# What it costs to list the system's MIDI ports (done every 100 ms per port and on every sender tick).
add_executable (zarvik-bench-port-listing bench/PortListingBench.cpp)
target_link_libraries (zarvik-bench-port-listing PRIVATE zarvik_midi)
zarvik_strict_warnings (zarvik-bench-port-listing)

# A full update by the real updater in the virtual machine, as the end-to-end
# test makes it, with two CPU-bound processes running beside it: prints the
# time against the pacing bound and the shortest gaps, and fails on a damaged
# image or a gap under the unit's 2.9 ms. It takes several minutes:
#   cmake --build build --target bench-update-under-load
if (TARGET zarvik-sim AND DEFINED ZARVIK_VM)
    add_custom_target (bench-update-under-load
        COMMAND "${ZARVIK_VM}" --quiet --timeout 3600 --
                env ZARVIK_E2E_LOAD=2 "${PROJECT_SOURCE_DIR}/tests/e2e/full-update.sh"
                "$<TARGET_FILE:ZarvikUpdater>" "$<TARGET_FILE:zarvik-sim>"
        WORKING_DIRECTORY "${CMAKE_BINARY_DIR}"
        DEPENDS ZarvikUpdater zarvik-sim
        USES_TERMINAL
        VERBATIM)
endif()

# Twenty updates in one process: memory, threads and leaks over time, read
# from Linux's process accounting (so built on Linux only).
if (zarvik_platform STREQUAL "Linux")
    add_executable (zarvik-bench-soak bench/SoakBench.cpp)
    target_link_libraries (zarvik-bench-soak PRIVATE zarvik_simulator zarvik_package)
    zarvik_strict_warnings (zarvik-bench-soak)
endif()
