# ccitttag on 100 raw Group 3 fax pages of text (1728 x 2200, coded by
# netpbm's pbmtog3, about 170 KB each) into one 100-page TIFF, beside
# netpbm's g3topbm decoding the same 100 pages (alone, and feeding
# pnmtotiff for one Group 3 TIFF per page).
if [ ! -f "$WORK/fax-page.g3" ]; then
    i=1
    while [ $i -le 60 ]; do
        echo "Line $i of a fax page: the quick brown fox jumps over the lazy dog, 0123456789."
        i=$((i + 1))
    done | pbmtext -builtin fixed 2>/dev/null | pnmenlarge 2 | pnmtile 1728 2200 |
        pbmtog3 > "$WORK/fax-page.g3"
fi
pages=""
i=0
while [ $i -lt 100 ]; do pages="$pages '$WORK/fax-page.g3'"; i=$((i + 1)); done
compare "ccitttag -M (100 pages to one TIFF)" "'$BIN/ccitttag' -M -o '$WORK/fax100.tif' $pages" \
        "g3topbm x 100 (decoding only, netpbm)" \
        "for f in $pages; do g3topbm \"\$f\" > /dev/null; done"
compare "ccitttag -M -8 (100 pages to one Group 4 TIFF)" \
        "'$BIN/ccitttag' -M -8 -o '$WORK/fax100-g4.tif' $pages" \
        "g3topbm | pnmtotiff -g4 x 100 (netpbm)" \
        "for f in $pages; do g3topbm \"\$f\" | pnmtotiff -g4 > '$WORK/p.tif'; done"
rm -f "$WORK/p.tif" "$WORK/fax100-g4.tif"
