#!/bin/sh
# run.sh [SECONDS]: builds the fuzz targets (clang, build-fuzz/); for each,
# replays its regression inputs, then fuzzes SECONDS (default 60) over its
# seeds and build-fuzz/corpus/<target>/ (new finds, kept).  A finding is left
# in build-fuzz/artifacts/<target>/ and fails the run.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${SYMKEEP_FUZZ_BUILD:-$here/../../build-fuzz}
targets="fuzz_pipeline fuzz_paths fuzz_rnereader fuzz_zolta_size fuzz_sprintf fuzz_gswitch_file"
CC=clang CXX=clang++ cmake -S "$here/../.." -B "$build" -DSYMKEEP_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"${SYMKEEP_FUZZ_JOBS:-2}" --target $targets

failed=""
for t in $targets; do
    out="$build/artifacts/$t"
    mkdir -p "$build/corpus/$t" "$out"
    case $t in fuzz_pipeline|fuzz_rnereader) len=32768 ;; *) len=4096 ;; esac  # files, or texts
    if [ -d "$here/regressions/$t" ] && ! "$build/$t" -runs=1 "$here/regressions/$t"/* >"$out/regressions.log" 2>&1; then
        echo "== $t: REGRESSION"; tail -n 30 "$out/regressions.log"; failed="$failed $t"; continue
    fi
    echo "== $t: fuzzing for ${1:-60}s"
    if ! "$build/$t" -max_total_time="${1:-60}" -timeout=20 -rss_limit_mb=2048 -max_len=$len -print_final_stats=1 \
            -artifact_prefix="$out/" "$build/corpus/$t" "$here/corpus/$t" >"$out/fuzz.log" 2>&1; then
        echo "== $t: FINDING"; tail -n 40 "$out/fuzz.log"; failed="$failed $t"; continue
    fi
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$out/fuzz.log" | sed "s/^/   /"
done
[ -z "$failed" ] || { echo "fuzz findings in:$failed"; exit 1; }
echo "no findings"
