#!/bin/sh
# Builds one module as build_toolbox.m has MATLAB's mex build it on Windows with MinGW-w64:
# one compile-and-link of the module folder's sources, every source of matx/ and the host
# layer files that build_toolbox.m names, with the flags build_toolbox.m gives mex (read
# from the file itself) and those its -R2017b and -compatibleArrayDims options stand for;
# against the stand-in's headers and import libraries in place of MATLAB's.
#   mingw_mex.sh <c++ compiler> <source root> <stand-in include dir> <stand-in lib dir>
#                <output dir> <module name> <module folder>
set -eu
compiler=$1 root=$2 include=$3 libdir=$4 outdir=$5 name=$6 folder=$7
script="$root/build_toolbox.m"

for option in "'-R2017b'" "'-compatibleArrayDims'"; do
    grep -q -- "$option" "$script" || {
        echo "build_toolbox.m no longer gives mex $option: this build must follow it" >&2
        exit 1
    }
done
# The extra flags of the MinGW branch: 'CXXFLAGS=$CXXFLAGS ...' and 'LDFLAGS=$LDFLAGS ...'.
cxxflags=$(sed -n "s/.*'CXXFLAGS=\$CXXFLAGS \([^']*\)'.*/\1/p" "$script")
# The LDFLAGS text may run over several quoted pieces joined with "...".
ldflags=$(awk '/LDFLAGS=\$LDFLAGS/ {on = 1} on {print} on && /\]/ {exit}' "$script" |
    grep -o "'[^']*'" | tr -d "'" | tr '\n' ' ' | sed 's/^LDFLAGS=\$LDFLAGS //; s/ *$//')
hostfiles=$(sed -n "s/.*fullfile *(root, 'mex', '\([a-z_]*\.cpp\)').*/\1/p" "$script")
[ -n "$cxxflags" ] && [ -n "$hostfiles" ] || {
    echo "cannot read the flags and host layer files from build_toolbox.m" >&2
    exit 1
}

set -- "$root/$folder"/*.cpp "$root"/matx/*.cpp
for file in $hostfiles; do
    set -- "$@" "$root/mex/$file"
done
mkdir -p "$outdir"
echo "$name.mexw64 from $# sources, CXXFLAGS +$cxxflags, LDFLAGS +$ldflags"
# -R2017b and -compatibleArrayDims: the separate-complex API of R2017b, 32-bit dimensions.
# shellcheck disable=SC2086  # the flags are words
"$compiler" -O2 $cxxflags -DMATLAB_MEX_FILE -DMATLAB_DEFAULT_RELEASE=R2017b -DMX_COMPAT_32 \
    -I"$root" -I"$include" -shared $ldflags -o "$outdir/$name.mexw64" "$@" \
    -L"$libdir" -lmx -lmex
