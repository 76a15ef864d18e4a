# Stages the GNU Octave package from the sources as they stand and packs it:
#   cmake -D SOURCE_DIR=... -D SOURCE_FOLDERS=<a,b,...> -D TOOLBOX_DIR=... -D WORK_DIR=...
#         -D VERSION=... -D PACKAGE=... -P make_package.cmake
# TOOLBOX_DIR is CMake's toolbox folder, whose .m files (help files, Contents.m,
# cellkit_version.m) are the package's inst/. The package is
#   DESCRIPTION COPYING INDEX NEWS
#   inst/   those .m files, and data/ (the sample images with their README)
#   src/    Makefile, build_toolbox.m, VERSION and the source folders, so that
#           build_toolbox runs from there too
cmake_minimum_required(VERSION 3.24)

string(REPLACE "," ";" source_folders "${SOURCE_FOLDERS}")

set(name "cellkit-${VERSION}")
set(stage "${WORK_DIR}/${name}")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}/inst" "${stage}/src")

# --- The release date: the NEWS heading of this version ----------------------------------
file(STRINGS "${SOURCE_DIR}/NEWS" headings REGEX "^cellkit ")
set(CELLKIT_DATE "")
foreach(heading IN LISTS headings)
    if(heading MATCHES "^cellkit ([^ ]+) \\(([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9])\\)$")
        if("${CMAKE_MATCH_1}" STREQUAL "${VERSION}")
            set(CELLKIT_DATE "${CMAKE_MATCH_2}")
        endif()
    endif()
endforeach()
if(NOT CELLKIT_DATE)
    message(FATAL_ERROR "NEWS has no heading \"cellkit ${VERSION} (YYYY-MM-DD)\": "
                        "say there what this version brings before packing it")
endif()

# --- The images' licences, from the table of data/README.md -------------------------------
file(GLOB images RELATIVE "${SOURCE_DIR}/data" "${SOURCE_DIR}/data/*")
list(REMOVE_ITEM images README.md)
file(STRINGS "${SOURCE_DIR}/data/README.md" rows REGEX "^\\| `[^`]+` \\|")
set(CELLKIT_DATA_LICENCES "")
set(licence_names "")
foreach(row IN LISTS rows)
    if(NOT row MATCHES "^\\| `([^`]+)` \\|.*\\| ([^|]+) \\|$")
        message(FATAL_ERROR "data/README.md: cannot read the licence of the row: ${row}")
    endif()
    set(image "${CMAKE_MATCH_1}")
    string(STRIP "${CMAKE_MATCH_2}" licence)
    string(REGEX REPLACE " *\\(.*\\)$" "" licence_name "${licence}")
    list(APPEND licence_names "${licence_name}")
    list(REMOVE_ITEM images "${image}")
    string(LENGTH "${image}" length)
    math(EXPR padding "42 - ${length}")
    string(REPEAT " " ${padding} blanks)
    string(APPEND CELLKIT_DATA_LICENCES "  ${image}${blanks}${licence}\n")
endforeach()
if(images)
    message(FATAL_ERROR "data/README.md gives no licence for: ${images}")
endif()
list(REMOVE_DUPLICATES licence_names)
list(JOIN licence_names ", " CELLKIT_DATA_LICENCE_NAMES)
string(STRIP "${CELLKIT_DATA_LICENCES}" CELLKIT_DATA_LICENCES)
set(CELLKIT_DATA_LICENCES "  ${CELLKIT_DATA_LICENCES}")

# --- DESCRIPTION, COPYING, NEWS -----------------------------------------------------------
set(CELLKIT_VERSION "${VERSION}")
configure_file("${CMAKE_CURRENT_LIST_DIR}/DESCRIPTION.in" "${stage}/DESCRIPTION" @ONLY)
file(READ "${SOURCE_DIR}/LICENSE" CELLKIT_LICENSE)
string(STRIP "${CELLKIT_LICENSE}" CELLKIT_LICENSE)
configure_file("${CMAKE_CURRENT_LIST_DIR}/COPYING.in" "${stage}/COPYING" @ONLY)
file(COPY "${SOURCE_DIR}/NEWS" DESTINATION "${stage}")

# --- inst/: the toolbox folder's .m files and the sample images ---------------------------
file(GLOB help_files "${TOOLBOX_DIR}/*.m")
file(COPY ${help_files} DESTINATION "${stage}/inst")
file(COPY "${SOURCE_DIR}/data" DESTINATION "${stage}/inst")

# --- INDEX: the functions by category, as Contents.m lists them ---------------------------
# Contents.m: "% <category>" lines, each followed by "%   <function> - <summary>" lines.
file(STRINGS "${TOOLBOX_DIR}/Contents.m" contents)
list(GET contents 0 title)
string(REGEX REPLACE "^% cellkit +" "" title "${title}")
set(index "cellkit >> ${title}\n")
set(category "")
set(written_category "")
foreach(line IN LISTS contents)
    if(line MATCHES "^%   ([A-Za-z][A-Za-z0-9_]*) +- ")
        if(NOT category STREQUAL written_category)
            string(APPEND index "${category}\n")
            set(written_category "${category}")
        endif()
        string(APPEND index " ${CMAKE_MATCH_1}\n")
    elseif(line MATCHES "^% ([A-Za-z].*)$")
        set(category "${CMAKE_MATCH_1}")
    endif()
endforeach()
file(WRITE "${stage}/INDEX" "${index}")

# --- src/: what build_toolbox.m reads, and the Makefile that pkg install runs -------------
file(COPY "${CMAKE_CURRENT_LIST_DIR}/Makefile" "${SOURCE_DIR}/build_toolbox.m"
          "${SOURCE_DIR}/VERSION" DESTINATION "${stage}/src")
foreach(folder IN LISTS source_folders)
    file(COPY "${SOURCE_DIR}/${folder}" DESTINATION "${stage}/src"
         PATTERN CMakeLists.txt EXCLUDE)
endforeach()

# --- The tarball, its files dated on the release day --------------------------------------
file(REMOVE "${PACKAGE}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar czf "${PACKAGE}"
                        "--mtime=${CELLKIT_DATE} 00:00:00 UTC" -- "${name}"
                WORKING_DIRECTORY "${WORK_DIR}" RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "cannot pack ${PACKAGE}")
endif()
