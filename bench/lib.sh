# Shared benchmark helpers, sourced by bench/run.sh and the case scripts.
# Every case runs a command several times and keeps the best wall time and
# the peak resident memory of that run (GNU time's maximum RSS); the
# workers cases take the medians of runs that take turns with their peers'.

RUNS=${RUNS:-3}
SUDO=$( [ "$(id -u)" = 0 ] || echo sudo )

# need_packages pkg...: installs the Debian packages that are missing.
need_packages() {
    missing=""
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing="$missing $p"
    done
    if [ -n "$missing" ]; then
        echo "installing:$missing" >&2
        $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing >/dev/null ||
            { $SUDO apt-get update -q >/dev/null &&
              $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing >/dev/null; }
    fi
}

# measure "command": runs it $RUNS times through sh; sets WALL (best
# seconds) and PEAK_KB (peak RSS of that run). Fails when a run fails.
measure() {
    WALL=""; PEAK_KB=""
    i=0
    while [ $i -lt "$RUNS" ]; do
        if ! /usr/bin/time -f '%e %M' -o "$WORK/time.txt" sh -c "$1" >/dev/null 2>"$WORK/err.txt"; then
            echo "FAILED: $1" >&2; cat "$WORK/err.txt" >&2
            return 1
        fi
        read -r w m < "$WORK/time.txt"
        if [ -z "$WALL" ] || awk "BEGIN{exit !($w < $WALL)}"; then
            WALL=$w; PEAK_KB=$m
        fi
        i=$((i + 1))
    done
}

# report label: prints one row for the last measurement.
report() {
    printf '  %-52s %8.2f s %9.1f MiB\n' "$1" "$WALL" "$(awk "BEGIN{print $PEAK_KB/1024}")"
}

# compare "our label" "our command" "peer label" "peer command": measures
# both and prints them with the ratio of ours to the peer's.
compare() {
    measure "$2" || return 1
    ours_wall=$WALL; ours_kb=$PEAK_KB
    report "$1"
    measure "$4" || return 1
    report "$3"
    printf '  %-52s %8.2fx  %8.2fx\n' "ratio (ours / peer)" \
        "$(awk "BEGIN{print $ours_wall / ($WALL > 0 ? $WALL : 0.01)}")" \
        "$(awk "BEGIN{print $ours_kb / $PEAK_KB}")"
}

# median: the median of the numbers on standard input, one a line.
median() {
    sort -n | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# workers "label" "our command" "peer label" "peer command" ...: runs our
# command with one worker (TIFFSUITE_THREADS=1), with one per processor
# and each peer, all of them in turn $RUNS times, so that every one meets
# the same load; prints the median wall time and peak memory of each, the
# speed-up of all workers over one and the ratio of ours (all workers) to
# the fastest peer, and adds the same as a table row to $TABLE
# ($WORK/workers.md unless set): our peak with all workers, then the
# fastest peer's.
CPUS=$(nproc 2>/dev/null || echo 2)
workers() {
    label=$1; ours=$2; shift 2
    rm -f "$WORK"/times.*
    turn=0
    while [ $turn -lt "$RUNS" ]; do
        RUNS=1 measure "TIFFSUITE_THREADS=1; export TIFFSUITE_THREADS; $ours" || return 1
        echo "$WALL $PEAK_KB" >> "$WORK/times.one"
        RUNS=1 measure "TIFFSUITE_THREADS=$CPUS; export TIFFSUITE_THREADS; $ours" || return 1
        echo "$WALL $PEAK_KB" >> "$WORK/times.all"
        n=0; peer=""
        for arg in "$@"; do
            if [ -z "$peer" ]; then peer=$arg; continue; fi
            n=$((n + 1)); peer=""
            if RUNS=1 measure "$arg"; then echo "$WALL $PEAK_KB" >> "$WORK/times.$n"; fi
        done
        turn=$((turn + 1))
    done
    # set_median file: WALL and PEAK_KB, the medians of the file's runs.
    set_median() {
        WALL=$(cut -d' ' -f1 "$1" | median); PEAK_KB=$(cut -d' ' -f2 "$1" | median)
    }
    set_median "$WORK/times.one"; one=$WALL; report "$label, 1 worker"
    set_median "$WORK/times.all"; all=$WALL; all_kb=$PEAK_KB; report "$label, $CPUS workers"
    best=""; best_label=""; best_kb=""
    n=0; peer=""
    for arg in "$@"; do
        if [ -z "$peer" ]; then peer=$arg; continue; fi
        n=$((n + 1))
        if [ -f "$WORK/times.$n" ]; then
            set_median "$WORK/times.$n"
            report "$peer"
            if [ -z "$best" ] || awk "BEGIN{exit !($WALL < $best)}"; then
                best=$WALL; best_label=$peer; best_kb=$PEAK_KB
            fi
        fi
        peer=""
    done
    speedup=$(awk "BEGIN{printf \"%.2f\", $one / ($all > 0 ? $all : 0.01)}")
    ratio=$(awk "BEGIN{printf \"%.2f\", $all / ($best > 0 ? $best : 0.01)}")
    printf '  %-52s %8sx\n' "speed-up, $CPUS workers over 1" "$speedup"
    printf '  %-52s %8sx\n' "ours ($CPUS workers) / fastest peer" "$ratio"
    printf '| %s | %s s | %s s | %sx | %s %s s | %s | %.0f MiB | %.0f MiB |\n' "$label" "$one" "$all" \
        "$speedup" "$best_label" "$best" "$ratio" "$(awk "BEGIN{print $all_kb / 1024}")" \
        "$(awk "BEGIN{print $best_kb / 1024}")" >> "${TABLE:-$WORK/workers.md}"
}
