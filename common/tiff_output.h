// TIFF output files with write buffering.
//
// libtiff writes a file strip by strip, seeking to the end before each
// strip; on a plain descriptor that is two system calls for every few
// kilobytes. These handles gather the writes in a large buffer and keep
// the file position themselves, so a file goes out in big blocks.
#ifndef COMMON_TIFF_OUTPUT_H
#define COMMON_TIFF_OUTPUT_H

#include <tiffio.h>

// Classic TIFF files address 4 GiB; an output that may come near that is
// written as BigTIFF. What a directory may take in a classic file, at most,
// when it holds `rows` rows of `row_bytes` uncompressed bytes in each of
// `planes` planes: the data, with 1/64 of it on top (PackBits, the worst
// growth of a codec short of LZW and JPEG on noise, adds 1 byte in 128,
// Deflate far less), and 8 bytes a row and plane of strip tables (their
// size with a strip per row). Saturates instead of overflowing.
uint64_t directory_bytes_bound(uint64_t row_bytes, uint64_t rows, uint64_t planes);

// Whether an output whose directories may take `bytes_bound` in all (the
// sum of directory_bytes_bound over them) needs BigTIFF: whether that
// comes within 16 MiB of 4 GiB, the room left for the directories
// themselves, colour maps and copied fields.
bool needs_bigtiff(uint64_t bytes_bound);

// The sum of directory_bytes_bound over every directory of the TIFF files
// names[0..count-1], as `layout` (given a directory's width and length)
// says what it becomes in the output. Files that do not open add nothing;
// nothing is reported (the conversion reports what it meets).
uint64_t tiff_inputs_bytes_bound(char* const* names, int count,
                                 void (*layout)(uint32_t width, uint32_t length,
                                                uint64_t* row_bytes, uint64_t* rows));

// Opens `name` as TIFFOpen would with a mode beginning "w" (create or
// truncate) or "a" (append directories to an existing file, of whichever
// kind it is); the rest of the mode goes to libtiff. A new file is BigTIFF
// when needs_bigtiff(bytes_bound), otherwise classic TIFF. Returns nullptr after libtiff's error handler has reported
// why. The file is noted as an output of this run (file_identity.h).
TIFF* open_tiff_output(const char* name, const char* mode, uint64_t bytes_bound);

// Writes the current directory (if any is pending), sends every buffered
// byte to the file and closes the handle. Returns 1 when all of the file
// reached the disk, 0 when a write failed (reported through libtiff's
// error handler). The handle is gone either way.
int close_tiff_output(TIFF* out);

// Closes the handle leaving the current directory out of the file: what
// was written before (earlier directories, data already sent) stays,
// while the directory being set up, and the link to it, are never
// written. For a directory whose conversion failed before it held a
// single row. Returns 1 when everything kept reached the disk, else 0.
int close_tiff_output_discarding(TIFF* out);

// For the programs that turn every directory of TIFF files into one
// directory of a new output: notes the files inputs[0..count-1] as inputs
// and, unless `name` is one of them (then reported), opens it for writing
// as BigTIFF or classic TIFF by what tiff_inputs_bytes_bound gives with
// `layout`. Returns nullptr when the output is refused or does not open.
TIFF* open_tiff_output_for_inputs(const char* name, char* const* inputs, int count,
                                  void (*layout)(uint32_t width, uint32_t length,
                                                 uint64_t* row_bytes, uint64_t* rows));

#endif
