# The strip reader's workers: every TIFF-to-TIFF job with one worker and
# with one per processor, beside the peers doing the same job (libvips,
# which decodes in a thread of its own; GDAL decoding and encoding on every
# processor; netpbm), on compressed 8000x8000 inputs in strips of 128 rows
# as libvips writes them: RGB and grey with LZW and predictor 2, RGB with
# Deflate, and an LZW palette image. After each job, the floor: the time
# libtiff's codecs alone take for it (decoding the input, encoding our
# output; bench/codec_time) shared over every processor, which no program
# doing the job through libtiff can beat. The tables are left in
# bench/out/readers.md and bench/out/readers-floor.md.
need_packages libvips-tools gdal-bin
TABLE="$WORK/readers.md"
FLOOR_TABLE="$WORK/readers-floor.md"
rm -f "$TABLE" "$FLOOR_TABLE"
# floor input output: the medians of $RUNS codec_time runs, the floor on
# $CPUS processors, and it and our time (all workers) over the fastest
# peer's, which workers has just measured; printed and added to
# $FLOOR_TABLE.
floor() {
    rm -f "$WORK/codec.txt"
    i=0
    while [ $i -lt "$RUNS" ]; do
        "$BIN/../bench/codec_time" "$1" "$2" >> "$WORK/codec.txt" || return 1
        i=$((i + 1))
    done
    decode=$(awk '{ print $2 }' "$WORK/codec.txt" | median)
    encode=$(awk '{ print $4 }' "$WORK/codec.txt" | median)
    bound=$(awk "BEGIN{printf \"%.2f\", ($decode + $encode) / $CPUS}")
    printf '  %-52s %8.2f s %8.2fx\n' "codec floor on $CPUS processors, / fastest peer" "$bound" \
        "$(awk "BEGIN{print $bound / $best}")"
    printf '| %s | %.2f s | %.2f s | %s s | %.2f | %.2f |\n' "$label" "$decode" "$encode" "$bound" \
        "$(awk "BEGIN{print $bound / $best}")" "$(awk "BEGIN{print $all / $bound}")" >> "$FLOOR_TABLE"
}
in="$WORK/photo8000.ppm"
[ -f "$in" ] || "$GEN" 8000 8000 ppm > "$in"
[ -f "$WORK/grey8000.pgm" ] || "$GEN" 8000 8000 pgm > "$WORK/grey8000.pgm"
GDAL_ALL="gdal_translate -q -of GTiff --config GDAL_NUM_THREADS ALL_CPUS -co NUM_THREADS=ALL_CPUS"
LZW="$WORK/lzw8000.tif"; ZIP="$WORK/zip8000.tif"
GREY="$WORK/greylzw8000.tif"; PAL="$WORK/palettelzw8000.tif"
[ -f "$LZW" ] || vips copy "$in" "$LZW[compression=lzw,predictor=horizontal]"
[ -f "$ZIP" ] || vips copy "$in" "$ZIP[compression=deflate]"
[ -f "$GREY" ] || vips copy "$WORK/grey8000.pgm" "$GREY[compression=lzw,predictor=horizontal]"
if [ ! -f "$PAL" ]; then
    pgmtoppm blue-yellow "$WORK/grey8000.pgm" | pnmtotiff -lzw -rowsperstrip 128 > "$PAL" 2>/dev/null
fi
workers "greytag -c lzw" "'$BIN/greytag' -c lzw '$LZW' '$WORK/g2.tif'" \
    "vips colourspace b-w" "vips colourspace '$LZW' '$WORK/v.tif[compression=lzw]' b-w"
floor "$LZW" "$WORK/g2.tif"
workers "cmapexpand -c lzw" "'$BIN/cmapexpand' -c lzw '$PAL' '$WORK/c.tif'" \
    "vips" "vips copy '$PAL' '$WORK/v.tif[compression=lzw]'" \
    "gdal_translate -expand rgb" "$GDAL_ALL -expand rgb -co COMPRESS=LZW '$PAL' '$WORK/g.tif'"
floor "$PAL" "$WORK/c.tif"
workers "halftone -c g4" "'$BIN/halftone' -c g4 '$GREY' '$WORK/h.tif'" \
    "pamditherbw, pnmtotiff -g4" \
    "pamditherbw -fs '$WORK/grey8000.pgm' | pamtopnm | pnmtotiff -g4 > '$WORK/p.tif'"
floor "$GREY" "$WORK/h.tif"
workers "chromatag -c jpeg" "'$BIN/chromatag' -c jpeg '$LZW' '$WORK/c.tif'" \
    "vips" "vips copy '$LZW' '$WORK/v.tif[compression=jpeg,Q=75]'" \
    "gdal_translate" "$GDAL_ALL -co COMPRESS=JPEG -co PHOTOMETRIC=YCBCR '$LZW' '$WORK/g.tif'"
floor "$LZW" "$WORK/c.tif"
workers "chromatag -c lzw" "'$BIN/chromatag' -c lzw '$LZW' '$WORK/c.tif'" \
    "vips" "vips copy '$LZW' '$WORK/v.tif[compression=lzw]'" \
    "gdal_translate" "$GDAL_ALL -co COMPRESS=LZW '$LZW' '$WORK/g.tif'"
floor "$LZW" "$WORK/c.tif"
workers "tagtruecolor -n -c lzw" "'$BIN/tagtruecolor' -n -c lzw '$LZW' '$WORK/t.tif'" \
    "vips" "vips copy '$LZW' '$WORK/v.tif[compression=lzw]'" \
    "gdal_translate" "$GDAL_ALL -co COMPRESS=LZW '$LZW' '$WORK/g.tif'"
floor "$LZW" "$WORK/t.tif"
workers "tagtruecolor -b -n -c zip" "'$BIN/tagtruecolor' -b -n -c zip '$ZIP' '$WORK/t.tif'" \
    "vips" "vips copy '$ZIP' '$WORK/v.tif[compression=deflate]'" \
    "gdal_translate" "$GDAL_ALL -co COMPRESS=DEFLATE '$ZIP' '$WORK/g.tif'"
floor "$ZIP" "$WORK/t.tif"
echo "  tables: $TABLE, $FLOOR_TABLE"
cat "$TABLE" "$FLOOR_TABLE"
rm -f "$WORK/v.tif" "$WORK/g.tif" "$WORK/p.tif" "$WORK/g2.tif" "$WORK/h.tif" "$WORK/c.tif" \
      "$WORK/t.tif"
unset TABLE FLOOR_TABLE
