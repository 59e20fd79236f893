# The strip writer's and reader's workers: every compressed conversion of a
# 4000x4000 and an 8000x8000 photo-like PPM with one worker and with one per
# processor, beside the peers doing the same job (libvips, GDAL with
# NUM_THREADS=ALL_CPUS, ImageMagick, netpbm; the fastest one counts), then
# a compressed job of each other converter from another format (not
# ccitttag, whose fax pages are a single strip each by default); the
# converters from TIFF are in readers.sh. The table of all rows is left in
# bench/out/workers.md.
need_packages libvips-tools gdal-bin
rm -f "$WORK/workers.md"
GDAL="gdal_translate -q -of GTiff -co NUM_THREADS=ALL_CPUS"
for size in 4000 8000; do
    in="$WORK/photo$size.ppm"
    [ -f "$in" ] || "$GEN" $size $size ppm > "$in"
    A="'$BIN/anymaptag'"
    V="vips copy '$in'"
    workers "anymaptag -c packbits, ${size}x$size" "$A -c packbits '$in' '$WORK/a.tif'" \
        "vips" "$V '$WORK/v.tif[compression=packbits]'" \
        "gdal_translate" "$GDAL -co COMPRESS=PACKBITS '$in' '$WORK/g.tif'" \
        "convert" "convert '$in' -compress RLE '$WORK/m.tif'" \
        "pnmtotiff" "pnmtotiff -packbits '$in' > '$WORK/p.tif'"
    workers "anymaptag -c lzw, ${size}x$size" "$A -c lzw '$in' '$WORK/a.tif'" \
        "vips" "$V '$WORK/v.tif[compression=lzw,predictor=none]'" \
        "gdal_translate" "$GDAL -co COMPRESS=LZW '$in' '$WORK/g.tif'" \
        "convert" "convert '$in' -compress LZW '$WORK/m.tif'" \
        "pnmtotiff" "pnmtotiff -lzw '$in' > '$WORK/p.tif'"
    workers "anymaptag -c lzw:2, ${size}x$size" "$A -c lzw:2 '$in' '$WORK/a.tif'" \
        "vips" "$V '$WORK/v.tif[compression=lzw,predictor=horizontal]'" \
        "gdal_translate" "$GDAL -co COMPRESS=LZW -co PREDICTOR=2 '$in' '$WORK/g.tif'" \
        "pnmtotiff" "pnmtotiff -lzw -predictor 2 '$in' > '$WORK/p.tif'"
    workers "anymaptag -c zip, ${size}x$size" "$A -c zip '$in' '$WORK/a.tif'" \
        "vips" "$V '$WORK/v.tif[compression=deflate,predictor=none]'" \
        "gdal_translate" "$GDAL -co COMPRESS=DEFLATE '$in' '$WORK/g.tif'" \
        "convert" "convert '$in' -compress Zip '$WORK/m.tif'"
    workers "anymaptag -c zip:2, ${size}x$size" "$A -c zip:2 '$in' '$WORK/a.tif'" \
        "vips" "$V '$WORK/v.tif[compression=deflate,predictor=horizontal]'" \
        "gdal_translate" "$GDAL -co COMPRESS=DEFLATE -co PREDICTOR=2 '$in' '$WORK/g.tif'"
    workers "anymaptag -c jpeg, ${size}x$size" "$A -c jpeg '$in' '$WORK/a.tif'" \
        "vips" "$V '$WORK/v.tif[compression=jpeg,Q=75]'" \
        "gdal_translate" \
        "$GDAL -co COMPRESS=JPEG -co PHOTOMETRIC=YCBCR -co JPEG_QUALITY=75 '$in' '$WORK/g.tif'" \
        "convert" "convert '$in' -compress JPEG -quality 75 '$WORK/m.tif'"
done

# One compressed job of each other converter from another format, on
# 8000x8000 pictures.
in="$WORK/photo8000.ppm"
[ -f "$WORK/grey8000.pgm" ] || "$GEN" 8000 8000 pgm > "$WORK/grey8000.pgm"
[ -f "$WORK/photo8000.bmp" ] || ppmtobmp -bpp 24 "$in" > "$WORK/photo8000.bmp" 2>/dev/null
[ -f "$WORK/photo8000.ras" ] || pnmtorast -standard "$in" > "$WORK/photo8000.ras" 2>/dev/null
workers "dibtag 24-bit BMP -c lzw" "'$BIN/dibtag' -c lzw '$WORK/photo8000.bmp' '$WORK/d.tif'" \
    "vips" "vips copy '$WORK/photo8000.bmp' '$WORK/v.tif[compression=lzw]'" \
    "gdal_translate" "$GDAL -co COMPRESS=LZW '$WORK/photo8000.bmp' '$WORK/g.tif'"
workers "suntag 24-bit (LZW)" "'$BIN/suntag' '$WORK/photo8000.ras' '$WORK/s.tif'" \
    "convert" "convert '$WORK/photo8000.ras' -compress LZW '$WORK/m.tif'"
[ -f "$WORK/photo8000.gif" ] || pamtogif "$WORK/grey8000.pgm" > "$WORK/photo8000.gif" 2>/dev/null
workers "lzwtag -c lzw" "rm -f '$WORK/l.tif'; '$BIN/lzwtag' -c lzw '$WORK/photo8000.gif' '$WORK/l.tif'" \
    "vips" "vips copy '$WORK/photo8000.gif' '$WORK/v.tif[compression=lzw]'" \
    "gdal_translate" "$GDAL -co COMPRESS=LZW '$WORK/photo8000.gif' '$WORK/g.tif'"

echo "  table: $WORK/workers.md"
cat "$WORK/workers.md"
rm -f "$WORK/a.tif" "$WORK/v.tif" "$WORK/g.tif" "$WORK/m.tif" "$WORK/p.tif" "$WORK/d.tif" \
      "$WORK/s.tif" "$WORK/l.tif"
