# cmapexpand: a 64-colour palette version of the sample photograph (with a
# 16-bit colour map, LZW-compressed) to RGB.
step "cmapexpand: palette image to interleaved RGB (keeps the input's LZW)" \
    "$BIN/cmapexpand" "$EXAMPLES/sample-palette.tif" "$OUT/palette-rgb.tif"
show "$OUT/palette-rgb.tif"
step "cmapexpand: the same in separate planes, PackBits" \
    "$BIN/cmapexpand" -p separate -c packbits "$EXAMPLES/sample-palette.tif" \
    "$OUT/palette-planes.tif"
show "$OUT/palette-planes.tif"
step "greytag: the palette image straight to grey" \
    "$BIN/greytag" "$EXAMPLES/sample-palette.tif" "$OUT/palette-grey.tif"
show "$OUT/palette-grey.tif"
