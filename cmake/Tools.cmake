# The simulated Zarvik: the unit's logic, and its adapter onto in-process ports.
add_library (zarvik_simulator STATIC
    tools/simulator/SimulatedZarvik.cpp
    tools/simulator/InProcessZarvik.cpp)
target_include_directories (zarvik_simulator PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries (zarvik_simulator PUBLIC zarvik_core)
zarvik_strict_warnings (zarvik_simulator)
