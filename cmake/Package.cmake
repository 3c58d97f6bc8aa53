# How the program is installed and packaged: on Linux its install rules and the
# Debian package, on Windows the installer.

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
    set (CPACK_PACKAGE_NAME "${ZARVIK_PRODUCT_NAME}")
    set (CPACK_PACKAGE_VENDOR "Brelmar")
    set (CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
    set (CPACK_PACKAGE_INSTALL_DIRECTORY "${ZARVIK_PRODUCT_NAME}")
    set (zarvik_installer_name "brelmar-zarvik-firmware-updater-${PROJECT_VERSION}${zarvik_installer_flavour}-setup")
    set (CPACK_PACKAGE_FILE_NAME "${zarvik_installer_name}")
    set (CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/installer")
    set (CPACK_PACKAGE_EXECUTABLES "${ZARVIK_PRODUCT_NAME}" "${ZARVIK_PRODUCT_NAME}")
    # The shortcut points where the program is installed (CPack assumes bin\).
    set (CPACK_NSIS_EXECUTABLES_DIRECTORY ".")
    set (CPACK_NSIS_DISPLAY_NAME "${ZARVIK_PRODUCT_NAME}")
    set (CPACK_NSIS_PACKAGE_NAME "${ZARVIK_PRODUCT_NAME}")
    set (CPACK_NSIS_INSTALLED_ICON_NAME "${ZARVIK_PRODUCT_NAME}.exe")
    set (CPACK_NSIS_MUI_ICON "${ZARVIK_WINDOWS_ICON}")
    set (CPACK_NSIS_MUI_UNIICON "${ZARVIK_WINDOWS_ICON}")
    # A 64-bit installer, like the program: 64-bit Windows and Wine run it as is.
    set (CPACK_NSIS_DEFINES "Target amd64-unicode")
    set (CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
    # The Start menu folder and the uninstall entry, without the version.
    set (CPACK_PACKAGE_INSTALL_REGISTRY_KEY "${ZARVIK_PRODUCT_NAME}")
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

#===============================================================================
# The Debian package, made with `cpack -G DEB` in the build folder: the install
# rules above, stripped, with a man page, the copyright and changelog, and
# dependencies found by dpkg-shlibdeps. A build with generated test firmware is
# versioned <version>~testfirmware, so it can never pass for a release, and a
# release of the same version replaces it.

if (NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
    return()
endif()

set (ZARVIK_PACKAGE_MAINTAINER "Brelmar <support@brelmar.example>" CACHE STRING
     "Maintainer named in the Debian package")

if (ZARVIK_FIRMWARE_DIR)
    set (ZARVIK_PACKAGE_VERSION "${PROJECT_VERSION}")
    set (ZARVIK_FIRMWARE_KIND "a firmware release")
    set (zarvik_package_summary "Brelmar Zarvik firmware updater with a firmware release")
else()
    set (ZARVIK_PACKAGE_VERSION "${PROJECT_VERSION}~testfirmware")
    set (ZARVIK_FIRMWARE_KIND "test firmware, for rehearsals with zarvik-sim only")
    set (zarvik_package_summary "Brelmar Zarvik firmware updater with test firmware, for rehearsal only")
endif()

execute_process (COMMAND dpkg --print-architecture OUTPUT_VARIABLE zarvik_package_arch OUTPUT_STRIP_TRAILING_WHITESPACE)
set (ZARVIK_PACKAGE_FILE "${ZARVIK_LINUX_NAME}_${ZARVIK_PACKAGE_VERSION}_${zarvik_package_arch}.deb")

string (TIMESTAMP ZARVIK_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)

set (zarvik_doc_dir "${CMAKE_INSTALL_DATADIR}/doc/${ZARVIK_LINUX_NAME}")
set (zarvik_package_dir "${CMAKE_BINARY_DIR}/package")
configure_file ("${PROJECT_SOURCE_DIR}/app/linux/changelog.in" "${zarvik_package_dir}/changelog" @ONLY)
configure_file ("${PROJECT_SOURCE_DIR}/app/linux/${ZARVIK_LINUX_NAME}.1.in" "${zarvik_package_dir}/${ZARVIK_LINUX_NAME}.1" @ONLY)

# Debian wants both compressed, without a time stamp in the gzip header.
set (zarvik_compressed_docs "${zarvik_package_dir}/changelog.gz" "${zarvik_package_dir}/${ZARVIK_LINUX_NAME}.1.gz")
add_custom_command (OUTPUT ${zarvik_compressed_docs}
    COMMAND gzip -9nkf changelog "${ZARVIK_LINUX_NAME}.1"
    DEPENDS "${zarvik_package_dir}/changelog" "${zarvik_package_dir}/${ZARVIK_LINUX_NAME}.1"
    WORKING_DIRECTORY "${zarvik_package_dir}"
    VERBATIM)
add_custom_target (zarvik_package_docs ALL DEPENDS ${zarvik_compressed_docs})

install (FILES "${PROJECT_SOURCE_DIR}/app/linux/copyright" "${zarvik_package_dir}/changelog.gz"
    DESTINATION "${zarvik_doc_dir}")
install (FILES "${zarvik_package_dir}/${ZARVIK_LINUX_NAME}.1.gz"
    DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")

# The program is installed under another name than the target's, which
# `install (TARGETS)` cannot do, so it is stripped here (cpack and
# `cmake --install --strip`): most of its 86 MB are debug information.
install (CODE "
    if (CMAKE_INSTALL_DO_STRIP)
        execute_process (COMMAND \"${CMAKE_STRIP}\" --strip-unneeded --remove-section=.comment --remove-section=.note
                                 \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${ZARVIK_LINUX_NAME}\"
                         COMMAND_ERROR_IS_FATAL ANY)
    endif()")

set (CPACK_GENERATOR DEB)
set (CPACK_PACKAGE_NAME "${ZARVIK_LINUX_NAME}")
set (CPACK_PACKAGE_VERSION "${ZARVIK_PACKAGE_VERSION}")
set (CPACK_PACKAGE_VENDOR "Brelmar")
set (CPACK_PACKAGE_CONTACT "${ZARVIK_PACKAGE_MAINTAINER}")
set (CPACK_PACKAGE_DESCRIPTION_SUMMARY "${zarvik_package_summary}")
set (CPACK_PACKAGE_DESCRIPTION "A desktop program that updates the firmware of the Brelmar Zarvik, a USB DJ
controller with three processors, each a MIDI port of its own. It shows the
versions the unit reports beside those it carries and, on a click on Update,
streams the five firmware images to the unit's ports.
.
This package carries
${ZARVIK_FIRMWARE_KIND}.")
set (CPACK_STRIP_FILES TRUE)
set (CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/package")
set (CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set (CPACK_DEBIAN_PACKAGE_SECTION sound)
set (CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set (CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set (CPACK_DEBIAN_COMPRESSION_TYPE xz)

include (CPack)
