# cmapexpand on an 8000x8000 palette TIFF (64 MB of indices, 16-bit colour
# map), interleaved and in separate planes, beside netpbm's TIFF to PPM to
# TIFF (ImageMagick's true-colour conversion runs out of its default
# resource limits on an image of this size). Peak memory stays at a few
# rows whatever the image size.
[ -f "$WORK/grey8000.pgm" ] || "$GEN" 8000 8000 pgm > "$WORK/grey8000.pgm"
if [ ! -f "$WORK/palette8000.tif" ]; then
    # A grey picture coloured through a ramp of at most 256 colours, which
    # pnmtotiff writes as a palette image.
    pgmtoppm blue-yellow "$WORK/grey8000.pgm" | pnmtotiff -none > "$WORK/palette8000.tif" 2>/dev/null
fi
compare "cmapexpand -c none" "'$BIN/cmapexpand' -c none '$WORK/palette8000.tif' '$WORK/c.tif'" \
        "tifftopnm | pnmtotiff -truecolor (netpbm)" \
        "tifftopnm '$WORK/palette8000.tif' 2>/dev/null | pnmtotiff -truecolor -none > '$WORK/p.tif' 2>/dev/null"
compare "cmapexpand -c none -p separate" \
        "'$BIN/cmapexpand' -c none -p separate '$WORK/palette8000.tif' '$WORK/c.tif'" \
        "tifftopnm | pnmtotiff -truecolor (netpbm)" \
        "tifftopnm '$WORK/palette8000.tif' 2>/dev/null | pnmtotiff -truecolor -none > '$WORK/p.tif' 2>/dev/null"
rm -f "$WORK/c.tif" "$WORK/p.tif"
