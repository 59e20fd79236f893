// TIFF output files with write buffering.
//
// libtiff writes a file strip by strip, seeking to the end before each
// strip; on a plain descriptor that is two system calls for every few
// kilobytes. These handles gather the writes in a large buffer and keep
// the file position themselves, so a file goes out in big blocks.
#ifndef COMMON_TIFF_OUTPUT_H
#define COMMON_TIFF_OUTPUT_H

#include <tiffio.h>

// Opens `name` as TIFFOpen would with a mode beginning "w" (create or
// truncate) or "a" (append directories to an existing file); the rest of
// the mode goes to libtiff. Returns nullptr after libtiff's error handler
// has reported why.
TIFF* open_tiff_output(const char* name, const char* mode);

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

#endif
