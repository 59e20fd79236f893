#!/bin/sh
# Makes pages.tif, the three-page sample the demo splits and prints, from
# sample.ppm with ImageMagick (run once; the result is committed):
# an RGB page in LZW, a grey page in Deflate and a bilevel page in Group 4.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
convert sample.ppm -resize 120x80 -compress LZW "$tmp/p1.tif"
convert sample.ppm -colorspace Gray -resize 160x107 -compress Zip "$tmp/p2.tif"
convert sample.ppm -monochrome -compress Group4 "$tmp/p3.tif"
convert "$tmp/p1.tif" "$tmp/p2.tif" "$tmp/p3.tif" pages.tif
