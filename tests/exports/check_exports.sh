#!/bin/sh
# A module must export mexFunction alone, under the symbol version MEX.
#   check_exports.sh <module file>
set -eu
module=$1
# Defined symbols, leaving out the marker symbol that names a version node (absolute, named
# like the node itself).
defined=$(readelf --dyn-syms --wide "$module" |
    awk '$1 ~ /^[0-9]+:$/ && $7 != "UND" && $8 != "" && !($7 == "ABS" && $8 == "MEX") {print $8}')
if [ "$defined" != "mexFunction@@MEX" ]; then
    echo "exported symbols of $module:" >&2
    echo "$defined" >&2
    echo "expected exactly: mexFunction@@MEX" >&2
    exit 1
fi
# The version definition itself must be there too.
readelf --version-info --wide "$module" | grep -q 'Name: MEX' || {
    echo "$module defines no symbol version MEX" >&2
    exit 1
}
echo "$module exports mexFunction@@MEX only"
