# noteinsert and notelist on the sample photograph (examples/sample.jpg,
# made once from sample.ppm with ImageMagick; it carries one comment).

# step_to file "description" command...: like step, with the command's
# standard output written to `file` (arguments shown quoted as a shell
# would need them).
step_to() {
    to=$1
    echo "$2"
    shift 2
    line=""
    for a in "$@"; do
        case $a in
        "" | *[\"\ ]*) a="'$a'" ;;
        esac
        line="$line $a"
    done
    echo "  \$$line > ${to#"$EXAMPLES"/}" | sed "s#$BIN/##g; s#$EXAMPLES/##g"
    "$@" > "$to"
}

step "notelist: the comment of the sample" "$BIN/notelist" "$EXAMPLES/sample.jpg"
step "notelist -verbose: with the size and coding process of the frame" \
    "$BIN/notelist" -verbose "$EXAMPLES/sample.jpg"
step_to "$OUT/sample-noted.jpg" "noteinsert: add a second comment, a quoted text of several words" \
    "$BIN/noteinsert" -comment '"Harbour' 'at' 'dawn"' "$EXAMPLES/sample.jpg"
show "$OUT/sample-noted.jpg"
step "notelist: both comments now" "$BIN/notelist" "$OUT/sample-noted.jpg"
printf 'Line one\r\nLine two\twith a tab, \\ and \351\n' > "$OUT/comment.txt"
step_to "$OUT/sample-replaced.jpg" "noteinsert: replace every comment with the text of a file" \
    "$BIN/noteinsert" -replace -cfile "$OUT/comment.txt" "$OUT/sample-noted.jpg"
show "$OUT/sample-replaced.jpg"
step "notelist: the new comment, control characters made visible" \
    "$BIN/notelist" "$OUT/sample-replaced.jpg"
step_to "$OUT/sample-bare.jpg" "noteinsert: an empty comment with -replace removes them all" \
    "$BIN/noteinsert" -r -c "" "$OUT/sample-replaced.jpg"
show "$OUT/sample-bare.jpg"
# The sample's comment segment is the 34 bytes after SOI and the 18-byte APP0.
echo "the image data is untouched: the bare copy is the sample less its comment segment"
{ head -c 20 "$EXAMPLES/sample.jpg"; tail -c +55 "$EXAMPLES/sample.jpg"; } |
    cmp - "$OUT/sample-bare.jpg" && echo "  identical"
