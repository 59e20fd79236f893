# ccitttag: raw fax data to TIFF pages.
step "ccitttag: a raw Group 3 fax page (MSB first, as a modem sends it) to a Class F TIFF" \
    "$BIN/ccitttag" -M -o "$OUT/fax.tif" "$EXAMPLES/fax-page.g3"
show "$OUT/fax.tif"
step "ccitttag: the same page twice, rows doubled (-s), as a two-page Group 4 TIFF" \
    "$BIN/ccitttag" -M -s -8 -o "$OUT/fax-g4.tif" "$EXAMPLES/fax-page.g3" "$EXAMPLES/fax-page.g3"
show "$OUT/fax-g4.tif"
