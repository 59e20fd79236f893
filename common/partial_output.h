// What a program does with an output whose conversion stopped early.
#ifndef COMMON_PARTIAL_OUTPUT_H
#define COMMON_PARTIAL_OUTPUT_H

#include <cstdint>

#include <tiffio.h>

// A JPEG strip can only be closed once all the rows it was started with
// have arrived. After an early stop, repeats `row` (one scan line of `out`)
// up to the end of the unfinished strip; the image length, set afterwards
// to `rows_written`, keeps readers from ever showing those rows. Nothing is
// done when the rows written end on a strip boundary.
void finish_jpeg_strip(TIFF* out, const void* row, uint32_t rows_written, uint32_t height);

// Removes an output that holds no row at all: a TIFF image of no rows is
// one that no reader opens. Only a regular file is removed.
void remove_empty_output(const char* name);

#endif
