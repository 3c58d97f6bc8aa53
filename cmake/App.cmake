# The GUI executable. Its classes live in a library of their own, so tools and
# tests run the same application object and window; the entry point alone is
# in the executable.

file (GLOB zarvik_app_sources CONFIGURE_DEPENDS app/*.cpp app/native/*_${zarvik_platform}.cpp)
list (REMOVE_ITEM zarvik_app_sources "${PROJECT_SOURCE_DIR}/app/Main.cpp")

add_library (zarvik_app STATIC ${zarvik_app_sources})
target_link_libraries (zarvik_app PUBLIC zarvik_core)
zarvik_strict_warnings (zarvik_app)

juce_add_gui_app (ZarvikUpdater
    PRODUCT_NAME "Brelmar Zarvik Firmware Updater"
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

#===============================================================================
# Linux: the executable, a desktop entry and the icon in the hicolor theme.
if (CMAKE_SYSTEM_NAME STREQUAL "Linux")
    include (GNUInstallDirs)

    set (ZARVIK_LINUX_NAME "brelmar-zarvik-firmware-updater")
    set (ZARVIK_ICON_SIZES 16 24 32 48 64 128 256 512)
    set (zarvik_icon_dir "${CMAKE_BINARY_DIR}/icons")
    set (zarvik_icon_files)

    foreach (size IN LISTS ZARVIK_ICON_SIZES)
        list (APPEND zarvik_icon_files "${zarvik_icon_dir}/${size}/${ZARVIK_LINUX_NAME}.png")
    endforeach()

    add_executable (zarvik-icon-sizes tools/icon-sizes/Main.cpp)
    target_link_libraries (zarvik-icon-sizes PRIVATE zarvik_juce)
    zarvik_strict_warnings (zarvik-icon-sizes)

    add_custom_command (OUTPUT ${zarvik_icon_files}
        COMMAND zarvik-icon-sizes "${ZARVIK_ICON_PNG}" "${zarvik_icon_dir}" "${ZARVIK_LINUX_NAME}" ${ZARVIK_ICON_SIZES}
        DEPENDS zarvik-icon-sizes "${ZARVIK_ICON_PNG}"
        COMMENT "Making the desktop icons"
        VERBATIM)
    add_custom_target (zarvik_desktop_icons ALL DEPENDS ${zarvik_icon_files})

    configure_file ("${PROJECT_SOURCE_DIR}/app/linux/ZarvikUpdater.desktop.in"
        "${CMAKE_BINARY_DIR}/${ZARVIK_LINUX_NAME}.desktop" @ONLY)

    install (PROGRAMS "$<TARGET_FILE:ZarvikUpdater>"
        DESTINATION "${CMAKE_INSTALL_BINDIR}"
        RENAME "${ZARVIK_LINUX_NAME}")
    install (FILES "${CMAKE_BINARY_DIR}/${ZARVIK_LINUX_NAME}.desktop"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")

    foreach (size IN LISTS ZARVIK_ICON_SIZES)
        install (FILES "${zarvik_icon_dir}/${size}/${ZARVIK_LINUX_NAME}.png"
            DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps")
    endforeach()
endif()

#===============================================================================
# Windows: an NSIS installer (Debian's nsis) that puts the executable into
# Program Files with a Start menu entry and an uninstaller. Its name carries
# the version, and says so when the build carries the generated test firmware.
if (CMAKE_SYSTEM_NAME STREQUAL "Windows")
    install (PROGRAMS "$<TARGET_FILE:ZarvikUpdater>" DESTINATION .)

    set (zarvik_installer_flavour "")
    if (NOT ZARVIK_FIRMWARE_DIR)
        set (zarvik_installer_flavour "-testfirmware")
    endif()

    set (CPACK_GENERATOR NSIS)
    set (CPACK_PACKAGE_NAME "Brelmar Zarvik Firmware Updater")
    set (CPACK_PACKAGE_VENDOR "Brelmar")
    set (CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
    set (CPACK_PACKAGE_INSTALL_DIRECTORY "Brelmar Zarvik Firmware Updater")
    set (zarvik_installer_name "brelmar-zarvik-firmware-updater-${PROJECT_VERSION}${zarvik_installer_flavour}-setup")
    set (CPACK_PACKAGE_FILE_NAME "${zarvik_installer_name}")
    set (CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/installer")
    set (CPACK_PACKAGE_EXECUTABLES "Brelmar Zarvik Firmware Updater" "Brelmar Zarvik Firmware Updater")
    # The shortcut points where the program is installed (CPack assumes bin\).
    set (CPACK_NSIS_EXECUTABLES_DIRECTORY ".")
    set (CPACK_NSIS_DISPLAY_NAME "Brelmar Zarvik Firmware Updater")
    set (CPACK_NSIS_PACKAGE_NAME "Brelmar Zarvik Firmware Updater")
    set (CPACK_NSIS_INSTALLED_ICON_NAME "Brelmar Zarvik Firmware Updater.exe")
    set (CPACK_NSIS_MUI_ICON "${ZARVIK_WINDOWS_ICON}")
    set (CPACK_NSIS_MUI_UNIICON "${ZARVIK_WINDOWS_ICON}")
    # A 64-bit installer, like the program: 64-bit Windows and Wine run it as is.
    set (CPACK_NSIS_DEFINES "Target amd64-unicode")
    set (CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
    # The Start menu folder and the uninstall entry, without the version.
    set (CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Brelmar Zarvik Firmware Updater")
    include (CPack)

    # CPack leaves its source package's name in CPACK_PACKAGE_FILE_NAME.
    set (ZARVIK_INSTALLER "${CMAKE_BINARY_DIR}/installer/${zarvik_installer_name}.exe")
    add_custom_command (OUTPUT "${ZARVIK_INSTALLER}"
        COMMAND cpack --config "${CMAKE_BINARY_DIR}/CPackConfig.cmake" >/dev/null
        DEPENDS ZarvikUpdater zarvik_windows_icon
        WORKING_DIRECTORY "${CMAKE_BINARY_DIR}"
        COMMENT "Making the installer ${zarvik_installer_name}.exe")
    add_custom_target (zarvik_installer ALL DEPENDS "${ZARVIK_INSTALLER}")
endif()
