# The Debian package, made with `cpack -G DEB` in the build folder: the install
# rules of App.cmake, stripped, with a man page, the copyright and changelog,
# and dependencies found by dpkg-shlibdeps. A build with generated test
# firmware is versioned <version>~testfirmware, so it can never pass for a
# release, and a release of the same version replaces it.

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
