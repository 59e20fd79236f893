# halftone: the grey photograph (made by greytag above) to bilevel.
step "halftone: grey photograph to bilevel by error diffusion (PackBits)" \
    "$BIN/halftone" "$OUT/sample-grey.tif" "$OUT/sample-halftone.tif"
show "$OUT/sample-halftone.tif"
step "halftone: a lighter threshold, CCITT Group 4" \
    "$BIN/halftone" -t 100 -c g4 "$OUT/sample-grey.tif" "$OUT/sample-halftone-g4.tif"
show "$OUT/sample-halftone-g4.tif"
