#!/bin/sh
# `make run`: build the bundled example as a non-PIE executable (ELF type
# ET_EXEC), reduce its symbol table to `main` and show the result: the file
# header, the section table and the symbol table `.symtab`.
set -eu
BUILD=${1:-build}
CC=${CC:-cc}
HERE=$(dirname "$0")

"$CC" -no-pie -O1 -o "$BUILD/example" "$HERE/hello/main.c" "$HERE/hello/greet.c"
echo "== $BUILD/symkeep -keep main -o $BUILD/example.sh $BUILD/example"
"$BUILD/symkeep" -keep main -o "$BUILD/example.sh" "$BUILD/example"
if ! command -v readelf >/dev/null 2>&1; then
    echo "Wrote $BUILD/example.sh; install binutils (readelf) to see inside it."
    exit 0
fi

echo "== readelf -W --file-header --section-headers $BUILD/example.sh"
# readelf notes on standard error that the segments cover no file bytes
# (every p_filesz is 0 by design).
readelf -W --file-header --section-headers "$BUILD/example.sh" 2>/dev/null || true
echo
echo "Only .symtab, .strtab and .shstrtab have contents: every other section keeps"
echo "its header (type, address, size), so the file still describes the program's"
echo "layout, but points at no data of its own."
echo
echo "== readelf -W --syms $BUILD/example.sh, the .symtab listing"
# Only .symtab: the header of .dynsym points at the reduced data too, which
# readelf would list as corrupt dynamic symbols.
readelf -W --syms "$BUILD/example.sh" 2>/dev/null |
    awk -v table="'.symtab'" '/^Symbol table / { show = ($3 == table) } show' || true
echo
echo "Input: $(wc -c < "$BUILD/example") bytes; reduced symbol file: $(wc -c < "$BUILD/example.sh") bytes."
