# Tests of a Windows cross build, run under Wine: headless, quiet, in one prefix inside the
# build folder, made once by the fixture test wine_prefix (its first start takes about 15 s).
#
#   cellkit_wine_test(<name> <executable target> [args...])

set(CELLKIT_WINE_PREFIX "${CMAKE_BINARY_DIR}/wine-prefix")
set(CELLKIT_WINE_ENVIRONMENT
    "WINEPREFIX=${CELLKIT_WINE_PREFIX}"
    "WINEDEBUG=-all"
    # No offer to install Wine's .NET and HTML engines: nothing here needs them.
    "WINEDLLOVERRIDES=mscoree,mshtml=")

if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    message(WARNING "Wine not found (Debian: apt-get install wine wine64): the Windows "
                    "programs are built but not run")
endif()

function(_cellkit_wine_environment test)
    set_tests_properties(${test} PROPERTIES
        ENVIRONMENT "${CELLKIT_WINE_ENVIRONMENT}"
        ENVIRONMENT_MODIFICATION "DISPLAY=unset:")
endfunction()

if(CMAKE_CROSSCOMPILING_EMULATOR)
    add_test(NAME wine_prefix COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} wineboot --init)
    _cellkit_wine_environment(wine_prefix)
    set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine LABELS wine)
endif()

function(cellkit_wine_test name target)
    if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
        return()
    endif()
    # The build's emulator, Wine, goes in front of an executable target by itself.
    add_test(NAME ${name} COMMAND ${target} ${ARGN})
    _cellkit_wine_environment(${name})
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine LABELS wine)
endfunction()
