#!/bin/sh
# Runs the Linux build's symkeep and the Windows build's symkeep.exe (under
# wine) on the same inputs and compares what they produce: the output file
# byte for byte, the exit status, and standard error with the line ends
# made alike (Windows writes CR LF to a pipe).
#
#   compare-outputs.sh LINUX_BUILD WINDOWS_BUILD
#
# Inputs: the real executables the Linux build made for the end-to-end tests
# (LINUX_BUILD/e2e-progs, every class and byte order the cross compilers
# give), the test-data maker's sample executable in each class and byte
# order, as an object file, a shared object and a core file, and malformed
# inputs (empty, 3 bytes, no magic, cut short).  The caller provides wine's
# environment (WINEPREFIX and a running wineserver), as make test-windows
# does.
set -u
lin=$(cd "$1" && pwd)
win=$(cd "$2" && pwd)
wine=${SYMKEEP_WINE:-$(command -v wine64 || echo /usr/lib/wine/wine64)}
[ -x "$lin/symkeep" ] || { echo "compare-outputs: $lin/symkeep missing (run make build first)" >&2; exit 2; }
[ -x "$lin/mkelf" ] || { echo "compare-outputs: $lin/mkelf missing" >&2; exit 2; }
[ -f "$win/symkeep.exe" ] || { echo "compare-outputs: $win/symkeep.exe missing" >&2; exit 2; }

work=$(mktemp -d /tmp/symkeep-compare.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in"
for f in "$lin"/e2e-progs/*; do
    case "$f" in *.key) continue ;; esac
    [ -f "$f" ] && cp "$f" "$work/in/real-$(basename "$f")"
done
for bits in "" -32; do
    for order in "" -be; do
        for type in 2 1 3 4; do
            "$lin/mkelf" $bits $order -type $type "$work/in/made${bits}${order}-type$type"
        done
    done
done
: > "$work/in/empty"
printf '\177EL' > "$work/in/three-bytes"
printf 'not an elf file at all\n' > "$work/in/text"
head -c 100 "$work/in/made-type2" > "$work/in/cut-100"
head -c 1000 "$work/in/made-32-be-type2" > "$work/in/cut-1000"

failed=0
count=0
for f in "$work"/in/*; do
    name=$(basename "$f")
    keep=""
    [ -f "$lin/e2e-progs/${name#real-}.key" ] && keep=$(cat "$lin/e2e-progs/${name#real-}.key")
    for args in "-keep main" "-keep main -keep ${keep:-main} -keep counter_bump" ""; do
        count=$((count + 1))
        rm -f "$work/lin.out" "$work/win.out"
        (cd "$work" && "$lin/symkeep" $args -o lin.out "in/$name" 2> lin.err; echo $? > lin.rc)
        (cd "$work" && "$wine" "$win/symkeep.exe" $args -o win.out "in/$name" 2> win.err; echo $? > win.rc)
        tr -d '\r' < "$work/win.err" | sed 's/symkeep\.exe/symkeep/' > "$work/win.err.lf"
        problem=""
        cmp -s "$work/lin.rc" "$work/win.rc" || problem="status $(cat "$work/lin.rc") vs $(cat "$work/win.rc")"
        if [ -f "$work/lin.out" ] || [ -f "$work/win.out" ]; then
            cmp -s "$work/lin.out" "$work/win.out" || problem="$problem output differs"
        fi
        cmp -s "$work/lin.err" "$work/win.err.lf" || problem="$problem stderr differs"
        if [ -n "$problem" ]; then
            failed=$((failed + 1))
            echo "compare-outputs: $name [$args]: $problem"
            diff "$work/lin.err" "$work/win.err.lf" | head -5
        fi
    done
done
echo "compare-outputs: $count runs on $(ls "$work/in" | wc -l) inputs, $failed differ"
[ "$failed" -eq 0 ]
