# lzwtag on an 8000x8000 photo-like GIF 87a (226 grey levels, 55 MB, short
# strings), plain and interlaced, and on an 8000x8000 two-colour one (1.4
# MB, long strings). The decoder is set beside netpbm's GIF reader
# writing to /dev/null (ours also writes the TIFF, uncompressed), then the
# whole conversion beside netpbm's. (ImageMagick's default resource policy
# refuses an image of this size.) An existing output would make lzwtag ask
# before overwriting it, so each run removes it first.
[ -f "$WORK/photo8000.pgm" ] || "$GEN" 8000 8000 pgm > "$WORK/photo8000.pgm"
[ -f "$WORK/photo8000.gif" ] || pamtogif "$WORK/photo8000.pgm" > "$WORK/photo8000.gif" 2>/dev/null
[ -f "$WORK/photo8000i.gif" ] ||
    pamtogif -interlace "$WORK/photo8000.pgm" > "$WORK/photo8000i.gif" 2>/dev/null
[ -f "$WORK/photo8000.pbm" ] || "$GEN" 8000 8000 pbm > "$WORK/photo8000.pbm"
[ -f "$WORK/photo8000b.gif" ] || pamtogif "$WORK/photo8000.pbm" > "$WORK/photo8000b.gif" 2>/dev/null
for kind in plain interlaced two-colour; do
    case $kind in
    plain) gif="$WORK/photo8000.gif" ;;
    interlaced) gif="$WORK/photo8000i.gif" ;;
    *) gif="$WORK/photo8000b.gif" ;;
    esac
    compare "lzwtag -c none ($kind)" "rm -f '$WORK/l.tif'; '$BIN/lzwtag' -c none '$gif' '$WORK/l.tif'" \
            "giftopnm > /dev/null (netpbm, $kind)" "giftopnm '$gif' > /dev/null"
done
compare "lzwtag (packbits)" "rm -f '$WORK/l.tif'; '$BIN/lzwtag' '$WORK/photo8000.gif' '$WORK/l.tif'" \
        "giftopnm | pnmtotiff -packbits (netpbm)" \
        "giftopnm '$WORK/photo8000.gif' | pnmtotiff -packbits > '$WORK/p.tif'"
rm -f "$WORK/l.tif" "$WORK/p.tif"
# 4000 one-pixel images, each a directory of the one output (the output
# stays open from the first image to the last).
if [ ! -f "$WORK/tiny4000.gif" ]; then
    { printf 'GIF87a\001\000\001\000\200\000\000\000\000\000\377\377\377'
      i=0
      while [ $i -lt 4000 ]; do
          printf ',\000\000\000\000\001\000\001\000\000\002\002\104\001\000'
          i=$((i + 1))
      done
      printf ';'; } > "$WORK/tiny4000.gif"
fi
compare "lzwtag (4000 one-pixel images)" \
        "rm -f '$WORK/l.tif'; '$BIN/lzwtag' '$WORK/tiny4000.gif' '$WORK/l.tif' 2>/dev/null" \
        "giftopnm -image=all > /dev/null (netpbm)" \
        "giftopnm -image=all '$WORK/tiny4000.gif' > /dev/null"
rm -f "$WORK/l.tif"
