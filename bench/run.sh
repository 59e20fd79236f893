#!/bin/sh
# Benchmarks: times each program on large generated inputs beside a peer
# doing the same job, and prints wall time, peak memory and the ratios.
#
#   sh bench/run.sh BIN_DIR [case...]     (make bench runs every case)
#
# Cases are the scripts in bench/cases/; inputs are made in bench/out/.
set -eu
BIN=$(cd "${1:?usage: run.sh BIN_DIR [case...]}" && pwd)
shift
HERE=$(cd "$(dirname "$0")" && pwd)
GEN="$BIN/../bench/gen_image"
WORK="$HERE/out"
mkdir -p "$WORK"
. "$HERE/lib.sh"
need_packages time netpbm imagemagick

if [ $# -eq 0 ]; then
    set -- $(ls "$HERE/cases" | sed -n 's/\.sh$//p')
fi
for c in "$@"; do
    echo "== $c"
    . "$HERE/cases/$c.sh"
done
