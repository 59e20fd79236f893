# dibtag: BMP files to one multi-directory TIFF.
# The samples are the sample photograph at 120x80, saved once as a 24-bit
# BMP and as a 64-colour run-length (RLE8) BMP.
step "dibtag: a 24-bit BMP and a run-length 8-bit BMP into one TIFF of two directories" \
    "$BIN/dibtag" "$EXAMPLES/sample.bmp" "$EXAMPLES/sample-rle8.bmp" "$OUT/sample-bmp.tif"
show "$OUT/sample-bmp.tif"
step "dibtag: the 24-bit BMP with JPEG (YCbCr), quality 90, output named with -o" \
    "$BIN/dibtag" -c jpeg:90 -o "$OUT/sample-bmp-jpeg.tif" "$EXAMPLES/sample.bmp" unused.tif
show "$OUT/sample-bmp-jpeg.tif"
