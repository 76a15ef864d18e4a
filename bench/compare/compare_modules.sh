#!/usr/bin/env bash
# Times the modules of this tree against those of an earlier commit, through GNU Octave, on
# the same inputs in one Octave session:
#   bench/compare/compare_modules.sh [--runs N] [--huge] BASE
# BASE is any commit (for instance 4e6dba4). Both trees are built as Release: this one into
# build-bench/, BASE in a temporary worktree and build folder, removed at the end.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
runs=5
huge=0
while [[ $# -gt 1 ]]; do
    case "$1" in
        --runs) runs=$2; shift 2 ;;
        --huge) huge=1; shift ;;
        *) echo "unknown option $1" >&2; exit 2 ;;
    esac
done
[[ $# -eq 1 ]] || { echo "usage: $0 [--runs N] [--huge] BASE" >&2; exit 2; }
base=$(git -C "$here" rev-parse --short "$1")

build_modules() {  # source tree, build folder
    # An older tree may not know every option: its warnings are kept out of the report.
    cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DCELLKIT_TESTS=OFF -DCELLKIT_PYTHON=OFF \
        > "$work/cmake.log" 2>&1 || { cat "$work/cmake.log" >&2; exit 1; }
    cmake --build "$2" --target ombrisk_octave tavenor3_octave --parallel "$(nproc)" > /dev/null
}

work=$(mktemp -d)
trap 'git -C "$here" worktree remove --force "$work/base" > /dev/null 2>&1 || true; rm -rf "$work"' EXIT
git -C "$here" worktree add --detach "$work/base" "$base" > /dev/null 2>&1
build_modules "$here" "$here/build-bench"
build_modules "$work/base" "$work/base-build"

# The two versions side by side under names of their own (a MEX module's name is its file's).
mkdir "$work/modules"
for module in ombrisk tavenor3; do
    cp "$here/build-bench/toolbox/$module.mex" "$work/modules/${module}_now.mex"
    cp "$work/base-build/toolbox/$module.mex" "$work/modules/${module}_base.mex"
done
sides="512 2048"
[[ $huge -eq 1 ]] && sides="$sides 4096"
/usr/bin/python3 "$here/bench/compare/write_inputs.py" "$work/inputs" $sides
echo "base $base, now $(git -C "$here" rev-parse --short HEAD)$(git -C "$here" diff --quiet || echo ' (with local changes)')"
octave-cli --no-gui --norc --no-history --quiet --eval \
    "addpath('$here/bench/compare', '$here/bench/peer', '$work/modules'); compare_modules('$work/inputs', $runs);"
