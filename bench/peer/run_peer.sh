#!/usr/bin/env bash
# Builds the toolbox and the Python package (Release) into build-bench/ and runs the peer
# benchmark against scikit-image (Debian's python3-skimage, run by /usr/bin/python3):
#   bench/peer/run_peer.sh [--quick] [--huge] [--runs N] [--cpu] [--group grower|labeller]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build="$here/build-bench"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCELLKIT_TESTS=OFF -DCELLKIT_PYTHON=ON \
    -DPYTHON_EXECUTABLE=/usr/bin/python3 > /dev/null
# The modules and the Python package the benchmark calls; the other targets are not needed.
cmake --build "$build" --target ombrisk_octave tavenor3_octave _core --parallel "$(nproc)" \
    > /dev/null
/usr/bin/python3 "$here/bench/peer/peer_bench.py" --toolbox "$build/toolbox" \
    --python-package "$build/python" "$@"
