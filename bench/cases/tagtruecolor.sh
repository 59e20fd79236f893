# tagtruecolor on an 8000x8000 photo-like RGB TIFF (192 MB, strips of 16
# rows), whole and strip by strip (-b), beside ImageMagick writing the
# same RGBA or RGB TIFF.
[ -f "$WORK/photo8000.ppm" ] || "$GEN" 8000 8000 ppm > "$WORK/photo8000.ppm"
[ -f "$WORK/photo8000.tif" ] ||
    "$BIN/anymaptag" -c none -r 16 "$WORK/photo8000.ppm" "$WORK/photo8000.tif"
IN="$WORK/photo8000.tif"
compare "tagtruecolor -c none (RGBA, whole image)" "'$BIN/tagtruecolor' -c none '$IN' '$WORK/t.tif'" \
        "convert -alpha set -compress none (ImageMagick)" \
        "convert '$IN' -alpha set -compress none '$WORK/m.tif'"
compare "tagtruecolor -b -c none (RGBA, by strip)" "'$BIN/tagtruecolor' -b -c none '$IN' '$WORK/t.tif'" \
        "convert -alpha set -compress none (ImageMagick)" \
        "convert '$IN' -alpha set -compress none '$WORK/m.tif'"
compare "tagtruecolor -n (RGB PackBits, whole image)" "'$BIN/tagtruecolor' -n '$IN' '$WORK/t.tif'" \
        "convert -compress RLE (ImageMagick)" "convert '$IN' -compress RLE '$WORK/m.tif'"
compare "tagtruecolor -b -n (RGB PackBits, by strip)" "'$BIN/tagtruecolor' -b -n '$IN' '$WORK/t.tif'" \
        "convert -compress RLE (ImageMagick)" "convert '$IN' -compress RLE '$WORK/m.tif'"
rm -f "$WORK/t.tif" "$WORK/m.tif"
