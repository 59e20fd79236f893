# suntag: Sun rasterfiles to TIFF.
# The samples are the sample photograph at 120x80, saved once as a 24-bit
# standard rasterfile and, reduced to 64 colours, as a byte-encoded 8-bit
# rasterfile with a colour map.
step "suntag: 24-bit rasterfile to RGB TIFF (LZW, the default without a colour map)" \
    "$BIN/suntag" "$EXAMPLES/sample.ras" "$OUT/sample-ras.tif"
show "$OUT/sample-ras.tif"
step "suntag: byte-encoded 8-bit rasterfile with a colour map to a palette TIFF (PackBits)" \
    "$BIN/suntag" "$EXAMPLES/sample-map.ras" "$OUT/sample-map.tif"
show "$OUT/sample-map.tif"
