# Builds everything, modules included, with AddressSanitizer and UndefinedBehaviorSanitizer
# (GCC), so that any report ends the process with a failure:
#
#   cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DCELLKIT_SANITIZE=ON
#
# Executables (the unit tests) load the runtimes themselves and keep leak detection on.
# Octave itself is not instrumented, so the runtime must be loaded before it:
# CELLKIT_SANITIZED_HOST_ENVIRONMENT is the environment the end-to-end tests run Octave
# with. Leak detection stays off there, because Octave leaks at exit; the modules' leaks are
# checked by the host's memory in tests/octave/leak_test.m, in the plain build.

if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    message(FATAL_ERROR "CELLKIT_SANITIZE needs GCC: its runtimes are preloaded into Octave "
                        "from the compiler's libasan.so and libubsan.so")
endif()

# GCC leaves float-cast-overflow out of "undefined": a double truncated to an int out of its
# range is exactly what the gateways must never do. The library assertions check every
# std::vector subscript.
set(CELLKIT_SANITIZER_FLAGS
    -fsanitize=address,undefined,float-cast-overflow
    -fno-sanitize-recover=all
    -fno-omit-frame-pointer)
add_compile_options(${CELLKIT_SANITIZER_FLAGS} -D_GLIBCXX_ASSERTIONS)
# A Debug build gets -O1, as usual under the sanitizers: several times quicker than -O0, and
# the reports' stacks stay readable.
add_compile_options($<$<CONFIG:Debug>:-O1>)
add_link_options(${CELLKIT_SANITIZER_FLAGS})

function(_cellkit_runtime_path name out)
    execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=${name}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
        message(FATAL_ERROR "CELLKIT_SANITIZE: ${name} not found (Debian: libasan8, libubsan1)")
    endif()
    set(${out} "${path}" PARENT_SCOPE)
endfunction()
_cellkit_runtime_path(libasan.so CELLKIT_ASAN_RUNTIME)
_cellkit_runtime_path(libubsan.so CELLKIT_UBSAN_RUNTIME)

# Both sanitizers stop at their first report (UndefinedBehaviorSanitizer through
# -fno-sanitize-recover) and end the process with a failing status; in executables leak
# detection is on by default. In Octave, an allocation the host cannot make must come back as a failure (the modules
# turn it into their out-of-memory message), not end the process.
set(CELLKIT_SANITIZED_HOST_ENVIRONMENT
    "LD_PRELOAD=${CELLKIT_ASAN_RUNTIME}:${CELLKIT_UBSAN_RUNTIME}"
    "ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1"
    "UBSAN_OPTIONS=print_stacktrace=1"
    "CELLKIT_SANITIZED=1")
