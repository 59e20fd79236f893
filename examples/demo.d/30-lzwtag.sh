# lzwtag: an interlaced GIF 87a photograph (256 colours) to a palette TIFF.
step "lzwtag: interlaced GIF to palette TIFF (PackBits, the default)" \
    "$BIN/lzwtag" "$EXAMPLES/sample.gif" "$OUT/sample-gif.tif"
show "$OUT/sample-gif.tif"
step "lzwtag: the same with LZW and horizontal differencing, 16 rows per strip" \
    "$BIN/lzwtag" -c lzw:2 -r 16 "$EXAMPLES/sample.gif" "$OUT/sample-gif-lzw.tif"
show "$OUT/sample-gif-lzw.tif"
echo "lzwtag: asks before overwriting an existing output; answered n, it leaves it alone"
echo "  \$ echo n | lzwtag sample.gif out/sample-gif.tif"
status=0
(cd "$OUT" && echo n | "$BIN/lzwtag" "$EXAMPLES/sample.gif" sample-gif.tif) || status=$?
echo
echo "  -> status $status"
show "$OUT/sample-gif.tif"
