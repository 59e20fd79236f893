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
