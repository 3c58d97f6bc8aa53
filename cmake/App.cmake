# The GUI executable.

juce_add_gui_app (ZarvikUpdater
    PRODUCT_NAME "Brelmar Zarvik Firmware Updater"
    VERSION ${PROJECT_VERSION}
    COMPANY_NAME "Brelmar"
    ICON_BIG "${PROJECT_SOURCE_DIR}/resources/Zarvik_DriverUpdater_Icon.png"
    NEEDS_CURL FALSE
    NEEDS_WEB_BROWSER FALSE)

file (GLOB zarvik_app_sources CONFIGURE_DEPENDS app/*.cpp)
target_sources (ZarvikUpdater PRIVATE ${zarvik_app_sources})
target_compile_definitions (ZarvikUpdater PRIVATE
    JUCE_APPLICATION_NAME_STRING="$<TARGET_PROPERTY:ZarvikUpdater,JUCE_PRODUCT_NAME>"
    JUCE_APPLICATION_VERSION_STRING="$<TARGET_PROPERTY:ZarvikUpdater,JUCE_VERSION>")
target_link_libraries (ZarvikUpdater PRIVATE zarvik_core)
zarvik_strict_warnings (ZarvikUpdater)

# A stable path to the executable for scripts and tests.
set (ZARVIK_APP_EXECUTABLE "$<TARGET_FILE:ZarvikUpdater>")
