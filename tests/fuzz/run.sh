#!/bin/sh
# Builds the fuzz targets (clang, build-fuzz/) and runs each one for SECONDS
# (default 60) over its seed corpus, after replaying its saved regression
# inputs.  Fails on the first target with a finding; the input that caused
# it is left in build-fuzz/artifacts/<target>/.
#
#   tests/fuzz/run.sh [SECONDS]
#
# The committed seeds are read only: new inputs the fuzzer finds go to
# build-fuzz/corpus/<target>/, which is kept between runs.
set -eu

seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${SYMKEEP_FUZZ_BUILD:-$root/build-fuzz}
jobs=${SYMKEEP_FUZZ_JOBS:-2}

targets="fuzz_pipeline fuzz_paths fuzz_rnereader fuzz_zolta_size fuzz_sprintf"
if [ -f "$root/src/shared/gswitch/gen_switch_testing.h" ]; then
    targets="$targets fuzz_gswitch_file"
fi

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DSYMKEEP_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" -j"$jobs" --target $targets

# Refusals are passes (the harness traps the program's ends); the harness
# releases per input what the code under test allocated, so leak detection
# stays on.  The pipeline reads whole files, the others short texts.
max_len() {
    case "$1" in
        fuzz_pipeline|fuzz_rnereader) echo 32768 ;;
        *) echo 4096 ;;
    esac
}

failed=""
for t in $targets; do
    corpus="$build/corpus/$t"
    artifacts="$build/artifacts/$t"
    mkdir -p "$corpus" "$artifacts"
    regressions="$here/regressions/$t"
    if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions" 2>/dev/null)" ]; then
        echo "== $t: replaying $(ls "$regressions" | wc -l) regression input(s)"
        if ! "$build/$t" -runs=1 "$regressions"/* >"$artifacts/regressions.log" 2>&1; then
            echo "== $t: REGRESSION (see $artifacts/regressions.log)"
            tail -n 30 "$artifacts/regressions.log"
            failed="$failed $t"
            continue
        fi
    fi
    echo "== $t: fuzzing for ${seconds}s"
    if ! "$build/$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
            -max_len="$(max_len "$t")" -print_final_stats=1 \
            -artifact_prefix="$artifacts/" "$corpus" "$here/corpus/$t" >"$artifacts/fuzz.log" 2>&1; then
        echo "== $t: FINDING (see $artifacts/fuzz.log)"
        tail -n 40 "$artifacts/fuzz.log"
        failed="$failed $t"
        continue
    fi
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$artifacts/fuzz.log" | sed "s/^/   /"
done

if [ -n "$failed" ]; then
    echo "fuzz findings in:$failed"
    exit 1
fi
echo "no findings"
