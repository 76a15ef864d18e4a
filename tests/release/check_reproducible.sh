#!/usr/bin/env bash
# Makes the release a second time, from a copy of the sources in another folder and at
# another time, and compares it with a first one byte for byte, through its SHA256SUMS.
#   tests/release/check_reproducible.sh <the first release's dist folder>
# Only what the bundles hold is built: the MATLAB modules of both platforms, the Octave
# package and the Python sdist and wheel.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
first=$(cd "$1" && pwd)
again=$(mktemp -d /tmp/cellkit-release-again.XXXXXX)
trap 'rm -rf "$again"' EXIT

tree="$again/elsewhere/cellkit"
mkdir -p "$tree"
(cd "$here" && git ls-files -z --cached --others --exclude-standard |
    tar --null -T - -cf -) | tar -xf - -C "$tree"

off=(-DCELLKIT_TESTS=OFF -DCELLKIT_BENCH=OFF -DCELLKIT_PYTHON=OFF -DCELLKIT_MATLAB_STANDIN=ON)
modules=(ombrisk_matlab tavenor3_matlab vesquin4_matlab)
cmake -S "$tree" -B "$again/linux" -DCMAKE_BUILD_TYPE=Release "${off[@]}" > /dev/null
cmake --build "$again/linux" --target "${modules[@]}" octave_package --parallel "$(nproc)" \
    > /dev/null
cmake -S "$tree" -B "$again/windows" --toolchain "$tree/cmake/MinGW-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCELLKIT_OCTAVE=OFF "${off[@]}" > /dev/null
cmake --build "$again/windows" --target "${modules[@]}" --parallel "$(nproc)" > /dev/null
/usr/bin/python3 "$tree/package/release.py" --build "$again/linux" \
    --windows "$again/windows" --dist "$again/dist" > /dev/null

if ! diff "$first/SHA256SUMS" "$again/dist/SHA256SUMS"; then
    echo "the release made again in $tree differs from $first (above)" >&2
    exit 1
fi
echo "the release made again, in another folder at another time, is the same bytes:"
cat "$again/dist/SHA256SUMS"
