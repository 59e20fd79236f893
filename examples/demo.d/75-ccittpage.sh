# ccittpage: fax TIFF pages to PostScript (on standard output).
# print_to file "description" command...: like step, with the output to file.
print_to() {
    file=$1
    echo "$2"
    shift 2
    echo "  \$ $* > ${file#"$EXAMPLES"/}" | sed "s#$BIN/##g; s#$EXAMPLES/##g"
    "$@" > "$file"
}
print_to "$OUT/fax.ps" "ccittpage: the Class F page as a PostScript document" \
    "$BIN/ccittpage" "$OUT/fax.tif"
show "$OUT/fax.ps"
echo "  its first rows with black pixels, as glyph strings:"
grep -m 3 ' m([^)]' "$OUT/fax.ps" | cut -c 1-72 | sed 's/^/    /'
print_to "$OUT/fax-letter.ps" "ccittpage: page 1 of the Group 4 file, scaled to letter paper" \
    "$BIN/ccittpage" -p 1 -W 8.5 -H 11 -S "$OUT/fax-g4.tif"
show "$OUT/fax-letter.ps"
# A dithered picture from the benchmarks' generator.
"$BIN/../bench/gen_image" 1728 300 pbm > "$OUT/dither.pbm"
step "anymaptag: a dithered picture as a Group 4 TIFF" \
    "$BIN/anymaptag" -c g4 -R 200 "$OUT/dither.pbm" "$OUT/dither.tif"
show "$OUT/dither.tif"
print_to "$OUT/dither.ps" "ccittpage: the dithered picture as PostScript" \
    "$BIN/ccittpage" "$OUT/dither.tif"
show "$OUT/dither.ps"
