# ccittpage on a 100-page Group 3 fax TIFF of text (made by the ccitttag
# case, or here), beside netpbm's tifftopnm | pnmtops doing the same job.
if [ ! -f "$WORK/fax100.tif" ]; then
    . "$HERE/cases/ccitttag.sh"
fi
compare "ccittpage (100 pages)" "'$BIN/ccittpage' '$WORK/fax100.tif' > '$WORK/fax100.ps'" \
        "tifftopnm | pnmtops (netpbm)" \
        "tifftopnm '$WORK/fax100.tif' 2>/dev/null | pnmtops -noturn -dpi 204 > '$WORK/n.ps'"
printf '  %-52s %8s\n' "PostScript size, ours / netpbm" \
    "$(ls -l "$WORK/fax100.ps" "$WORK/n.ps" | awk '{printf "%s%s", s, $5; s=" / "} END {print " bytes"}')"
rm -f "$WORK/n.ps" "$WORK/fax100.ps"
