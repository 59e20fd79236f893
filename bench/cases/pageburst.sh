# pageburst on a file of 1000 pages of 256x256 RGB (LZW), beside
# ImageMagick writing each page to a file of its own; then tagshow printing
# the 1000 directories beside exiftool listing them.
if [ ! -f "$WORK/pages1000.tif" ]; then
    "$GEN" 256 256 ppm > "$WORK/page.ppm"
    convert "$WORK/page.ppm" -duplicate 999 -compress LZW "$WORK/pages1000.tif"
    rm -f "$WORK/page.ppm"
fi
need_packages libimage-exiftool-perl
compare "pageburst (1000 pages)" \
        "rm -rf '$WORK/pb' && mkdir '$WORK/pb' && '$BIN/pageburst' '$WORK/pages1000.tif' '$WORK/pb/p'" \
        "convert +adjoin (ImageMagick)" \
        "rm -rf '$WORK/im' && mkdir '$WORK/im' && convert '$WORK/pages1000.tif' +adjoin '$WORK/im/p%03d.tif'"
compare "tagshow (1000 directories)" "'$BIN/tagshow' '$WORK/pages1000.tif'" \
        "exiftool -a -G1 (ExifTool)" "exiftool -a -G1 '$WORK/pages1000.tif'"
rm -rf "$WORK/pb" "$WORK/im"
