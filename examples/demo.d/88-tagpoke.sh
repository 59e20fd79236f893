# tagpoke: fields of a copy of the anymaptag output changed in place.
cp "$OUT/sample.tif" "$OUT/sample-poked.tif"
step "tagpoke: set a description, the software, the page number and 72 dpi" \
    "$BIN/tagpoke" -s ImageDescription photograph -s 305 tagpoke \
    -s PageNumber 1 1 -s XResolution 72 -s YResolution 72 -s ResolutionUnit 2 \
    "$OUT/sample-poked.tif"
show "$OUT/sample-poked.tif"
step "tagshow: the changed directory" \
    "$BIN/tagshow" "$OUT/sample-poked.tif"
