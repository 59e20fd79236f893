#!/bin/sh
# Fuzzing campaign: builds the programs with AFL++'s compiler wrappers and
# AddressSanitizer + UndefinedBehaviorSanitizer, makes the seed corpora,
# then runs afl-fuzz on each target of fuzz/targets for FUZZ_SECONDS
# (default 1200) and prints what each campaign found.
#
#   sh fuzz/run.sh [target...]      (no target: all of them, in order)
#
# FUZZ_JOBS campaigns run side by side (default 1). Results go to
# fuzz/out/<target>/ (afl-fuzz's queue, crashes and hangs).
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(dirname "$HERE")
BUILD="$ROOT/build-fuzz"
OUT="$HERE/out"
FUZZ_SECONDS=${FUZZ_SECONDS:-1200}
FUZZ_JOBS=${FUZZ_JOBS:-1}

echo "== building instrumented programs in $BUILD"
CC=afl-clang-fast CXX=afl-clang-fast++ cmake -S "$ROOT" -B "$BUILD" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$BUILD" -j "$(nproc)" >/dev/null

echo "== making seed corpora in $BUILD/seeds"
rm -rf "$BUILD/seeds"
mkdir -p "$BUILD/seeds"
python3 "$HERE/make_seeds.py" "$BUILD/seeds"
c++ -std=c++17 -O1 "$HERE/make_tiff_seeds.cpp" -ltiff -o "$BUILD/make_tiff_seeds"
"$BUILD/make_tiff_seeds" "$BUILD/seeds"
cc -shared -fPIC -O1 "$HERE/fresh_output.c" -ldl -o "$BUILD/fresh_output.so"

# The sanitizers abort on their first report, so afl-fuzz sees a crash.
# An allocation beyond 2 GiB returns null, so a header that asks for an
# absurd amount of memory takes the program's own out-of-memory path.
export ASAN_OPTIONS=abort_on_error=1:symbolize=0:detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=2048
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:symbolize=0
export AFL_SKIP_CPUFREQ=1 AFL_I_DONT_CARE_ABOUT_MISSING_CRASHES=1 AFL_NO_AFFINITY=1
export AFL_NO_UI=1 AFL_QUIET=1
# Two workers: the strip reader and writer hand work to their threads.
export TIFFSUITE_THREADS=2

# fuzz_target name seeds dict program args...: one campaign.
fuzz_target() {
    name=$1 seeds=$2 dict=$3
    shift 3
    program=$1
    shift
    dir="$OUT/$name"
    rm -rf "$dir" && mkdir -p "$dir/work"
    # The overwrite question would stop every run after the first: the
    # shim makes the output look absent to the existence check.
    (
        cd "$dir/work"
        export AFL_PRELOAD="$BUILD/fresh_output.so" FRESH_OUTPUT=out.tif
        afl-fuzz -i "$BUILD/seeds/$seeds" -o "$dir" -x "$HERE/dict/$dict.dict" \
            -V "$FUZZ_SECONDS" -m none -t 5000 -- "$BUILD/bin/$program" "$@" \
            > "$dir/afl.log" 2>&1 || echo "afl-fuzz failed for $name: see $dir/afl.log"
    )
    sh "$HERE/summary.sh" "$name"
}

if [ $# -eq 0 ]; then
    set -- $(sed -e 's/#.*//' "$HERE/targets" | awk 'NF { print $1 }')
fi
running=0
for target in "$@"; do
    line=$(sed -e 's/#.*//' "$HERE/targets" | awk -v t="$target" '$1 == t')
    if [ -z "$line" ]; then
        echo "unknown target: $target" >&2
        exit 2
    fi
    echo "== fuzzing $target for $FUZZ_SECONDS s"
    fuzz_target $line &
    running=$((running + 1))
    if [ "$running" -ge "$FUZZ_JOBS" ]; then
        wait
        running=0
    fi
done
wait
