# One GoogleTest binary whose main owns JUCE's runtime.

enable_testing()
find_package (GTest REQUIRED)
include (GoogleTest)

file (GLOB_RECURSE zarvik_test_sources CONFIGURE_DEPENDS tests/*.cpp)
add_executable (zarvik_tests ${zarvik_test_sources})
target_link_libraries (zarvik_tests PRIVATE zarvik_core GTest::gtest)
target_compile_definitions (zarvik_tests PRIVATE
    ZARVIK_APP_PATH="$<TARGET_FILE:ZarvikUpdater>"
    ZARVIK_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
zarvik_strict_warnings (zarvik_tests)

# Discovery runs at test time, so a display (Xvfb) is only needed then.
gtest_discover_tests (zarvik_tests
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 300)

target_link_libraries (zarvik_tests PRIVATE zarvik_simulator)

# The picture tests run the artwork tool and compare what it paints with resources/.
add_dependencies (zarvik_tests zarvik-artwork)
target_compile_definitions (zarvik_tests PRIVATE ZARVIK_ARTWORK_TOOL="$<TARGET_FILE:zarvik-artwork>")
target_link_libraries (zarvik_tests PRIVATE zarvik_sim_report)
