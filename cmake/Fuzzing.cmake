# A build of the libFuzzer targets (fuzz/) and their bounded runs, registered as tests:
#
#   CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCELLKIT_FUZZ=ON
#   cmake --build build-fuzz && (cd build-fuzz && ctest)
#
# Every library the targets link is built with coverage for the fuzzer and with
# AddressSanitizer and UndefinedBehaviorSanitizer. Such a build holds nothing else: modules
# would need the sanitizer runtimes preloaded into the host, which CELLKIT_SANITIZE does.

if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "CELLKIT_FUZZ needs Clang with libFuzzer (Debian: clang, "
                        "libclang-rt-14-dev): configure with CXX=clang++")
endif()

set(CELLKIT_OCTAVE OFF)
set(CELLKIT_MATLAB OFF)
set(CELLKIT_TESTS OFF)
set(CELLKIT_BENCH OFF)

set(CELLKIT_FUZZ_SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=all)
add_compile_options(-fsanitize=fuzzer-no-link ${CELLKIT_FUZZ_SANITIZERS}
                    -fno-omit-frame-pointer -g)
