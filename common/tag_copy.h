// Table-driven copying of descriptive fields from an input directory to an
// output directory.
#ifndef COMMON_TAG_COPY_H
#define COMMON_TAG_COPY_H

#include <cstddef>
#include <cstdint>

#include <tiffio.h>

// One row of a copy table: a field and the value form it is copied in.
struct tag_copy_entry {
    uint16_t tag;
    int16_t count;  // 1, 2 or 4 values, or -1 for a variable number
    uint32_t type;  // TIFF_ASCII, TIFF_SHORT, TIFF_LONG, TIFF_RATIONAL or TIFF_DOUBLE
};

// The running program's copy table and its number of rows. Every program
// that calls copy_tags defines both, in its own source file.
extern const tag_copy_entry tag_copy_table[];
extern const size_t tag_copy_table_size;

// Copies every field of tag_copy_table, first row first, that the current
// directory of `in` holds, onto the directory being set up on `out`. The
// input must stay open until the output directory is written.
void copy_tags(TIFF* in, TIFF* out);

// Copies one field. A field the input lacks is silently not copied; so is
// one whose value libtiff holds in a form other than the row's (except
// that a single RATIONAL that libtiff holds as a fixed array is handed over
// as that array). A type other than ASCII, SHORT, LONG, RATIONAL and DOUBLE
// is reported through libtiff's error handler and skipped. Failures of
// TIFFSetField on the output are libtiff's to report; the copy goes on.
void copy_tag(TIFF* in, TIFF* out, uint16_t tag, int16_t count, uint32_t type);

// The bytes of the values copy_tags would copy from the current directory
// of `in` (at most: a field the output would refuse is counted too).
uint64_t copied_tags_bytes(TIFF* in);

#endif
