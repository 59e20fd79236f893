# halftone on an 8000x8000 photo-like grey TIFF (64 MB), beside netpbm's
# Floyd-Steinberg dither on the same picture as PGM (ImageMagick's runs out
# of its default resource limits on an image of this size).
# Peak memory stays at a few rows whatever the image size.
[ -f "$WORK/grey8000.pgm" ] || "$GEN" 8000 8000 pgm > "$WORK/grey8000.pgm"
[ -f "$WORK/grey8000.tif" ] || "$BIN/anymaptag" -c none "$WORK/grey8000.pgm" "$WORK/grey8000.tif"
compare "halftone -c none" "'$BIN/halftone' -c none '$WORK/grey8000.tif' '$WORK/h.tif'" \
        "pamditherbw -fs (netpbm)" "pamditherbw -fs '$WORK/grey8000.pgm' > '$WORK/p.pam'"
compare "halftone -c g4" "'$BIN/halftone' -c g4 '$WORK/grey8000.tif' '$WORK/h.tif'" \
        "pamditherbw -fs | pamtopnm | pnmtotiff -g4 (netpbm)" \
        "pamditherbw -fs '$WORK/grey8000.pgm' | pamtopnm | pnmtotiff -g4 > '$WORK/p.tif'"
rm -f "$WORK/h.tif" "$WORK/p.pam" "$WORK/p.tif"
