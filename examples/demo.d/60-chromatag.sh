# chromatag: the sample TIFF to subsampled YCbCr, then both samples at once.
step "chromatag: sample.tif to YCbCr with 2x2 chroma subsampling (PackBits)" \
    "$BIN/chromatag" "$OUT/sample.tif" "$OUT/sample-ycbcr.tif"
show "$OUT/sample-ycbcr.tif"
step "chromatag: JPEG, studio-range levels, 16-row strips" \
    "$BIN/chromatag" -c jpeg -z -r 16 "$OUT/sample.tif" "$OUT/sample-ycbcr-jpeg.tif"
show "$OUT/sample-ycbcr-jpeg.tif"
step "chromatag: deflate, 4x4 subsampling" \
    "$BIN/chromatag" -c zip -h 4 -v 4 "$OUT/sample.tif" "$OUT/sample-ycbcr-44.tif"
show "$OUT/sample-ycbcr-44.tif"
step "chromatag: two inputs become two directories of one file" \
    "$BIN/chromatag" -c lzw "$OUT/sample.tif" "$OUT/sample-lzw.tif" "$OUT/two-ycbcr.tif"
show "$OUT/two-ycbcr.tif"
