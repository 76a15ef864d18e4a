#!/usr/bin/env bash
# Times two builds of the phase program against each other, in turn:
#   bench/phases/pairs.sh <module> <image.raw> <runs> <rounds> <programA> <programB> [celllevel]
# Each round runs both programs once (best of <runs> runs each) and prints time(A) / time(B),
# so above 1 is B faster; the last line is the median of the rounds. The image is the peer
# benchmark's raw format (bench/peer/inputs.py, write_double).
#
# Two things that are not the code move a program's time by several per cent on this
# machine, and each round evens them out:
#   - the order: the program run second in a round meets the memory the first just freed,
#     so the order turns from round to round;
#   - where the stack starts, which follows the size of the environment and the arguments:
#     both programs run under names of one length, with one environment variable of a random
#     length, the same for both within a round.
set -euo pipefail
if [[ $# -lt 6 ]]; then
    echo "usage: pairs.sh <module> <image.raw> <runs> <rounds> <programA> <programB> [celllevel]" >&2
    exit 2
fi
module=$1 image=$2 runs=$3 rounds=$4
level=()
if [[ $# -ge 7 ]]; then
    level=("$7")
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$5" "$work/a"
cp "$6" "$work/b"

timeOf() {
    env CELLKIT_PAIRS_SHIFT="$1" "$work/$2" "$module" "$image" "$runs" "${level[@]}" | awk '{print $3}'
}

ratios=()
for ((round = 0; round < rounds; ++round)); do
    padding=$(printf '%*s' $((RANDOM % 256 * 16)) '')
    if ((round % 2 == 0)); then
        a=$(timeOf "$padding" a)
        b=$(timeOf "$padding" b)
    else
        b=$(timeOf "$padding" b)
        a=$(timeOf "$padding" a)
    fi
    ratio=$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.3f", a / b }')
    echo "  A $a  B $b ns a pixel  A/B $ratio"
    ratios+=("$ratio")
done
printf '%s\n' "${ratios[@]}" | sort -n |
    awk '{ r[NR] = $1 }
         END { m = NR % 2 ? r[(NR + 1) / 2] : (r[NR / 2] + r[NR / 2 + 1]) / 2
               printf "median A/B %.3f over %d rounds\n", m, NR }'
