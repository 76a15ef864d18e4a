#!/usr/bin/env bash
# Sets up a Debian machine for the toolbox, builds it, and runs one job:
#   ./run.sh demo     run the three examples on real microscopy images in GNU Octave;
#                     pictures go to out/
#   ./run.sh release  every platform's bundle in dist/, with SHA256SUMS
#   ./run.sh test     the whole test suite (unit tests, Octave end-to-end tests, the MATLAB
#                     modules against the stand-in host, Python tests, checks), the Windows
#                     x64 cross build with its tests under Wine, then the release: made,
#                     each bundle checked as a user receives it (the Python package's tests
#                     run against the installed wheel), made again elsewhere and compared;
#                     then the documents' code blocks, the suite again under AddressSanitizer
#                     and UndefinedBehaviorSanitizer, the thread test under ThreadSanitizer,
#                     the grower's and the labeller's tests as built for processors without
#                     SSE2, and a bounded run of each fuzz target
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build="$here/build"
sanitize_build="$here/build-sanitize"
fuzz_build="$here/build-fuzz"
windows_build="$here/build-windows"
tsan_build="$here/build-tsan"
portable_build="$here/build-portable"
venv="$here/build-venv"
dist="$here/dist"
# Debian's own Python, where the python3-* packages below are installed.
python=/usr/bin/python3
job=${1:-}

# What the demo needs: a C++17 compiler, CMake, and Octave with its development files.
demo_packages=(g++ make cmake octave liboctave-dev)
# What the tests need besides: git (the release checks list the tracked files), GoogleTest,
# Octave's parallel package, Clang's fuzzer, the MinGW-w64 cross compiler and Wine, and the
# Python package's build and test modules.
test_packages=(git libgtest-dev googletest octave-parallel clang libclang-rt-14-dev
               g++-mingw-w64-x86-64 wine wine64
               python3-dev pybind11-dev python3-pybind11 python3-numpy python3-pytest
               python3-venv python3-pip python3-setuptools python3-wheel python3-dask
               python3-distributed python3-pil python3-tifffile python3-matplotlib
               python3-pandas python3-skimage python3-build)

install_missing_packages() {
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# The Octave modules and the toolbox folder alone: what the demo runs.
build_demo() {
    cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCELLKIT_TESTS=OFF \
        -DCELLKIT_BENCH=OFF -DCELLKIT_PYTHON=OFF -DCELLKIT_MATLAB_STANDIN=OFF
    cmake --build "$build" --parallel "$(nproc)"
}

# Everything, with the tests; without MATLAB, its modules are built against the stand-in
# host (matlab_standin/). The options are given in full, as a demo build may have set them
# otherwise in the same folder.
build_toolbox() {
    cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCELLKIT_TESTS=ON \
        -DCELLKIT_BENCH=ON -DCELLKIT_PYTHON=ON -DCELLKIT_MATLAB_STANDIN=ON \
        -DPYTHON_EXECUTABLE="$python"
    cmake --build "$build" --parallel "$(nproc)"
}

# Everything, modules included, under the sanitizers; Octave runs the end-to-end tests with
# their runtimes preloaded (cmake/Sanitizers.cmake).
build_sanitized() {
    cmake -S "$here" -B "$sanitize_build" -DCMAKE_BUILD_TYPE=Debug -DCELLKIT_SANITIZE=ON \
        -DCELLKIT_BENCH=OFF -DCELLKIT_MATLAB_STANDIN=ON -DCELLKIT_PYTHON=OFF
    cmake --build "$sanitize_build" --parallel "$(nproc)"
}

# The Windows x64 modules, the stand-in's DLLs, the unit tests and the module driver, cross-built
# with MinGW-w64 (cmake/MinGW-w64.cmake); their tests run under Wine.
build_windows() {
    cmake -S "$here" -B "$windows_build" --toolchain "$here/cmake/MinGW-w64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCELLKIT_MATLAB_STANDIN=ON -DCELLKIT_OCTAVE=OFF \
        -DCELLKIT_BENCH=OFF -DCELLKIT_PYTHON=OFF
    cmake --build "$windows_build" --parallel "$(nproc)"
}

# The fuzz targets, with Clang's libFuzzer (cmake/Fuzzing.cmake).
build_fuzz_targets() {
    CC=clang CXX=clang++ cmake -S "$here" -B "$fuzz_build" -DCELLKIT_FUZZ=ON -DCELLKIT_PYTHON=OFF
    cmake --build "$fuzz_build" --parallel "$(nproc)"
}

# The thread test alone, built with ThreadSanitizer: a reported race fails it.
thread_sanitized_test() {
    cmake -S "$here" -B "$tsan_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCELLKIT_THREAD_SANITIZE=ON -DCELLKIT_OCTAVE=OFF -DCELLKIT_BENCH=OFF -DCELLKIT_PYTHON=OFF
    cmake --build "$tsan_build" --target thread_tests --parallel "$(nproc)"
    (cd "$tsan_build" && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -R '^Threads\.')
}

# The grower's and the labeller's tests, built as for processors without SSE2 (every x86-64
# one has it, so no other build here takes that path): the grower's neighbours' words and the
# labeller's window counts then go one word at a time.
portable_test() {
    cmake -S "$here" -B "$portable_build" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_CXX_FLAGS=-DCELLKIT_SSE2=0 -DCELLKIT_OCTAVE=OFF -DCELLKIT_MATLAB=OFF \
        -DCELLKIT_BENCH=OFF -DCELLKIT_PYTHON=OFF
    cmake --build "$portable_build" --target unit_tests --parallel "$(nproc)"
    local grower='SeedgrowDifferential.*:Growers/*:SpreadingLabelsModule.*'
    local labeller='LabellerDifferential.*:Labellers/*:FindingNewCells.*'
    labeller+=':GrowingCells.*:MergeCells.*'
    "$portable_build/tests/unit_tests" --gtest_filter="$grower:$labeller"
}

# Every platform's bundle in dist/, made from build/ and build-windows/ (package/release.py).
make_release() {
    "$python" "$here/package/release.py" --build "$build" --windows "$windows_build" \
        --dist "$dist"
}

# Each bundle as a user receives it, unpacked into an empty folder: the MATLAB modules run
# by the driver through the stand-in (under Wine for Windows), the Octave package installed
# and tested, the wheel installed into a fresh venv (build-venv) where the Python tests run,
# the sdist built offline; then the release made again elsewhere, byte for byte the same.
check_release() {
    "$python" "$here/tests/release/check_release.py" --dist "$dist" --build "$build" \
        --windows "$windows_build" --venv "$venv"
    "$here/tests/release/check_reproducible.sh" "$dist"
}

# The documents' code blocks, pasted as a reader would, in a scratch folder: Octave's against
# the toolbox folder, Python's and the shell's against the package installed in build-venv.
check_documents() {
    "$venv/bin/python" "$here/tests/docs/run_blocks.py" --toolbox "$build/toolbox" \
        "$here/README.md" "$here/data/README.md" "$here/bench/README.md"
}

run_tests() {
    (cd "$1" && ctest --output-on-failure --parallel "$(nproc)")
}

octave_run() {
    octave-cli --no-gui --norc --no-history --quiet --eval "$1"
}

case "$job" in
demo)
    install_missing_packages "${demo_packages[@]}"
    build_demo
    octave_run "addpath('$build/toolbox'); addpath('$here/examples');
                ombrisk_demo('$here/out'); tavenor3_demo('$here/out'); vesquin4_demo('$here/out');"
    ;;
release)
    install_missing_packages "${demo_packages[@]}" "${test_packages[@]}"
    build_toolbox
    build_windows
    make_release
    ;;
test)
    install_missing_packages "${demo_packages[@]}" "${test_packages[@]}"
    build_toolbox
    run_tests "$build"
    build_windows
    run_tests "$windows_build"
    make_release
    check_release
    check_documents
    build_sanitized
    run_tests "$sanitize_build"
    thread_sanitized_test
    portable_test
    build_fuzz_targets
    run_tests "$fuzz_build"
    ;;
*)
    echo "usage: ./run.sh demo | test | release" >&2
    exit 2
    ;;
esac
