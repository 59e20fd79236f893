// The strip reader: the one way the converters take image data from a
// TIFF input, in order, while worker threads make the parts ahead.
//
// A program asks for the units of one directory (a strip, a row of
// tiles, a band of rows: whatever it cuts the directory into) one after
// another. Workers make the units ahead, each through a read-only handle
// of its own on the same file and directory (libtiff handles are not
// shared between threads), opened by name, checked to be the same file
// and directory, and set up with its messages dropped (the program's
// handle has reported them). With one worker, or where workers gain
// nothing, each unit is made in the program's thread, through one such
// handle. What libtiff says while a unit is made is kept with the unit
// and reported, through the program's handle, from the program's thread
// when the program takes that unit: messages come out in unit order,
// whichever thread made the unit.
//
// The number of workers comes from TIFFSUITE_THREADS (worker_count.h).
// At most 2 x workers + 1 units are in flight, and never more than fit in
// 64 MiB: with fewer than two that fit, everything is made in the
// program's thread.
#ifndef COMMON_STRIP_READER_H
#define COMMON_STRIP_READER_H

#include <cstddef>
#include <cstdint>

#include <tiffio.h>

// ---- Units ----------------------------------------------------------------

struct unit_reader;

// One unit being made: through `tif` (a handle of the reader's own, or
// nullptr), into `data` (the unit's bytes: zeros the first time, then
// whatever an earlier unit left), with the state `begin` set up for that
// handle. `progress` may count what is made
// so far (rows, say): a message libtiff raises is kept with the progress
// at that moment.
struct unit_job {
    TIFF* tif;
    uint32_t unit;
    unsigned char* data;
    void* state;
    uint32_t progress;
};

// How units are made. `make` returns 1, or 0 when the unit failed; it
// must write every byte of the unit that is used (so that the output
// does not depend on which units went before), runs on the workers at the
// same time as on other units, and may only read `context`. `begin`, when given, sets up the state of a worker's
// handle (true on success), `end` frees it.
struct unit_work {
    int (*make)(unit_job* job, const void* context);
    bool (*begin)(TIFF* tif, void** state, const void* context);
    void (*end)(void* state, const void* context);
    const void* context;
};

// Starts reading `units` units of `unit_bytes` each from the directory
// `in` is on; the program holds at most `hold` of them at a time. `mode`
// is the mode the units' handles open the file with (TIFFOpen's), or
// nullptr when `make` needs no handle at all. Workers are used only when
// `use_workers` (a program passes false where they gain nothing). Returns
// nullptr when there is no memory, or the file does not open again as the
// same file and directory (nothing is reported).
unit_reader* open_unit_reader(TIFF* in, const char* mode, uint32_t units, size_t unit_bytes,
                              uint32_t hold, const unit_work* work, bool use_workers);

// Unit `unit`: the units are taken in order, each once, no more than
// `hold` of them not yet released. Reports the messages raised while it
// was made, sets *ok to what `make` returned and returns its bytes.
unsigned char* take_unit(unit_reader* r, uint32_t unit, int* ok);

// Gives back every unit below `below`.
void release_units(unit_reader* r, uint32_t below);

// Stops the workers and frees everything.
void close_unit_reader(unit_reader* r);

// ---- Scan lines ------------------------------------------------------------

struct strip_reader;

// Starts reading the scan lines of planes 0 to planes - 1 (1 for
// interleaved samples) of the directory `in` is on, a strip at a time or,
// from a tiled image, a row of tiles at a time; `mode` is the mode `in`
// was opened with. Each row comes in a buffer of at least `row_bytes`
// bytes (padded with zeros). Returns nullptr, after libtiff or a message
// of its own has said why, when the file cannot be opened again for a
// plane (with one worker each plane of strips is read through a handle
// of its own, so that every strip is decoded once) or there is no memory.
strip_reader* open_strip_reader(TIFF* in, const char* mode, uint16_t planes, size_t row_bytes);

// Row `row` of plane `sample`, or nullptr when it cannot be read (libtiff
// has said why). The rows of each plane come in order, and within a row
// the planes in order; the buffer stays valid until the next call.
// Without workers this is TIFFReadScanline (or TIFFReadEncodedTile),
// with workers every row, message and failure is the same.
const unsigned char* read_strip_row(strip_reader* r, uint32_t row, uint16_t sample);

void close_strip_reader(strip_reader* r);

#endif
