// A directory rendered whole, the picture as a viewer shows it, through
// libtiff's RGBA interface, a band of rows at a time, and written as
// strips of an output: the whole-image mode of tagtruecolor and chromatag.
//
// The bands are whole strips or rows of tiles of the input (so that each
// is decoded once), rendered on the strip reader's workers; each strip or
// tile is rendered on its own, so that one libtiff cannot decode comes
// out as zeros (black, or transparent) and leaves the rest as they are.
// The output strips that lie inside a band are made on the workers too,
// the few that straddle two bands in the program's thread. Orientations 2
// to 4 are flipped and mirrored in the band. Orientations 5 to 8, whose
// stored rows are shown as columns, are rendered band by band into a
// temporary file (in TMPDIR, else /tmp) laid out as the picture is shown,
// which is then read back a band at a time: memory stays at the bands in
// flight whatever the image size, at the cost of a file as large as the
// picture's RGBA pixels.
#ifndef COMMON_RGBA_BANDS_H
#define COMMON_RGBA_BANDS_H

#include <cstddef>
#include <cstdint>

#include <tiffio.h>

#include "strip_writer.h"

struct rgba_picture;

// Turns `rows` top-down rows of `width` RGBA pixels (as libtiff packs
// them) into the bytes of one output strip at `out` and returns how many
// there are. Runs on the reader's workers: it may only read `context`.
typedef tmsize_t (*strip_maker)(const uint32_t* pixels, uint32_t rows, uint32_t width,
                                unsigned char* out, const void* context);

// Sets up the rendering of the directory `in` is on:
// checks that libtiff can render it, cuts it to the rows its data holds
// (keep_rows_with_data) and, for orientations 5 to 8, renders it into the
// temporary file. *width and *height are the picture's, as shown. Returns
// nullptr, after reporting why (libtiff's message, or "No space for raster
// buffer"), when the directory cannot be rendered.
rgba_picture* open_rgba_picture(TIFF* in, uint32_t* width, uint32_t* height);

// Hands the picture to `writer` as strips of `strip_rows` rows, strip
// after strip from the top, each made by `make` (at most `strip_bytes`
// bytes). Returns 1, or 0 when a strip could not be made or written;
// *rows_done is the number of picture rows whose strips were handed over.
int write_rgba_picture(rgba_picture* p, strip_writer* writer, uint32_t strip_rows,
                       size_t strip_bytes, strip_maker make, const void* context,
                       uint32_t* rows_done);

void close_rgba_picture(rgba_picture* p);

// How the handles that render the directory `in` is on open the file
// (TIFFOpen's mode): strips are read into buffers, not mapped, since a
// mapping of the file stays in memory, all of it in the end; tiles are
// mapped, since libtiff's RGBA reader refuses the uncompressed tiles of an
// unmapped file.
const char* rendering_mode(TIFF* in);

#endif
