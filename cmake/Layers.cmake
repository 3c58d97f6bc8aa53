# The system's own code, one library per layer, each linking only the layers
# below it:
#
#   threads <- midi <- firmware <- control <- ui <- app
#                          ^                          |
#                          +------- package <---------+
#
# (package: the embedded images, which only the application links.)
#
# A layer sees the headers of its own folders and of the layers it links, and
# nothing else: each gets an include folder of its own holding links to just
# those folders, so an include upwards fails to build.

# Platform code: one file per operating system in a native/ folder, chosen by
# this name.
if (CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set (zarvik_platform Linux)
elseif (CMAKE_SYSTEM_NAME STREQUAL "Windows")
    set (zarvik_platform Windows)
elseif (APPLE)
    set (zarvik_platform Mac)
endif()

# What every layer is built with: the product's name and version, from the project.
add_library (zarvik_config INTERFACE)
target_compile_definitions (zarvik_config INTERFACE
    ZARVIK_PRODUCT_NAME="${ZARVIK_PRODUCT_NAME}"
    ZARVIK_VERSION="${PROJECT_VERSION}")

# zarvik_layer_includes (TARGET FOLDERS...): the target's code sees the headers
# of these folders and of those of the layers it links, through links in an
# include folder of its own.
function (zarvik_layer_includes target)
    set (visible ${ARGN})
    get_target_property (links ${target} LINK_LIBRARIES)

    foreach (below IN LISTS links)
        if (TARGET ${below})
            get_target_property (below_folders ${below} ZARVIK_LAYER_FOLDERS)

            if (below_folders)
                list (APPEND visible ${below_folders})
            endif()
        endif()
    endforeach()

    list (REMOVE_DUPLICATES visible)
    set_target_properties (${target} PROPERTIES ZARVIK_LAYER_FOLDERS "${visible}")

    set (include_dir "${CMAKE_BINARY_DIR}/layers/${target}")
    file (REMOVE_RECURSE "${include_dir}")
    file (MAKE_DIRECTORY "${include_dir}")

    foreach (folder IN LISTS visible)
        file (CREATE_LINK "${PROJECT_SOURCE_DIR}/${folder}" "${include_dir}/${folder}" SYMBOLIC)
    endforeach()

    target_include_directories (${target} PUBLIC "${include_dir}")
endfunction()

# zarvik_add_layer (NAME FOLDERS folder... [EXCLUDE file...] [LINKS target...]):
# a static library of the folders' sources and their native/ files for this
# platform, which sees the headers of those folders and of the layers it links.
function (zarvik_add_layer name)
    cmake_parse_arguments (PARSE_ARGV 1 layer "" "" "FOLDERS;EXCLUDE;LINKS")
    set (sources)

    foreach (folder IN LISTS layer_FOLDERS)
        file (GLOB folder_sources CONFIGURE_DEPENDS
            "${PROJECT_SOURCE_DIR}/${folder}/*.cpp"
            "${PROJECT_SOURCE_DIR}/${folder}/native/*_${zarvik_platform}.cpp")
        list (APPEND sources ${folder_sources})
    endforeach()

    foreach (file IN LISTS layer_EXCLUDE)
        list (REMOVE_ITEM sources "${PROJECT_SOURCE_DIR}/${file}")
    endforeach()

    add_library (${name} STATIC ${sources})
    target_link_libraries (${name} PUBLIC zarvik_config zarvik_juce ${layer_LINKS})
    zarvik_strict_warnings (${name})
    zarvik_layer_includes (${name} ${layer_FOLDERS})
endfunction()

# The firmware image validator, plain C++: the build checks every image with
# it before embedding it, so it is also built for this machine in a cross build.
add_library (zarvik_firmware_format STATIC firmware/FirmwareImageValidator.cpp)
zarvik_strict_warnings (zarvik_firmware_format)
zarvik_layer_includes (zarvik_firmware_format firmware)

zarvik_add_layer (zarvik_threads FOLDERS threads)

zarvik_add_layer (zarvik_midi FOLDERS midi LINKS zarvik_threads)

zarvik_add_layer (zarvik_firmware FOLDERS firmware
    EXCLUDE firmware/FirmwarePackage.cpp firmware/FirmwareImageValidator.cpp
    LINKS zarvik_midi zarvik_firmware_format)

# The embedded images: what makes the executable 18 MB, linked only by what
# creates the package.
add_library (zarvik_package STATIC firmware/FirmwarePackage.cpp)
target_link_libraries (zarvik_package PUBLIC zarvik_firmware zarvik_resources)
zarvik_strict_warnings (zarvik_package)
zarvik_layer_includes (zarvik_package firmware)

zarvik_add_layer (zarvik_control FOLDERS control LINKS zarvik_firmware)

zarvik_add_layer (zarvik_ui FOLDERS ui LINKS zarvik_control zarvik_resources)

zarvik_add_layer (zarvik_app FOLDERS app EXCLUDE app/Main.cpp LINKS zarvik_ui zarvik_package)

if (zarvik_platform STREQUAL "Linux")
    find_package (ALSA REQUIRED)
    target_link_libraries (zarvik_midi PUBLIC ALSA::ALSA)
elseif (zarvik_platform STREQUAL "Windows")
    target_link_libraries (zarvik_midi PUBLIC winmm)
endif()
