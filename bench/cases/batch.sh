# Many files at once: 100 photo-like 1024x768 PPM files to Deflate TIFF,
# one process per file in turn (the shell loop) and two or more at a time
# (xargs -P, one per processor), each with one worker
# (TIFFSUITE_THREADS=1) or with one per processor. The variants take turns,
# and each prints the median of its $BATCH_RUNS wall times (default 5).
BATCH="$WORK/batch"
mkdir -p "$BATCH"
n=0
while [ $n -lt 100 ]; do
    [ -f "$BATCH/p$n.ppm" ] || "$GEN" 1024 768 ppm $n > "$BATCH/p$n.ppm"
    n=$((n + 1))
done
# The two ways, as a user would type them (files named on the command line).
cat > "$WORK/batch-loop.sh" <<'LOOP'
for f in "$1"/*.ppm; do "$2" -c zip "$f" "${f%.ppm}.tif" || exit 1; done
LOOP
cat > "$WORK/batch-xargs.sh" <<'XARGS'
printf '%s\0' "$1"/*.ppm | xargs -0 -P "$3" -n 1 sh -c '"$0" -c zip "$1" "${1%.ppm}.tif"' "$2"
XARGS
L="sh '$WORK/batch-loop.sh' '$BATCH' '$BIN/anymaptag'"
X="sh '$WORK/batch-xargs.sh' '$BATCH' '$BIN/anymaptag' $CPUS"
set -- "loop, one worker" "TIFFSUITE_THREADS=1 $L" \
    "loop, $CPUS workers" "TIFFSUITE_THREADS=$CPUS $L" \
    "xargs -P $CPUS, one worker" "TIFFSUITE_THREADS=1 $X" \
    "xargs -P $CPUS, $CPUS workers" "TIFFSUITE_THREADS=$CPUS $X"
: > "$WORK/batch.times"
load_before=$(uptime | sed 's/.*average: //')
turn=0
while [ $turn -lt "${BATCH_RUNS:-5}" ]; do
    v=1
    while [ $v -lt $# ]; do
        eval "command=\${$((v + 1))}"
        RUNS=1 measure "$command" || return 1
        echo "$v $WALL" >> "$WORK/batch.times"
        v=$((v + 2))
    done
    turn=$((turn + 1))
done
v=1
while [ $v -lt $# ]; do
    eval "label=\${$v}"
    WALL=$(awk -v v=$v '$1 == v { print $2 }' "$WORK/batch.times" | sort -n |
           awk '{ t[NR] = $1 } END { print (NR % 2) ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2 }')
    printf '  %-52s %8.2f s (median)\n' "100 files, $label" "$WALL"
    v=$((v + 2))
done
echo "  load average (1, 5, 15 minutes) before: $load_before; after: $(uptime | sed 's/.*average: //')"
