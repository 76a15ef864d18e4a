#!/bin/sh
# A module must export mexFunction alone, under the symbol version MEX, and need the
# libraries named after it.
#   check_exports.sh <module file> [needed library...]
set -eu
module=$1
shift
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
needed=$(readelf --dynamic --wide "$module" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for library in "$@"; do
    echo "$needed" | grep -qx "$library" || {
        echo "$module does not need $library; it needs:" >&2
        echo "$needed" >&2
        exit 1
    }
done
echo "$module exports mexFunction@@MEX only${*:+, needs $*}"
