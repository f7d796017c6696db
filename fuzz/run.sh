#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 10).
# Exits non-zero when a target fails to build or finds a crash; crashing inputs
# are kept in $BUILD/artifacts. New inputs found go to $BUILD/corpus, not into
# the committed seeds in fuzz/corpus.
#   fuzz/run.sh [SECONDS] [TARGET...]
# Needs clang and libclang-rt-14-dev (Debian 12). BUILD defaults to build-fuzz.
set -eu

SECONDS_EACH=${1:-10}
[ $# -gt 0 ] && shift
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build-fuzz}
# Every target: each fuzz_*.cpp in this folder is one, so a new one cannot be left out.
ALL=$(cd "$ROOT/fuzz" && ls fuzz_*.cpp | sed 's/\.cpp$//' | tr '\n' ' ')
TARGETS=${*:-$ALL}

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTEL_FUZZ=ON -DVANTEL_BUILD_SIM=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build "$BUILD" -j2 --target $TARGETS

failed=""
for target in $TARGETS; do
    mkdir -p "$BUILD/corpus/$target" "$BUILD/artifacts"
    echo "== $target: ${SECONDS_EACH} s"
    # A target without committed seeds starts from an empty corpus: libFuzzer
    # refuses a corpus folder that does not exist.
    seeds=""
    [ -d "$ROOT/fuzz/corpus/$target" ] && seeds="$ROOT/fuzz/corpus/$target"
    # shellcheck disable=SC2086
    if ! "$BUILD/fuzz/$target" -max_total_time="$SECONDS_EACH" -print_final_stats=1 \
        -artifact_prefix="$BUILD/artifacts/$target-" \
        "$BUILD/corpus/$target" $seeds 2>"$BUILD/$target.log"; then
        tail -n 40 "$BUILD/$target.log"
        failed="$failed $target"
    fi
    grep -E '^(stat::number_of_executed_units|stat::new_units_added|#[0-9]+ +DONE)' \
        "$BUILD/$target.log" || true
done

if [ -n "$failed" ]; then
    echo "fuzzing found crashes in:$failed (inputs in $BUILD/artifacts)"
    exit 1
fi
echo "fuzzing: no crash"
