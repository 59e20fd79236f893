# chromatag on an 8000x8000 photo-like RGB TIFF (192 MB), beside
# ImageMagick writing a YCbCr TIFF of the same image.
[ -f "$WORK/photo8000.ppm" ] || "$GEN" 8000 8000 ppm > "$WORK/photo8000.ppm"
[ -f "$WORK/photo8000.tif" ] ||
    "$BIN/anymaptag" -c none -r 16 "$WORK/photo8000.ppm" "$WORK/photo8000.tif"
IN="$WORK/photo8000.tif"
compare "chromatag (2x2 subsampled YCbCr, PackBits)" "'$BIN/chromatag' '$IN' '$WORK/c.tif'" \
        "convert -colorspace YCbCr -compress RLE (ImageMagick)" \
        "convert '$IN' -colorspace YCbCr -compress RLE '$WORK/m.tif'"
compare "chromatag -c jpeg (2x2 subsampled YCbCr)" "'$BIN/chromatag' -c jpeg '$IN' '$WORK/c.tif'" \
        "convert -sampling-factor 2x2 -compress JPEG (ImageMagick)" \
        "convert '$IN' -sampling-factor 2x2 -compress JPEG '$WORK/m.tif'"
rm -f "$WORK/c.tif" "$WORK/m.tif"
