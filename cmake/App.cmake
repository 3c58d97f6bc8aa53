# The GUI executable. Its classes live in a library of their own (zarvik_app,
# Layers.cmake), so tools and tests run the same application object and
# window; the entry point alone is in the executable.

juce_add_gui_app (ZarvikUpdater
    PRODUCT_NAME "${ZARVIK_PRODUCT_NAME}"
    VERSION ${PROJECT_VERSION}
    COMPANY_NAME "Brelmar"
    ICON_BIG "${PROJECT_SOURCE_DIR}/resources/Zarvik_DriverUpdater_Icon.png"
    NEEDS_CURL FALSE
    NEEDS_WEB_BROWSER FALSE)

target_sources (ZarvikUpdater PRIVATE app/Main.cpp)
target_compile_definitions (ZarvikUpdater PRIVATE
    JUCE_APPLICATION_NAME_STRING="$<TARGET_PROPERTY:ZarvikUpdater,JUCE_PRODUCT_NAME>"
    JUCE_APPLICATION_VERSION_STRING="$<TARGET_PROPERTY:ZarvikUpdater,JUCE_VERSION>")
target_link_libraries (ZarvikUpdater PRIVATE zarvik_app)
zarvik_strict_warnings (ZarvikUpdater)

# A stable path to the executable for scripts and tests.
set (ZARVIK_APP_EXECUTABLE "$<TARGET_FILE:ZarvikUpdater>")

#===============================================================================
# The executable's icon in Windows' format: 16, 32 and 48 pixels at 32 bits per
# pixel and 256 pixels as PNG. Made in every build, so the tests can check it.
set (ZARVIK_ICON_PNG "${PROJECT_SOURCE_DIR}/resources/Zarvik_DriverUpdater_Icon.png")
set (ZARVIK_WINDOWS_ICON "${CMAKE_BINARY_DIR}/windows/ZarvikUpdater.ico")

add_custom_command (OUTPUT "${ZARVIK_WINDOWS_ICON}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_BINARY_DIR}/windows"
    COMMAND juce::juceaide winicon "${ZARVIK_WINDOWS_ICON}" "${ZARVIK_ICON_PNG}"
    DEPENDS "${ZARVIK_ICON_PNG}"
    COMMENT "Making the Windows icon"
    VERBATIM)
add_custom_target (zarvik_windows_icon DEPENDS "${ZARVIK_WINDOWS_ICON}")

# Windows: our own version resource (its file and product versions are not the
# application's version), two icon groups and a manifest, instead of JUCE's.
# The resource script is written in every build, so the tests can compile it.
set (ZARVIK_WINDOWS_MANIFEST "${PROJECT_SOURCE_DIR}/app/windows/ZarvikUpdater.manifest")
set (ZARVIK_WINDOWS_RC "${CMAKE_BINARY_DIR}/windows/ZarvikUpdater.rc")

if (MSVC)
    # The linker embeds the manifest; a second one in the resources would clash.
    set (ZARVIK_RC_MANIFEST_LINE "")
else()
    set (ZARVIK_RC_MANIFEST_LINE "1 24 \"${ZARVIK_WINDOWS_MANIFEST}\"")
endif()

configure_file ("${PROJECT_SOURCE_DIR}/app/windows/ZarvikUpdater.rc.in" "${ZARVIK_WINDOWS_RC}" @ONLY)

if (CMAKE_SYSTEM_NAME STREQUAL "Windows")
    get_target_property (zarvik_updater_sources ZarvikUpdater SOURCES)
    list (FILTER zarvik_updater_sources EXCLUDE REGEX "resources\\.rc$")
    set_target_properties (ZarvikUpdater PROPERTIES SOURCES "${zarvik_updater_sources}")

    if (MSVC)
        target_sources (ZarvikUpdater PRIVATE "${ZARVIK_WINDOWS_MANIFEST}")
    endif()

    target_sources (ZarvikUpdater PRIVATE "${ZARVIK_WINDOWS_RC}")

    # What users download carries no debugging symbols (they would be four
    # fifths of it).
    if (NOT MSVC)
        target_link_options (ZarvikUpdater PRIVATE -s)
    endif()
    set_source_files_properties ("${ZARVIK_WINDOWS_RC}" PROPERTIES
        OBJECT_DEPENDS "${ZARVIK_WINDOWS_ICON};${ZARVIK_WINDOWS_MANIFEST}")
    add_dependencies (ZarvikUpdater zarvik_windows_icon)
endif()
