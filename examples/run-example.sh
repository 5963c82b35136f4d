#!/bin/sh
# `make run`: build the bundled example as a non-PIE executable (ELF type
# ET_EXEC), reduce its symbol table to `main` and show the result.
set -eu
BUILD=${1:-build}
CC=${CC:-cc}
HERE=$(dirname "$0")

"$CC" -no-pie -O1 -o "$BUILD/example" "$HERE/hello/main.c" "$HERE/hello/greet.c"
echo "== $BUILD/symkeep -keep main -o $BUILD/example.sh $BUILD/example"
"$BUILD/symkeep" -keep main -o "$BUILD/example.sh" "$BUILD/example"
echo "== readelf -h -S -s $BUILD/example.sh"
# readelf complains that the segments now cover no file bytes (every
# p_filesz is 0 by design); those notes go to standard error.
readelf -h -S -s "$BUILD/example.sh" 2>/dev/null || true
echo
echo "Input: $(wc -c < "$BUILD/example") bytes; reduced symbol file: $(wc -c < "$BUILD/example.sh") bytes."
