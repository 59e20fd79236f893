# greytag: the sample photograph (made by anymaptag above) to 8-bit grey.
step "greytag: RGB photograph to grey with the default weights (30/59/11 %)" \
    "$BIN/greytag" "$OUT/sample.tif" "$OUT/sample-grey.tif"
show "$OUT/sample-grey.tif"
step "greytag: the same with red weighted up, LZW with horizontal differencing" \
    "$BIN/greytag" -R 60 -G 30 -B 10 -c lzw:2 "$OUT/sample.tif" "$OUT/sample-grey-red.tif"
show "$OUT/sample-grey-red.tif"
