#!/usr/bin/env bash
# Runs one libFuzzer target for a bounded time, starting from a copy of its seed corpus in a
# temporary folder, so that the inputs it finds never land in the source tree:
#   run_fuzz.sh <target> <seed corpus folder> <seconds> <folder for failing inputs>
# Fails when the target finds an input that crashes, trips a sanitizer, makes the fast and
# the plain version disagree, or runs longer than 10 seconds.
set -euo pipefail

target=$1
seeds=$2
seconds=$3
artifacts=$4

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -R "$seeds/." "$work/"

"$target" "$work" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=4096 -len_control=0 -print_final_stats=1 -artifact_prefix="$artifacts/$(basename "$target")-"
