// What a program does with an output whose conversion stopped early.
#ifndef COMMON_PARTIAL_OUTPUT_H
#define COMMON_PARTIAL_OUTPUT_H

#include <cstdint>
#include <cstdio>

#include <tiffio.h>

// Does away with an output that holds no row at all: a TIFF image of no
// rows is one that no reader opens. A regular file that this run opened as
// its output under this very name is removed; one that the name reaches
// through a link (the link is kept) is emptied, truncated to nothing;
// anything else (a device, a pipe, a file this run did not open as its
// output) is left as it is.
void remove_empty_output(const char* name);

// Closes `out`, named `name`, after its current directory failed with
// `rows_done` rows written. The rows are kept, the image length cut to
// them; a directory without a single row is left out, and an output left
// without any directory (none written before: `directories_written`) is
// removed.
void close_failed_output(TIFF* out, const char* name, uint32_t rows_done,
                         int directories_written);

// The rows of `row_bytes` each that the rest of `in` can still give, when
// it is a regular file whose remaining bytes each stand for at most
// `expansion` raster bytes; never more than `declared`, which is returned
// as it is for a pipe or terminal. A converter gives its output this image
// length before writing: libtiff sizes its strip tables by the image
// length, and a header that claims billions of rows over a few bytes of
// data would otherwise get tables (and a file) of gigabytes.
uint32_t rows_input_can_hold(FILE* in, uint64_t row_bytes, uint64_t expansion,
                             uint32_t declared);

// Cuts *height, the current directory's image length, to the rows its
// data can hold: the rows down to the end of the last strip or tile whose
// bytes all lie inside the file (libtiff decodes none past that). Rows cut
// are reported with libtiff's error handler as "Image data covers only R
// of H rows", and blocks without data above them as "Data missing for N
// of M strips" (or tiles): libtiff skips a tile that reaches past the end
// of a mapped file without a word. Returns 0, after reporting "No image
// data", when the directory holds no data at all. A renderer that takes
// the whole image at once calls it before sizing its raster: a header
// claiming a huge image over a few bytes then costs nothing. Nothing is
// checked when the file's size is unknown, or for old-style JPEG, whose
// data need not be in its strips.
int keep_rows_with_data(TIFF* in, uint32_t* height);

// Whether the strip or tile holding pixel (x, y) of `in`, in every plane,
// has all its bytes, and at least one, inside the file, as
// keep_rows_with_data counts them (true when that cannot be told). A
// renderer leaves the others out: libtiff would only fail on them, with
// messages that depend on what the handle read before.
bool data_in_file(TIFF* in, uint32_t x, uint32_t y);

#endif
