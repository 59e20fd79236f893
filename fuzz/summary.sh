#!/bin/sh
# Prints one line per fuzzing campaign in fuzz/out: executions, paths in the
# queue, crashes and hangs saved, and how long it ran.
#   sh fuzz/summary.sh [target...]
HERE=$(cd "$(dirname "$0")" && pwd)
[ $# -gt 0 ] || set -- $(ls "$HERE/out" 2>/dev/null)
for t in "$@"; do
    stats="$HERE/out/$t/default/fuzzer_stats"
    if [ ! -f "$stats" ]; then
        echo "$t: no statistics (see $HERE/out/$t/afl.log)"
        continue
    fi
    awk -F' *: *' -v t="$t" '
        { v[$1] = $2 }
        END { printf "%-20s %10s execs %6s paths %4s crashes %4s hangs %6s s\n", t,
              v["execs_done"], v["corpus_count"], v["saved_crashes"], v["saved_hangs"],
              v["run_time"] }' "$stats"
done
