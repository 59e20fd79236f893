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
print_to "$OUT/sample-halftone.ps" \
    "ccittpage: the photograph halftoned to Group 4 (by halftone above) as PostScript" \
    "$BIN/ccittpage" "$OUT/sample-halftone-g4.tif"
show "$OUT/sample-halftone.ps"
