# tagshow on a 4000x4000 photo-like RGB image (48 MB of pixels): all its
# decoded data in hex (-d, LZW-compressed input, 144 MB of text) beside
# ImageMagick reading every pixel for its verbose report, and its raw data
# (-r -d, uncompressed input) beside od dumping the same file in hex.
if [ ! -f "$WORK/photo4000.tif" ] || [ ! -f "$WORK/photo4000-lzw.tif" ]; then
    "$GEN" 4000 4000 ppm > "$WORK/photo4000.ppm"
    "$BIN/anymaptag" -c none "$WORK/photo4000.ppm" "$WORK/photo4000.tif"
    "$BIN/anymaptag" -c lzw "$WORK/photo4000.ppm" "$WORK/photo4000-lzw.tif"
    rm -f "$WORK/photo4000.ppm"
fi
compare "tagshow -d (LZW, decoded, hex to /dev/null)" "'$BIN/tagshow' -d '$WORK/photo4000-lzw.tif'" \
        "identify -verbose (ImageMagick)" "identify -verbose '$WORK/photo4000-lzw.tif'"
compare "tagshow -r -d (uncompressed, raw, hex)" "'$BIN/tagshow' -r -d '$WORK/photo4000.tif'" \
        "od -An -tx1 -v (the same file in hex)" "od -An -tx1 -v '$WORK/photo4000.tif'"
