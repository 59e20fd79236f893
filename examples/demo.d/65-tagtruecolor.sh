# tagtruecolor: the sample TIFF and chromatag's YCbCr file back to RGB(A).
step "tagtruecolor: sample.tif to 8-bit RGBA (associated alpha), whole image" \
    "$BIN/tagtruecolor" "$OUT/sample.tif" "$OUT/sample-rgba.tif"
show "$OUT/sample-rgba.tif"
step "tagtruecolor: chromatag's YCbCr file back to plain RGB, strip by strip, LZW" \
    "$BIN/tagtruecolor" -b -n -c lzw "$OUT/sample-ycbcr.tif" "$OUT/sample-from-ycbcr.tif"
show "$OUT/sample-from-ycbcr.tif"
step "tagtruecolor: every directory of two files into one RGB file" \
    "$BIN/tagtruecolor" -n -r 32 "$OUT/two-ycbcr.tif" "$OUT/sample.tif" "$OUT/three-rgb.tif"
show "$OUT/three-rgb.tif"
