# Building MEX modules for GNU Octave (always, when found) and for MATLAB (when an
# installation is found through CMake's FindMatlab).
#
#   cellkit_add_mex(<name> SOURCES <files...> LINK <targets...> HELP <file.m>)
#
# gives <name>.mex for Octave and, with MATLAB, <name>.<mexa64|mexw64|...> built against
# MATLAB's 32-bit-dimension compatibility API. Both land in CELLKIT_TOOLBOX_DIR together
# with the help file, so one folder serves both hosts.

# --- GNU Octave -------------------------------------------------------------------------
set(CELLKIT_HAVE_OCTAVE OFF)
if(CELLKIT_OCTAVE)
    find_program(MKOCTFILE_EXECUTABLE NAMES mkoctfile mkoctfile-7)
    find_program(OCTAVE_EXECUTABLE NAMES octave-cli octave)
    if(MKOCTFILE_EXECUTABLE)
        execute_process(COMMAND "${MKOCTFILE_EXECUTABLE}" -p OCTINCLUDEDIR
                        OUTPUT_VARIABLE OCTAVE_INCLUDE_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)
        execute_process(COMMAND "${MKOCTFILE_EXECUTABLE}" -p OCTLIBDIR
                        OUTPUT_VARIABLE OCTAVE_LIB_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)
        find_path(OCTAVE_MEX_INCLUDE_DIR mex.h HINTS "${OCTAVE_INCLUDE_DIR}" NO_DEFAULT_PATH)
        find_library(OCTAVE_OCTINTERP_LIBRARY octinterp HINTS "${OCTAVE_LIB_DIR}")
        find_library(OCTAVE_OCTAVE_LIBRARY octave HINTS "${OCTAVE_LIB_DIR}")
    endif()
    if(OCTAVE_MEX_INCLUDE_DIR AND OCTAVE_OCTINTERP_LIBRARY AND OCTAVE_OCTAVE_LIBRARY)
        set(CELLKIT_HAVE_OCTAVE ON)
        message(STATUS "GNU Octave MEX headers: ${OCTAVE_MEX_INCLUDE_DIR}")
    else()
        message(WARNING "GNU Octave development files (mkoctfile, mex.h) not found: "
                        "no Octave modules are built. On Debian: apt-get install liboctave-dev")
    endif()
endif()

# --- MATLAB ------------------------------------------------------------------------------
# A real installation, found through FindMatlab, is used when there is one (untested here:
# no MATLAB on the build machines). Otherwise, with CELLKIT_MATLAB_STANDIN, the modules are
# built against the stand-in of matlab_standin/: its headers play MATLAB's, and its libmx,
# libmex and libmat are named as MATLAB's, so the modules come out as they would with MATLAB.
set(CELLKIT_HAVE_MATLAB OFF)
set(CELLKIT_MATLAB_IS_STANDIN OFF)
if(CELLKIT_MATLAB)
    if(NOT CMAKE_CROSSCOMPILING)
        find_package(Matlab QUIET COMPONENTS MX_LIBRARY MAT_LIBRARY)
    endif()
    if(Matlab_FOUND)
        set(CELLKIT_HAVE_MATLAB ON)
        message(STATUS "MATLAB found at ${Matlab_ROOT_DIR}: building .${Matlab_MEX_EXTENSION} modules")
    elseif(CELLKIT_MATLAB_STANDIN)
        set(CELLKIT_HAVE_MATLAB ON)
        set(CELLKIT_MATLAB_IS_STANDIN ON)
        if(WIN32)
            set(CELLKIT_MEX_EXTENSION mexw64)
        else()
            set(CELLKIT_MEX_EXTENSION mexa64)
        endif()
        # Where the stand-in's libraries and the programs that load modules through it go.
        set(CELLKIT_STANDIN_DIR "${CMAKE_BINARY_DIR}/matlab_standin")
        message(STATUS "No MATLAB: building .${CELLKIT_MEX_EXTENSION} modules against the "
                       "stand-in in matlab_standin/")
    endif()
endif()

set(CELLKIT_EXPORT_MAP "${CMAKE_SOURCE_DIR}/mex/exports.map")

# The one export: mexFunction, under the symbol version "MEX"; everything else stays local.
function(_cellkit_restrict_exports target)
    if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
        target_link_options(${target} PRIVATE "LINKER:--version-script=${CELLKIT_EXPORT_MAP}"
                                               "LINKER:--exclude-libs,ALL")
        set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${CELLKIT_EXPORT_MAP}")
    endif()
endfunction()

# Every object of the given static libraries goes into the module, called or not. The
# archives come first on the link line, so they are loaded whole before anything else
# asks for their members.
function(_cellkit_link_whole target)
    foreach(lib IN LISTS ARGN)
        if(APPLE)
            target_link_options(${target} PRIVATE "LINKER:-force_load,$<TARGET_FILE:${lib}>")
        else()
            # SHELL: keeps the three together; plain options would be de-duplicated.
            target_link_options(${target} PRIVATE
                "SHELL:-Wl,--whole-archive $<TARGET_FILE:${lib}> -Wl,--no-whole-archive")
        endif()
    endforeach()
endfunction()

# A MATLAB module against the stand-in, linked as MATLAB's mex links one: on Linux with every
# object of the LINK_WHOLE archives, libmx, libmex and libmat, and mexFunction alone exported
# under the version MEX; on Windows with only the archive members the gateway calls (matx
# keeps the views a gateway needs in a file of their own) and unused sections dropped, libmx
# and libmex, and the C++ and GCC runtimes linked in statically (cmake/MinGW-w64.cmake), so
# the module needs nothing a user's machine lacks. (The linker cannot drop a single unused
# function of a member it takes: the function's unwind table entry keeps it.)
function(_cellkit_add_standin_mex name sources link link_whole)
    set(target ${name}_matlab)
    add_library(${target} MODULE ${sources})
    target_compile_definitions(${target} PRIVATE MATLAB_MEX_FILE MATLAB_DEFAULT_RELEASE=R2017b)
    target_link_libraries(${target} PRIVATE ${link})
    if(WIN32)
        target_link_libraries(${target} PRIVATE ${link_whole})
        target_link_options(${target} PRIVATE "LINKER:--gc-sections")
    else()
        _cellkit_link_whole(${target} ${link_whole})
    endif()
    # The host layer comes last: whole archives above may call its console.
    target_link_libraries(${target} PRIVATE mexhost_matlab standin_mx standin_mex)
    if(NOT WIN32)
        # Needed though nothing in it is called, so the linker must not drop it.
        target_link_options(${target} PRIVATE "LINKER:--no-as-needed")
        target_link_libraries(${target} PRIVATE standin_mat)
        _cellkit_restrict_exports(${target})
    endif()
    set_target_properties(${target} PROPERTIES
        PREFIX "" OUTPUT_NAME ${name} SUFFIX ".${CELLKIT_MEX_EXTENSION}"
        LIBRARY_OUTPUT_DIRECTORY "${CELLKIT_TOOLBOX_DIR}"
        RUNTIME_OUTPUT_DIRECTORY "${CELLKIT_TOOLBOX_DIR}"
        # A real module carries no search path of its own: the host has its libraries loaded.
        SKIP_BUILD_RPATH ON)
endfunction()

function(cellkit_add_mex name)
    cmake_parse_arguments(ARG "" "HELP" "SOURCES;LINK;LINK_WHOLE" ${ARGN})

    if(CELLKIT_HAVE_OCTAVE)
        set(target ${name}_octave)
        add_library(${target} MODULE ${ARG_SOURCES})
        target_include_directories(${target} PRIVATE "${OCTAVE_MEX_INCLUDE_DIR}")
        target_link_libraries(${target} PRIVATE ${ARG_LINK} ${ARG_LINK_WHOLE})
        _cellkit_link_whole(${target} ${ARG_LINK_WHOLE})
        # The host layer comes last: whole archives above may call its console.
        target_link_libraries(${target} PRIVATE mexhost_octave
                              ${OCTAVE_OCTINTERP_LIBRARY} ${OCTAVE_OCTAVE_LIBRARY})
        set_target_properties(${target} PROPERTIES
            PREFIX "" OUTPUT_NAME ${name} SUFFIX ".mex"
            LIBRARY_OUTPUT_DIRECTORY "${CELLKIT_TOOLBOX_DIR}")
        _cellkit_restrict_exports(${target})
    endif()

    if(CELLKIT_HAVE_MATLAB AND CELLKIT_MATLAB_IS_STANDIN)
        _cellkit_add_standin_mex(${name} "${ARG_SOURCES}" "${ARG_LINK}" "${ARG_LINK_WHOLE}")
    elseif(CELLKIT_HAVE_MATLAB)
        set(target ${name}_matlab)
        # R2017b: the separate-complex API; MX_COMPAT_32 selects the 32-bit-dimension
        # entry points (mxCreateDoubleMatrix_700 and friends), as mex -compatibleArrayDims.
        matlab_add_mex(NAME ${target} MODULE SRC ${ARG_SOURCES} OUTPUT_NAME ${name} R2017b
                       LINK_TO ${ARG_LINK} ${ARG_LINK_WHOLE})
        # Windows modules keep only what the gateway calls.
        if(NOT WIN32)
            _cellkit_link_whole(${target} ${ARG_LINK_WHOLE})
        endif()
        target_link_libraries(${target} mexhost_matlab)
        if(NOT WIN32)
            # Linked as the MATLAB mex command does on Linux and macOS; nothing in it is called.
            target_link_libraries(${target} ${Matlab_MAT_LIBRARY})
        endif()
        target_compile_definitions(${target} PRIVATE MX_COMPAT_32)
        set_target_properties(${target} PROPERTIES
            LIBRARY_OUTPUT_DIRECTORY "${CELLKIT_TOOLBOX_DIR}"
            RUNTIME_OUTPUT_DIRECTORY "${CELLKIT_TOOLBOX_DIR}")
    endif()

    if(ARG_HELP)
        get_filename_component(help_name "${ARG_HELP}" NAME)
        configure_file("${ARG_HELP}" "${CELLKIT_TOOLBOX_DIR}/${help_name}" COPYONLY)
    endif()
endfunction()
