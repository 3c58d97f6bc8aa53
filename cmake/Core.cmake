# The system's own code, linked by the app, the tests, the tools and the benchmarks.

file (GLOB zarvik_core_sources CONFIGURE_DEPENDS
    firmware/*.cpp
    midi/*.cpp
    control/*.cpp
    ui/*.cpp)
list (REMOVE_ITEM zarvik_core_sources "${PROJECT_SOURCE_DIR}/firmware/FirmwareImageValidator.cpp")

# Platform code: one file per operating system in a native/ folder, chosen by
# this name (here for midi/, in App.cmake for app/).
if (CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set (zarvik_platform Linux)
elseif (CMAKE_SYSTEM_NAME STREQUAL "Windows")
    set (zarvik_platform Windows)
elseif (APPLE)
    set (zarvik_platform Mac)
endif()
file (GLOB zarvik_native_sources CONFIGURE_DEPENDS
    control/native/*_${zarvik_platform}.cpp
    firmware/native/*_${zarvik_platform}.cpp
    midi/native/*_${zarvik_platform}.cpp)

add_library (zarvik_core STATIC ${zarvik_core_sources} ${zarvik_native_sources})
target_include_directories (zarvik_core PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_definitions (zarvik_core PUBLIC
    ZARVIK_PRODUCT_NAME="Brelmar Zarvik Firmware Updater"
    ZARVIK_VERSION="${PROJECT_VERSION}")
target_link_libraries (zarvik_core PUBLIC zarvik_juce zarvik_resources zarvik_firmware_format)
zarvik_strict_warnings (zarvik_core)

# Whether the embedded images are the generated test firmware: fixed by the
# build, so nothing at run time can switch a release build into rehearsal mode.
set_property (SOURCE firmware/FirmwarePackage.cpp APPEND PROPERTY
    COMPILE_DEFINITIONS ZARVIK_TEST_FIRMWARE=$<BOOL:${ZARVIK_TEST_FIRMWARE}>)

if (zarvik_platform STREQUAL "Linux")
    find_package (ALSA REQUIRED)
    target_link_libraries (zarvik_core PUBLIC ALSA::ALSA)
elseif (zarvik_platform STREQUAL "Windows")
    target_link_libraries (zarvik_core PUBLIC winmm)
endif()
