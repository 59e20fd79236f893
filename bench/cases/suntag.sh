# suntag on a large 24-bit standard rasterfile (8000x8000, 192 MB), beside
# netpbm's reader piped into its TIFF writer, and ImageMagick.
[ -f "$WORK/photo8000.ppm" ] || "$GEN" 8000 8000 ppm > "$WORK/photo8000.ppm"
[ -f "$WORK/photo8000.ras" ] || pnmtorast -standard "$WORK/photo8000.ppm" > "$WORK/photo8000.ras" 2>/dev/null
compare "suntag 24-bit -c packbits" \
        "'$BIN/suntag' -c packbits '$WORK/photo8000.ras' '$WORK/s.tif'" \
        "rasttopnm | pnmtotiff -packbits (netpbm)" \
        "rasttopnm '$WORK/photo8000.ras' | pnmtotiff -packbits > '$WORK/p.tif'"
compare "suntag 24-bit (LZW, the default)" \
        "'$BIN/suntag' '$WORK/photo8000.ras' '$WORK/s.tif'" \
        "convert -compress LZW (ImageMagick)" \
        "convert '$WORK/photo8000.ras' -compress LZW '$WORK/m.tif'"
rm -f "$WORK/s.tif" "$WORK/p.tif" "$WORK/m.tif"
