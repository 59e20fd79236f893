#!/bin/sh
# Makes examples/fax-page.g3, the raw fax page of the demo: two lines of
# text on a 1728-pixel fax row, coded by netpbm's pbmtog3 as a fax modem
# sends it (Group 3, one-dimensional, most significant bit first, a line
# end before every row and the end-of-page code after the last). Needs
# netpbm; the demo itself uses the committed file.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
pbmtext -builtin fixed "Raw CCITT Group 3 fax data, as a fax modem sends it." > "$tmp/1.pbm"
pbmtext -builtin bdf "ccitttag turns it into TIFF; ccittpage prints it." > "$tmp/2.pbm"
pnmcat -tb -jleft "$tmp/1.pbm" "$tmp/2.pbm" | pnmenlarge 3 |
    pnmpad -white -left 60 -top 60 -bottom 60 | pbmtog3 > fax-page.g3
