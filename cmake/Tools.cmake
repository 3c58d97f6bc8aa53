# What stands in for the system and the hardware, for tests, tools and
# benchmarks; the updater never links it: MIDI ports inside the process, the
# simulated Zarvik's logic, and its adapter onto those ports.
add_library (zarvik_simulator STATIC
    tools/simulator/InProcessMidiPorts.cpp
    tools/simulator/SimulatedZarvik.cpp
    tools/simulator/InProcessZarvik.cpp)
target_include_directories (zarvik_simulator PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries (zarvik_simulator PUBLIC zarvik_control)
zarvik_strict_warnings (zarvik_simulator)

# The artwork tool paints the eight pictures of resources/. The normal build does
# not run it: its output is committed. After changing the artwork, run
#   build/zarvik-artwork resources
add_executable (zarvik-artwork
    tools/artwork/Main.cpp
    tools/artwork/ArtworkPainter.cpp
    tools/artwork/ControllerDrawing.cpp)
target_link_libraries (zarvik-artwork PRIVATE zarvik_juce)
zarvik_strict_warnings (zarvik-artwork)

# zarvik-sim: the simulated Zarvik on the system's MIDI, for rehearsing an
# update without hardware. The report logic is a library the tests link too.
add_library (zarvik_sim_report STATIC
    tools/zarvik-sim/SimReport.cpp
    tools/zarvik-sim/WineRewrapping.cpp)
target_link_libraries (zarvik_sim_report PUBLIC zarvik_simulator zarvik_package)
zarvik_strict_warnings (zarvik_sim_report)

if (CMAKE_SYSTEM_NAME STREQUAL "Linux")
    add_executable (zarvik-sim
        tools/zarvik-sim/Main.cpp
        tools/zarvik-sim/AlsaSequencerUnit.cpp)
    target_link_libraries (zarvik-sim PRIVATE zarvik_sim_report ALSA::ALSA)
    zarvik_strict_warnings (zarvik-sim)
endif()

# What a cross build (for Windows) runs on this machine: the build-time tools,
# and the simulated unit for its end-to-end test.
if (NOT CMAKE_CROSSCOMPILING)
    set (zarvik_host_tools zarvik-firmware-gen zarvik-firmware-check)
    if (TARGET zarvik-sim)
        list (APPEND zarvik_host_tools zarvik-sim)
    endif()
    export (TARGETS ${zarvik_host_tools} FILE "${CMAKE_BINARY_DIR}/ZarvikHostTools.cmake")
endif()

# Shows the updater's real window in a chosen state, on in-process ports with a
# simulated unit, for screenshots (scripts/screenshots.sh) and the tests that
# signal a running updater.
add_executable (zarvik-window-harness tools/window-harness/Main.cpp)
target_link_libraries (zarvik-window-harness PRIVATE zarvik_app zarvik_simulator)
zarvik_strict_warnings (zarvik-window-harness)
