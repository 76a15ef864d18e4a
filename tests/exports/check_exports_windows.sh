#!/bin/sh
# A Windows module must export mexFunction alone, import from libmx.dll and libmex.dll and
# otherwise only from Windows' own system and C runtime DLLs (the C++ and GCC runtimes are
# linked in), and keep of the matrix views exactly the functions named after it.
#   check_exports_windows.sh <objdump> <module file> [kept matx function... | --all-of-matx]
set -eu
objdump=$1
module=$2
shift 2
headers=$("$objdump" -p "$module")

exports=$(echo "$headers" | awk '/\[Ordinal\/Name Pointer\] Table/ {t = 1; next}
                                  t && /^\t\[ *[0-9]+\]/ {print $NF; next} t {t = 0}')
if [ "$exports" != "mexFunction" ]; then
    echo "exports of $module:" >&2
    echo "$exports" >&2
    echo "expected exactly: mexFunction" >&2
    exit 1
fi

dlls=$(echo "$headers" | sed -n 's/^\tDLL Name: //p' | sort -u)
for dll in $dlls; do
    case $(echo "$dll" | tr '[:upper:]' '[:lower:]') in
        libmx.dll | libmex.dll | kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*.dll) ;;
        *)
            echo "$module imports from $dll" >&2
            exit 1
            ;;
    esac
done
for dll in libmx.dll libmex.dll; do
    echo "$dlls" | grep -qx "$dll" || {
        echo "$module does not import from $dll; it imports from:" $dlls >&2
        exit 1
    }
done

if [ "${1:-}" = "--all-of-matx" ]; then
    echo "$module exports mexFunction only, imports from" $dlls
    exit 0
fi
# Functions whose section was dropped stay in the symbol table, in section 0.
kept=$("$objdump" -t -C "$module" | grep -v '(sec  *0)' | grep -o '[] ]\(mx_[a-z_]*\|get_array\)(' |
    sed 's/^.//; s/($//' | sort -u | tr '\n' ' ')
expected=$(for f in "$@"; do echo "$f"; done | sort -u | tr '\n' ' ')
if [ "$kept" != "$expected" ]; then
    echo "matrix view functions in $module: ${kept:-none}; expected: ${expected:-none}" >&2
    exit 1
fi
echo "$module exports mexFunction only, imports from" $dlls", keeps ${kept:-no matrix view function}"
