#!/bin/sh
# The demo: runs the suite's programs on the sample images in examples/
# and prints what each produced. Outputs go to examples/out/.
#
#   sh examples/demo.sh BIN_DIR
#
# Each program's steps are in examples/demo.d/, run in name order; a step
# may use the outputs of the steps before it.
set -eu
BIN=$(cd "${1:?usage: demo.sh BIN_DIR}" && pwd)
EXAMPLES=$(cd "$(dirname "$0")" && pwd)
OUT="$EXAMPLES/out"
rm -rf "$OUT"
mkdir -p "$OUT"

# show file: one line naming a produced file and its size.
show() {
    printf '  -> %s (%s bytes)\n' "${1#"$EXAMPLES"/}" "$(wc -c < "$1" | tr -d ' ')"
}

# step "description" command...: prints and runs one command.
step() {
    echo "$1"
    shift
    echo "  \$ $*" | sed "s#$BIN/##g; s#$EXAMPLES/##g"
    "$@"
}

for s in "$EXAMPLES"/demo.d/*.sh; do
    . "$s"
done
echo "demo outputs are in examples/out/"
