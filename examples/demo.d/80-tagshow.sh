# tagshow: the directories the anymaptag steps wrote, and their data.
cd "$OUT"
step "tagshow: the directories of the two anymaptag outputs, each under its name" \
    "$BIN/tagshow" sample.tif sample-lzw.tif
cd - >/dev/null
step "tagshow: every directory of the three-page sample, with strip offsets (-s)" \
    "$BIN/tagshow" -s "$EXAMPLES/pages.tif"
echo "tagshow: decoded rows of the PackBits output (-d), the first lines of the dump"
echo "  \$ tagshow -d out/sample.tif > out/sample-dump.txt"
"$BIN/tagshow" -d "$OUT/sample.tif" > "$OUT/sample-dump.txt"
sed -n '/^Strip 0:/,$p' "$OUT/sample-dump.txt" | head -n 5
show "$OUT/sample-dump.txt"
echo "tagshow: raw bytes of the Group 4 page (-r -d), bit-reversed (-f lsb2msb)"
echo "  \$ tagshow -2 -r -d -f lsb2msb pages.tif > out/pages-raw.txt"
"$BIN/tagshow" -2 -r -d -f lsb2msb "$EXAMPLES/pages.tif" > "$OUT/pages-raw.txt"
sed -n '/^Strip 0:/,$p' "$OUT/pages-raw.txt" | head -n 4
show "$OUT/pages-raw.txt"
