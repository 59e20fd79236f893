// Opening TIFF inputs.
//
// libtiff warns "Unknown field with tag ..." for every field of a
// directory that it has no definition for: private fields such as
// georeferencing, which a file may hold in every page. The programs read
// past them (or copy them), so those warnings are dropped on the handles
// opened here; every other warning and error goes to libtiff's handlers
// as usual, as the program has set them.
#ifndef COMMON_TIFF_INPUT_H
#define COMMON_TIFF_INPUT_H

#include <tiffio.h>

// Opens the TIFF file `name` with `mode` as TIFFOpen does. Returns nullptr
// after libtiff's error handler has said why.
TIFF* open_tiff_input(const char* name, const char* mode);

// The same for the file open on descriptor `fd` (which libtiff then owns),
// called `name` in messages, as TIFFFdOpen does.
TIFF* open_tiff_input_fd(int fd, const char* name, const char* mode);

#endif
