# noteinsert on a 50 MB JPEG (6400x6400, quality 100, no subsampling) and
# notelist on 1000 small JPEGs, beside exiftool and ImageMagick doing the
# same jobs and plain cat copying the same bytes.
need_packages libimage-exiftool-perl
big="$WORK/photo6400.jpg"
[ -f "$big" ] || "$GEN" 6400 6400 ppm |
    convert ppm:- -quality 100 -sampling-factor 1x1 -set comment "old comment" "$big"
size=$(( $(wc -c < "$big") / 1000000 ))
measure "cat '$big' > '$WORK/cat.jpg'"
report "cat (copying the same $size MB)"
cat_wall=$WALL
compare "noteinsert -comment (${size} MB JPEG)" \
        "'$BIN/noteinsert' -comment 'A new comment' '$big' > '$WORK/n.jpg'" \
        "exiftool -Comment= -o (exiftool)" \
        "rm -f '$WORK/e.jpg'; exiftool -q -Comment='A new comment' -o '$WORK/e.jpg' '$big'"
printf '  %-52s %8.2fx\n' "noteinsert / cat" "$(awk "BEGIN{print $ours_wall / $cat_wall}")"
compare "noteinsert -replace -comment" \
        "'$BIN/noteinsert' -replace -comment 'A new comment' '$big' > '$WORK/n.jpg'" \
        "convert -set comment (ImageMagick, re-encodes)" \
        "convert '$big' -quality 100 -sampling-factor 1x1 -set comment 'A new comment' '$WORK/m.jpg'"
# The image data must come out of noteinsert as it went in.
[ "$(tail -c 1000000 "$big" | md5sum)" = "$(tail -c 1000000 "$WORK/n.jpg" | md5sum)" ] ||
    echo "  noteinsert changed the image data!" >&2

small="$WORK/small-jpegs"
if [ ! -f "$small/0999.jpg" ]; then
    mkdir -p "$small"
    "$GEN" 160 120 ppm | convert ppm:- -quality 85 -set comment "A small photograph" "$small/one.jpg"
    i=0
    while [ $i -lt 1000 ]; do
        cp "$small/one.jpg" "$small/$(printf %04d $i).jpg"
        i=$((i + 1))
    done
    rm "$small/one.jpg"
fi
# Starting 1000 processes costs the same whatever they do: the floor.
measure "for f in '$small'/*.jpg; do /bin/true \"\$f\"; done"
report "/bin/true, 1000 runs (the cost of starting them)"
compare "notelist, 1000 runs" \
        "for f in '$small'/*.jpg; do '$BIN/notelist' \"\$f\"; done > '$WORK/list.txt'" \
        "exiftool -Comment, one run over 1000 files" \
        "exiftool -q -s3 -Comment '$small'/*.jpg > '$WORK/list.txt'"
compare "notelist -verbose, 1000 runs" \
        "for f in '$small'/*.jpg; do '$BIN/notelist' -v \"\$f\"; done > '$WORK/list.txt'" \
        "identify -format (ImageMagick), one run over 1000" \
        "identify -format '%c %wx%h\n' '$small'/*.jpg > '$WORK/list.txt'"
rm -f "$WORK/cat.jpg" "$WORK/n.jpg" "$WORK/e.jpg" "$WORK/m.jpg" "$WORK/list.txt"
