# The one compiled copy of the JUCE modules, shared by the app, the tests, the
# tools and the benchmarks.

# zarvik_add_juce_library (NAME MODULES...): a static library of the given
# JUCE modules, whose headers are system headers for the code that links it.
function (zarvik_add_juce_library name)
    add_library (${name} STATIC)

    list (TRANSFORM ARGN PREPEND "juce::")
    target_link_libraries (${name}
        PRIVATE
            ${ARGN}
        PUBLIC
            juce::juce_recommended_config_flags)

    target_compile_definitions (${name}
        PUBLIC
            JUCE_WEB_BROWSER=0
            JUCE_USE_CURL=0
            JUCE_MODAL_LOOPS_PERMITTED=1
            JUCE_STANDALONE_APPLICATION=1
            JUCE_GLOBAL_MODULE_SETTINGS_INCLUDED=1
            JUCE_DISPLAY_SPLASH_SCREEN=0
        INTERFACE
            $<TARGET_PROPERTY:${name},COMPILE_DEFINITIONS>)

    # JUCE's headers are system headers for our code, so our warning flags stay on our code.
    target_include_directories (${name} SYSTEM INTERFACE
        $<TARGET_PROPERTY:${name},INCLUDE_DIRECTORIES>)

    set_target_properties (${name} PROPERTIES
        POSITION_INDEPENDENT_CODE ON
        VISIBILITY_INLINES_HIDDEN ON
        CXX_VISIBILITY_PRESET hidden)
endfunction()

# A fuzzing build makes only the harnesses, which need no window: its JUCE
# leaves the graphics out and opens no sound or MIDI system.
if (ZARVIK_FUZZING)
    zarvik_add_juce_library (zarvik_juce
        juce_core
        juce_cryptography
        juce_events
        juce_audio_basics
        juce_audio_devices)
    target_compile_definitions (zarvik_juce PUBLIC JUCE_ALSA=0 JUCE_JACK=0)
else()
    zarvik_add_juce_library (zarvik_juce
        juce_core
        juce_cryptography
        juce_events
        juce_data_structures
        juce_graphics
        juce_gui_basics
        juce_audio_basics
        juce_audio_devices)
endif()

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

# A debug build's JUCE prints its version as the program starts; the program's
# own lines (its usage, a one-line error) stay its only output in every build.
get_target_property (zarvik_juce_core_sources juce::juce_core INTERFACE_SOURCES)
list (FILTER zarvik_juce_core_sources INCLUDE REGEX "/juce_core\\.cpp$")
set_property (SOURCE ${zarvik_juce_core_sources} APPEND PROPERTY COMPILE_DEFINITIONS JUCE_DISABLE_JUCE_VERSION_PRINTING=1)
