# pageburst: the three-page sample split into one file per page.
mkdir -p "$OUT/pages"
step "pageburst: pages.tif into out/pages/page-aaa.tif, -aab.tif, -aac.tif" \
    "$BIN/pageburst" "$EXAMPLES/pages.tif" "$OUT/pages/page-"
for f in "$OUT"/pages/page-*.tif; do
    show "$f"
done
step "tagshow: the last page on its own (Group 4 data, copied undecoded)" \
    "$BIN/tagshow" "$OUT/pages/page-aac.tif"
