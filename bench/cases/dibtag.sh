# dibtag on a large 24-bit BMP (8000x8000, 192 MB) and a large 8-bit
# run-length BMP (5000x5000 grey), beside netpbm's reader piped into its
# TIFF writer, and ImageMagick.
[ -f "$WORK/photo8000.ppm" ] || "$GEN" 8000 8000 ppm > "$WORK/photo8000.ppm"
[ -f "$WORK/photo8000.bmp" ] || ppmtobmp -bpp 24 "$WORK/photo8000.ppm" > "$WORK/photo8000.bmp" 2>/dev/null
[ -f "$WORK/grey5000-rle8.bmp" ] ||
    "$GEN" 5000 5000 pgm | convert - -type palette -compress RLE "bmp3:$WORK/grey5000-rle8.bmp"
compare "dibtag 24-bit BMP -c packbits" \
        "'$BIN/dibtag' -c packbits '$WORK/photo8000.bmp' '$WORK/d.tif'" \
        "bmptopnm | pnmtotiff -packbits (netpbm)" \
        "bmptopnm '$WORK/photo8000.bmp' | pnmtotiff -packbits > '$WORK/p.tif'"
compare "dibtag 24-bit BMP -c none" \
        "'$BIN/dibtag' -c none '$WORK/photo8000.bmp' '$WORK/d.tif'" \
        "convert -compress None (ImageMagick)" \
        "convert '$WORK/photo8000.bmp' -compress None '$WORK/m.tif'"
compare "dibtag RLE8 BMP -c packbits" \
        "'$BIN/dibtag' -c packbits '$WORK/grey5000-rle8.bmp' '$WORK/d.tif'" \
        "bmptopnm | pnmtotiff -packbits (netpbm)" \
        "bmptopnm '$WORK/grey5000-rle8.bmp' | pnmtotiff -packbits > '$WORK/p.tif'"
compare "dibtag RLE8 BMP -c packbits" \
        "'$BIN/dibtag' -c packbits '$WORK/grey5000-rle8.bmp' '$WORK/d.tif'" \
        "convert -compress RLE (ImageMagick)" \
        "convert '$WORK/grey5000-rle8.bmp' -compress RLE '$WORK/m.tif'"
rm -f "$WORK/d.tif" "$WORK/p.tif" "$WORK/m.tif"
