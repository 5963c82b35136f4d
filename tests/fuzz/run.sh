#!/bin/sh
# run.sh [SECONDS]: builds every fuzz_*.cpp (clang, build-fuzz/) and fuzzes each SECONDS (default 60)
# from its regression inputs, its seeds and build-fuzz/corpus/<target>/ (new finds, kept).  A finding
# is left in build-fuzz/artifacts/<target>/ and fails the run.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${SYMKEEP_FUZZ_BUILD:-$here/../../build-fuzz}
targets=$(cd "$here" && ls fuzz_*.cpp | sed 's/\.cpp$//')
CC=clang CXX=clang++ cmake -S "$here/../.." -B "$build" -DSYMKEEP_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"${SYMKEEP_FUZZ_JOBS:-2}" --target $targets
failed=""
for t in $targets; do
    out="$build/artifacts/$t" regressions="$here/regressions/$t"
    mkdir -p "$build/corpus/$t" "$out"
    [ -d "$regressions" ] || regressions=""
    case $t in fuzz_pipeline|fuzz_rnereader) len=32768 ;; *) len=4096 ;; esac  # files, or texts
    echo "== $t: fuzzing for ${1:-60}s"
    if "$build/$t" -max_total_time="${1:-60}" -timeout=20 -rss_limit_mb=2048 -max_len=$len -print_final_stats=1 -artifact_prefix="$out/" \
            "$build/corpus/$t" "$here/corpus/$t" ${regressions:+"$regressions"} >"$out/fuzz.log" 2>&1; then
        grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$out/fuzz.log" | sed "s/^/   /"
    else echo "== $t: FINDING"; tail -n 40 "$out/fuzz.log"; failed="$failed $t"; fi
done
[ -z "$failed" ] || { echo "fuzz findings in:$failed"; exit 1; }
echo "no findings"
