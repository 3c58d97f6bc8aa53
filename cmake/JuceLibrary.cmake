# The one compiled copy of the JUCE modules, shared by the app, the tests, the
# tools and the benchmarks.

add_library (zarvik_juce STATIC)

target_link_libraries (zarvik_juce
    PRIVATE
        juce::juce_core
        juce::juce_cryptography
        juce::juce_events
        juce::juce_data_structures
        juce::juce_graphics
        juce::juce_gui_basics
        juce::juce_audio_basics
        juce::juce_audio_devices
    PUBLIC
        juce::juce_recommended_config_flags)

target_compile_definitions (zarvik_juce
    PUBLIC
        JUCE_WEB_BROWSER=0
        JUCE_USE_CURL=0
        JUCE_MODAL_LOOPS_PERMITTED=1
        JUCE_STANDALONE_APPLICATION=1
        JUCE_GLOBAL_MODULE_SETTINGS_INCLUDED=1
        JUCE_DISPLAY_SPLASH_SCREEN=0
    INTERFACE
        $<TARGET_PROPERTY:zarvik_juce,COMPILE_DEFINITIONS>)

# JUCE's headers are system headers for our code, so our warning flags stay on our code.
target_include_directories (zarvik_juce SYSTEM INTERFACE
    $<TARGET_PROPERTY:zarvik_juce,INCLUDE_DIRECTORIES>)

set_target_properties (zarvik_juce PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    VISIBILITY_INLINES_HIDDEN ON
    CXX_VISIBILITY_PRESET hidden)

# Debian's JUCE uses the system's image and compression libraries instead of
# its bundled copies; they must follow the JUCE library on the link line.
if (TARGET juce::pkgconfig_JUCE_IMG_LINUX_DEPS)
    find_package (ZLIB REQUIRED)
    target_link_libraries (zarvik_juce PUBLIC juce::pkgconfig_JUCE_IMG_LINUX_DEPS ZLIB::ZLIB)
elseif (CMAKE_SYSTEM_NAME STREQUAL "Windows")
    # Static copies, so the executable needs no DLL beyond Windows' own.
    set (ZLIB_USE_STATIC_LIBS ON)
    find_package (ZLIB REQUIRED)
    find_package (PNG REQUIRED)
    find_package (JPEG REQUIRED)
    target_link_libraries (zarvik_juce PUBLIC PNG::PNG JPEG::JPEG ZLIB::ZLIB)
endif()
