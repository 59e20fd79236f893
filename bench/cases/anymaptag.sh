# anymaptag on an 8000x8000 photo-like PPM (192 MB), beside netpbm's
# converter and plain cat copying the same file.
[ -f "$WORK/photo8000.ppm" ] || "$GEN" 8000 8000 ppm > "$WORK/photo8000.ppm"
measure "cat '$WORK/photo8000.ppm' > '$WORK/cat.out'"
report "cat (copying the same 192 MB)"
cat_wall=$WALL
compare "anymaptag -c none" "'$BIN/anymaptag' -c none '$WORK/photo8000.ppm' '$WORK/a.tif'" \
        "pnmtotiff -none (netpbm)" "pnmtotiff -none '$WORK/photo8000.ppm' > '$WORK/p.tif'"
printf '  %-52s %8.2fx\n' "anymaptag -c none / cat" "$(awk "BEGIN{print $ours_wall / $cat_wall}")"
compare "anymaptag -c packbits" "'$BIN/anymaptag' -c packbits '$WORK/photo8000.ppm' '$WORK/a.tif'" \
        "pnmtotiff -packbits (netpbm)" "pnmtotiff -packbits '$WORK/photo8000.ppm' > '$WORK/p.tif'"
compare "anymaptag -c packbits" "'$BIN/anymaptag' -c packbits '$WORK/photo8000.ppm' '$WORK/a.tif'" \
        "convert -compress RLE (ImageMagick)" "convert '$WORK/photo8000.ppm' -compress RLE '$WORK/m.tif'"
rm -f "$WORK/cat.out" "$WORK/a.tif" "$WORK/p.tif" "$WORK/m.tif"
