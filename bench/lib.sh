# Shared benchmark helpers, sourced by bench/run.sh and the case scripts.
# Every case runs a command several times and keeps the best wall time and
# the peak resident memory of that run (GNU time's maximum RSS).

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

# workers "label" "our command" "peer label" "peer command" ...: times
# our command with one worker (TIFFSUITE_THREADS=1) and with one per
# processor, the two runs taking turns so that both meet the same load,
# then each peer; prints them, the speed-up of all workers over one and
# the ratio of ours (all workers) to the fastest peer, and adds the same as
# a table row to $WORK/workers.md.
CPUS=$(nproc 2>/dev/null || echo 2)
workers() {
    label=$1; ours=$2; shift 2
    one=""; all=""; one_kb=""; all_kb=""
    turn=0
    while [ $turn -lt "$RUNS" ]; do
        RUNS=1 measure "TIFFSUITE_THREADS=1; export TIFFSUITE_THREADS; $ours" || return 1
        if [ -z "$one" ] || awk "BEGIN{exit !($WALL < $one)}"; then one=$WALL; one_kb=$PEAK_KB; fi
        RUNS=1 measure "TIFFSUITE_THREADS=$CPUS; export TIFFSUITE_THREADS; $ours" || return 1
        if [ -z "$all" ] || awk "BEGIN{exit !($WALL < $all)}"; then all=$WALL; all_kb=$PEAK_KB; fi
        turn=$((turn + 1))
    done
    WALL=$one; PEAK_KB=$one_kb; report "$label, 1 worker"
    WALL=$all; PEAK_KB=$all_kb; report "$label, $CPUS workers"
    best=""; best_label=""
    while [ $# -ge 2 ]; do
        if measure "$2"; then
            report "$1"
            if [ -z "$best" ] || awk "BEGIN{exit !($WALL < $best)}"; then
                best=$WALL; best_label=$1
            fi
        fi
        shift 2
    done
    speedup=$(awk "BEGIN{printf \"%.2f\", $one / ($all > 0 ? $all : 0.01)}")
    ratio=$(awk "BEGIN{printf \"%.2f\", $all / ($best > 0 ? $best : 0.01)}")
    printf '  %-52s %8sx\n' "speed-up, $CPUS workers over 1" "$speedup"
    printf '  %-52s %8sx\n' "ours ($CPUS workers) / fastest peer" "$ratio"
    printf '| %s | %s s | %s s | %sx | %s %s s | %s |\n' "$label" "$one" "$all" "$speedup" \
        "$best_label" "$best" "$ratio" >> "$WORK/workers.md"
}
