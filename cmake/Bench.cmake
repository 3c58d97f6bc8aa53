# Benchmarks print their figures; none of them is a test.

add_executable (zarvik-bench-sender bench/SenderBenchmark.cpp)
target_link_libraries (zarvik-bench-sender PRIVATE zarvik_simulator)
zarvik_strict_warnings (zarvik-bench-sender)

add_executable (zarvik-bench-full-update bench/FullUpdateBench.cpp)
target_link_libraries (zarvik-bench-full-update PRIVATE zarvik_simulator)
zarvik_strict_warnings (zarvik-bench-full-update)

# What it costs to list the system's MIDI ports (done every 100 ms per port and on every sender tick).
add_executable (zarvik-bench-port-listing bench/PortListingBench.cpp)
target_link_libraries (zarvik-bench-port-listing PRIVATE zarvik_core)
zarvik_strict_warnings (zarvik-bench-port-listing)

# Twenty updates in one process: memory, threads and leaks over time.
add_executable (zarvik-bench-soak bench/SoakBench.cpp)
target_link_libraries (zarvik-bench-soak PRIVATE zarvik_simulator)
zarvik_strict_warnings (zarvik-bench-soak)
