# The firmware package: five SysEx images and eight pictures compiled into one
# binary-data library. Every image is validated before it is embedded, so an
# updater can never be built with a corrupt image inside.

# The generator and the validator run during the build, so a cross build takes
# them from a build for this machine (ZARVIK_HOST_TOOLS, the file that build
# exports in Tools.cmake).
if (CMAKE_CROSSCOMPILING)
    if (NOT EXISTS "${ZARVIK_HOST_TOOLS}")
        message (FATAL_ERROR "A cross build needs ZARVIK_HOST_TOOLS: the ZarvikHostTools.cmake of a build for this machine")
    endif()
    include ("${ZARVIK_HOST_TOOLS}")
else()
    add_executable (zarvik-firmware-gen
        tools/firmware-gen/Main.cpp
        tools/firmware-gen/TestFirmwareGenerator.cpp)
    zarvik_strict_warnings (zarvik-firmware-gen)

    add_executable (zarvik-firmware-check tools/firmware-check/Main.cpp)
    target_link_libraries (zarvik-firmware-check PRIVATE zarvik_firmware_format)
    zarvik_strict_warnings (zarvik-firmware-check)

endif()

# Image base names and the processor byte each one must carry.
set (ZARVIK_IMAGES RZ41_appap RZ41_appga RZ41_apptr RZ41_assetsap RZ41_assetsga)
set (ZARVIK_IMAGE_PROCESSORS 10 20 00 10 20)

if (ZARVIK_FIRMWARE_DIR)
    get_filename_component (zarvik_image_dir "${ZARVIK_FIRMWARE_DIR}" ABSOLUTE)
    set (zarvik_image_files)

    foreach (name IN LISTS ZARVIK_IMAGES)
        if (NOT EXISTS "${zarvik_image_dir}/${name}.syx")
            message (FATAL_ERROR "ZARVIK_FIRMWARE_DIR: ${zarvik_image_dir} holds no ${name}.syx")
        endif()
        list (APPEND zarvik_image_files "${zarvik_image_dir}/${name}.syx")
    endforeach()

    # A release sends its images to real units: none may be test firmware,
    # whatever folder it comes from or name it has.
    include ("${PROJECT_SOURCE_DIR}/cmake/TestFirmwareDigests.cmake")
    set (zarvik_test_images_found)

    foreach (file IN LISTS zarvik_image_files)
        file (SHA256 "${file}" zarvik_digest)
        if (zarvik_digest IN_LIST ZARVIK_TEST_FIRMWARE_SHA256)
            get_filename_component (zarvik_file_name "${file}" NAME)
            list (APPEND zarvik_test_images_found "${zarvik_file_name}")
        endif()
    endforeach()

    if (zarvik_test_images_found)
        list (JOIN zarvik_test_images_found ", " zarvik_test_images_found)
        message (FATAL_ERROR "ZARVIK_FIRMWARE_DIR: ${zarvik_image_dir} holds test firmware, not a release "
                 "(images that tools/firmware-gen generates: ${zarvik_test_images_found}). "
                 "An updater built with it would send test firmware to real units. Point "
                 "ZARVIK_FIRMWARE_DIR at the five images of a firmware release, or leave it "
                 "unset to build with test firmware for rehearsals.")
    endif()

    message (STATUS "Embedding the firmware release in ${zarvik_image_dir}")
    set (ZARVIK_TEST_FIRMWARE OFF)
else()
    set (zarvik_image_dir "${CMAKE_BINARY_DIR}/firmware")
    set (zarvik_image_files)

    foreach (name IN LISTS ZARVIK_IMAGES)
        list (APPEND zarvik_image_files "${zarvik_image_dir}/${name}.syx")

        # The resource generator wants its inputs to exist when CMake runs; the
        # build overwrites these with the generated images before embedding them.
        if (NOT EXISTS "${zarvik_image_dir}/${name}.syx")
            file (MAKE_DIRECTORY "${zarvik_image_dir}")
            file (TOUCH "${zarvik_image_dir}/${name}.syx")
        endif()
    endforeach()

    add_custom_command (OUTPUT ${zarvik_image_files}
        COMMAND zarvik-firmware-gen "${zarvik_image_dir}"
        DEPENDS zarvik-firmware-gen
        COMMENT "Generating the test firmware images"
        VERBATIM)

    # Such a build sends its images to a rehearsal unit only (FirmwarePackage::getKind).
    set (ZARVIK_TEST_FIRMWARE ON)
endif()

set (zarvik_check_args)
foreach (file processor IN ZIP_LISTS zarvik_image_files ZARVIK_IMAGE_PROCESSORS)
    list (APPEND zarvik_check_args --processor ${processor} "${file}")
endforeach()

set (zarvik_images_checked "${CMAKE_BINARY_DIR}/firmware-checked.stamp")
add_custom_command (OUTPUT "${zarvik_images_checked}"
    COMMAND zarvik-firmware-check ${zarvik_check_args}
    COMMAND ${CMAKE_COMMAND} -E touch "${zarvik_images_checked}"
    DEPENDS zarvik-firmware-check ${zarvik_image_files}
    COMMENT "Validating the firmware images"
    VERBATIM)

set (zarvik_picture_dir "${PROJECT_SOURCE_DIR}/resources")
set (ZARVIK_RESOURCE_FILES
    "${zarvik_picture_dir}/Zarvik_DriverUpdater_Icon.png"
    ${zarvik_image_files}
    "${zarvik_picture_dir}/Zarvik_DriverUpdateUtility_AboutScreen.png"
    "${zarvik_picture_dir}/Zarvik_DriverUpdateUtility_Background.png"
    "${zarvik_picture_dir}/Zarvik_DriverUpdateUtility_Button_Hover.png"
    "${zarvik_picture_dir}/Zarvik_DriverUpdateUtility_Button_Normal.png"
    "${zarvik_picture_dir}/Zarvik_DriverUpdateUtility_Button_Press.png"
    "${zarvik_picture_dir}/Zarvik_DriverUpdateUtility_LED_NoHardware.png"
    "${zarvik_picture_dir}/Zarvik_DriverUpdateUtility_LED_WithHardware.png")

juce_add_binary_data (zarvik_resources SOURCES ${ZARVIK_RESOURCE_FILES})

# The resource generator only watches its list of file names; make it also
# rerun when an image or picture changes, and only after the images passed.
add_custom_command (OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/juce_binarydata_zarvik_resources/JuceLibraryCode/BinaryData1.cpp"
    APPEND DEPENDS "${zarvik_images_checked}" ${ZARVIK_RESOURCE_FILES})

# Whether the embedded images are the generated test firmware: fixed by the
# build, so nothing at run time can switch a release build into rehearsal mode.
set_property (SOURCE firmware/FirmwarePackage.cpp APPEND PROPERTY
    COMPILE_DEFINITIONS ZARVIK_TEST_FIRMWARE=$<BOOL:${ZARVIK_TEST_FIRMWARE}>)
