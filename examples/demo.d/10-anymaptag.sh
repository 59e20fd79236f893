# anymaptag: the sample photograph (PPM) to TIFF, PackBits and LZW.
step "anymaptag: PPM photograph to TIFF (PackBits, the default)" \
    "$BIN/anymaptag" "$EXAMPLES/sample.ppm" "$OUT/sample.tif"
show "$OUT/sample.tif"
step "anymaptag: the same with LZW and horizontal differencing, 300 dpi" \
    "$BIN/anymaptag" -c lzw:2 -R 300 "$EXAMPLES/sample.ppm" "$OUT/sample-lzw.tif"
show "$OUT/sample-lzw.tif"
