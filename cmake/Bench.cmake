# Benchmarks print their figures; none of them is a test.

add_executable (zarvik-bench-sender bench/SenderBenchmark.cpp)
target_link_libraries (zarvik-bench-sender PRIVATE zarvik_simulator)
zarvik_strict_warnings (zarvik-bench-sender)

add_executable (zarvik-bench-full-update bench/FullUpdateBench.cpp bench/native/ProcessUsage_${zarvik_platform}.cpp)
target_link_libraries (zarvik-bench-full-update PRIVATE zarvik_simulator)
if (zarvik_platform STREQUAL "Windows")
    target_link_libraries (zarvik-bench-full-update PRIVATE psapi)
endif()
zarvik_strict_warnings (zarvik-bench-full-update)

# What it costs to list the system's MIDI ports (done every 100 ms per port and on every sender tick).
add_executable (zarvik-bench-port-listing bench/PortListingBench.cpp)
target_link_libraries (zarvik-bench-port-listing PRIVATE zarvik_core)
zarvik_strict_warnings (zarvik-bench-port-listing)
