# greytag on an 8000x8000 photo-like RGB TIFF (192 MB), beside netpbm's
# ppmtopgm on the same picture as PPM and ImageMagick's grey conversion.
# Peak memory stays at a few rows whatever the image size.
[ -f "$WORK/photo8000.ppm" ] || "$GEN" 8000 8000 ppm > "$WORK/photo8000.ppm"
[ -f "$WORK/rgb8000.tif" ] || "$BIN/anymaptag" -c none "$WORK/photo8000.ppm" "$WORK/rgb8000.tif"
compare "greytag" "'$BIN/greytag' '$WORK/rgb8000.tif' '$WORK/g.tif'" \
        "ppmtopgm (netpbm, PPM to PGM)" "ppmtopgm '$WORK/photo8000.ppm' > '$WORK/p.pgm'"
compare "greytag" "'$BIN/greytag' '$WORK/rgb8000.tif' '$WORK/g.tif'" \
        "convert -colorspace Gray (ImageMagick)" \
        "convert '$WORK/rgb8000.tif' -colorspace Gray -compress none '$WORK/m.tif'"
rm -f "$WORK/g.tif" "$WORK/p.pgm" "$WORK/m.tif"
