// The strip writer: the one way the converters hand image data to a TIFF
// output, row by row or strip by strip.
//
// With one worker, or an uncompressed output, it hands everything straight
// to libtiff (scan lines to TIFFWriteScanline, whole strips to
// TIFFWriteEncodedStrip). With more, the first strip still goes that way
// (so that the output's codec is set up, and adds its fields, as it always
// is); later strips are gathered in batches that worker threads encode,
// each through an in-memory TIFF handle of its own set up like the output,
// in the very calls the program made: every strip is encoded as a strip of
// an image of its own height, so that the workers keep no table of the
// output's strips. The encoded strips are then written to the output in
// the order they were handed over, as raw strips, by the program's own
// thread. The file is byte for byte the one the single worker writes.
//
// The number of workers comes from the TIFFSUITE_THREADS environment
// variable (a whole number from 1; anything else, or nothing, means one
// per processor), lowered so that what is in flight stays within 64 MiB:
// 2 x workers + 1 batches, each with room for about 128 KiB of raw rows
// plus one strip and for the most the codec can make of them, and each
// worker's libtiff buffer and codec state. All of it is taken when the
// workers start; when it cannot be had, every strip is encoded in the
// program's thread instead.
#ifndef COMMON_STRIP_WRITER_H
#define COMMON_STRIP_WRITER_H

#include <cstdint>

#include <tiffio.h>

struct strip_writer;

// Starts writing the image data of the directory being set up on `out`,
// whose fields that shape the data (size, samples, photometric, fill
// order, compression and codec settings, rows per strip) are all set by
// now. Nothing else may write to `out` until close_strip_writer. Returns
// nullptr, after reporting it, when there is no memory: the calls below
// take that as a writer whose every write fails.
strip_writer* open_strip_writer(TIFF* out);

// Hands over scan line `row` of plane `sample`, as TIFFWriteScanline takes
// it; the rows of a strip come in order, first row first. Returns 1, or
// -1 once any write has failed (libtiff has reported it).
int write_strip_row(strip_writer* w, const void* data, uint32_t row, uint16_t sample);

// Hands over strip `strip` whole, `size` bytes (at most its rows times the
// scan line size), as TIFFWriteEncodedStrip takes it. Returns 1, or -1
// once any write has failed.
int write_whole_strip(strip_writer* w, uint32_t strip, const void* data, tmsize_t size);

// Writes everything handed over and ends the writer. A JPEG strip that
// got only some of its rows is first completed with copies of its last
// row (a JPEG strip can only be closed once all the rows it was started
// with have arrived; the image length, cut to the rows written after
// this, keeps readers from ever showing those rows); any other strip
// keeps the rows it got. `*rows` holds the rows the program handed over
// (in every plane); when a write failed, or a libtiff error was raised on
// the output while writing, it is cut to the rows whose strips all reached
// the file, in every plane. Returns 1 when every strip reached the output,
// 0 when one did not (reported). The writer is gone either way.
int close_strip_writer(strip_writer* w, uint32_t* rows);

#endif
