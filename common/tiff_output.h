// TIFF output files with write buffering.
//
// libtiff writes a file strip by strip, seeking to the end before each
// strip; on a plain descriptor that is two system calls for every few
// kilobytes. These handles gather the writes in a large buffer and keep
// the file position themselves, so a file goes out in big blocks.
#ifndef COMMON_TIFF_OUTPUT_H
#define COMMON_TIFF_OUTPUT_H

#include <tiffio.h>

struct compression_settings;

// ---- How large an output may grow ----------------------------------------
//
// Classic TIFF files address 4 GiB; an output whose directories may take
// more, whatever the pixels, is written as BigTIFF. The bound takes each
// codec at its worst for the data it is given:
// - none: the data itself;
// - PackBits: libtiff codes each row apart, and a lone byte between two
//   pairs of equal bytes takes 6 bytes for 5: 5/4 of a row and 2 bytes;
// - LZW: codes are at most 12 bits and each stands for one byte or more:
//   3/2 of the data, 1/1024 for the clear codes of full tables, 8 bytes a
//   strip;
// - Deflate: incompressible data goes in stored blocks of 5 bytes of
//   header per 5000 bytes or more: 1/512 of the data and 64 bytes a strip;
// - JPEG: a coefficient takes at most a 16-bit code and the magnitude bits
//   its quality's smallest quantiser leaves (11 at quality 100, 9 at 75),
//   an end-of-block code a block, every byte may be 0xFF and get a zero
//   byte after it; rows and columns are padded to whole 16 x 16 blocks and
//   each strip has 1 KiB of markers;
// - Group 3, one-dimensional: at most 9 bits for two pixels (a white run
//   and a black run of one), 4.5 bytes a byte of 1-bit pixels;
//   two-dimensional and Group 4: at most 7 bits a pixel (a vertical code
//   three pixels off); 8 bytes a row (line ends, fill, the first run) and
//   16 a strip (return to control, end of block);
// - any other scheme: unknown; see unknown_bytes_bound.
// Each directory adds 8 bytes a row and plane of strip tables (strips of
// one row at most), 16 KiB for its entries and the values the programs
// write (colour map, JPEG tables, resolutions, texts), and the fields it
// copies from an input. All sums saturate instead of overflowing.

// What one directory of an output holds: `rows` rows of `row_bytes`
// uncompressed bytes in each of `planes` planes (a tiled image counts whole
// tiles: the rows and row bytes of its grid of tiles), and `field_bytes`
// of field values copied from an input.
struct directory_extent {
    uint64_t row_bytes;
    uint64_t rows;
    uint64_t planes;
    uint64_t field_bytes;
};

// The most that one strip (or tile) of `rows` rows of `row_bytes` bytes can
// take once coded as `settings` says (scheme resolved), as listed above;
// UINT64_MAX for a scheme whose growth is not known.
uint64_t strip_bytes_bound(const compression_settings* settings, uint64_t row_bytes,
                           uint64_t rows);

// The most a directory holding `extent` can take in a classic file when
// its data is coded as `settings` says (scheme resolved); for a scheme
// whose growth is not known, unknown_bytes_bound of its data.
uint64_t directory_bytes_bound(const compression_settings* settings,
                               const directory_extent* extent);

// The bound an output is given when what it will hold cannot be known
// beforehand (an input read from a pipe, a scheme of unknown growth), of
// which `uncompressed` bytes of image data are known: BigTIFF is chosen
// once they pass 2 GiB.
uint64_t unknown_bytes_bound(uint64_t uncompressed);

// Whether an output whose directories may take `bytes_bound` in all (the
// sum of directory_bytes_bound over them) needs BigTIFF: whether that
// reaches 4 GiB.
bool needs_bigtiff(uint64_t bytes_bound);

// a + b, or UINT64_MAX when that does not fit.
uint64_t add_bytes(uint64_t a, uint64_t b);

// The sum of directory_bytes_bound over every directory of the TIFF files
// names[0..count-1], coded as `settings` says, as `layout` (given the
// input positioned at a directory) says what each becomes in the output.
// Files that do not open add nothing; nothing is reported (the conversion
// reports what it meets).
uint64_t tiff_inputs_bytes_bound(char* const* names, int count,
                                 const compression_settings* settings,
                                 void (*layout)(TIFF* in, directory_extent* extent));

// Opens `name` as TIFFOpen would with a mode beginning "w" (create or
// truncate) or "a" (append directories to an existing file, of whichever
// kind it is); the rest of the mode goes to libtiff. A new file is BigTIFF
// when needs_bigtiff(bytes_bound), otherwise classic TIFF. An output that
// is an input of this run (file_identity.h), by its name or by what the
// name opens, is refused with nothing created or truncated: the file is
// opened without truncating, told apart from the inputs by its
// descriptor, and only then emptied. Returns nullptr after the reason has
// been reported (libtiff's error handler, or the refusal). The file is
// noted as an output of this run.
//
// Every libtiff error raised on the handle (a write that failed, a field
// refused, a file grown past what classic TIFF addresses) is counted: it
// is still reported as always, and closing the output then fails.
TIFF* open_tiff_output(const char* name, const char* mode, uint64_t bytes_bound);

// The libtiff errors raised so far on `out`, a handle of open_tiff_output
// (0 for any other handle).
unsigned long tiff_output_errors(TIFF* out);

// Writes the current directory (if any is pending), sends every buffered
// byte to the file and closes the handle. Returns 1 when all of the file
// reached the disk and no libtiff error was raised on the handle, 0
// otherwise (a failed write, a failed close, an error: each reported).
// The handle is gone either way.
int close_tiff_output(TIFF* out);

// Closes the handle leaving the current directory out of the file: what
// was written before (earlier directories, data already sent) stays,
// while the directory being set up, and the link to it, are never
// written. For a directory whose conversion failed before it held a
// single row. Returns 1 when everything kept reached the disk and no
// libtiff error was raised on the handle, else 0.
int close_tiff_output_discarding(TIFF* out);

// For the programs that turn every directory of TIFF files into one
// directory of a new output: notes the files inputs[0..count-1] as inputs
// and, unless `name` is one of them (then reported), opens it for writing
// as BigTIFF or classic TIFF by what tiff_inputs_bytes_bound gives with
// `settings` and `layout`. Returns nullptr when the output is refused or does not open.
TIFF* open_tiff_output_for_inputs(const char* name, char* const* inputs, int count,
                                  const compression_settings* settings,
                                  void (*layout)(TIFF* in, directory_extent* extent));

#endif
