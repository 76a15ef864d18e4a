#!/usr/bin/env bash
# Builds the benchmark (Release), exports the real images with Octave and runs it.
#   bench/run_bench.sh [--quick] [group ...]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$here/build-bench"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCELLKIT_TESTS=OFF -DCELLKIT_PYTHON=OFF \
    > /dev/null
cmake --build "$build" --target cellkit_bench --parallel "$(nproc)" > /dev/null
octave-cli --no-gui --norc --no-history --quiet \
    --eval "addpath('$here/bench'); export_data('$build/bench-data');"
"$build/bench/cellkit_bench" --data "$build/bench-data" "$@"
